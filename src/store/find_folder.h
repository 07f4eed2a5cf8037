// Looking up a subfolder by name without creating anything, so that a restore walking a record's
// folder path (taken apart by ParseFolderPath, message/folder_path.h) can tell an existing
// folder from one it would have to create. Runs on the thread that uses the session.
#pragma once

#include <memory>
#include <string>

#include "store/folder.h"
#include "store/session.h"

namespace larkpost {

enum class FolderLookup {
  kFound,    // the subfolder exists
  kMissing,  // it does not
  kFailed,   // the parent is not open, or the store refused a lookup
};

// Opens the subfolder of `parent` whose display name is exactly `name` (already trimmed), if
// there is one; on kFound `child` holds it. The hierarchy table answers the lookup itself.
FolderLookup OpenExistingSubfolder(SmsFolder& parent, const std::u16string& name,
                                   std::unique_ptr<SmsFolder>& child);

}  // namespace larkpost
