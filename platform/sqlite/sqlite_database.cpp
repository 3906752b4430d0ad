#include "platform/sqlite/sqlite_database.hpp"

#include <sqlite3.h>

#include <utility>

namespace folium::platform {

SqliteDatabase::SqliteDatabase(const std::filesystem::path& path) : path_(path.string()) {
  int rc =
      sqlite3_open_v2(path_.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw SqliteError("cannot open database " + path_ + ": " + message);
  }
  sqlite3_extended_result_codes(db_, 1);
  // Another process (a second server started on the same folder by mistake) would
  // otherwise make writes fail at once; waiting a little turns that into a slow request.
  sqlite3_busy_timeout(db_, 5000);
}

SqliteDatabase::~SqliteDatabase() { sqlite3_close_v2(db_); }

void SqliteDatabase::exec(std::string_view sql) {
  std::string text(sql);
  char* error = nullptr;
  if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw SqliteError("database " + path_ + ": " + message);
  }
}

SqliteStatement SqliteDatabase::prepare(std::string_view sql) { return SqliteStatement(db_, sql); }

std::int64_t SqliteDatabase::lastInsertRowid() const { return sqlite3_last_insert_rowid(db_); }

int SqliteDatabase::changes() const { return sqlite3_changes(db_); }

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql) : db_(db) {
  int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK) {
    throw SqliteError(std::string("cannot prepare statement: ") + sqlite3_errmsg(db_));
  }
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)) {}

void SqliteStatement::check(int rc, const char* what) {
  if (rc != SQLITE_OK) {
    throw SqliteError(std::string(what) + ": " + sqlite3_errmsg(db_));
  }
}

SqliteStatement& SqliteStatement::bind(int index, std::int64_t value) {
  check(sqlite3_bind_int64(stmt_, index, value), "cannot bind integer");
  return *this;
}

SqliteStatement& SqliteStatement::bind(int index, std::string_view value) {
  check(
      sqlite3_bind_text64(stmt_, index, value.data(), value.size(), SQLITE_TRANSIENT, SQLITE_UTF8),
      "cannot bind text");
  return *this;
}

SqliteStatement& SqliteStatement::bind(int index, const std::optional<std::int64_t>& value) {
  return value ? bind(index, *value) : bindNull(index);
}

SqliteStatement& SqliteStatement::bind(int index, const std::optional<std::string>& value) {
  return value ? bind(index, std::string_view(*value)) : bindNull(index);
}

SqliteStatement& SqliteStatement::bindNull(int index) {
  check(sqlite3_bind_null(stmt_, index), "cannot bind null");
  return *this;
}

bool SqliteStatement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw SqliteError(std::string("statement failed: ") + sqlite3_errmsg(db_));
}

void SqliteStatement::run() {
  while (step()) {
  }
}

void SqliteStatement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

bool SqliteStatement::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t SqliteStatement::int64(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

std::string SqliteStatement::text(int column) const {
  const unsigned char* data = sqlite3_column_text(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(size))
              : std::string();
}

std::optional<std::int64_t> SqliteStatement::optionalInt64(int column) const {
  if (isNull(column)) return std::nullopt;
  return int64(column);
}

std::optional<std::string> SqliteStatement::optionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return text(column);
}

SqliteTransaction::SqliteTransaction(SqliteDatabase& db) : db_(db) { db_.exec("BEGIN IMMEDIATE"); }

SqliteTransaction::~SqliteTransaction() {
  if (!done_) {
    try {
      db_.exec("ROLLBACK");
    } catch (...) {
      // A failed rollback leaves SQLite to roll back on its own; nothing more to do here.
    }
  }
}

void SqliteTransaction::commit() {
  db_.exec("COMMIT");
  done_ = true;
}

}  // namespace folium::platform
