// iPhone messages as an input of every command that reads: a backup folder (ios_backup.h), an
// iPhone's sms.db or a Mac's chat.db (ios_messages.h), told by what they hold, not by their name.
//
// A bare database finds its attachments in the "Attachments" folder beside it, as
// ~/Library/Messages holds chat.db and Attachments/ (the path of attachment.filename after
// "Library/Messages/" or "Library/SMS/"), or in the folder the options name. A backup's parties
// are named from its address book; a vCard file of the options names them first.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace larkpost {

class MessageReader;

// What the user said about iPhone inputs. One setting of the process, like the code page: the
// front end sets it before any input is opened.
struct IosInputOptions {
  std::u16string attachments{};   // the folder of a bare database's attachments (--attachments)
  std::u16string contacts{};      // a vCard file that names parties (--contacts)
  std::u16string passwordFile{};  // the password of an encrypted backup, its first line
  // Asks the user for the password of an encrypted backup; false when there is no one to ask.
  std::function<bool(std::string& password)> askPassword{};
};
void SetIosInputOptions(IosInputOptions options);
const IosInputOptions& IosInputOptionsInUse();

// True when `path` is an iPhone backup folder (or the folder holding exactly one), or an SQLite
// database with the Messages tables (`message`, `handle`).
bool IsIosInput(const std::u16string& path);

// `reader` itself when the options name no vCard file; else a reader of its messages whose
// parties without a name get the one the vCard file gives them: --contacts names parties of
// every format. Throws CFileException when the vCard file cannot be read.
std::unique_ptr<MessageReader> WithContactNames(std::unique_ptr<MessageReader> reader);

// Unlocks the encrypted iPhone backup at `path` now (asking for its password once), so that a
// run reading it later on other threads asks nothing. Empty when `path` is no encrypted backup
// or it was unlocked; else the one line that says why not ("...: wrong password for the
// encrypted backup").
std::string UnlockIosInput(const std::u16string& path);

// A reader of the messages at `path`; when they cannot be read, one whose error() says why
// ("... is an encrypted backup ...", "... holds no messages"). Throws CFileException when the
// vCard file of the options cannot be read.
std::unique_ptr<MessageReader> OpenIosInput(const std::u16string& path);

}  // namespace larkpost
