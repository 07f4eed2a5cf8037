#include "formats/ios_messages.h"

#include <sys/stat.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

#include "formats/ios_typedstream.h"
#include "formats/phone_entry.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr int64_t kGroupChatStyle = 43;
// 2001-01-01 UTC, the iPhone's epoch, in 100 ns ticks since 1601-01-01.
constexpr int64_t kTicksAt2001 = (978307200LL + 11644473600LL) * 10000000LL;
// iOS before 11 counts seconds (today about 8e8), later iOS nanoseconds (about 8e17): a date
// beyond this bound is in nanoseconds.
constexpr int64_t kLargestSecondsDate = 100000000000LL;
constexpr char16_t kObjectReplacement = u'\uFFFC';

FILETIME TimeOf(int64_t date) {
  const bool nanoseconds = date > kLargestSecondsDate || date < -kLargestSecondsDate;
  const int64_t ticks = kTicksAt2001 + (nanoseconds ? date / 100 : date * 10000000LL);
  return UInt64ToFileTime(ticks > 0 ? static_cast<uint64_t>(ticks) : 0);
}

bool IsTapback(int64_t associatedType) {
  return (associatedType >= 2000 && associatedType <= 2007) ||
         (associatedType >= 3000 && associatedType <= 3007);
}
constexpr int64_t kStickerPlacedOnMessage = 1000;

// The content type of an attachment the database names none for, from its file's ending.
std::u16string ContentTypeFor(std::string_view name) {
  static constexpr std::pair<const char*, const char16_t*> kTypes[] = {
      {"heic", u"image/heic"}, {"heif", u"image/heif"}, {"jpg", u"image/jpeg"},
      {"jpeg", u"image/jpeg"}, {"png", u"image/png"},   {"gif", u"image/gif"},
      {"mov", u"video/quicktime"}, {"mp4", u"video/mp4"}, {"m4a", u"audio/mp4"},
      {"caf", u"audio/x-caf"}, {"amr", u"audio/amr"},   {"vcf", u"text/vcard"},
      {"pdf", u"application/pdf"}};
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    std::string ending(name.substr(dot + 1));
    for (char& c : ending) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const auto& [known, type] : kTypes) {
      if (ending == known) return type;
    }
  }
  return u"application/octet-stream";
}

class DiskBytes : public PartBytes {
 public:
  DiskBytes(std::string path, uint64_t size) : path_(std::move(path)), size_(size) {}
  uint64_t size() const override { return size_; }
  ByteSource Open() const override {
    return FileByteSource(
        std::make_shared<CFile>(Utf8ToWide(path_), CFile::modeRead | CFile::shareDenyNone));
  }

 private:
  std::string path_;
  uint64_t size_;
};

struct Chat {
  bool group = false;
  std::vector<std::u16string> members;
};

std::string Optional(const std::vector<std::string>& columns, const char* name,
                     const char* absent) {
  return ios::HasColumn(columns, name) ? std::string("m.") + name : std::string(absent);
}

class Reader : public MessageReader {
 public:
  explicit Reader(IosSource source) : source_(std::move(source)) {
    const std::vector<std::string> columns = ios::ColumnsOf(source_.messages.get(), "message");
    const bool joined = !ios::ColumnsOf(source_.messages.get(), "chat_message_join").empty();
    LoadHandles();
    LoadChats();
    rows_ = std::make_unique<ios::Statement>(
        source_.messages,
        "SELECT m.ROWID, m.text, " + Optional(columns, "attributedBody", "NULL") +
            ", m.handle_id, m.date, m.is_from_me, " + Optional(columns, "is_read", "1") + ", " +
            Optional(columns, "item_type", "0") +
            ", " + Optional(columns, "group_action_type", "0") + ", " +
            Optional(columns, "associated_message_type", "0") + ", " +
            Optional(columns, "date_retracted", "0") + ", " +
            Optional(columns, "date_edited", "0") + ", " +
            Optional(columns, "destination_caller_id", "NULL") + ", " +
            Optional(columns, "service", "NULL") + ", " +
            (joined ? "(SELECT chat_id FROM chat_message_join WHERE message_id = m.ROWID LIMIT 1)"
                    : "NULL") +
            " FROM message m ORDER BY m.ROWID");
    const std::vector<std::string> attachmentColumns =
        ios::ColumnsOf(source_.messages.get(), "attachment");
    if (!attachmentColumns.empty()) {
      attachments_ = std::make_unique<ios::Statement>(
          source_.messages,
          std::string("SELECT a.filename, a.mime_type, a.transfer_name, ") +
              (ios::HasColumn(attachmentColumns, "is_sticker") ? "a.is_sticker" : "0") +
              " FROM message_attachment_join j JOIN attachment a ON a.ROWID = j.attachment_id"
              " WHERE j.message_id = ? ORDER BY a.ROWID");
    }
    if (!rows_->ok()) error_ = WideToUtf8(source_.name) + ": " + rows_->error();
  }

