// Looking up the folder a record's folder path names without creating anything, so that a
// restore can tell an existing folder from one it would have to create. The path is taken apart
// by ParseFolderPath (backupfile/folder_path.h), as for ResolveFolderPath. Runs on the thread
// that uses the session.
#pragma once

#include <memory>
#include <string>

#include "store/folder.h"
#include "store/session.h"

namespace larkpost {

enum class FolderLookup {
  kFound,    // every folder on the path exists
  kMissing,  // the standard folder exists, a subfolder on the path does not
  kFailed,   // bad path, missing standard folder, or the store refused a lookup
};

// Opens the subfolder of `parent` whose display name is exactly `name` (already trimmed), if
// there is one; on kFound `child` holds it. The hierarchy table answers the lookup itself.
FolderLookup OpenExistingSubfolder(SmsFolder& parent, const std::u16string& name,
                                   std::unique_ptr<SmsFolder>& child);

// Finds the folder of `path`, opening only subfolders that exist. On kFound `folder` points at
// it: a standard folder owned by the session (then `owned` is empty), or the wrapper held in
// `owned`. Otherwise `folder` is null and `owned` empty; nothing is left behind.
FolderLookup FindFolderPath(SmsSession& session, const std::u16string& path, SmsFolder*& folder,
                            std::unique_ptr<SmsFolder>& owned);

}  // namespace larkpost
