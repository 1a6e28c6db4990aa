#include "host/SqliteDb.h"

namespace {
[[noreturn]] void Fail(sqlite3* db, const std::string& what, int code) {
  throw CSqliteError(what + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(code)), code);
}
}  // namespace

CSqliteStatement::CSqliteStatement(sqlite3* db, const std::string& sql) : db_(db) {
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK) Fail(db_, "prepare [" + sql + "]", rc);
}

CSqliteStatement::~CSqliteStatement() {
  if (stmt_) sqlite3_finalize(stmt_);
}

CSqliteStatement::CSqliteStatement(CSqliteStatement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) {
  other.stmt_ = nullptr;
}

CSqliteStatement& CSqliteStatement::Bind(int index, const std::string& value) {
  int rc = sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) Fail(db_, "bind", rc);
  return *this;
}

CSqliteStatement& CSqliteStatement::Bind(int index, int64_t value) {
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) Fail(db_, "bind", rc);
  return *this;
}

CSqliteStatement& CSqliteStatement::BindBlob(int index, const std::string& value) {
  // A zero-length blob must still be a blob, not NULL.
  int rc = value.empty()
               ? sqlite3_bind_zeroblob(stmt_, index, 0)
               : sqlite3_bind_blob(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) Fail(db_, "bind", rc);
  return *this;
}

CSqliteStatement& CSqliteStatement::BindNull(int index) {
  int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) Fail(db_, "bind", rc);
  return *this;
}

bool CSqliteStatement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  Fail(db_, "step", rc);
}

void CSqliteStatement::Run() {
  while (Step()) {
  }
}

void CSqliteStatement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int CSqliteStatement::ColumnCount() const { return sqlite3_column_count(stmt_); }

std::string CSqliteStatement::ColumnName(int column) const {
  const char* name = sqlite3_column_name(stmt_, column);
  return name ? name : "";
}

bool CSqliteStatement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

bool CSqliteStatement::IsInteger(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_INTEGER; }

std::string CSqliteStatement::Text(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size)) : std::string();
}

int64_t CSqliteStatement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

CSqliteDb::CSqliteDb(const std::string& path, bool create) : path_(path) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    throw CSqliteError("open [" + path + "]: " + message, rc);
  }
  // Lock waits are real time: the lock is held by another process that runs in real time.
  sqlite3_busy_timeout(db_, 60000);
  try {
    QueryInt("SELECT count(*) FROM sqlite_master", 0);
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

void CSqliteDb::EnableDurableWrites() {
  if (QueryText("PRAGMA journal_mode", "") != "wal") Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=FULL");
}

CSqliteDb::~CSqliteDb() {
  if (db_) sqlite3_close(db_);
}

void CSqliteDb::Exec(const std::string& sql) {
  char* error = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw CSqliteError("exec [" + sql + "]: " + message, rc);
  }
}

int64_t CSqliteDb::Changes() const { return sqlite3_changes64(db_); }

int64_t CSqliteDb::LastInsertId() const { return sqlite3_last_insert_rowid(db_); }

CSqliteTransaction::CSqliteTransaction(CSqliteDb& db, bool write) : db_(db) {
  db_.Exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
}

CSqliteTransaction::~CSqliteTransaction() {
  if (open_) {
    try {
      db_.Exec("ROLLBACK");
    } catch (...) {
    }
  }
}

void CSqliteTransaction::Commit() {
  db_.Exec("COMMIT");
  open_ = false;
}
