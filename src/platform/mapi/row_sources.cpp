// The row sources behind the provider's tables: stores, a folder's subfolders, a folder's
// messages and a message's recipients, each fetched by keyset from the rows' own table.
#include <algorithm>
#include <functional>

#include "platform/mapi/objects.h"

namespace larkpost::mapi {

namespace {

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

// The two directions of one page of a keyset fetch over `key`: the rows from key ?2 on in key
// order, or the rows before ?2 in reverse order, at most ?3 of them. `head` is the query up to
// the page's condition, ending in "WHERE" or "AND"; ?1 is the owner (a parent folder, folder or
// message) and ?4 the value a row is looked up by, when the head uses them. The texts are
// constants, so the database keeps each prepared.
struct PageSql {
  const char* forward;
  const char* backward;
};
#define LARKPOST_PAGE_SQL(head, key)                                   \
  PageSql {                                                            \
    head " " key " >= ?2 ORDER BY " key " LIMIT ?3",                   \
        head " " key " < ?2 ORDER BY " key " DESC LIMIT ?3"            \
  }

// Prepares one page of `sql` in the given direction with its owner, start key and limit bound.
Statement PreparePage(Database& db, const PageSql& sql, bool forward, int64_t owner, int64_t from,
                      int limit) {
  Statement stmt = db.Prepare(forward ? sql.forward : sql.backward);
  stmt.BindInt(1, owner);
  stmt.BindInt(2, from);
  stmt.BindInt(3, limit);
  return stmt;
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
    static constexpr PageSql kPage =
        LARKPOST_PAGE_SQL("SELECT id, display_name FROM stores WHERE", "id");
    Statement stmt = PreparePage(db, kPage, forward, 0, from, limit);
    if (!stmt.ok()) return MAPI_E_CALL_FAILED;
    return Collect(stmt, rows, [this](Statement& s, Row* row) {
      row->props.push_back(Prop{PR_ENTRYID, MakeEntryId(uid_, MAPI_STORE, row->key)});
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
    static constexpr PageSql kAll = LARKPOST_PAGE_SQL(
        "SELECT id, display_name, comment FROM folders WHERE parent_id = ?1 AND", "id");
    // Answered by the (parent_id, display_name) index: a restore looks up the subfolder a record
    // names for every record.
    static constexpr PageSql kNamed = LARKPOST_PAGE_SQL(
        "SELECT id, display_name, comment FROM folders"
        " WHERE parent_id = ?1 AND display_name = ?4 AND",
        "id");
    Statement stmt = PreparePage(db, name ? kNamed : kAll, forward, parentId_, from, limit);
    if (!stmt.ok()) return MAPI_E_CALL_FAILED;
    if (name) stmt.BindBlob(4, *name);
    return Collect(stmt, rows, [this](Statement& s, Row* row) {
      row->props.push_back(Prop{PR_ENTRYID, MakeEntryId(uid_, MAPI_FOLDER, row->key)});
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
    static constexpr PageSql kAll = LARKPOST_PAGE_SQL(
        "SELECT id, props FROM messages INDEXED BY messages_by_folder WHERE folder_id = ?1 AND",
        "id");
    // Answered by the (folder_id, delivery_time) index, whose entries end in the row id.
    static constexpr PageSql kAtTime = LARKPOST_PAGE_SQL(
        "SELECT id, props FROM messages WHERE folder_id = ?1 AND delivery_time = ?4 AND", "id");
    Statement stmt = PreparePage(db, time ? kAtTime : kAll, forward, folderId_, from, limit);
    if (!stmt.ok()) return MAPI_E_CALL_FAILED;
    if (time) stmt.BindInt(4, TimeKey(*time));
    return Collect(stmt, rows, [this](Statement& s, Row* row) {
      PropList stored;
      ParseProps(s.ColumnBlob(1), &stored);  // a damaged list still lists what it holds
      row->props.reserve(stored.size() + 1);
      row->props.push_back(Prop{PR_ENTRYID, MakeEntryId(uid_, MAPI_MESSAGE, row->key)});
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
    static constexpr PageSql kPage =
        LARKPOST_PAGE_SQL("SELECT seq, props FROM recipients WHERE message_id = ?1 AND", "seq");
    Statement stmt = PreparePage(db, kPage, forward, messageId_, from, limit);
    if (!stmt.ok()) return MAPI_E_CALL_FAILED;
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

#undef LARKPOST_PAGE_SQL

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

}  // namespace larkpost::mapi
