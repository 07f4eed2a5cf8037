// The provider's objects behind the interface: session, store, folder, message and table.
//
// Every object holds a shared handle on the database, so any of them may outlive the session
// that made it. Each public call takes the database lock for its whole length, counts itself in
// the fault plan first (a faulted call answers the planned result, sets its out-parameters to
// null and does nothing else), and reads the database afresh: objects cache nothing but their
// own row id, so every object sees what any other has written.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "platform/mapi/database.h"
#include "platform/mapi/props.h"

namespace larkpost::mapi {

// Reference counting shared by all objects: created with one reference, deleted at zero.
template <class Interface>
class Counted : public Interface {
 public:
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  explicit Counted(std::shared_ptr<Database> db) : db_(std::move(db)) {}
  std::shared_ptr<Database> db_;

 private:
  std::atomic<ULONG> references_{1};
};

// One row of a table: its key (row id or recipient sequence number) and its properties.
struct Row {
  int64_t key;
  PropList props;
};

// Where a table's rows come from. Keys grow with insertion order.
class RowSource {
 public:
  virtual ~RowSource() = default;
  // Up to `limit` rows with key >= from in key order (forward), or with key < from in
  // descending key order; when `indexed` is given, only rows whose IndexedColumn() holds
  // exactly those stored bytes (an index seek instead of a walk over the owner's rows).
  virtual HRESULT Fetch(Database& db, int64_t from, bool forward, int limit,
                        const std::optional<std::string>& indexed, std::vector<Row>* rows) = 0;
  virtual HRESULT Count(Database& db, ULONG* count) = 0;
  // The columns of a row when the caller never called SetColumns.
  virtual std::vector<ULONG> DefaultColumns(const PropList& row) const = 0;
  // The column an index answers equality restrictions on; 0 when none.
  virtual ULONG IndexedColumn() const { return 0; }
};

std::unique_ptr<RowSource> StoresSource(uint64_t uid);
std::unique_ptr<RowSource> FoldersSource(uint64_t uid, int64_t parentId);
std::unique_ptr<RowSource> MessagesSource(uint64_t uid, int64_t folderId);
std::unique_ptr<RowSource> RecipientsSource(int64_t messageId);

IMAPITable* NewTable(std::shared_ptr<Database> db, std::unique_ptr<RowSource> source);

// Opens an object by entry identifier; storeId 0 allows any store (the session's OpenEntry).
HRESULT OpenObject(const std::shared_ptr<Database>& db, int64_t storeId, ULONG entryIdSize,
                   const BYTE* entryId, ULONG* objectType, IUnknown** object);

HRESULT NewSession(std::shared_ptr<Database> db, IMAPISession** session);

}  // namespace larkpost::mapi
