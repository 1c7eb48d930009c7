// SPDX-License-Identifier: Apache-2.0
#include "Text.h"

#include <json/reader.h>

#include <sstream>

#include "Process.h"
#include "Wait.h"

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

long long CountOf(const std::string& text, const std::string& part) {
  long long found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

testing::AssertionResult WaitForText(const std::string& file, const std::string& text,
                                     std::chrono::seconds limit, int count) {
  long long seen = 0;
  const auto result =
      WaitUntil(std::to_string(count) + " x \"" + text + "\" in " + file, limit, [&] {
        seen = CountOf(ReadFile(file), text);
        return seen >= count;
      });
  if (result) return result;
  return testing::AssertionFailure() << result.message() << "(it held " << seen << ")";
}

Json::Value JsonValue(const std::string& text) {
  Json::Value value;
  std::istringstream stream(text);
  if (!Json::parseFromStream(Json::CharReaderBuilder(), stream, &value, nullptr)) {
    return Json::Value();
  }
  return value;
}

std::vector<Json::Value> JsonLines(const std::string& text) {
  std::vector<Json::Value> objects;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    Json::Value object = JsonValue(line);
    if (object.isObject()) objects.push_back(object);
  }
  return objects;
}
