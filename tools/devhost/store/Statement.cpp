// SPDX-License-Identifier: Apache-2.0
#include "store/Statement.h"

#include <sqlite3.h>

#include "store/Store.h"

Statement::Statement(sqlite3* db, const char* sql) : db_(db) {
  // Persistent: the statement lives as long as the store, so SQLite keeps it out of its
  // short-lived lookaside memory.
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) !=
      SQLITE_OK) {
    Fail("prepare");
  }
}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::Bind(int index, long long value) {
  Check(sqlite3_bind_int64(statement_, index, value));
  return *this;
}

Statement& Statement::Bind(int index, double value) {
  Check(sqlite3_bind_double(statement_, index, value));
  return *this;
}

Statement& Statement::Bind(int index, const std::string& text) {
  Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT));
  return *this;
}

Statement& Statement::BindStatic(int index, const std::string& text) {
  Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_STATIC));
  return *this;
}

Statement& Statement::Bind(int index, const unsigned char* data, unsigned int length) {
  Check(sqlite3_bind_blob(statement_, index, data, static_cast<int>(length), SQLITE_TRANSIENT));
  return *this;
}

Statement& Statement::BindNull(int index) {
  Check(sqlite3_bind_null(statement_, index));
  return *this;
}

bool Statement::Step() {
  const int result = sqlite3_step(statement_);
  if (result == SQLITE_ROW) return true;
  if (result != SQLITE_DONE) Fail("step");
  return false;
}

long long Statement::Integer(int column) const { return sqlite3_column_int64(statement_, column); }

double Statement::Real(int column) const { return sqlite3_column_double(statement_, column); }

int Statement::Type(int column) const { return sqlite3_column_type(statement_, column); }

std::string Statement::Text(int column) const {
  const auto* text = sqlite3_column_text(statement_, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

std::string_view Statement::TextView(int column) const {
  const auto* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) return {};
  return std::string_view(reinterpret_cast<const char*>(text),
                          static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

std::vector<unsigned char> Statement::Blob(int column) const {
  const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(statement_, column));
  return std::vector<unsigned char>(data, data + sqlite3_column_bytes(statement_, column));
}

void Statement::Reset() {
  // The result of reset repeats the last step's error, which Step() has already reported.
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

void Statement::Check(int result) const {
  if (result != SQLITE_OK) Fail("bind");
}

void Statement::Fail(const char* what) const {
  throw StoreError(std::string("database ") + what + ": " + sqlite3_errmsg(db_));
}
