#pragma once
// A small RAII layer over one SQLite connection: durable commits (WAL, synchronous=FULL), a busy
// timeout so concurrent processes wait instead of failing, and statements with typed binds.
// Errors are thrown as CSqliteError; callers turn them into results at their boundary.
#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

class CSqliteError : public std::runtime_error {
 public:
  explicit CSqliteError(const std::string& what, int code = SQLITE_ERROR) : std::runtime_error(what), code_(code) {}
  int Code() const { return code_; }

 private:
  int code_;
};

class CSqliteStatement {
 public:
  CSqliteStatement(sqlite3* db, const std::string& sql);
  ~CSqliteStatement();
  CSqliteStatement(CSqliteStatement&& other) noexcept;
  CSqliteStatement(const CSqliteStatement&) = delete;
  CSqliteStatement& operator=(const CSqliteStatement&) = delete;
  CSqliteStatement& operator=(CSqliteStatement&&) = delete;

  // Parameters are numbered from 1. Strings bind as text; BindBlob keeps every byte, NUL included.
  CSqliteStatement& Bind(int index, const std::string& value);
  CSqliteStatement& Bind(int index, const char* value) { return Bind(index, std::string(value)); }
  CSqliteStatement& Bind(int index, int64_t value);
  CSqliteStatement& Bind(int index, int value) { return Bind(index, static_cast<int64_t>(value)); }
  CSqliteStatement& Bind(int index, bool value) { return Bind(index, static_cast<int64_t>(value ? 1 : 0)); }
  CSqliteStatement& Bind(int index, uint64_t value) { return Bind(index, static_cast<int64_t>(value)); }
  CSqliteStatement& BindBlob(int index, const std::string& value);
  CSqliteStatement& BindNull(int index);

  template <class... Args>
  CSqliteStatement& BindAll(const Args&... args) {
    int index = 0;
    (Bind(++index, args), ...);
    return *this;
  }

  // True while a row is available; false once the statement is done.
  bool Step();
  // Steps a statement that yields no row.
  void Run();
  void Reset();

  int ColumnCount() const;
  std::string ColumnName(int column) const;
  bool IsNull(int column) const;
  bool IsInteger(int column) const;
  std::string Text(int column) const;  // text or blob bytes, exactly
  int64_t Int(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class CSqliteDb {
 public:
  // Opens the database file (create: makes it when missing). A file that is not a database fails
  // here, before anything is written to it.
  CSqliteDb(const std::string& path, bool create);
  // WAL journal and durable commits; call once the file is known to be the caller's.
  void EnableDurableWrites();
  ~CSqliteDb();
  CSqliteDb(const CSqliteDb&) = delete;
  CSqliteDb& operator=(const CSqliteDb&) = delete;

  void Exec(const std::string& sql);
  CSqliteStatement Prepare(const std::string& sql) { return CSqliteStatement(db_, sql); }
  int64_t Changes() const;
  int64_t LastInsertId() const;
  const std::string& Path() const { return path_; }
  sqlite3* Handle() { return db_; }

  template <class... Args>
  int64_t QueryInt(const std::string& sql, int64_t fallback, const Args&... args) {
    CSqliteStatement stmt = Prepare(sql);
    stmt.BindAll(args...);
    return stmt.Step() ? stmt.Int(0) : fallback;
  }
  template <class... Args>
  std::string QueryText(const std::string& sql, const std::string& fallback, const Args&... args) {
    CSqliteStatement stmt = Prepare(sql);
    stmt.BindAll(args...);
    return stmt.Step() ? stmt.Text(0) : fallback;
  }
  // Runs one statement that yields no row.
  template <class... Args>
  void Run(const std::string& sql, const Args&... args) {
    CSqliteStatement stmt = Prepare(sql);
    stmt.BindAll(args...);
    stmt.Run();
  }

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
};

// One transaction: committed by Commit(), rolled back when left without it. A writer takes the lock
// at BEGIN (IMMEDIATE), so that two processes never deadlock upgrading a read lock.
class CSqliteTransaction {
 public:
  explicit CSqliteTransaction(CSqliteDb& db, bool write = true);
  ~CSqliteTransaction();
  void Commit();

 private:
  CSqliteDb& db_;
  bool open_ = true;
};