  bool Next(MessageRecord& record) override {
    if (!error_.empty()) return false;
    while (rows_->Step()) {
      ++counts_.entries;
      if (LeftOutRow()) continue;
      std::vector<MessagePart> parts;
      bool onlyStickers = false;
      if (!Attachments(parts, onlyStickers)) return false;
      std::u16string text = TextOfRow();
      if (text.empty() && parts.empty() && onlyStickers) {
        continue;  // counted with the stickers
      }
      if (text.size() > kMaxTextChars) {
        error_ = RowName() + ": its text is longer than " + std::to_string(kMaxTextChars) +
                 " characters";
        return false;
      }
      if (!Build(std::move(text), std::move(parts), record)) return false;
      ++counts_.messages;
      return true;
    }
    if (!rows_->error().empty()) error_ = WideToUtf8(source_.name) + ": " + rows_->error();
    return false;
  }

 private:
  enum Col {
    kRowId, kText, kBody, kHandle, kDate, kFromMe, kRead, kItemType, kGroupAction,
    kAssociated, kRetracted, kEdited, kOwnAddress, kService, kChat
  };

  void LoadHandles() {
    ios::Statement handles(source_.messages, "SELECT ROWID, id FROM handle");
    while (handles.Step()) handles_[handles.Int(0)] = Utf8ToWide(handles.Text(1));
  }

  void LoadChats() {
    ios::Statement chats(source_.messages, "SELECT ROWID, style FROM chat");
    while (chats.Step()) chats_[chats.Int(0)].group = chats.Int(1) == kGroupChatStyle;
    ios::Statement members(source_.messages,
                           "SELECT chat_id, handle_id FROM chat_handle_join ORDER BY ROWID");
    while (members.Step()) {
      const auto chat = chats_.find(members.Int(0));
      const auto handle = handles_.find(members.Int(1));
      if (chat != chats_.end() && handle != handles_.end()) {
        chat->second.members.push_back(handle->second);
      }
    }
  }

  std::string RowName() const {
    return WideToUtf8(source_.name) + ": message " + std::to_string(rows_->Int(kRowId));
  }

  // Rows that are no message of their own: counted, and passed over.
  bool LeftOutRow() {
    const int64_t associated = rows_->Int(kAssociated);
    if (IsTapback(associated)) {
      ++counts_.tapbacksSkipped;
      return true;
    }
    if (associated == kStickerPlacedOnMessage) {
      ++counts_.stickersSkipped;
      return true;
    }
    if (rows_->Int(kItemType) != 0 || rows_->Int(kGroupAction) != 0) {
      ++counts_.groupEventsSkipped;
      return true;
    }
    // An unsent message keeps its row with the text taken out.
    if (rows_->Int(kRetracted) != 0 ||
        (rows_->Int(kEdited) != 0 && rows_->IsNull(kText) && rows_->IsNull(kBody))) {
      ++counts_.unsentSkipped;
      return true;
    }
    return false;
  }

  std::u16string TextOfRow() const {
    std::string utf8(rows_->Text(kText));
    if (utf8.empty() && !rows_->IsNull(kBody)) AttributedBodyText(rows_->Text(kBody), utf8);
    std::u16string text = Utf8ToWide(utf8);
    // The placeholders stand where the attachments were; the store cannot keep a NUL.
    std::erase_if(text, [](char16_t c) { return c == kObjectReplacement || c == u'\0'; });
    return text;
  }

  // The parts of the row's attachments that are on disk; stickers and missing files counted.
  bool Attachments(std::vector<MessagePart>& parts, bool& onlyStickers) {
    onlyStickers = false;
    if (attachments_ == nullptr) return true;
    attachments_->Reset();
    attachments_->Bind(1, rows_->Int(kRowId));
    uint64_t stickers = 0;
    uint64_t all = 0;
    while (attachments_->Step()) {
      ++all;
      if (attachments_->Int(3) != 0) {
        ++stickers;
        continue;
      }
      const std::string filename(attachments_->Text(0));
      std::shared_ptr<const PartBytes> bytes =
          filename.empty() || !source_.attachment ? nullptr : source_.attachment(filename);
      if (bytes == nullptr) {
        ++counts_.attachmentsMissing;
        continue;
      }
      std::string name(attachments_->Text(2));
      if (name.empty()) name = filename.substr(filename.rfind('/') + 1);
      MessagePart& part = parts.emplace_back();
      part.seq = u"0";
      part.contentType = attachments_->IsNull(1) ? ContentTypeFor(name)
                                                 : Utf8ToWide(attachments_->Text(1));
      part.name = Utf8ToWide(name);
      part.fileName = part.name;
      part.contentLocation = part.name;
      part.data = std::move(bytes);
    }
    if (!attachments_->error().empty()) {
      error_ = RowName() + ": " + attachments_->error();
      return false;
    }
    counts_.stickersSkipped += stickers;
    onlyStickers = stickers > 0 && stickers == all;
    return true;
  }

  Column ServiceOfRow() const {
    if (rows_->Text(kService).empty()) return std::nullopt;
    return Utf8ToWide(rows_->Text(kService));
  }

