// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// A ptime that one thread may store while others load it. A ptime is one 64-bit tick count; on
// a 32-bit target a plain 64-bit copy can be seen half old, half new, so the bits live in a
// lock-free 64-bit atomic (ldrexd/strexd on ARMv7) and no lock is taken on either side.
class AtomicPtime {
 public:
  using ptime = boost::posix_time::ptime;

  AtomicPtime() : bits_(ToBits(ptime())) {}
  explicit AtomicPtime(const ptime& time) : bits_(ToBits(time)) {}
  AtomicPtime(const AtomicPtime&) = delete;
  AtomicPtime& operator=(const AtomicPtime&) = delete;

  ptime load() const { return FromBits(bits_.load(std::memory_order_acquire)); }
  void store(const ptime& time) { bits_.store(ToBits(time), std::memory_order_release); }

  AtomicPtime& operator=(const ptime& time) {
    store(time);
    return *this;
  }
  operator ptime() const { return load(); }  // NOLINT: reads like the ptime it holds

 private:
  static_assert(sizeof(ptime) == sizeof(int64_t) && std::is_trivially_copyable<ptime>::value,
                "ptime must be a plain 64-bit tick count");
  static_assert(std::atomic<int64_t>::is_always_lock_free,
                "64-bit atomics must be lock-free on every target");

  static int64_t ToBits(const ptime& time) {
    int64_t bits;
    std::memcpy(&bits, &time, sizeof bits);
    return bits;
  }
  static ptime FromBits(int64_t bits) {
    ptime time;
    std::memcpy(static_cast<void*>(&time), &bits, sizeof bits);  // trivially copyable
    return time;
  }

  std::atomic<int64_t> bits_;
};
