// Value queries and status commands on other threads while cycles complete. Run under
// ThreadSanitizer these show that the shared state is read without races and never torn.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <json/reader.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "support/DeviceProbe.h"

namespace {

using boost::posix_time::ptime;

constexpr int kRounds = 20000;

TEST(DriverConcurrency, QueryOverlappingCycleCompletionSeesOldOrNewTimeWhole) {
  DeviceProbe device;
  const ptime now = boost::posix_time::second_clock::local_time();
  // Two times that differ in both 32-bit halves of the tick count: a torn read is neither.
  const ptime fresh = now;
  const ptime stale = now - boost::posix_time::hours(2);
  std::atomic<bool> done{false};

  std::thread busThread([&] {
    // As cycle completion does it: mark ready, then store the cycle's time.
    device.dataReady_.store(true);
    for (int i = 0; i < kRounds; ++i) device.dataTime_.store(i % 2 ? stale : fresh);
    done.store(true);
  });

  int queries = 0;
  int torn = 0;
  int unexpected = 0;
  while (!done.load() || queries < 1000) {
    const ptime seen = device.DataTime();
    if (!seen.is_not_a_date_time() && seen != fresh && seen != stale) ++torn;
    try {
      device.Get_Value(1, "温度");
    } catch (const std::out_of_range& error) {
      const std::string message = error.what();
      if (message != "不支持变量" && message != "数据已超时" && message != "数据未就绪") {
        ++unexpected;
      }
    }
    ++queries;
  }
  busThread.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(unexpected, 0);
  EXPECT_EQ(device.DataTime(), stale);
}

TEST(DriverConcurrency, StatusTextIsWholeWhileAnotherThreadRebuilds) {
  DeviceProbe device;
  const ptime start(boost::gregorian::date(2026, 1, 2), boost::posix_time::hours(3));
  device.dataTime_.store(start);
  std::atomic<bool> done{false};

  std::thread busThread([&] {
    for (int i = 1; i < kRounds / 10; ++i) {
      device.dataTime_.store(start + boost::posix_time::seconds(i));
      device.GenJsonData();
      // Cycle completion's look-ups add members under the same lock.
      std::lock_guard<std::mutex> lock(device.jsonMutex_);
      device.jsonData_["signal" + std::to_string(i % 50)];
    }
    done.store(true);
  });

  std::vector<char> out(1 << 16);
  int commands = 0;
  int broken = 0;
  while (!done.load() || commands < 100) {
    int outlenRet = 0;
    ::testing::internal::CaptureStdout();
    const int result = device.DeviceIoControl(801, nullptr, 0, out.data(),
                                              static_cast<int>(out.size()), outlenRet);
    ::testing::internal::GetCapturedStdout();
    Json::Value parsed;
    const std::string text(out.data(), static_cast<std::size_t>(outlenRet));
    if (result != 0 || !Json::Reader().parse(text, parsed) || !parsed.isMember("更新时间")) {
      ++broken;
    }
    ++commands;
  }
  busThread.join();
  EXPECT_EQ(broken, 0);
}

}  // namespace
