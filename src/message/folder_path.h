// Folder paths of backup records, the one parser of them: "Inbox" or "Inbox\Work\Old", the
// standard folder's file name first (any ASCII letter case), then the names of the subfolders
// below it, separated by backslashes. Each subfolder name is trimmed of white space; a name
// that is empty then is "NewFolder". Store-free: the record checker, the duplicate lookup and
// folder creation all take a path apart here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "message/folders.h"

namespace larkpost {

// The kind whose file name equals `name` ignoring ASCII letter case; false when none does.
bool FolderKindFromName(std::u16string_view name, FolderKind& kind);

// Compares two texts ignoring the case of ASCII letters only.
bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b);

// The deepest subfolder level a path may name. A phone keeps a handful of levels; the bound keeps
// a crafted file from building a tree that every later walk would have to climb down.
constexpr size_t kMaxFolderDepth = 64;

struct FolderPath {
  FolderKind kind = FolderKind::Inbox;
  std::vector<std::u16string> subfolders;  // trimmed, "NewFolder" for an empty name
};

enum class FolderPathResult {
  kOk,
  kUnknownFolder,  // the first piece is not a standard folder name
  kTooDeep,        // more than kMaxFolderDepth subfolder levels
};

FolderPathResult ParseFolderPath(std::u16string_view path, FolderPath& parsed);

// The path as the desktop program shows it: the standard folder by its store name, "Sent
// Items\Work" for "Sentedbox\Work"; a path whose first piece names no standard folder stays as
// it is. For listings only: files keep their own names.
std::u16string ShownFolderPath(std::u16string_view path);

// A subfolder name as the store keeps it: trimmed of white space, "NewFolder" when empty.
std::u16string SubfolderName(std::u16string_view piece);

}  // namespace larkpost
