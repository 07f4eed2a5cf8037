// ReadMessagesAt and ReadMessagesFrom: the messages of one folder at one delivery time, or from
// one time on, with their recipients, in one statement, for a restore's presence test. Through
// the interface the same answer takes a contents table, a restriction, and for every message an
// open object and a recipient table.
#include <algorithm>

#include "platform/mapi/objects_internal.h"
#include "platform/mapi/provider.h"

namespace larkpost::mapi {

namespace {

// Messages handed to the visitor per statement run: the rows are read under the database lock
// and visited after it is released, so a chunk bounds the memory a time shared by many messages
// (drafts, all at time zero) can take.
constexpr size_t kChunkMessages = 256;

struct MessageRows {
  int64_t id = 0;
  int64_t timeKey = 0;  // the delivery time as the index keeps it; 0 without one
  PropList props;
  std::vector<PropList> recipients;
};

// Steps a bound statement whose columns are the message's id, delivery time and properties and
// one recipient's properties (null for a message without any), in message order, and collects
// up to `limit` whole messages; *more tells whether rows were left.
HRESULT Collect(Statement& stmt, uint64_t uid, const SPropTagArray* columns, size_t limit,
                std::vector<MessageRows>* chunk, bool* more) {
  if (!stmt.ok()) return MAPI_E_CALL_FAILED;
  const bool withEntryId =
      std::find(columns->aulPropTag, columns->aulPropTag + columns->cValues, PR_ENTRYID) !=
      columns->aulPropTag + columns->cValues;
  *more = false;
  for (;;) {
    const int rc = stmt.Step();
    if (rc == SQLITE_DONE) return S_OK;
    if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
    const int64_t id = stmt.ColumnInt(0);
    if (chunk->empty() || chunk->back().id != id) {
      if (chunk->size() == limit) {
        *more = true;
        return S_OK;
      }
      MessageRows& message = chunk->emplace_back();
      message.id = id;
      message.timeKey = stmt.ColumnInt(1);
      // Only the caller's columns are kept; a damaged list still lists what it holds.
      ParseProps(stmt.ColumnBytes(2), &message.props, columns);
      if (withEntryId) {
        message.props.push_back(Prop{PR_ENTRYID, MakeEntryId(uid, MAPI_MESSAGE, id)});
      }
    }
    if (!stmt.ColumnIsNull(3)) {
      ParseProps(stmt.ColumnBytes(3), &chunk->back().recipients.emplace_back());
    }
  }
}

// The readers' statements, each bound with the folder (?1), a time (?2) and a message (?3).
// The messages of one time from message ?3 on: the (folder, delivery time) index ends in the row
// id, so for a time other than zero the rows come in insertion order straight from it; time zero
// walks the folder's rows, as the index leaves out messages without a time.
constexpr const char* kAtTime =
    "SELECT m.id, m.delivery_time, m.props, r.props FROM messages AS m"
    " LEFT JOIN recipients AS r ON r.message_id = m.id"
    " WHERE m.folder_id = ?1 AND m.delivery_time = ?2 AND m.id >= ?3"
    " ORDER BY m.id, r.seq";
constexpr const char* kAtTimeZero =
    "SELECT m.id, m.delivery_time, m.props, r.props FROM messages AS m"
    " INDEXED BY messages_by_folder"
    " LEFT JOIN recipients AS r ON r.message_id = m.id"
    " WHERE m.folder_id = ?1 AND (m.delivery_time IS NULL OR m.delivery_time = ?2)"
    " AND m.id >= ?3 ORDER BY m.id, r.seq";
// The messages from (time ?2, message ?3) on, in the index's order.
constexpr const char* kFromTime =
    "SELECT m.id, m.delivery_time, m.props, r.props FROM messages AS m"
    " LEFT JOIN recipients AS r ON r.message_id = m.id"
    " WHERE m.folder_id = ?1 AND m.delivery_time >= ?2"
    " AND (m.delivery_time > ?2 OR m.id >= ?3)"
    " ORDER BY m.delivery_time, m.id, r.seq";

// Up to `limit` messages of one of the statements above.
HRESULT Fetch(Database& db, const char* sql, int64_t folderId, int64_t timeKey, int64_t from,
              size_t limit, const SPropTagArray* columns, std::vector<MessageRows>* chunk,
              bool* more) {
  Lock lock(db.mutex());
  Statement stmt = db.Prepare(sql);
  stmt.BindInt(1, folderId);
  stmt.BindInt(2, timeKey);
  stmt.BindInt(3, from);
  return Collect(stmt, db.uid(), columns, limit, chunk, more);
}

// Hands one message to the visitor as the interface's rows. False when out of memory.
bool Visit(const MessageRows& message, const SPropTagArray* columns, const MessageVisit& visit,
           bool* goOn) {
  const ULONG n = static_cast<ULONG>(message.recipients.size());
  auto* recipients = static_cast<SRowSet*>(AllocateBlock(CbNewSRowSet(n)));
  if (recipients == nullptr) return false;
  recipients->cRows = 0;
  SRow row{};
  bool built = BuildValues(message.props, columns->aulPropTag, columns->cValues, &row.cValues,
                           &row.lpProps) != MAPI_E_NOT_ENOUGH_MEMORY;
  for (ULONG i = 0; built && i < n; ++i) {
    const std::vector<ULONG> tags = TagsOf(message.recipients[i]);
    SRow& out = recipients->aRow[i];
    out.ulAdrEntryPad = 0;
    built = BuildValues(message.recipients[i], tags.data(), static_cast<ULONG>(tags.size()),
                        &out.cValues, &out.lpProps) != MAPI_E_NOT_ENOUGH_MEMORY;
    if (built) ++recipients->cRows;
  }
  if (built) *goOn = visit(message.id, row, *recipients);
  MAPIFreeBuffer(row.lpProps);
  FreeProws(recipients);
  return built;
}

// What both readers check, and the folder's database and row. False for bad arguments.
bool CheckArguments(IMAPIFolder* folder, const SPropTagArray* columns, const MessageVisit& visit,
                    std::shared_ptr<Database>* db, int64_t* folderId) {
  return folder != nullptr && visit && columns != nullptr &&
         (columns->cValues == 0 || columns->aulPropTag != nullptr) &&
         FolderRow(folder, db, folderId);
}

int64_t TimeKeyOf(const FILETIME& time) {
  SPropValue when{};
  when.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
  when.Value.ft = time;
  std::string bytes;
  EncodeValue(when, &bytes);
  return TimeKey(bytes);
}

FILETIME FileTimeOfKey(int64_t key) {
  const auto value = static_cast<uint64_t>(key);
  return FILETIME{static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
}

}  // namespace

HRESULT ReadMessagesAt(IMAPIFolder* folder, const FILETIME& time, const SPropTagArray* columns,
                       int64_t* position, const MessageVisit& visit) {
  if (auto fault = Enter(Operation::kReadMessagesAt)) return *fault;
  std::shared_ptr<Database> db;
  int64_t folderId = 0;
  if (position == nullptr ||
      !CheckArguments(folder, columns, visit, &db, &folderId)) {
    return MAPI_E_INVALID_PARAMETER;
  }
  const int64_t timeKey = TimeKeyOf(time);
  std::vector<MessageRows> chunk;
  for (bool more = true; more;) {
    chunk.clear();
    const HRESULT hr = Fetch(*db, timeKey != 0 ? kAtTime : kAtTimeZero, folderId, timeKey,
                             *position, kChunkMessages, columns, &chunk, &more);
    if (hr != S_OK) return hr;
    for (const MessageRows& message : chunk) {
      *position = message.id + 1;
      bool goOn = true;
      if (!Visit(message, columns, visit, &goOn)) return MAPI_E_NOT_ENOUGH_MEMORY;
      if (!goOn) return S_OK;
    }
  }
  return S_OK;
}

HRESULT ReadMessagesFrom(IMAPIFolder* folder, const FILETIME& from, size_t atLeast,
                         const SPropTagArray* columns, FILETIME* next,
                         const MessageVisit& visit) {
  if (auto fault = Enter(Operation::kReadMessagesFrom)) return *fault;
  std::shared_ptr<Database> db;
  int64_t folderId = 0;
  const int64_t fromKey = TimeKeyOf(from);
  if (next == nullptr || fromKey <= 0 ||
      !CheckArguments(folder, columns, visit, &db, &folderId)) {
    return MAPI_E_INVALID_PARAMETER;
  }
  *next = FILETIME{0, 0};
  // The first statement reads one message beyond the count, to learn where the times go on;
  // only a time with more messages than that takes further ones.
  int64_t timeKey = fromKey;
  int64_t position = 0;
  size_t visited = 0;
  std::vector<MessageRows> chunk;
  for (bool more = true; more;) {
    chunk.clear();
    const size_t limit = visited == 0 ? std::min(atLeast, kChunkMessages - 1) + 1 : kChunkMessages;
    const HRESULT hr =
        Fetch(*db, kFromTime, folderId, timeKey, position, limit, columns, &chunk, &more);
    if (hr != S_OK) return hr;
    for (const MessageRows& message : chunk) {
      if (visited >= atLeast && message.timeKey != timeKey) {
        *next = FileTimeOfKey(message.timeKey);
        return S_OK;
      }
      timeKey = message.timeKey;
      position = message.id + 1;
      ++visited;
      bool goOn = true;
      if (!Visit(message, columns, visit, &goOn)) return MAPI_E_NOT_ENOUGH_MEMORY;
      if (!goOn) return S_OK;
    }
  }
  return S_OK;
}

HRESULT DeleteMessageAt(IMAPIFolder* folder, int64_t position) {
  if (auto fault = Enter(Operation::kDeleteMessageAt)) return *fault;
  std::shared_ptr<Database> db;
  int64_t folderId = 0;
  if (folder == nullptr || !FolderRow(folder, &db, &folderId)) return MAPI_E_INVALID_PARAMETER;
  Lock lock(db->mutex());
  // The message and its recipients go together: one transaction (a savepoint inside the
  // caller's).
  HRESULT hr = db->Begin();
  if (hr != S_OK) return hr;
  // A short message or call of the folder, or one of its multimedia messages.
  Statement message =
      db->Prepare("DELETE FROM messages WHERE id = ?1 AND (folder_id = ?2 OR folder_id = ?3)");
  message.BindInt(1, position);
  message.BindInt(2, folderId);
  message.BindInt(3, folderId + kMultimediaList);
  int rc = message.ok() ? message.Step() : SQLITE_ERROR;
  if (rc != SQLITE_DONE) {
    db->Rollback();
    return ResultFromSqlite(rc);
  }
  if (sqlite3_changes(db->handle()) == 0) {
    db->Rollback();
    return MAPI_E_NOT_FOUND;
  }
  Statement recipients = db->Prepare("DELETE FROM recipients WHERE message_id = ?1");
  recipients.BindInt(1, position);
  rc = recipients.ok() ? recipients.Step() : SQLITE_ERROR;
  if (rc != SQLITE_DONE) {
    db->Rollback();
    return ResultFromSqlite(rc);
  }
  if (db->schemaVersion() == kSchemaVersion) {
    if (const HRESULT dropped = DeleteAttachments(*db, position); dropped != S_OK) {
      db->Rollback();
      return dropped;
    }
  }
  return db->Commit();
}

}  // namespace larkpost::mapi
