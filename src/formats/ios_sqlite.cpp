#include "formats/ios_sqlite.h"

#include <cstdio>
#include <cstring>

namespace larkpost::ios {

namespace {

// A file: URI of the path: the characters that would end the path or begin an escape are
// escaped, so any file name opens.
std::string FileUri(const std::string& path) {
  std::string uri = "file:";
  for (const char c : path) {
    if (c == '?' || c == '#' || c == '%' || static_cast<unsigned char>(c) < 0x20) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  return uri + "?immutable=1";
}

}  // namespace

Database OpenImmutable(const std::string& path, std::string& error) {
  sqlite3* raw = nullptr;
  const int opened = sqlite3_open_v2(FileUri(path).c_str(), &raw,
                                     SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  Database db(raw, sqlite3_close);
  if (opened != SQLITE_OK) {
    error = path + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : "cannot be opened");
    return nullptr;
  }
  // A file that is not a database fails at its first read, not at the open.
  if (sqlite3_exec(raw, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    error = path + ": " + sqlite3_errmsg(raw);
    return nullptr;
  }
  return db;
}

bool HasSqliteHeader(const std::string& path) {
  static constexpr char kHeader[16] = "SQLite format 3";  // with its NUL
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char head[16];
  const bool matches = std::fread(head, 1, sizeof head, file) == sizeof head &&
                       std::memcmp(head, kHeader, sizeof head) == 0;
  std::fclose(file);
  return matches;
}

std::vector<std::string> ColumnsOf(sqlite3* db, std::string_view table) {
  std::vector<std::string> columns;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info(?)", -1, &stmt, nullptr) !=
      SQLITE_OK) {
    return columns;
  }
  sqlite3_bind_text(stmt, 1, table.data(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
  }
  sqlite3_finalize(stmt);
  return columns;
}

bool HasColumn(const std::vector<std::string>& columns, std::string_view name) {
  for (const std::string& column : columns) {
    if (sqlite3_strnicmp(column.c_str(), name.data(), static_cast<int>(name.size())) == 0 &&
        column.size() == name.size()) {
      return true;
    }
  }
  return false;
}

Statement::Statement(const Database& db, const std::string& sql) : db_(db) {
  if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) {
    error_ = sqlite3_errmsg(db.get());
    stmt_ = nullptr;
  }
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

bool Statement::Step() {
  if (stmt_ == nullptr) return false;
  const int stepped = sqlite3_step(stmt_);
  if (stepped == SQLITE_ROW) return true;
  if (stepped != SQLITE_DONE) error_ = sqlite3_errmsg(db_.get());
  return false;
}

void Statement::Reset() {
  if (stmt_ == nullptr) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

void Statement::Bind(int index, int64_t value) {
  if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
}

void Statement::Bind(int index, std::string_view text) {
  if (stmt_ != nullptr) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::string_view Statement::Text(int column) const {
  // A blob's bytes are read as they are; a text column's as its UTF-8.
  const void* bytes = sqlite3_column_type(stmt_, column) == SQLITE_BLOB
                          ? sqlite3_column_blob(stmt_, column)
                          : static_cast<const void*>(sqlite3_column_text(stmt_, column));
  const int size = sqlite3_column_bytes(stmt_, column);
  if (bytes == nullptr || size <= 0) return {};
  return std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(size));
}

}  // namespace larkpost::ios
