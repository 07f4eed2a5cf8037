// The iPhone message database reader on databases the input fills. The input chooses which of
// the optional columns and tables exist, then the rows of handle, chat, chat_handle_join,
// message, chat_message_join, attachment and message_attachment_join. The columns are declared
// without types, so a value may be null, a number, a real, a text or a blob wherever the
// database's loose typing lets it be, as in a damaged or foreign sms.db. Every message is read,
// to the end or to the reader's error.
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats/ios_messages.h"
#include "message/message_record.h"

namespace {

// The columns of `message` a reader may meet or miss, each present when its bit is set.
constexpr const char* kOptionalMessageColumns[] = {
    "attributedBody", "is_read", "item_type", "group_action_type", "associated_message_type",
    "date_retracted", "date_edited", "destination_caller_id", "service"};
constexpr int kChatMessageJoin = 1 << 9;
constexpr int kAttachmentTable = 1 << 10;
constexpr int kAttachmentJoin = 1 << 11;
constexpr int kStickerColumn = 1 << 12;

void Execute(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) __builtin_trap();
}

// One value of any storage class; numbers lean to those the reader tells apart (tapbacks,
// stickers, the group chat style, dates in seconds and in nanoseconds).
void BindValue(FuzzedDataProvider& in, sqlite3_stmt* stmt, int index) {
  switch (in.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
      sqlite3_bind_null(stmt, index);
      break;
    case 1: {
      static constexpr int64_t kTelling[] = {0, 1, 43, 1000, 2000, 2007, 3000, 3007,
                                             100000000000LL, 700000000000000000LL};
      sqlite3_bind_int64(stmt, index, in.PickValueInArray(kTelling));
      break;
    }
    case 2:
      sqlite3_bind_int64(stmt, index, in.ConsumeIntegralInRange<int64_t>(-2, 8));
      break;
    case 3:
      sqlite3_bind_int64(stmt, index, in.ConsumeIntegral<int64_t>());
      break;
    case 4:
      sqlite3_bind_double(stmt, index, in.ConsumeFloatingPoint<double>());
      break;
    case 5: {
      const std::string text = in.ConsumeRandomLengthString(64);
      sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      break;
    }
    default: {
      const std::string blob = in.ConsumeRandomLengthString(512);
      sqlite3_bind_blob(stmt, index, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
      break;
    }
  }
}

// A key (a ROWID, or a column naming one) is mostly one of a few small numbers, so that rows
// meet: a message its chat and its attachments, a chat its members.
bool IsKey(const std::string& column) {
  return column == "ROWID" || column == "handle_id" || column == "chat_id" ||
         column == "message_id" || column == "attachment_id";
}

// Up to `most` rows of `table`, every column's value from the input.
void FillTable(FuzzedDataProvider& in, sqlite3* db, const std::string& table,
               const std::vector<std::string>& columns, int most) {
  std::string sql = "INSERT OR REPLACE INTO " + table + " (";
  std::string values;
  for (const std::string& column : columns) {
    sql += (values.empty() ? "" : ", ") + column;
    values += values.empty() ? "?" : ", ?";
  }
  sql += ") VALUES (" + values + ")";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) __builtin_trap();
  const int rows = in.ConsumeIntegralInRange<int>(0, most);
  for (int row = 0; row < rows && in.remaining_bytes() > 0; ++row) {
    for (size_t i = 0; i < columns.size(); ++i) {
      const int index = static_cast<int>(i) + 1;
      if (IsKey(columns[i]) && in.ConsumeBool()) {
        sqlite3_bind_int64(stmt, index, in.ConsumeIntegralInRange<int64_t>(1, 4));
      } else {
        BindValue(in, stmt, index);
      }
    }
    sqlite3_step(stmt);  // a ROWID that is not a number is refused, as it would be on disk
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
}

// A table whose ROWID is its own, with the other columns untyped.
std::string CreateTable(const std::string& table, const std::vector<std::string>& columns) {
  std::string sql = "CREATE TABLE " + table + " (ROWID INTEGER PRIMARY KEY";
  for (size_t i = 1; i < columns.size(); ++i) sql += ", " + columns[i];
  return sql + ")";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int shape = in.ConsumeIntegral<uint16_t>();
  sqlite3* raw = nullptr;
  if (sqlite3_open(":memory:", &raw) != SQLITE_OK) __builtin_trap();
  const larkpost::ios::Database db(raw, sqlite3_close);

  Execute(raw, CreateTable("handle", {"ROWID", "id"}));
  Execute(raw, CreateTable("chat", {"ROWID", "style"}));
  Execute(raw, "CREATE TABLE chat_handle_join (chat_id, handle_id)");
  std::vector<std::string> message = {"ROWID", "text", "handle_id", "date", "is_from_me"};
  for (size_t i = 0; i < std::size(kOptionalMessageColumns); ++i) {
    if (shape & (1 << i)) message.emplace_back(kOptionalMessageColumns[i]);
  }
  Execute(raw, CreateTable("message", message));
  std::vector<std::string> attachment = {"ROWID", "filename", "mime_type", "transfer_name"};
  if (shape & kStickerColumn) attachment.emplace_back("is_sticker");
  if (shape & kChatMessageJoin) Execute(raw, "CREATE TABLE chat_message_join (chat_id, message_id)");
  if (shape & kAttachmentTable) {
    Execute(raw, CreateTable("attachment", attachment));
  }
  if (shape & kAttachmentJoin) {
    Execute(raw, "CREATE TABLE message_attachment_join (message_id, attachment_id)");
  }

  FillTable(in, raw, "handle", {"ROWID", "id"}, 6);
  FillTable(in, raw, "chat", {"ROWID", "style"}, 4);
  FillTable(in, raw, "chat_handle_join", {"chat_id", "handle_id"}, 8);
  FillTable(in, raw, "message", message, 12);
  if (shape & kChatMessageJoin) FillTable(in, raw, "chat_message_join", {"chat_id", "message_id"}, 12);
  if (shape & kAttachmentTable) FillTable(in, raw, "attachment", attachment, 6);
  if (shape & kAttachmentJoin) {
    FillTable(in, raw, "message_attachment_join", {"message_id", "attachment_id"}, 8);
  }
  if (!larkpost::IsIosMessageDatabase(raw)) __builtin_trap();

  // Attachment files: those whose name ends in "!" are missing, the others hold their own name.
  larkpost::IosSource source{db, u"sms.db", nullptr, nullptr};
  source.attachment = [](const std::string& filename) -> std::shared_ptr<const larkpost::PartBytes> {
    if (!filename.empty() && filename.back() == '!') return nullptr;
    return larkpost::BytesInMemory(filename);
  };
  source.nameOf = [](const std::u16string& address) {
    return !address.empty() && address.front() == u'+' ? u"Maria" + address : std::u16string();
  };
  const std::unique_ptr<larkpost::MessageReader> reader = larkpost::IosMessageReader(source);
  larkpost::MessageRecord record;
  while (reader->Next(record)) {
    // The placeholders of attachments and NULs never reach a text.
    if (std::find_if(record.text.begin(), record.text.end(), [](char16_t c) {
          return c == u'\uFFFC' || c == u'\0';
        }) != record.text.end()) {
      __builtin_trap();
    }
  }
  return 0;
}
