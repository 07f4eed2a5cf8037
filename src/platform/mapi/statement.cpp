// A statement's steps and results: SQLite's result codes as HRESULTs, and the count of steps
// that tests read.
#include <sqlite3.h>

#include <atomic>
#include <utility>

#include "platform/mapi/database.h"

namespace larkpost::mapi {

namespace {

std::atomic<uint64_t> statementSteps{0};

}  // namespace

uint64_t StatementStepsForTesting() { return statementSteps.load(); }

HRESULT ResultFromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
      return S_OK;
    case SQLITE_NOMEM:
      return MAPI_E_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
      return MAPI_E_NOT_ENOUGH_DISK;
    default:
      return MAPI_E_CALL_FAILED;
  }
}

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)), inUse_(std::exchange(other.inUse_, nullptr)) {}

Statement::~Statement() {
  if (stmt_ == nullptr) return;
  statementSteps.fetch_add(
      static_cast<uint64_t>(sqlite3_stmt_status(stmt_, SQLITE_STMTSTATUS_VM_STEP, 1)),
      std::memory_order_relaxed);
  if (inUse_ != nullptr) {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    *inUse_ = false;
  } else {
    sqlite3_finalize(stmt_);
  }
}

HRESULT Statement::FirstRow() {
  if (stmt_ == nullptr) return MAPI_E_CALL_FAILED;
  int rc = Step();
  if (rc == SQLITE_ROW) return S_OK;
  return rc == SQLITE_DONE ? MAPI_E_NOT_FOUND : ResultFromSqlite(rc);
}

HRESULT Statement::Run() {
  if (stmt_ == nullptr) return MAPI_E_CALL_FAILED;
  int rc = Step();
  return rc == SQLITE_DONE ? S_OK : ResultFromSqlite(rc);
}

std::string Statement::ColumnBlob(int column) { return std::string(ColumnBytes(column)); }

std::string_view Statement::ColumnBytes(int column) {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  if (data == nullptr || size <= 0) return {};
  return std::string_view(static_cast<const char*>(data), static_cast<size_t>(size));
}

}  // namespace larkpost::mapi
