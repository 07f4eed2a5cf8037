// Where a backup writes: a hidden partial file beside the chosen path, renamed over it only when
// the run succeeded. A failed, incomplete or interrupted run therefore never destroys an older
// backup of the same name; its partial output stays beside the target and is named to the user.
//
//   /home/ann/sms.bak   ->   /home/ann/.sms.bak.Xa81Qz.part   (mode 0600, renamed on success)
//
// The partial file is created with O_EXCL and never reopened by name: the run writes it through
// the descriptor made at creation, and renames it relative to a descriptor of its folder. The
// run holds a lock on it (flock) until it has been renamed or closed; the next backup to the
// same target removes the partial files of runs that are gone (no lock held), so killed and
// failed runs do not pile up.
//
// A target that is a symbolic link is handled as cp handles it: the file the link points to is
// replaced and the link stays; a link that points nowhere is refused. Whatever it replaces, the
// written file has mode 0600: it holds private messages, and a file others could read before is
// no reason to let them read these. A target that exists and is not a regular file (a device, a
// pipe) is written directly, as there is nothing to protect and nothing to rename over; a pipe
// that nobody reads is refused rather than waited on. A target that is one of
// the protected files (the message store and its companions), by name, through a link or as a
// hard link to it, is refused. Runs on the backup's worker thread.
//
// An output may have a companion folder that belongs to it (a page's media, "archive_files"
// beside "archive.html"). It gets the partial file's treatment: it is built under a hidden name
// (".archive_files.Xa81Qz.part", mode 0700, locked while the run lives) and renamed into place
// just before the file is, so the target and its folder appear, and are replaced, together. A
// run that fails or is given up removes it; the folder of a killed run is removed by the next
// run to the same target, as its partial file is. Each such folder holds a hidden mark naming the
// file it was made for ("archive.html"), and only a folder marked for the target is ever
// replaced: a browser's saved page has a folder of the same name, and "archive.htm" shares its
// folder's name with "archive.html".
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "platform/file/file.h"

namespace larkpost {

// A target the backup must not write to; `text` says why, naming the target.
class OutputRefused : public std::exception {
 public:
  explicit OutputRefused(std::u16string text);
  const char* what() const noexcept override;  // UTF-8 of text
  std::u16string text;

 private:
  std::string what_;
};

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::u16string target;     // the path the user chose, as given (named in error texts)
  std::u16string writePath;  // what is written: the partial file, or the target itself
  std::u16string finalPath;  // what the partial file becomes (links resolved)
  bool temporary = false;
  // One of the process's own descriptors (OwnDescriptorOf): written from start to end in one
  // pass, never sought, as a shell's redirection or pipe expects.
  bool stream = false;

 private:
  friend void OpenOutputFile(OutputFile&, const std::u16string&, const std::vector<std::string>&,
                             CFile&);
  friend void CommitOutputFile(OutputFile&, CFile&);
  friend void PlanCompanionFolder(OutputFile&, const std::string&);
  friend int CompanionFolder(OutputFile&);
  friend void DiscardCompanionFolder(OutputFile&);
  int folder_ = -1;          // descriptor of the folder holding the partial and final files
  std::string partialName_;  // names inside that folder
  std::string finalName_;
  std::string companionName_;         // the companion folder's final name; empty: none
  std::string companionPartialName_;  // its name while it is built
  int companion_ = -1;                // descriptor of the folder being built, once created
};

// The descriptor a path names among the process's own, as a shell user names standard output:
// "/dev/stdout" 1, "/dev/stderr" 2, "/dev/fd/N" and "/proc/self/fd/N" N; -1 for any other path.
// What the shell opened there is the user's choice: written into, never replaced or refused as
// a dangling link.
int OwnDescriptorOf(const std::string& path);

// Prepares `output` for `target` and opens the file to write into `file`: the partial file
// (empty, mode 0600, locked), or the target itself when it is a device, a pipe or one of the
// process's own descriptors (a copy of it). Removes stale
// partial files of the same target first. Throws CFileException naming the target when that is
// not possible (missing folder, no permission, a folder as target, a read-only file), and
// OutputRefused for a dangling link, a pipe without a reader or a target that is one of
// `protectedFiles`. Every command that writes a file goes through here, so one rule decides what
// "this path is the store" means.
void OpenOutputFile(OutputFile& output, const std::u16string& target,
                    const std::vector<std::string>& protectedFiles, CFile& file);

// For a finished run whose bytes are on storage: renames the partial file over the target,
// makes the rename durable by syncing the folder, and closes `file`. Only closes `file` for a
// direct write. A companion folder built for the output takes the place of the older one of its
// name first (the older one is removed once the target is in place); one planned and never
// built removes the older one, which belonged to the file replaced. Throws CFileException
// naming the target; the older file and folder then stay as they were.
void CommitOutputFile(OutputFile& output, CFile& file);

// Gives `output` (a partial file, output.temporary) a companion folder of that name beside the
// target, and removes the companion folders that killed runs left. Throws OutputRefused when
// something of that name exists that is not a folder of plain files marked as made for this
// target (a link, a file, a folder holding folders, a browser's saved page, the folder of
// another page): replacing it could destroy what no earlier run made.
void PlanCompanionFolder(OutputFile& output, const std::string& name);

// What is there under a companion folder's name `name` beside `target` (links resolved by the
// caller), for a front end that asks before replacing: nothing, a folder an earlier run made for that target (replaced with
// it), or something else (a run to the target would be refused).
enum class CompanionState { kAbsent, kMadeForTarget, kOther };
CompanionState CompanionStateOf(const std::u16string& target, const std::string& name);

// The descriptor of the planned companion folder, created (empty, mode 0700) on the first call;
// the output keeps it. Throws CFileException naming the target.
int CompanionFolder(OutputFile& output);

// Removes the companion folder being built, with what it holds; the output forgets it. Also
// done when an output that was not committed goes.
void DiscardCompanionFolder(OutputFile& output);

}  // namespace larkpost
