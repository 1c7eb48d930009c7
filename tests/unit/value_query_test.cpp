// SPDX-License-Identifier: Apache-2.0
// Value queries: which reason a query gives for not returning a value, by readiness and age.
#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "support/DeviceProbe.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;

constexpr char kNotReady[] = "数据未就绪";
constexpr char kTimedOut[] = "数据已超时";
constexpr char kNotSupported[] = "不支持变量";

std::string QueryMessage(const DeviceProbe& device, unsigned int id = 1,
                         const std::string& name = "温度") {
  try {
    device.Get_Value(id, name);
  } catch (const std::out_of_range& error) {
    return error.what();
  }
  return "<returned a value>";
}

// Sets the data time `age` before the current second and queries; retried when the clock
// ticked over during the query, so the age the query saw is exactly the one set.
std::string MessageAtAge(DeviceProbe& device, const boost::posix_time::time_duration& age) {
  for (;;) {
    const ptime now = boost::posix_time::second_clock::local_time();
    device.dataTime_.store(now - age);
    const std::string message = QueryMessage(device);
    if (boost::posix_time::second_clock::local_time() == now) return message;
  }
}

TEST(ValueQuery, NotReadyWhateverTheTimeAndArguments) {
  DeviceProbe device;
  EXPECT_EQ(QueryMessage(device, 0, ""), kNotReady);
  EXPECT_EQ(QueryMessage(device, UINT_MAX, "anything"), kNotReady);
  device.dataTime_.store(boost::posix_time::second_clock::local_time());
  EXPECT_EQ(QueryMessage(device), kNotReady);
}

TEST(ValueQuery, FreshUpToSixtySecondsStaleFromSixtyOne) {
  DeviceProbe device;
  device.dataReady_ = true;
  EXPECT_EQ(MessageAtAge(device, seconds(0)), kNotSupported);
  EXPECT_EQ(MessageAtAge(device, seconds(1)), kNotSupported);
  EXPECT_EQ(MessageAtAge(device, seconds(60)), kNotSupported);
  EXPECT_EQ(MessageAtAge(device, seconds(61)), kTimedOut);
  EXPECT_EQ(MessageAtAge(device, boost::posix_time::hours(24 * 400)), kTimedOut);
  // A clock set back makes the age negative: still fresh.
  EXPECT_EQ(MessageAtAge(device, seconds(-3600)), kNotSupported);
}

TEST(ValueQuery, ArgumentsNeverChangeTheOutcome) {
  DeviceProbe device;
  device.dataReady_ = true;
  for (unsigned id : {0u, 7u, UINT_MAX}) {
    for (const std::string name : {"", "温度", "unknown"}) {
      for (;;) {
        const ptime now = boost::posix_time::second_clock::local_time();
        device.dataTime_.store(now);
        const std::string fresh = QueryMessage(device, id, name);
        device.dataTime_.store(now - seconds(61));
        const std::string stale = QueryMessage(device, id, name);
        if (boost::posix_time::second_clock::local_time() != now) continue;
        EXPECT_EQ(fresh, kNotSupported);
        EXPECT_EQ(stale, kTimedOut);
        break;
      }
    }
  }
}

TEST(ValueQuery, SpecialTimesOfAReadyDevice) {
  DeviceProbe device;
  device.dataReady_ = true;
  EXPECT_EQ(QueryMessage(device), kTimedOut) << "ready but never set";
  device.dataTime_.store(ptime(boost::posix_time::neg_infin));
  EXPECT_EQ(QueryMessage(device), kTimedOut);
  device.dataTime_.store(ptime(boost::posix_time::pos_infin));
  EXPECT_EQ(QueryMessage(device), kNotSupported);
}

}  // namespace
