#include "message/folder_path.h"

#include "platform/text/text.h"

namespace larkpost {

namespace {

char16_t AsciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

}  // namespace

std::optional<FolderKind> FolderKindFromOption(std::string_view name) {
  for (const FolderNames& names : kFolderNames) {
    const std::string_view option = names.optionName;
    if (option.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      same = AsciiLower(static_cast<char16_t>(static_cast<unsigned char>(name[i]))) == option[i];
    }
    if (same) return names.kind;
  }
  return std::nullopt;
}

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool FolderKindFromName(std::u16string_view name, FolderKind& kind) {
  for (int i = 0; i < kFolderKindCount; ++i) {
    if (EqualsIgnoringAsciiCase(name, kFolderNames[i].fileName)) {
      kind = static_cast<FolderKind>(i);
      return true;
    }
  }
  return false;
}

std::u16string ShownFolderPath(std::u16string_view path) {
  const size_t end = path.find(u'\\');
  FolderKind kind;
  if (!FolderKindFromName(path.substr(0, end), kind)) return std::u16string(path);
  std::u16string shown = NamesOf(kind).storeName;
  if (end != std::u16string_view::npos) shown += path.substr(end);
  return shown;
}

std::u16string SubfolderName(std::u16string_view piece) {
  std::u16string name = TrimWhiteSpace(piece);
  if (name.empty()) name = u"NewFolder";
  return name;
}

FolderPathResult ParseFolderPath(std::u16string_view path, FolderPath& parsed) {
  parsed.subfolders.clear();
  // Every backslash separates, so empty pieces and the piece after a final backslash count.
  size_t end = path.find(u'\\');
  if (!FolderKindFromName(path.substr(0, end), parsed.kind)) {
    return FolderPathResult::kUnknownFolder;
  }
  while (end != std::u16string_view::npos) {
    if (parsed.subfolders.size() == kMaxFolderDepth) return FolderPathResult::kTooDeep;
    const size_t start = end + 1;
    end = path.find(u'\\', start);
    parsed.subfolders.push_back(SubfolderName(
        path.substr(start, end == std::u16string_view::npos ? end : end - start)));
  }
  return FolderPathResult::kOk;
}

}  // namespace larkpost
