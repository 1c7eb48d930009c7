// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>

// Counters of a replacement for the global operator new/delete that every binary linking
// CountingAllocator.cpp gets. Each block carries its requested size in a header, so the bytes
// held are the bytes asked for, the same on every C library.
namespace counting_allocator {

struct Snapshot {
  uint64_t allocations = 0;    // calls of operator new (all forms)
  uint64_t deallocations = 0;  // calls of operator delete with a non-null pointer
  int64_t bytesHeld = 0;       // requested bytes of the blocks still alive
};

Snapshot Now();

// Difference of two snapshots: what happened between them.
inline Snapshot Since(const Snapshot& before) {
  const Snapshot now = Now();
  return {now.allocations - before.allocations, now.deallocations - before.deallocations,
          now.bytesHeld - before.bytesHeld};
}

}  // namespace counting_allocator
