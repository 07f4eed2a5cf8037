// Tables: live views over the store's rows in insertion order.
//
// A table remembers only its position as a key: the next row is the first one (meeting the
// restriction) whose key is at least `position_`. Rows added behind the position therefore
// appear when the walk reaches them, and each fetch is an index seek, not an OFFSET scan.
#include <algorithm>
#include <functional>
#include <limits>

#include "platform/mapi/objects.h"

namespace larkpost::mapi {

namespace {

constexpr int64_t kBeginning = std::numeric_limits<int64_t>::min();
constexpr int64_t kAfterAll = std::numeric_limits<int64_t>::max();
constexpr size_t kUnfilteredChunk = 4096;
constexpr size_t kFilteredChunk = 256;

std::string EntryIdBytes(uint64_t uid, ULONG type, int64_t id) {
  return MakeEntryId(uid, type, id);
}

// Steps a fetch statement and turns its rows into Row values with `build`.
HRESULT Collect(Statement& stmt, std::vector<Row>* rows,
                const std::function<void(Statement&, Row*)>& build) {
  for (;;) {
    int rc = stmt.Step();
    if (rc == SQLITE_DONE) return S_OK;
    if (rc != SQLITE_ROW) return ResultFromSqlite(rc);
    Row row{stmt.ColumnInt(0), {}};
    build(stmt, &row);
    rows->push_back(std::move(row));
  }
}

HRESULT CountWith(Database& db, const char* sql, int64_t owner, ULONG* count) {
  Statement stmt = db.Prepare(sql);
  if (!stmt.ok()) return MAPI_E_CALL_FAILED;
  stmt.BindInt(1, owner);
  int rc = stmt.Step();
  if (rc != SQLITE_ROW) return ResultFromSqlite(rc == SQLITE_DONE ? SQLITE_ERROR : rc);
  *count = static_cast<ULONG>(std::min<int64_t>(stmt.ColumnInt(0), UINT32_MAX));
  return S_OK;
}

class StoresTableSource final : public RowSource {
 public:
  explicit StoresTableSource(uint64_t uid) : uid_(uid) {}
  HRESULT Fetch(Database& db, int64_t from, bool forward, int limit,
                const std::optional<std::string>&, std::vector<Row>* rows) override {
    Statement stmt = db.Prepare(
        forward ? "SELECT id, display_name FROM stores WHERE id >= ?1 ORDER BY id LIMIT ?2"
                : "SELECT id, display_name FROM stores WHERE id < ?1 ORDER BY id DESC LIMIT ?2");
    if (!stmt.ok()) return MAPI_E_CALL_FAILED;
    stmt.BindInt(1, from);
    stmt.BindInt(2, limit);
    return Collect(stmt, rows, [this](Statement& s, Row* row) {
      row->props.push_back(Prop{PR_ENTRYID, EntryIdBytes(uid_, MAPI_STORE, row->key)});
      row->props.push_back(Prop{PR_DISPLAY_NAME, s.ColumnBlob(1)});
    });
  }
  HRESULT Count(Database& db, ULONG* count) override {
    return CountWith(db, "SELECT count(*) FROM stores", 0, count);
  }
  std::vector<ULONG> DefaultColumns(const PropList&) const override {
    return {PR_ENTRYID, PR_DISPLAY_NAME};
  }

 private:
  uint64_t uid_;
};

class FoldersTableSource final : public RowSource {
 public:
  FoldersTableSource(uint64_t uid, int64_t parentId) : uid_(uid), parentId_(parentId) {}
  HRESULT Fetch(Database& db, int64_t from, bool forward, int limit,
                const std::optional<std::string>& name, std::vector<Row>* rows) override {
    const char* sql;
    if (name.has_value()) {
      // Answered by the (parent_id, display_name) index: a restore looks up the subfolder a
      // record names for every record.
      sql = forward ? "SELECT id, display_name, comment FROM folders"
                      " WHERE parent_id = ?1 AND display_name = ?4 AND id >= ?2 ORDER BY id LIMIT ?3"
                    : "SELECT id, display_name, comment FROM folders"
                      " WHERE parent_id = ?1 AND display_name = ?4 AND id < ?2"
                      " ORDER BY id DESC LIMIT ?3";
    } else {
      sql = forward ? "SELECT id, display_name, comment FROM folders"
                      " WHERE parent_id = ?1 AND id >= ?2 ORDER BY id LIMIT ?3"
                    : "SELECT id, display_name, comment FROM folders"
                      " WHERE parent_id = ?1 AND id < ?2 ORDER BY id DESC LIMIT ?3";
    }
    Statement stmt = db.Prepare(sql);
    if (!stmt.ok()) return MAPI_E_CALL_FAILED;
    stmt.BindInt(1, parentId_);
    stmt.BindInt(2, from);
    stmt.BindInt(3, limit);
    if (name.has_value()) stmt.BindBlob(4, *name);
    return Collect(stmt, rows, [this](Statement& s, Row* row) {
      row->props.push_back(Prop{PR_ENTRYID, EntryIdBytes(uid_, MAPI_FOLDER, row->key)});
      row->props.push_back(Prop{PR_DISPLAY_NAME, s.ColumnBlob(1)});
      if (!s.ColumnIsNull(2)) row->props.push_back(Prop{PR_COMMENT, s.ColumnBlob(2)});
    });
  }
  HRESULT Count(Database& db, ULONG* count) override {
    return CountWith(db, "SELECT count(*) FROM folders WHERE parent_id = ?1", parentId_, count);
  }
  std::vector<ULONG> DefaultColumns(const PropList&) const override {
    return {PR_ENTRYID, PR_DISPLAY_NAME};
  }
  ULONG IndexedColumn() const override { return PR_DISPLAY_NAME; }

