// The iPhone's SQLite databases (sms.db, Manifest.db, AddressBook.sqlitedb), opened read-only and
// immutable: SQLite then takes no lock, writes no journal and never touches the folder, which
// belongs to a backup or a live Messages folder that must stay as it was.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace larkpost::ios {

using Database = std::shared_ptr<sqlite3>;

// The database at `path` (UTF-8), read-only and immutable; null with `error` set when it cannot
// be opened or is not a database.
Database OpenImmutable(const std::string& path, std::string& error);

// True when the file at `path` begins with SQLite's header ("SQLite format 3\0").
bool HasSqliteHeader(const std::string& path);

// The names of the table's columns; empty when there is no such table.
std::vector<std::string> ColumnsOf(sqlite3* db, std::string_view table);
bool HasColumn(const std::vector<std::string>& columns, std::string_view name);

// A prepared statement, finalised when it goes.
class Statement {
 public:
  Statement(const Database& db, const std::string& sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return stmt_ != nullptr; }
  // The next row: true with a row, false at the end or on an error (error() then not empty).
  bool Step();
  void Reset();
  void Bind(int index, int64_t value);
  void Bind(int index, std::string_view text);
  int64_t Int(int column) const;
  bool IsNull(int column) const;
  std::string_view Text(int column) const;  // a blob's bytes too; empty for null
  const std::string& error() const { return error_; }

 private:
  Database db_;
  sqlite3_stmt* stmt_ = nullptr;
  std::string error_;
};

}  // namespace larkpost::ios
