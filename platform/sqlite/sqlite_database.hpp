#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace folium::platform {

class SqliteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SqliteStatement;

// One SQLite connection, move-only. Not thread-safe: the owner serialises every use (the
// store holds it under its mutex).
class SqliteDatabase {
 public:
  // Opens or creates the database file. Throws SqliteError naming the file.
  explicit SqliteDatabase(const std::filesystem::path& path);
  ~SqliteDatabase();
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  // Runs one or more statements that return no rows.
  void exec(std::string_view sql);
  SqliteStatement prepare(std::string_view sql);
  std::int64_t lastInsertRowid() const;
  // Rows changed by the last INSERT, UPDATE or DELETE.
  int changes() const;

  sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
};

// A prepared statement; parameters are numbered from 1, columns from 0.
class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, std::string_view sql);
  ~SqliteStatement();
  SqliteStatement(SqliteStatement&& other) noexcept;
  SqliteStatement& operator=(SqliteStatement&&) = delete;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  SqliteStatement& bind(int index, std::int64_t value);
  SqliteStatement& bind(int index, std::string_view value);
  SqliteStatement& bind(int index, const char* value) {
    return bind(index, std::string_view(value));
  }
  SqliteStatement& bind(int index, const std::string& value) {
    return bind(index, std::string_view(value));
  }
  SqliteStatement& bind(int index, const std::optional<std::int64_t>& value);
  SqliteStatement& bind(int index, const std::optional<std::string>& value);
  SqliteStatement& bindNull(int index);

  // Advances to the next row; false when the statement is done.
  bool step();
  // Runs a statement that returns no rows.
  void run();
  void reset();

  bool isNull(int column) const;
  std::int64_t int64(int column) const;
  std::string text(int column) const;
  std::optional<std::int64_t> optionalInt64(int column) const;
  std::optional<std::string> optionalText(int column) const;

 private:
  void check(int rc, const char* what);

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE on construction; rolled back on destruction unless committed.
class SqliteTransaction {
 public:
  explicit SqliteTransaction(SqliteDatabase& db);
  ~SqliteTransaction();
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;
  void commit();

 private:
  SqliteDatabase& db_;
  bool done_ = false;
};

}  // namespace folium::platform
