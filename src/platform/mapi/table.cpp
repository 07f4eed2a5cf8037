// Tables: live views over the store's rows in insertion order.
//
// A table remembers only its position as a key: the next row is the first one (meeting the
// restriction) whose key is at least `position_`. Rows added behind the position therefore
// appear when the walk reaches them, and each fetch is an index seek, not an OFFSET scan.
#include <algorithm>
#include <functional>
#include <limits>

#include "platform/mapi/objects.h"
#include "platform/mapi/operations.h"

namespace larkpost::mapi {

namespace {

constexpr int64_t kBeginning = std::numeric_limits<int64_t>::min();
constexpr int64_t kAfterAll = std::numeric_limits<int64_t>::max();
constexpr size_t kUnfilteredChunk = 4096;
constexpr size_t kFilteredChunk = 256;

class Table final : public Counted<IMAPITable> {
 public:
  Table(std::shared_ptr<Database> db, std::unique_ptr<RowSource> source)
      : Counted(std::move(db)), source_(std::move(source)) {}

  HRESULT SetColumns(const SPropTagArray* columns, ULONG) override {
    if (auto fault = Enter(Operation::kTableSetColumns)) return *fault;
    if (columns == nullptr || (columns->cValues > 0 && columns->aulPropTag == nullptr)) {
      return MAPI_E_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> lock(db_->mutex());
    columns_.emplace(columns->aulPropTag, columns->aulPropTag + columns->cValues);
    return S_OK;
  }

  HRESULT QueryRows(LONG rowCount, ULONG, SRowSet** rows) override {
    if (auto fault = Enter(Operation::kTableQueryRows, rows)) return *fault;
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
    if (auto fault = Enter(Operation::kTableGetRowCount, count)) return *fault;
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
    if (auto fault = Enter(Operation::kTableSeekRow, rowsSought)) return *fault;
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
    if (auto fault = Enter(Operation::kTableFindRow)) return *fault;
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
    if (auto fault = Enter(Operation::kTableRestrict)) return *fault;
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

IMAPITable* NewTable(std::shared_ptr<Database> db, std::unique_ptr<RowSource> source) {
  return new Table(std::move(db), std::move(source));
}

}  // namespace larkpost::mapi