  // A text message's columns of the phones' files: none without a service; else what their
  // writers give a message that has none (which a column of its own would make them leave out),
  // then the service.
  Columns SmsColumns() const {
    Column service = ServiceOfRow();
    if (!service) return {};
    return {{"protocol", u"0"},       {"subject", std::nullopt},
            {"toa", std::nullopt},    {"sc_toa", std::nullopt},
            {"service_center", std::nullopt}, {"status", u"-1"},
            {"locked", u"0"},         {"date_sent", u"0"},
            {"sub_id", u"-1"},        {"seen", u"1"},
            {kServiceColumn, std::move(service)}};
  }

  std::u16string NameOf(const std::u16string& address) const {
    return source_.nameOf && !address.empty() ? source_.nameOf(address) : std::u16string();
  }

  bool Build(std::u16string text, std::vector<MessagePart> parts, MessageRecord& record) {
    const bool fromMe = rows_->Int(kFromMe) != 0;
    const FILETIME time = TimeOf(rows_->Int(kDate));
    const bool read = fromMe || rows_->Int(kRead) != 0;
    const auto chat = rows_->IsNull(kChat) ? chats_.end() : chats_.find(rows_->Int(kChat));
    const bool group = chat != chats_.end() && chat->second.group;
    std::u16string handle;
    if (const auto found = handles_.find(rows_->Int(kHandle)); found != handles_.end()) {
      handle = found->second;
    } else if (chat != chats_.end() && chat->second.members.size() == 1) {
      handle = chat->second.members.front();
    }
    if (!group && parts.empty()) {
      record = MessageRecord{};
      record.folderPath = FolderForPhoneType(fromMe ? kPhoneSent : kPhoneReceived);
      record.deliveryTime = time;
      record.lastModified = time;
      record.flags = read ? 1 : 0;
      record.text = std::move(text);
      record.phoneColumns = SmsColumns();
      if (!fromMe) {
        record.senderAddress = handle;
        record.senderName = NameOf(handle);
      } else if (!handle.empty()) {
        record.recipients.push_back(RecordRecipient{NameOf(handle), handle, 1});
      }
      return true;
    }
    auto multimedia = std::make_shared<Multimedia>();
    const std::u16string own = Utf8ToWide(rows_->Text(kOwnAddress));
    std::vector<std::u16string> members;
    if (chat != chats_.end()) members = chat->second.members;
    if (members.empty() && !handle.empty()) members.push_back(handle);
    if (fromMe) {
      if (!own.empty()) multimedia->addresses.push_back({own, kRoleFrom, u"106", {}});
      for (const std::u16string& member : members) {
        multimedia->addresses.push_back({member, kRoleTo, u"106", {}});
      }
    } else {
      multimedia->addresses.push_back({handle, kRoleFrom, u"106", {}});
      for (const std::u16string& member : members) {
        if (member != handle) multimedia->addresses.push_back({member, kRoleTo, u"106", {}});
      }
      if (!own.empty() && std::find(members.begin(), members.end(), own) == members.end()) {
        multimedia->addresses.push_back({own, kRoleTo, u"106", {}});
      }
    }
    if (!text.empty()) {
      MessagePart part;
      part.seq = u"0";
      part.contentType = u"text/plain";
      part.charset = u"106";
      part.name = u"text_0.txt";
      part.contentLocation = u"text_0.txt";
      part.text = std::move(text);
      parts.insert(parts.begin(), std::move(part));
    }
    multimedia->parts = std::move(parts);
    // Columns of Android's own, which its apps take back, and the service.
    multimedia->extras = {{"m_type", fromMe ? u"128" : u"132"},
                          {"ct_t", u"application/vnd.wap.multipart.related"}};
    if (const Column service = ServiceOfRow()) multimedia->extras.push_back({kServiceColumn, service});
    std::string error;
    if (!FillMultimediaRecord(fromMe ? kPhoneSent : kPhoneReceived, FileTimeToPhoneDate(time),
                              read, MultimediaRef{std::move(multimedia)}, record, error)) {
      error_ = RowName() + ": " + error;
      return false;
    }
    record.deliveryTime = time;
    record.lastModified = time;
    record.senderName = NameOf(record.senderAddress);
    for (RecordRecipient& recipient : record.recipients) {
      recipient.displayName = NameOf(recipient.address);
    }
    return true;
  }

  IosSource source_;
  std::unordered_map<int64_t, std::u16string> handles_;
  std::unordered_map<int64_t, Chat> chats_;
  std::unique_ptr<ios::Statement> rows_;
  std::unique_ptr<ios::Statement> attachments_;
};

}  // namespace

bool IsIosMessageDatabase(sqlite3* db) {
  return !ios::ColumnsOf(db, "message").empty() && !ios::ColumnsOf(db, "handle").empty();
}

std::unique_ptr<MessageReader> IosMessageReader(IosSource source) {
  return std::make_unique<Reader>(std::move(source));
}

std::shared_ptr<const PartBytes> BytesOnDisk(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  return std::make_shared<DiskBytes>(path, static_cast<uint64_t>(info.st_size));
}

}  // namespace larkpost
