// Looking up the folder a record's folder path names without creating anything, and the test
// whether it already holds a record's message, so that a restore can recognise a duplicate
// before it changes the store. Same path rules as
// ResolveFolderPath: split at "\", the first piece names a standard folder (any letter case),
// each further piece a subfolder, trimmed of white space, "NewFolder" when nothing is left.
// Runs on the thread that uses the session.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "store/folder.h"
#include "store/session.h"

namespace larkpost {

// The standard folder whose file name ("Draft", "Inbox", "Outbox", "Sentedbox", "Wastebox")
// equals `name` ignoring case; false when none does.
bool FolderKindFromName(std::u16string_view name, FolderKind& kind);

enum class FolderLookup {
  kFound,    // every folder on the path exists
  kMissing,  // the standard folder exists, a subfolder on the path does not
  kFailed,   // unknown first piece, missing standard folder, or the store refused a lookup
};

// Finds the folder of `path`, opening only subfolders that exist. On kFound `folder` points at
// it: a standard folder owned by the session (then `owned` is empty), or the wrapper held in
// `owned`. Otherwise `folder` is null and `owned` empty; nothing is left behind.
FolderLookup FindFolderPath(SmsSession& session, const std::u16string& path, SmsFolder*& folder,
                            std::unique_ptr<SmsFolder>& owned);

// True when the folder holds a message with this delivery time whose text, taken through the
// ANSI code page as a backup file takes it, equals `restoredText` (the text as read from a
// record). So a message with characters the code page lacks is recognised both in the store it
// was backed up from and in one it was restored into. A zero time never matches; any failure
// answers false.
bool ContainsRestoredMessage(SmsFolder& folder, const FILETIME& time,
                             const std::u16string& restoredText);

}  // namespace larkpost