 private:
  uint64_t uid_;
  int64_t parentId_;
};

class MessagesTableSource final : public RowSource {
 public:
  MessagesTableSource(uint64_t uid, int64_t folderId) : uid_(uid), folderId_(folderId) {}
  HRESULT Fetch(Database& db, int64_t from, bool forward, int limit,
                const std::optional<std::string>& time, std::vector<Row>* rows) override {
    const char* sql;
    if (time.has_value()) {
      // Answered by the (folder_id, delivery_time) index, whose entries end in the row id.
      sql = forward ? "SELECT id, props FROM messages WHERE folder_id = ?1"
                      " AND delivery_time = ?4 AND id >= ?2 ORDER BY id LIMIT ?3"
                    : "SELECT id, props FROM messages WHERE folder_id = ?1"
                      " AND delivery_time = ?4 AND id < ?2 ORDER BY id DESC LIMIT ?3";
    } else {
      sql = forward ? "SELECT id, props FROM messages INDEXED BY messages_by_folder"
                      " WHERE folder_id = ?1 AND id >= ?2 ORDER BY id LIMIT ?3"
                    : "SELECT id, props FROM messages INDEXED BY messages_by_folder"
                      " WHERE folder_id = ?1 AND id < ?2 ORDER BY id DESC LIMIT ?3";
    }
    Statement stmt = db.Prepare(sql);
    if (!stmt.ok()) return MAPI_E_CALL_FAILED;
    stmt.BindInt(1, folderId_);
    stmt.BindInt(2, from);
    stmt.BindInt(3, limit);
    if (time.has_value()) stmt.BindInt(4, TimeKey(*time));
    return Collect(stmt, rows, [this](Statement& s, Row* row) {
      PropList stored;
      ParseProps(s.ColumnBlob(1), &stored);  // a damaged list still lists what it holds
      row->props.reserve(stored.size() + 1);
      row->props.push_back(Prop{PR_ENTRYID, EntryIdBytes(uid_, MAPI_MESSAGE, row->key)});
      for (Prop& prop : stored) row->props.push_back(std::move(prop));
    });
  }
  HRESULT Count(Database& db, ULONG* count) override {
    return CountWith(db, "SELECT count(*) FROM messages WHERE folder_id = ?1", folderId_, count);
  }
  std::vector<ULONG> DefaultColumns(const PropList& row) const override { return TagsOf(row); }
  ULONG IndexedColumn() const override { return PR_MESSAGE_DELIVERY_TIME; }

 private:
  uint64_t uid_;
  int64_t folderId_;
};

class RecipientsTableSource final : public RowSource {
 public:
  explicit RecipientsTableSource(int64_t messageId) : messageId_(messageId) {}
  HRESULT Fetch(Database& db, int64_t from, bool forward, int limit,
                const std::optional<std::string>&, std::vector<Row>* rows) override {
    Statement stmt = db.Prepare(
        forward ? "SELECT seq, props FROM recipients"
                  " WHERE message_id = ?1 AND seq >= ?2 ORDER BY seq LIMIT ?3"
                : "SELECT seq, props FROM recipients"
                  " WHERE message_id = ?1 AND seq < ?2 ORDER BY seq DESC LIMIT ?3");
    if (!stmt.ok()) return MAPI_E_CALL_FAILED;
    stmt.BindInt(1, messageId_);
    stmt.BindInt(2, from);
    stmt.BindInt(3, limit);
    return Collect(stmt, rows,
                   [](Statement& s, Row* row) { ParseProps(s.ColumnBlob(1), &row->props); });
  }
  HRESULT Count(Database& db, ULONG* count) override {
    return CountWith(db, "SELECT count(*) FROM recipients WHERE message_id = ?1", messageId_,
                     count);
  }
  // The three columns every recipient has, then whatever else was written for this one.
  std::vector<ULONG> DefaultColumns(const PropList& row) const override {
    std::vector<ULONG> columns = {PR_EMAIL_ADDRESS, PR_RECIPIENT_TYPE, PR_DISPLAY_NAME};
    for (ULONG tag : TagsOf(row)) {
      ULONG id = PROP_ID(tag);
      if (id != PROP_ID(PR_EMAIL_ADDRESS) && id != PROP_ID(PR_RECIPIENT_TYPE) &&
          id != PROP_ID(PR_DISPLAY_NAME)) {
        columns.push_back(tag);
      }
    }
    return columns;
  }

