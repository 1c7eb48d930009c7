// SPDX-License-Identifier: Apache-2.0
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "do3008ra/DO3008RA.h"

namespace {

// Data older than 60 whole seconds is stale; an age of exactly 60 s is still fresh.
const boost::posix_time::time_duration kFreshFor = boost::posix_time::microseconds(60999999);

}  // namespace

// The sensor publishes no single signal: every query says why no value is given.
float DO3008RA::Get_Value(unsigned int signalId, const std::string& name) const {
  (void)signalId;
  (void)name;
  if (!dataReady_.load(std::memory_order_acquire)) throw std::out_of_range("数据未就绪");
  const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
  // One atomic load: the bus thread may store a new time at this very moment, and we must see
  // the old or the new one, never half of each.
  const boost::posix_time::ptime dataTime = dataTime_.load();
  if (dataTime.is_not_a_date_time() || dataTime.is_neg_infinity()) {
    throw std::out_of_range("数据已超时");
  }
  if (dataTime.is_pos_infinity()) throw std::out_of_range("不支持变量");
  if (now - dataTime > kFreshFor) throw std::out_of_range("数据已超时");
  throw std::out_of_range("不支持变量");
}
