// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <sstream>
#include <stdexcept>
#include <string>

#include <json/reader.h>

// Settings documents in tests are written as JSON text; a typo in one fails loudly.
inline Json::Value ParseJson(const std::string& text) {
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream stream(text);
  if (!Json::parseFromStream(builder, stream, &value, &errors)) {
    throw std::runtime_error("bad JSON in test: " + errors);
  }
  return value;
}
