// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <utility>

// A table's local stamps (a database from before UTC stamps) read as instants in the order the
// rows were written. In the hour that repeats when the clock goes back, a text is either of two
// instants: the first, unless that lies before the row written just before it (by more than a
// stamp's jitter between lines), when the clock had gone back already. Berlin: 02:50 summer
// time, then 02:14 is winter time (01:14 UTC), not 00:14 UTC.
class OrderedStamps {
 public:
  // The UTC store text of the next row's local `text`; a text that is no time, as it is.
  std::string ToUtc(const std::string& text);
  // The UTC spans [from, to) of whole hours where a text could be either instant.
  const std::set<std::pair<std::string, std::string>>& Repeated() const { return repeated_; }

 private:
  std::optional<std::time_t> last_;
  std::set<std::pair<std::string, std::string>> repeated_;
};
