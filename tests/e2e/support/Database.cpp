// SPDX-License-Identifier: Apache-2.0
#include "Database.h"

#include <sqlite3.h>

#include <stdexcept>

namespace {

class Query {
 public:
  Query(const std::string& path, const std::string& sql) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
      const std::string reason = db_ ? sqlite3_errmsg(db_) : "no memory";
      Close();
      throw std::runtime_error("query " + sql + " on " + path + ": " + reason);
    }
  }
  ~Query() { Close(); }
  bool Step() { return sqlite3_step(statement_) == SQLITE_ROW; }
  sqlite3_stmt* Statement() const { return statement_; }

 private:
  void Close() {
    sqlite3_finalize(statement_);
    sqlite3_close(db_);
    statement_ = nullptr;
    db_ = nullptr;
  }
  sqlite3* db_ = nullptr;
  sqlite3_stmt* statement_ = nullptr;
};

}  // namespace

std::vector<std::vector<std::string>> QueryRows(const std::string& path, const std::string& sql) {
  Query query(path, sql);
  std::vector<std::vector<std::string>> rows;
  while (query.Step()) {
    std::vector<std::string> row;
    for (int i = 0; i < sqlite3_column_count(query.Statement()); ++i) {
      const auto* text = sqlite3_column_text(query.Statement(), i);
      row.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
    }
    rows.push_back(row);
  }
  return rows;
}

std::vector<Bytes> QueryBlobs(const std::string& path, const std::string& sql) {
  Query query(path, sql);
  std::vector<Bytes> blobs;
  while (query.Step()) {
    const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(query.Statement(), 0));
    blobs.emplace_back(data, data + sqlite3_column_bytes(query.Statement(), 0));
  }
  return blobs;
}

long long QueryCount(const std::string& path, const std::string& sql) {
  Query query(path, sql);
  return query.Step() ? sqlite3_column_int64(query.Statement(), 0) : -1;
}

void ExecuteSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  char* message = nullptr;
  const int result = sqlite3_open(path.c_str(), &db) == SQLITE_OK
                         ? sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message)
                         : SQLITE_CANTOPEN;
  const std::string reason = message ? message : db ? sqlite3_errmsg(db) : "no memory";
  sqlite3_free(message);
  sqlite3_close(db);
  if (result != SQLITE_OK) throw std::runtime_error("sql on " + path + ": " + reason);
}
