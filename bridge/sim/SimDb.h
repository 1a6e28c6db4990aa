#pragma once
// A small RAII layer over one SQLite connection of the simulated cloud. Errors are thrown as
// CSimError; the bridge turns them into its error text at its boundary.
#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace sim {

class CSimError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The cloud turned a request down (unknown id, wrong state, bad argument); what() is the text the
// caller reports as it stands, while other CSimErrors are failures of the simulator itself.
class CSimRefused : public CSimError {
 public:
  using CSimError::CSimError;
};

class CSimStatement {
 public:
  CSimStatement(sqlite3* db, const std::string& sql);
  ~CSimStatement();
  CSimStatement(CSimStatement&& other) noexcept;
  CSimStatement(const CSimStatement&) = delete;
  CSimStatement& operator=(const CSimStatement&) = delete;
  CSimStatement& operator=(CSimStatement&&) = delete;

  // Parameters are numbered from 1, as in SQLite.
  CSimStatement& Bind(int index, const std::string& value);
  CSimStatement& Bind(int index, const char* value);
  CSimStatement& Bind(int index, int64_t value);
  CSimStatement& Bind(int index, int value) { return Bind(index, static_cast<int64_t>(value)); }
  CSimStatement& Bind(int index, bool value) { return Bind(index, static_cast<int64_t>(value ? 1 : 0)); }
  CSimStatement& Bind(int index, uint64_t value) { return Bind(index, static_cast<int64_t>(value)); }

  template <class... Args>
  CSimStatement& BindAll(const Args&... args) {
    int index = 0;
    (Bind(++index, args), ...);
    return *this;
  }

  // True while a row is available; false once the statement is done.
  bool Step();
  // Steps a statement that yields no row.
  void Run();

  int ColumnCount() const;
  std::string ColumnName(int column) const;
  bool IsNull(int column) const;
  bool IsInteger(int column) const;
  std::string Text(int column) const;
  int64_t Int(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

class CSimDb {
 public:
  // Opens (create: also creates) the database file and sets the durability and locking options.
  CSimDb(const std::string& path, bool create);
  ~CSimDb();
  CSimDb(const CSimDb&) = delete;
  CSimDb& operator=(const CSimDb&) = delete;

  void Exec(const std::string& sql);
  CSimStatement Prepare(const std::string& sql) { return CSimStatement(db_, sql); }
  int64_t Changes() const;
  const std::string& Path() const { return path_; }

  // Runs one statement and returns the first column of its first row, or `fallback` when there is
  // no row.
  template <class... Args>
  std::string QueryText(const std::string& sql, const std::string& fallback, const Args&... args) {
    CSimStatement stmt = Prepare(sql);
    stmt.BindAll(args...);
    return stmt.Step() ? stmt.Text(0) : fallback;
  }
  template <class... Args>
  int64_t QueryInt(const std::string& sql, int64_t fallback, const Args&... args) {
    CSimStatement stmt = Prepare(sql);
    stmt.BindAll(args...);
    return stmt.Step() ? stmt.Int(0) : fallback;
  }
  template <class... Args>
  void Run(const std::string& sql, const Args&... args) {
    CSimStatement stmt = Prepare(sql);
    stmt.BindAll(args...);
    stmt.Run();
  }

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
};

// One transaction; rolled back unless Commit() was reached. Writers take the lock at BEGIN
// (IMMEDIATE) so that two processes never deadlock upgrading a read lock.
class CSimTransaction {
 public:
  CSimTransaction(CSimDb& db, bool write);
  ~CSimTransaction();
  CSimTransaction(const CSimTransaction&) = delete;
  CSimTransaction& operator=(const CSimTransaction&) = delete;
  void Commit();

 private:
  CSimDb& db_;
  bool open_ = false;
};

}  // namespace sim
