// Looking up the folder a record's folder path names without creating anything, so that a
// restore can test for a duplicate before it changes the store. Same path rules as
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

}  // namespace larkpost
