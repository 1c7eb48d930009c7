// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/value.h>

// What the end-to-end tests read from the programs they run: texts, logs and JSON.

bool Contains(const std::string& text, const std::string& part);
long long CountOf(const std::string& text, const std::string& part);
// Waits (bounded, stretched for the tree) until `file` holds `text` at least `count` times.
testing::AssertionResult WaitForText(const std::string& file, const std::string& text,
                                     std::chrono::seconds limit = std::chrono::seconds(15),
                                     int count = 1);
// The JSON document `text` holds; a null value when it holds none.
Json::Value JsonValue(const std::string& text);
// The JSON objects of a JSON Lines text, skipping lines that are not one.
std::vector<Json::Value> JsonLines(const std::string& text);
