#include "formats/phone_entry.h"

#include <algorithm>
#include <ctime>

#include "message/folder_path.h"

namespace larkpost {

namespace {

constexpr uint32_t kReadFlag = 0x1;  // MSGFLAG_READ

}  // namespace

std::string EntryColumnName(std::string_view name, size_t entry) {
  return std::string(name) + kEntryColumnMark + std::to_string(entry);
}

bool IsEntryColumn(std::string_view name) {
  return name.find(kEntryColumnMark) != std::string_view::npos;
}

Columns EntryColumns(const Columns& columns, size_t entry) {
  Columns own;
  own.reserve(columns.size());
  for (const NamedColumn& column : columns) {
    if (!IsEntryColumn(column.name)) own.push_back(column);
  }
  if (own.size() == columns.size()) return own;
  for (const NamedColumn& column : columns) {
    const size_t mark = column.name.rfind(kEntryColumnMark);
    if (mark == std::string::npos || column.name.compare(mark + 1, std::string::npos, std::to_string(entry)) != 0) {
      continue;
    }
    for (NamedColumn& kept : own) {
      if (kept.name.size() == mark && column.name.compare(0, mark, kept.name) == 0) kept.value = column.value;
    }
  }
  return own;
}

int PhoneTypeOf(const MessageRecord& record, DeletedAs deletedAs, const OwnNumbers& own) {
  const std::u16string_view path = record.folderPath;
  FolderKind kind;
  if (!FolderKindFromName(path.substr(0, path.find(u'\\')), kind)) return 0;
  switch (kind) {
    case FolderKind::Inbox:
      return kPhoneReceived;
    case FolderKind::Sent:
      return kPhoneSent;
    case FolderKind::Draft:
      return kPhoneDraft;
    case FolderKind::Outbox:
      return kPhoneOutbox;
    case FolderKind::Deleted:
      break;
  }
  switch (deletedAs) {
    case DeletedAs::kReceived:
      return kPhoneReceived;
    case DeletedAs::kSent:
      return kPhoneSent;
    case DeletedAs::kByDirection:
      break;
  }
  return own.Received(record) ? kPhoneReceived : kPhoneSent;
}

int64_t FileTimeToPhoneDate(FILETIME time) {
  const uint64_t ticks = FileTimeToUInt64(time);
  if (ticks == 0) return 0;
  // A time within the first millisecond of 1601 is no "no time": it keeps the first date there is.
  if (ticks < kFileTimeTicksPerMs) return kMinPhoneDate;
  return static_cast<int64_t>(ticks / kFileTimeTicksPerMs) - kMsFrom1601To1970;
}

FILETIME PhoneDateToFileTime(int64_t date) {
  if (date == 0) return FILETIME{0, 0};
  const uint64_t ms = static_cast<uint64_t>(date) + static_cast<uint64_t>(kMsFrom1601To1970);
  return UInt64ToFileTime(ms * kFileTimeTicksPerMs);
}

std::string ReadableDate(int64_t date) {
  const time_t seconds = static_cast<time_t>(date / 1000);
  struct tm local {};
  char text[64];
  if (localtime_r(&seconds, &local) == nullptr ||
      std::strftime(text, sizeof text, "%b %-d, %Y %-I:%M:%S %p", &local) == 0) {
    return "null";
  }
  return text;
}

bool EntriesOf(const MessageRecord& record, DeletedAs deletedAs, std::vector<PhoneEntry>& entries,
               std::string& error, const OwnNumbers& own) {
  entries.clear();
  const int type = PhoneTypeOf(record, deletedAs, own);
  if (type == 0) {
    error = "its folder is not below a standard folder";
    return false;
  }
  PhoneEntry entry;
  entry.date = FileTimeToPhoneDate(record.deliveryTime);
  entry.type = type;
  entry.body = record.text;
  entry.read = type != kPhoneReceived || (record.flags & kReadFlag) != 0;
  entry.columns = EntryColumns(record.phoneColumns, 0);
  entry.whole = record;
  entry.whole->text.clear();  // the body carries it
  if (record.multimedia) {
    PartyLists(record, entry.address, entry.contactName);
    entries.push_back(std::move(entry));
    return true;
  }
  if (type == kPhoneReceived || record.recipients.empty()) {
    if (type == kPhoneReceived) {
      entry.address = record.senderAddress;
      entry.contactName = record.senderName;
    }
    entries.push_back(std::move(entry));
    return true;
  }
  for (size_t i = 0; i < record.recipients.size(); ++i) {
    PhoneEntry& added = entries.emplace_back(i == 0 ? std::move(entry) : PhoneEntry{});
    if (i > 0) {
      added.date = entries.front().date;
      added.type = type;
      added.body = record.text;
      added.read = entries.front().read;
      added.columns = EntryColumns(record.phoneColumns, i);
      added.part = static_cast<int>(i);
    }
    added.address = record.recipients[i].address;
    added.contactName = record.recipients[i].displayName;
  }
  return true;
}

std::u16string FolderForPhoneType(int type) {
  switch (type) {
    case kPhoneReceived:
      return FolderKindName(FolderKind::Inbox);
    case kPhoneSent:
      return FolderKindName(FolderKind::Sent);
    case kPhoneDraft:
      return FolderKindName(FolderKind::Draft);
    case kPhoneOutbox:
    case kPhoneFailed:
    case kPhoneQueued:
      return FolderKindName(FolderKind::Outbox);
    default:
      return std::u16string();
  }
}

bool FillMultimediaRecord(int box, int64_t date, bool read, MultimediaRef multimedia,
                          MessageRecord& record, std::string& error) {
  record = MessageRecord{};
  record.folderPath = FolderForPhoneType(box);
  if (record.folderPath.empty()) {
    error = "msg_box \"" + std::to_string(box) + "\" is not a message box (1 to 6)";
    return false;
  }
  record.deliveryTime = PhoneDateToFileTime(date);
  record.lastModified = record.deliveryTime;
  record.flags = read ? kReadFlag : 0;
  for (const MmsAddress& address : multimedia->addresses) {
    const int type = address.role == kRoleTo ? 1 : address.role == kRoleCc ? 2 : address.role == kRoleBcc ? 3 : 0;
    if (address.role == kRoleFrom && record.senderAddress.empty()) {
      record.senderAddress = address.address;
    } else if (type != 0) {
      record.recipients.push_back(RecordRecipient{u"", address.address, type});
    }
  }
  if (box != kPhoneReceived && record.recipients.empty()) {
    record.senderAddress.clear();
    for (const MmsAddress& address : multimedia->addresses) {
      if (address.role == kRoleFrom && !address.address.empty()) {
        record.recipients.push_back(RecordRecipient{u"", address.address, 1});
      }
    }
  }
  record.text = MultimediaText(*multimedia);
  record.multimedia = std::move(multimedia);
  return true;
}

std::u16string MultimediaText(const Multimedia& multimedia) {
  std::u16string text;
  bool first = true;
  for (const MessagePart& part : multimedia.parts) {
    if (!part.contentType || !part.text) continue;
    std::u16string type = *part.contentType;
    for (char16_t& c : type) c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
    if (type.substr(0, type.find(u';')) != u"text/plain") continue;
    if (!first) text += u'\n';
    text += *part.text;
    first = false;
  }
  return text;
}

namespace {

std::vector<std::u16string_view> Split(std::u16string_view text, std::u16string_view by);

}  // namespace

std::vector<std::u16string_view> SplitMembers(std::u16string_view members) {
  return Split(members, u"~");
}

namespace {

std::vector<std::u16string_view> Split(std::u16string_view text, std::u16string_view by) {
  std::vector<std::u16string_view> pieces;
  for (size_t at = 0;;) {
    const size_t next = text.find(by, at);
    pieces.push_back(text.substr(at, next == std::u16string_view::npos ? next : next - at));
    if (next == std::u16string_view::npos) return pieces;
    at = next + by.size();
  }
}

}  // namespace

bool NamePartiesFrom(std::u16string_view members, std::u16string_view names,
                     MessageRecord& record) {
  if (names.empty()) return true;
  std::vector<std::u16string_view> addresses;
  if (!members.empty()) {
    addresses = Split(members, u"~");
  } else if (PhoneTypeOf(record, DeletedAs::kReceived) == kPhoneReceived) {
    addresses.push_back(record.senderAddress);
  } else {
    for (const RecordRecipient& recipient : record.recipients) addresses.push_back(recipient.address);
  }
  std::vector<std::u16string_view> named = Split(names, u", ");
  if (named.size() != addresses.size()) {
    if (addresses.size() != 1) return false;
    named.assign(1, names);
  }
  for (size_t i = 0; i < addresses.size(); ++i) {
    // A party listed by its address has no name.
    if (named[i].empty() || named[i] == addresses[i]) continue;
    if (record.senderAddress == addresses[i] && record.senderName.empty()) {
      record.senderName = named[i];
    }
    for (RecordRecipient& recipient : record.recipients) {
      if (recipient.address == addresses[i] && recipient.displayName.empty()) {
        recipient.displayName = named[i];
      }
    }
  }
  return true;
}

void KeepNames(std::u16string_view members, std::u16string_view names, Multimedia& multimedia) {
  if (!members.empty()) {
    multimedia.extras.push_back(NamedColumn{kKeptMembersColumn, std::u16string(members)});
  }
  multimedia.extras.push_back(NamedColumn{kKeptNamesColumn, std::u16string(names)});
}

void PartyLists(const MessageRecord& record, std::u16string& members, std::u16string& names) {
  members.clear();
  names.clear();
  bool named = false;
  auto add = [&](const std::u16string& address, const std::u16string& name) {
    if (address.empty()) return;
    if (!members.empty()) members += u'~', names += u", ";
    members += address;
    names += name.empty() ? address : name;
    named = named || !name.empty();
  };
  if (PhoneTypeOf(record, DeletedAs::kReceived) == kPhoneReceived) {
    add(record.senderAddress, record.senderName);
  }
  for (const RecordRecipient& recipient : record.recipients) {
    add(recipient.address, recipient.displayName);
  }
  if (!named) names.clear();
  if (record.multimedia) {
    const Columns& extras = record.multimedia->extras;
    const Column* kept = FindColumn(extras, kKeptNamesColumn);
    if (kept != nullptr && *kept) {
      names = **kept;
      const Column* keptMembers = FindColumn(extras, kKeptMembersColumn);
      if (keptMembers != nullptr && *keptMembers) members = **keptMembers;
    }
  }
}

namespace {

bool HoldsNul(std::u16string_view text) { return text.find(u'\0') != std::u16string_view::npos; }

}  // namespace

bool EntryWithinLimits(const PhoneEntry& entry, std::string& problem) {
  if (entry.body.size() > kMaxTextChars) {
    problem = "its text is " + std::to_string(entry.body.size()) + " characters long, more than " +
              std::to_string(kMaxTextChars) + "; no message is that long";
    return false;
  }
  const char* field = HoldsNul(entry.body)          ? "body"
                      : HoldsNul(entry.address)     ? "address"
                      : HoldsNul(entry.contactName) ? "contact name"
                                                    : nullptr;
  if (field == nullptr && entry.whole) {
    const MessageRecord& whole = *entry.whole;
    field = HoldsNul(whole.folderPath)      ? "folder"
            : HoldsNul(whole.senderName)    ? "sender name"
            : HoldsNul(whole.senderAddress) ? "sender address"
            : HoldsNul(whole.messageClass)  ? "class"
                                            : nullptr;
    for (const RecordRecipient& recipient : whole.recipients) {
      if (field == nullptr && (HoldsNul(recipient.displayName) || HoldsNul(recipient.address))) {
        field = "recipient";
      }
    }
  }
  if (field != nullptr) {
    problem = std::string("its ") + field +
              " holds a NUL character, which a message in the store cannot keep";
    return false;
  }
  return true;
}

bool EntryJoiner::Continues(const PhoneEntry& entry) const {
  if (!pending_ || pending_->multimedia || (entry.whole && entry.whole->multimedia) ||
      entry.date != pendingDate_ || entry.type != pendingType_ || entry.body != pending_->text) {
    return false;
  }
  // A file that carries whole messages, or marks its entries, says which entries continue one.
  if (pendingWhole_ || entry.part > 0) return entry.part > 0;
  if (entry.whole || entry.startsMessage) return false;
  // Otherwise only the app's grouping joins: the same conversation. A message names each party
  // once: an entry for a party it already has is the next message (equal messages to one party,
  // such as a draft saved twice, stay two).
  const Column* thread = FindColumn(entry.columns, kThreadColumn);
  const Column* pendingThread = FindColumn(pending_->phoneColumns, kThreadColumn);
  if (thread == nullptr || pendingThread == nullptr || !*thread || *thread != *pendingThread) {
    return false;
  }
  return entry.type != kPhoneReceived && !entry.address.empty() &&
         !pending_->recipients.empty() &&
         std::none_of(pending_->recipients.begin(), pending_->recipients.end(),
                      [&entry](const RecordRecipient& recipient) {
                        return recipient.address == entry.address;
                      });
}

bool EntryJoiner::Add(PhoneEntry entry, MessageRecord& done) {
  if (Continues(entry)) {
    // The further entry's own values of the first entry's columns (a delivery status per
    // recipient) stay with the message, under the entry's number.
    Columns& columns = pending_->phoneColumns;
    if (!columns.empty()) {
      const size_t number = pendingEntries_;
      for (NamedColumn& column : entry.columns) {
        const Column* first = FindColumn(columns, column.name);
        if (first != nullptr && *first != column.value && !IsEntryColumn(column.name)) {
          columns.push_back(NamedColumn{EntryColumnName(column.name, number), std::move(column.value)});
        }
      }
    }
    ++pendingEntries_;
    if (!pendingWhole_) {
      pending_->recipients.push_back(
          RecordRecipient{std::move(entry.contactName), std::move(entry.address), 1});
    }
    return false;
  }
  const bool completed = Finish(done);
  pendingEntries_ = 1;
  pendingDate_ = entry.date;
  pendingType_ = entry.type;
  pendingWhole_ = entry.whole.has_value();
  if (pendingWhole_) {
    pending_ = std::move(*entry.whole);
    pending_->text = std::move(entry.body);
    // A multimedia message and a call keep their columns in the record itself.
    if (!pending_->multimedia && pending_->kind == EntryKind::kMessage) {
      pending_->phoneColumns = std::move(entry.columns);
    }
    return completed;
  }
  MessageRecord& record = pending_.emplace();
  record.phoneColumns = std::move(entry.columns);
  record.folderPath = FolderForPhoneType(entry.type);
  record.deliveryTime = PhoneDateToFileTime(entry.date);
  record.lastModified = record.deliveryTime;
  record.flags = entry.read ? kReadFlag : 0;
  record.text = std::move(entry.body);
  if (entry.type == kPhoneReceived) {
    record.senderName = std::move(entry.contactName);
    record.senderAddress = std::move(entry.address);
  } else if (!entry.address.empty()) {
    record.recipients.push_back(
        RecordRecipient{std::move(entry.contactName), std::move(entry.address), 1});
  }
  return completed;
}

bool EntryJoiner::Finish(MessageRecord& done) {
  if (!pending_) return false;
  done = std::move(*pending_);
  pending_.reset();
  return true;
}

}  // namespace larkpost
