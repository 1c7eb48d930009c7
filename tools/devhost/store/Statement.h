// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One SQLite statement, compiled once and run many times: each use binds afresh and ends with
// Reset(), which also releases the read snapshot a query holds. Finalised when destroyed.
class Statement {
 public:
  // Compiles `sql`; throws StoreError when it does not compile.
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, long long value);
  Statement& Bind(int index, double value);
  Statement& Bind(int index, const std::string& text);
  // Without a copy: `text` must stay as it is until the use ends (Reset).
  Statement& BindStatic(int index, const std::string& text);
  Statement& Bind(int index, const unsigned char* data, unsigned int length);
  Statement& BindNull(int index);
  // True while a row is there to read.
  bool Step();
  long long Integer(int column) const;
  double Real(int column) const;
  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL.
  int Type(int column) const;
  std::string Text(int column) const;
  // The text without a copy: valid until the next Step or Reset.
  std::string_view TextView(int column) const;
  std::vector<unsigned char> Blob(int column) const;
  // Ready for the next use: rewound, every parameter back to NULL.
  void Reset();

 private:
  void Check(int result) const;
  [[noreturn]] void Fail(const char* what) const;

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

// A use of a kept statement: whatever way the use ends, the statement is reset for the next.
class StatementUse {
 public:
  explicit StatementUse(Statement& statement) : statement_(statement) {}
  ~StatementUse() { statement_.Reset(); }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;

  Statement* operator->() const { return &statement_; }
  Statement& operator*() const { return statement_; }

 private:
  Statement& statement_;
};
