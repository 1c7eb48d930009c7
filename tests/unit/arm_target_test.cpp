// SPDX-License-Identifier: Apache-2.0
// What must hold on the board the plug-in runs on (32-bit ARM, hard-float): the binary is built
// for it, the record survives unaligned placement, code 803 hands out exactly one pointer, and
// the data time is never read half old, half new. Each test also runs natively, where it checks
// the same property for that target's widths.
#include <elf.h>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "support/DeviceProbe.h"

namespace {

using boost::posix_time::ptime;

constexpr int kStatusAddressCode = 803;

std::string QueryMessage(const DO3008RA& device) {
  try {
    device.Get_Value(0, "");
  } catch (const std::out_of_range& error) {
    return error.what();
  }
  return "Get_Value returned";
}

// ---------------------------------------------------------------------------------------------
// The running test program is itself the proof of what the cross build produces.

TEST(TargetBinary, IsBuiltForThePointerWidthAndFloatAbiOfItsTarget) {
  std::ifstream self("/proc/self/exe", std::ios::binary);
  ASSERT_TRUE(self) << "cannot read the running program";
  std::array<unsigned char, sizeof(Elf32_Ehdr)> header{};
  self.read(reinterpret_cast<char*>(header.data()), header.size());
  ASSERT_EQ(std::memcmp(header.data(), ELFMAG, SELFMAG), 0);
  EXPECT_EQ(header[EI_CLASS], sizeof(void*) == 4 ? ELFCLASS32 : ELFCLASS64);
  EXPECT_EQ(header[EI_DATA], ELFDATA2LSB);
#if defined(__arm__)
  Elf32_Ehdr elf;
  std::memcpy(&elf, header.data(), sizeof elf);
  EXPECT_EQ(elf.e_machine, EM_ARM);
  EXPECT_EQ(elf.e_flags & EF_ARM_EABIMASK, static_cast<Elf32_Word>(EF_ARM_EABI_VER5));
  EXPECT_TRUE(elf.e_flags & EF_ARM_ABI_FLOAT_HARD) << "the board runs the hard-float ABI";
  EXPECT_EQ(sizeof(void*), 4u);
  EXPECT_EQ(sizeof(long), 4u);
#endif
}

// ---------------------------------------------------------------------------------------------
// The record is packed: hosts keep it, and hand cache blobs back, at any address. On ARM a
// double-word or multiple-register access at an unaligned address traps, so the compiler must
// reach every field with accesses that are safe there.

TEST(RecordPlacement, FieldsAtAnOddAddressLandLittleEndianAtTheirOffsets) {
  alignas(8) unsigned char storage[1 + sizeof(DO3008RA_Data_t)] = {};
  auto* record = new (storage + 1) DO3008RA_Data_t();
  record->dataId = 0x11223344u;
  record->inputMeasure[3] = 0xA1B2;
  record->holdingCalib[2] = 0x8001;
  record->inputBus[1] = 7;
  record->time.year = 2024;
  record->time.second = 59;

  const unsigned char* bytes = storage + 1;
  EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 4),
            (std::vector<unsigned char>{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(bytes[18], 0xB2);
  EXPECT_EQ(bytes[19], 0xA1);
  EXPECT_EQ(bytes[24], 0x01);
  EXPECT_EQ(bytes[25], 0x80);
  EXPECT_EQ(bytes[38], 7);
  EXPECT_EQ(bytes[40] | bytes[41] << 8, 2024);
  EXPECT_EQ(bytes[46], 59);
  // Copied out before comparing: the field lies at an odd address, where no reference may bind.
  const uint16_t calibration = record->holdingCalib[2];
  EXPECT_EQ(calibration, 0x8001) << "read back unsigned, without sign conversion";
}

TEST(RecordPlacement, CacheBlobAtAnOddAddressIsTakenWholeAndHandedOnUnchanged) {
  AttachedDevice attached;
  std::vector<unsigned char> buffer(1 + sizeof(DO3008RA_Data_t));
  for (std::size_t i = 1; i < buffer.size(); ++i) buffer[i] = static_cast<unsigned char>(i * 7);
  const unsigned char* blob = buffer.data() + 1;

  testing::internal::CaptureStdout();
  const int taken = attached.device.LoadFromCache(blob, static_cast<int>(sizeof(DO3008RA_Data_t)));
  testing::internal::GetCapturedStdout();

  ASSERT_EQ(taken, 1);
  const auto record = attached.device.Record();
  // Bytes 0-39 come from the blob; 40-46 are the completion's own time stamp.
  EXPECT_EQ(std::vector<unsigned char>(record.begin(), record.begin() + 40),
            std::vector<unsigned char>(blob, blob + 40));
  const auto sent = attached.controller->CallsOf("SendSP");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, record);
}

// ---------------------------------------------------------------------------------------------
// Code 803 hands out the document's address: one pointer, 4 bytes on the board, written whole
// into a caller buffer of any alignment and nothing beyond it.

TEST(BoardStatusAddress, PointerLandsWholeAtAnyBufferAlignment) {
  DeviceProbe device;
#if defined(__arm__)
  static_assert(sizeof(void*) == 4, "the board has 4-byte pointers");
#endif
  for (std::size_t offset : {0, 1, 2, 3}) {
    SCOPED_TRACE(offset);
    std::array<unsigned char, 24> out;
    out.fill(0xAA);
    int reported = -99;
    testing::internal::CaptureStdout();
    const int result = device.DeviceIoControl(kStatusAddressCode, nullptr, 0, out.data() + offset,
                                              static_cast<int>(sizeof(void*)), reported);
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(reported, static_cast<int>(sizeof(void*)));
    const Json::Value* address = nullptr;
    std::memcpy(&address, out.data() + offset, sizeof address);
    EXPECT_EQ(address, &device.jsonData_);
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (i < offset || i >= offset + sizeof(void*)) {
        EXPECT_EQ(out[i], 0xAA) << "byte " << i;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The data time is 64 bits; on a 32-bit target a plain copy is two loads, and a query on one
// thread can see half of a time that the bus thread is storing. Under qemu such tearing shows
// within a few thousand alternations when it is possible at all.

// Two fresh times whose upper and lower 32-bit halves both differ: the second lies ahead of the
// first by 2^32 + 2^31 microseconds (a clock set back counts as fresh). A torn mix of the two
// is a third time, which is either 35 minutes old (stale) or far off both.
struct TimePair {
  ptime first;
  ptime second;
};

TimePair FreshTimesWithDifferentHalves() {
  const ptime now = boost::posix_time::second_clock::local_time();
  return {now, now + boost::posix_time::microseconds(0x180000000LL)};
}

uint64_t BitsOf(const ptime& time) {
  uint64_t bits;
  std::memcpy(&bits, &time, sizeof bits);
  return bits;
}

// Runs `store` on a second thread while `check` runs `reads` times on this one; the checks
// start only once the storing has, so the two overlap however the threads are scheduled.
template <class Store, class Check>
void OverlapStoresWithChecks(long reads, Store store, Check check) {
  std::atomic<bool> storing{false};
  std::atomic<bool> done{false};
  std::thread bus([&] {
    storing = true;
    for (long i = 0; !done.load(std::memory_order_relaxed); ++i) store(i);
  });
  while (!storing) std::this_thread::yield();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (long i = 0; i < reads && std::chrono::steady_clock::now() < deadline; ++i) check(i);
  done = true;
  bus.join();
}

TEST(DataTimeConcurrency, QueryNeverSeesAHalfStoredTime) {
  DeviceProbe device;
  const TimePair times = FreshTimesWithDifferentHalves();
  ASSERT_NE(BitsOf(times.first) >> 32, BitsOf(times.second) >> 32);
  ASSERT_NE(BitsOf(times.first) & 0xFFFFFFFFu, BitsOf(times.second) & 0xFFFFFFFFu);
  device.dataTime_ = times.first;
  device.dataReady_ = true;

  long torn = 0, wrongAnswers = 0;
  OverlapStoresWithChecks(
      600000, [&](long i) { device.dataTime_ = (i & 1) ? times.first : times.second; },
      [&](long i) {
        const ptime seen = device.DataTime();
        if (seen != times.first && seen != times.second) ++torn;
        if (i % 64 == 0 && QueryMessage(device) != "不支持变量") ++wrongAnswers;
      });
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(wrongAnswers, 0);
}

TEST(DataTimeConcurrency, QueriesDuringCompletingCyclesSeeAFreshWholeSecond) {
  DeviceProbe device;  // no controller: the completions do nothing outward
  const unsigned char blob[sizeof(DO3008RA_Data_t)] = {};
  testing::internal::CaptureStdout();
  const int taken = device.LoadFromCache(blob, sizeof blob);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(taken, 1);
  const ptime start = device.DataTime();

  std::vector<std::string> odd;
  testing::internal::CaptureStdout();
  OverlapStoresWithChecks(
      2000, [&](long) { device.LoadFromCache(blob, sizeof blob); },
      [&](long) {
        const ptime seen = device.DataTime();
        const std::string message = QueryMessage(device);
        if (message != "不支持变量" || seen < start ||
            seen.time_of_day().fractional_seconds() != 0) {
          odd.push_back(message + " at " + boost::posix_time::to_simple_string(seen));
        }
      });
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(odd.empty()) << odd.size() << " odd answers, first: " << odd.front();
  EXPECT_GE(device.DataTime(), start);
}

}  // namespace
