#include "bridge/sim/SimDb.h"

namespace sim {

namespace {

// Lock waits are real time: the lock is held by another process that runs in real time, so the
// host clock (which tests make virtual) must not shorten them.
constexpr int kBusyTimeoutMs = 60000;

[[noreturn]] void Throw(sqlite3* db, const std::string& what) {
  throw CSimError(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

CSimStatement::CSimStatement(sqlite3* db, const std::string& sql) : db_(db) {
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr) != SQLITE_OK) {
    Throw(db_, "Cloud database query failed");
  }
}

CSimStatement::~CSimStatement() {
  if (stmt_) sqlite3_finalize(stmt_);
}

CSimStatement::CSimStatement(CSimStatement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) {
  other.stmt_ = nullptr;
}

CSimStatement& CSimStatement::Bind(int index, const std::string& value) {
  if (sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT) != SQLITE_OK) {
    Throw(db_, "Cloud database bind failed");
  }
  return *this;
}

CSimStatement& CSimStatement::Bind(int index, const char* value) { return Bind(index, std::string(value)); }

CSimStatement& CSimStatement::Bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) Throw(db_, "Cloud database bind failed");
  return *this;
}

bool CSimStatement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  Throw(db_, "Cloud database statement failed");
}

void CSimStatement::Run() {
  while (Step()) {
  }
}

int CSimStatement::ColumnCount() const { return sqlite3_column_count(stmt_); }

std::string CSimStatement::ColumnName(int column) const {
  const char* name = sqlite3_column_name(stmt_, column);
  return name ? name : "";
}

bool CSimStatement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

bool CSimStatement::IsInteger(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_INTEGER; }

std::string CSimStatement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  if (!text) return std::string();
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

int64_t CSimStatement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

CSimDb::CSimDb(const std::string& path, bool create) : path_(path) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw CSimError("Cannot open the cloud database [" + path + "]: " + message);
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  try {
    // WAL lets readers in other processes go on while one writer commits; FULL makes every
    // commit durable, so a killed process never leaves a half-made change behind.
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=FULL");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

CSimDb::~CSimDb() { sqlite3_close(db_); }

void CSimDb::Exec(const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw CSimError("Cloud database update failed: " + message);
  }
}

int64_t CSimDb::Changes() const { return sqlite3_changes64(db_); }

CSimTransaction::CSimTransaction(CSimDb& db, bool write) : db_(db) {
  db_.Exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
  open_ = true;
}

CSimTransaction::~CSimTransaction() {
  if (!open_) return;
  try {
    db_.Exec("ROLLBACK");
  } catch (...) {
    // The connection already rolled back on its own (e.g. after an I/O error).
  }
}

void CSimTransaction::Commit() {
  db_.Exec("COMMIT");
  open_ = false;
}

}  // namespace sim
