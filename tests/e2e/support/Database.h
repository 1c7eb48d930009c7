// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

// Reads a devhost database the plain way, independently of the host's own store code.
using Bytes = std::vector<unsigned char>;

// Every row of the query, each column as text (NULL as "NULL").
std::vector<std::vector<std::string>> QueryRows(const std::string& path, const std::string& sql);
// The first column of every row, as bytes.
std::vector<Bytes> QueryBlobs(const std::string& path, const std::string& sql);
long long QueryCount(const std::string& path, const std::string& sql);
// Runs statements that write (throws std::runtime_error with SQLite's message).
void ExecuteSql(const std::string& path, const std::string& sql);
