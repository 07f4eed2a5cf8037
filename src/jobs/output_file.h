// Where a backup writes: a hidden temporary file beside the chosen path, renamed over it only
// when the run succeeded. A failed or interrupted run therefore never destroys an older backup
// of the same name; its partial output stays beside the target for inspection.
//
//   /home/ann/sms.bak   ->   /home/ann/.sms.bak.Xa81Qz.part   (mode 0600, renamed on success)
//
// A target that exists and is not a regular file (a device, a pipe) is written directly, as
// there is nothing to protect and nothing to rename over. A symbolic link is followed: the file
// it points to is replaced, the link stays. Runs on the backup's worker thread.
#pragma once

#include <string>

namespace larkpost {

struct OutputFile {
  std::u16string target;     // the path the user chose, as given (named in error texts)
  std::u16string writePath;  // what to open: the temporary file, or the target itself
  std::u16string finalPath;  // what the temporary file is renamed to (links resolved)
  bool temporary = false;
};

// Creates the temporary file (empty, mode 0600) for `target`. Throws CFileException naming the
// target when that is not possible (missing folder, no permission, a folder as target) or when
// the target exists but may not be written (a read-only file is not replaced).
OutputFile PrepareOutputFile(const std::u16string& target);

// Renames the finished temporary file over the target and makes the rename durable by syncing
// the folder. Does nothing for a direct write. Throws CFileException naming the target.
void CommitOutputFile(const OutputFile& output);

}  // namespace larkpost
