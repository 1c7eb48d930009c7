// SPDX-License-Identifier: Apache-2.0
// Loading a cached record back: only whole records are taken, and they complete a cycle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/TTime.h"
#include "support/DeviceProbe.h"

namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A blob in the record's layout whose every byte is different and non-zero.
std::vector<unsigned char> Blob(std::size_t size) {
  std::vector<unsigned char> blob(size);
  for (std::size_t i = 0; i < size; ++i) blob[i] = static_cast<unsigned char>(0xA0 + i);
  return blob;
}

class Cache : public ::testing::Test {
 protected:
  Cache() { device().b_mode_ = 3; }

  int Load(const std::vector<unsigned char>& blob) {
    ::testing::internal::CaptureStdout();
    int taken = 0;
    try {
      taken = device().LoadFromCache(blob.data(), static_cast<int>(blob.size()));
    } catch (...) {
      ::testing::internal::GetCapturedStdout();  // give the test's output back before failing
      throw;
    }
    output_ = ::testing::internal::GetCapturedStdout();
    return taken;
  }

  DeviceProbe& device() { return attached_.device; }

  AttachedDevice attached_;
  std::string output_;
};

TEST_F(Cache, BlobsOfAnyOtherLengthAreRefusedAndChangeNothing) {
  for (std::size_t size : {0u, 1u, 46u, 48u, 94u}) {
    EXPECT_EQ(Load(Blob(size)), 0) << size;
    EXPECT_EQ(device().LoadFromCache(std::string(size, '\x7f')), 0) << size;
  }
  EXPECT_EQ(device().LoadFromCache(nullptr, 47), 0);
  EXPECT_EQ(device().LoadFromCache(Blob(47).data(), -47), 0);
  EXPECT_THAT(device().Record(), Each(0));
  EXPECT_FALSE(device().DataReady());
  EXPECT_TRUE(device().DataTime().is_not_a_date_time());
  EXPECT_THAT(attached_.controller->CallTexts(), IsEmpty());
  EXPECT_EQ(output_, "");
}

TEST_F(Cache, WholeRecordIsTakenAndStampedWithTheCurrentTime) {
  const auto blob = Blob(47);
  const auto before = boost::posix_time::second_clock::local_time();
  EXPECT_EQ(Load(blob), 1);
  const auto after = boost::posix_time::second_clock::local_time();

  EXPECT_TRUE(device().DataReady());
  const auto stamped = device().DataTime();
  EXPECT_GE(stamped, before);
  EXPECT_LE(stamped, after);
  const auto record = device().Record();
  EXPECT_EQ(std::vector<unsigned char>(record.begin(), record.begin() + 40),
            std::vector<unsigned char>(blob.begin(), blob.begin() + 40))
      << "data id and both register copies come from the blob";
  const TTime now = get_ttime(stamped);
  EXPECT_EQ(std::memcmp(record.data() + 40, &now, sizeof now), 0);
  EXPECT_EQ(device().data_.dataId, 0xA3A2A1A0u);

  EXPECT_THAT(attached_.controller->CallTexts(),
              ElementsAre("SendSP(5156, <47 bytes>, 0)", "DoBatchCheckThreshold(0)",
                          "SaveDeviceHistory(<47 bytes>)"));
  EXPECT_EQ(attached_.controller->CallsOf("SendSP")[0].bytes, record);
  EXPECT_EQ(attached_.controller->CallsOf("SaveDeviceHistory")[0].bytes, record);
  EXPECT_EQ(output_, "rvSize is 0\n");
}

TEST_F(Cache, TextBlobTakesTheSamePath) {
  const auto bytes = Blob(47);
  const std::string blob(bytes.begin(), bytes.end());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(device().LoadFromCache(blob), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "rvSize is 0\n");
  EXPECT_EQ(device().data_.inputBus[1], 0xC7C6);
  EXPECT_EQ(attached_.controller->CallsOf("SaveDeviceHistory").size(), 1u);
}

TEST_F(Cache, EveryAcceptedBlobCompletesACycleOfItsOwn) {
  auto blob = Blob(47);
  EXPECT_EQ(Load(blob), 1);
  blob[12] = 0x55;
  EXPECT_EQ(Load(blob), 1);
  const auto stored = attached_.controller->CallsOf("SaveDeviceHistory");
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].bytes[12], 0xAC);
  EXPECT_EQ(stored[1].bytes[12], 0x55);
}

}  // namespace
