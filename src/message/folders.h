// The standard folders and every name they go by, in one table: the name in backup files and
// store dumps, the name on the command line, the store's display name and the short name people
// know from their phone. Every front end, reader and writer names folders from here.
#pragma once

#include <optional>
#include <string_view>

namespace larkpost {

// The standard folders, always handled in this order.
enum class FolderKind { Draft = 0, Inbox, Outbox, Sent, Deleted };
constexpr int kFolderKindCount = 5;

struct FolderNames {
  FolderKind kind;
  const char16_t* fileName;     // "Sentedbox": the first piece of a record's folder path
  const char* optionName;       // "sent": in --folders lists
  const char16_t* storeName;    // "Sent Items": the store folder's display name
  const char16_t* shortName;    // "Sent": in pages and listings
};

inline constexpr FolderNames kFolderNames[kFolderKindCount] = {
    {FolderKind::Draft, u"Draft", "draft", u"Drafts", u"Drafts"},
    {FolderKind::Inbox, u"Inbox", "inbox", u"Inbox", u"Inbox"},
    {FolderKind::Outbox, u"Outbox", "outbox", u"Outbox", u"Outbox"},
    {FolderKind::Sent, u"Sentedbox", "sent", u"Sent Items", u"Sent"},
    {FolderKind::Deleted, u"Wastebox", "deleted", u"Deleted Items", u"Deleted"},
};

constexpr const FolderNames& NamesOf(FolderKind kind) {
  return kFolderNames[static_cast<int>(kind)];
}

// The kind's name in backup files: "Draft", "Inbox", "Outbox", "Sentedbox", "Wastebox".
inline const char16_t* FolderKindName(FolderKind kind) { return NamesOf(kind).fileName; }

// The kind whose command-line name is `name` (ASCII letters in any case).
std::optional<FolderKind> FolderKindFromOption(std::string_view name);

}  // namespace larkpost