 private:
  int64_t messageId_;
};

class Table final : public Counted<IMAPITable> {
 public:
  Table(std::shared_ptr<Database> db, std::unique_ptr<RowSource> source)
      : Counted(std::move(db)), source_(std::move(source)) {}

  HRESULT SetColumns(const SPropTagArray* columns, ULONG) override {
    HRESULT fault;
    if (FaultFor("IMAPITable::SetColumns", &fault)) return fault;
    if (columns == nullptr || (columns->cValues > 0 && columns->aulPropTag == nullptr)) {
      return MAPI_E_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> lock(db_->mutex());
    columns_.emplace(columns->aulPropTag, columns->aulPropTag + columns->cValues);
    return S_OK;
  }

  HRESULT QueryRows(LONG rowCount, ULONG, SRowSet** rows) override {
    if (rows != nullptr) *rows = nullptr;
    HRESULT fault;
    if (FaultFor("IMAPITable::QueryRows", &fault)) return fault;
    if (rows == nullptr || rowCount <= 0) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(db_->mutex());
    std::vector<Row> found;
    HRESULT hr = Scan(position_, true, static_cast<size_t>(rowCount), nullptr,
                      [&found](Row&& row) { found.push_back(std::move(row)); });
    if (hr != S_OK) return hr;
    auto* set = static_cast<SRowSet*>(AllocateBlock(CbNewSRowSet(static_cast<ULONG>(found.size()))));
    if (set == nullptr) return MAPI_E_NOT_ENOUGH_MEMORY;
    set->cRows = 0;
    for (const Row& row : found) {
      std::vector<ULONG> defaults;
      const std::vector<ULONG>* columns = &*columns_;
      if (!columns_.has_value()) {
        defaults = source_->DefaultColumns(row.props);
        columns = &defaults;
      }
      SRow& out = set->aRow[set->cRows];
      out.ulAdrEntryPad = 0;
      hr = BuildValues(row.props, columns->data(), static_cast<ULONG>(columns->size()),
                       &out.cValues, &out.lpProps);
      if (hr == MAPI_E_NOT_ENOUGH_MEMORY) {
        FreeProws(set);
        return hr;
      }
      ++set->cRows;
    }
    if (!found.empty()) position_ = found.back().key + 1;
    *rows = set;
    return S_OK;
  }

  HRESULT GetRowCount(ULONG, ULONG* count) override {
    if (count != nullptr) *count = 0;
    HRESULT fault;
    if (FaultFor("IMAPITable::GetRowCount", &fault)) return fault;
    if (count == nullptr) return MAPI_E_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> lock(db_->mutex());
    if (!restriction_.has_value()) return source_->Count(*db_, count);
    ULONG n = 0;
    HRESULT hr = Scan(kBeginning, true, std::numeric_limits<size_t>::max(), nullptr,
                      [&n](Row&&) { ++n; });
    if (hr == S_OK) *count = n;
    return hr;
  }

  HRESULT SeekRow(BOOKMARK origin, LONG rowCount, LONG* rowsSought) override {
    if (rowsSought != nullptr) *rowsSought = 0;
    HRESULT fault;
    if (FaultFor("IMAPITable::SeekRow", &fault)) return fault;
    std::lock_guard<std::recursive_mutex> lock(db_->mutex());
    int64_t start;
    HRESULT hr = Origin(origin, &start);
    if (hr != S_OK) return hr;
    int64_t moved = 0;
    int64_t position = start;
    if (rowCount != 0) {
      bool forward = rowCount > 0;
      size_t wanted = static_cast<size_t>(forward ? static_cast<int64_t>(rowCount)
                                                  : -static_cast<int64_t>(rowCount));
      hr = Scan(start, forward, wanted, nullptr, [&](Row&& row) {
        ++moved;
        position = forward ? row.key + 1 : row.key;
      });
      if (hr != S_OK) return hr;
      if (!forward) moved = -moved;
    }
    position_ = position;
    if (rowsSought != nullptr) *rowsSought = static_cast<LONG>(moved);
    return S_OK;
  }

  HRESULT FindRow(const SRestriction* restriction, BOOKMARK origin, ULONG flags) override {
    HRESULT fault;
    if (FaultFor("IMAPITable::FindRow", &fault)) return fault;
    constexpr ULONG kBackward = 0x00000001;
    if (flags & kBackward) return MAPI_E_NO_SUPPORT;
    Condition condition;
    HRESULT hr = CompileRestriction(restriction, &condition);
    if (hr != S_OK) return hr;
    std::lock_guard<std::recursive_mutex> lock(db_->mutex());
    int64_t start;
    hr = Origin(origin, &start);
    if (hr != S_OK) return hr;
    std::optional<int64_t> found;
    hr = Scan(start, true, 1, &condition, [&found](Row&& row) { found = row.key; });
    if (hr != S_OK) return hr;
    if (!found.has_value()) return MAPI_E_NOT_FOUND;
    position_ = *found;
    return S_OK;
  }

  HRESULT Restrict(const SRestriction* restriction, ULONG) override {
    HRESULT fault;
    if (FaultFor("IMAPITable::Restrict", &fault)) return fault;
    std::lock_guard<std::recursive_mutex> lock(db_->mutex());
    if (restriction == nullptr) {
      restriction_.reset();
    } else {
      Condition condition;
      HRESULT hr = CompileRestriction(restriction, &condition);
      if (hr != S_OK) return hr;
      restriction_ = std::move(condition);
    }
    position_ = kBeginning;
    return S_OK;
  }

 private:
  // The key a bookmark stands for. The end is just past the current last row, so that rows
  // added later still come after it.
  HRESULT Origin(BOOKMARK origin, int64_t* start) {
    switch (origin) {
      case BOOKMARK_BEGINNING:
        *start = kBeginning;
        return S_OK;
      case BOOKMARK_CURRENT:
        *start = position_;
        return S_OK;
      case BOOKMARK_END: {
        *start = kBeginning;
        return Scan(kAfterAll, false, 1, nullptr, [start](Row&& row) { *start = row.key + 1; });
      }
      default:
        return MAPI_E_INVALID_PARAMETER;
    }
  }

  // Visits up to `wanted` rows meeting the table's restriction and `extra`, from `from` onwards
  // (forward) or before it (backward, nearest first).
  HRESULT Scan(int64_t from, bool forward, size_t wanted, const Condition* extra,
               const std::function<void(Row&&)>& visit) {
    const Condition* conditions[2] = {restriction_.has_value() ? &*restriction_ : nullptr, extra};
    const ULONG indexedColumn = source_->IndexedColumn();
    std::optional<std::string> indexed;
    bool filtered = false;
    for (const Condition* condition : conditions) {
      if (condition == nullptr) continue;
      if (Impossible(*condition)) return S_OK;
      filtered = true;
      if (!indexed.has_value() && indexedColumn != 0) {
        indexed = RequiredValue(*condition, indexedColumn);
      }
    }
    size_t visited = 0;
    int64_t cursor = from;
    std::vector<Row> chunk;
    while (visited < wanted) {
      size_t limit = filtered ? kFilteredChunk : std::min(wanted - visited, kUnfilteredChunk);
      chunk.clear();
      HRESULT hr = source_->Fetch(*db_, cursor, forward, static_cast<int>(limit), indexed, &chunk);
      if (hr != S_OK) return hr;
      for (Row& row : chunk) {
        if (visited == wanted) break;
        bool meets = true;
        for (const Condition* condition : conditions) {
          if (condition != nullptr && !Matches(*condition, row.props)) meets = false;
        }
        if (!meets) continue;
        ++visited;
        visit(std::move(row));
      }
      if (chunk.size() < limit) break;
      cursor = forward ? chunk.back().key + 1 : chunk.back().key;
    }
    return S_OK;
  }

  std::unique_ptr<RowSource> source_;
  std::optional<std::vector<ULONG>> columns_;
  std::optional<Condition> restriction_;
  int64_t position_ = kBeginning;
};

}  // namespace

std::unique_ptr<RowSource> StoresSource(uint64_t uid) {
  return std::make_unique<StoresTableSource>(uid);
}
std::unique_ptr<RowSource> FoldersSource(uint64_t uid, int64_t parentId) {
  return std::make_unique<FoldersTableSource>(uid, parentId);
}
std::unique_ptr<RowSource> MessagesSource(uint64_t uid, int64_t folderId) {
  return std::make_unique<MessagesTableSource>(uid, folderId);
}
std::unique_ptr<RowSource> RecipientsSource(int64_t messageId) {
  return std::make_unique<RecipientsTableSource>(messageId);
}

IMAPITable* NewTable(std::shared_ptr<Database> db, std::unique_ptr<RowSource> source) {
  return new Table(std::move(db), std::move(source));
}

}  // namespace larkpost::mapi
