// ReadMessagesAt: the messages of one folder and delivery time with their recipients, in one
// statement, for a restore's presence test. Through the interface the same answer takes a
// contents table, a restriction, and for every message an open object and a recipient table.
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
  PropList props;
  std::vector<PropList> recipients;
};

// The rows of one chunk from `from` on. The (folder, delivery time) index ends in the row id, so
// for a time other than zero the rows come in insertion order straight from it; time zero walks
// the folder's rows, as the index leaves out messages without a time.
HRESULT FetchChunk(Database& db, uint64_t uid, int64_t folderId, int64_t timeKey, int64_t from,
                   bool withEntryId, std::vector<MessageRows>* chunk, bool* more) {
  Lock lock(db.mutex());
  Statement stmt = db.Prepare(
      timeKey != 0
          ? "SELECT m.id, m.props, r.props FROM messages AS m"
            " LEFT JOIN recipients AS r ON r.message_id = m.id"
            " WHERE m.folder_id = ?1 AND m.delivery_time = ?2 AND m.id >= ?3"
            " ORDER BY m.id, r.seq"
          : "SELECT m.id, m.props, r.props FROM messages AS m INDEXED BY messages_by_folder"
            " LEFT JOIN recipients AS r ON r.message_id = m.id"
            " WHERE m.folder_id = ?1 AND (m.delivery_time IS NULL OR m.delivery_time = ?2)"
            " AND m.id >= ?3 ORDER BY m.id, r.seq");
  if (!stmt.ok()) return MAPI_E_CALL_FAILED;
  stmt.BindInt(1, folderId);
  stmt.BindInt(2, timeKey);
  stmt.BindInt(3, from);
  *more = false;
  for (;;) {
    const int rc = stmt.Step();
    if (rc == SQLITE_DONE) return S_OK;
    if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
    const int64_t id = stmt.ColumnInt(0);
    if (chunk->empty() || chunk->back().id != id) {
      if (chunk->size() == kChunkMessages) {
        *more = true;
        return S_OK;
      }
      MessageRows& message = chunk->emplace_back();
      message.id = id;
      if (withEntryId) message.props.push_back(Prop{PR_ENTRYID, MakeEntryId(uid, MAPI_MESSAGE, id)});
      PropList stored;
      ParseProps(stmt.ColumnBlob(1), &stored);  // a damaged list still lists what it holds
      for (Prop& prop : stored) message.props.push_back(std::move(prop));
    }
    if (!stmt.ColumnIsNull(2)) {
      ParseProps(stmt.ColumnBlob(2), &chunk->back().recipients.emplace_back());
    }
  }
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
  if (built) *goOn = visit(row, *recipients);
  MAPIFreeBuffer(row.lpProps);
  FreeProws(recipients);
  return built;
}

}  // namespace

HRESULT ReadMessagesAt(IMAPIFolder* folder, const FILETIME& time, const SPropTagArray* columns,
                       int64_t* position, const MessageVisit& visit) {
  if (auto fault = Enter(Operation::kReadMessagesAt)) return *fault;
  std::shared_ptr<Database> db;
  int64_t folderId = 0;
  if (folder == nullptr || position == nullptr || !visit || columns == nullptr ||
      (columns->cValues > 0 && columns->aulPropTag == nullptr) ||
      !FolderRow(folder, &db, &folderId)) {
    return MAPI_E_INVALID_PARAMETER;
  }
  SPropValue when{};
  when.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
  when.Value.ft = time;
  std::string bytes;
  EncodeValue(when, &bytes);
  const int64_t timeKey = TimeKey(bytes);
  bool withEntryId = false;
  for (ULONG i = 0; i < columns->cValues; ++i) withEntryId |= columns->aulPropTag[i] == PR_ENTRYID;
  std::vector<MessageRows> chunk;
  for (bool more = true; more;) {
    chunk.clear();
    const HRESULT hr =
        FetchChunk(*db, db->uid(), folderId, timeKey, *position, withEntryId, &chunk, &more);
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

}  // namespace larkpost::mapi
