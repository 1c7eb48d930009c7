// SPDX-License-Identifier: Apache-2.0
#include "CountingAllocator.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> deallocations{0};
std::atomic<int64_t> bytesHeld{0};

// The header in front of each block: the requested size and the header's own length (larger
// for over-aligned blocks, so that the block after it keeps its alignment).
struct Header {
  std::size_t size;
  std::size_t offset;
};
constexpr std::size_t kMinOffset = alignof(std::max_align_t) > sizeof(Header)
                                       ? alignof(std::max_align_t)
                                       : sizeof(Header);

void* Allocate(std::size_t size, std::size_t alignment) {
  const std::size_t offset = std::max(kMinOffset, alignment);
  void* raw =
      alignment > alignof(std::max_align_t)
          ? std::aligned_alloc(alignment, (offset + size + alignment - 1) / alignment * alignment)
          : std::malloc(offset + size);
  if (raw == nullptr) return nullptr;
  auto* block = static_cast<unsigned char*>(raw) + offset;
  auto* header = reinterpret_cast<Header*>(block - sizeof(Header));
  header->size = size;
  header->offset = offset;
  allocations.fetch_add(1, std::memory_order_relaxed);
  bytesHeld.fetch_add(static_cast<int64_t>(size), std::memory_order_relaxed);
  return block;
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
  void* block = Allocate(size, alignment);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void Release(void* block) {
  if (block == nullptr) return;
  auto* bytes = static_cast<unsigned char*>(block);
  const auto* header = reinterpret_cast<const Header*>(bytes - sizeof(Header));
  deallocations.fetch_add(1, std::memory_order_relaxed);
  bytesHeld.fetch_sub(static_cast<int64_t>(header->size), std::memory_order_relaxed);
  std::free(bytes - header->offset);
}

constexpr std::size_t kPlain = alignof(std::max_align_t);

}  // namespace

namespace counting_allocator {

Snapshot Now() {
  return {allocations.load(std::memory_order_relaxed),
          deallocations.load(std::memory_order_relaxed), bytesHeld.load(std::memory_order_relaxed)};
}

}  // namespace counting_allocator

void* operator new(std::size_t size) { return AllocateOrThrow(size, kPlain); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size, kPlain); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, kPlain);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size, kPlain);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return AllocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return AllocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return Allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return Allocate(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, std::size_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete(void* block, std::align_val_t) noexcept { Release(block); }
void operator delete[](void* block, std::align_val_t) noexcept { Release(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { Release(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { Release(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  Release(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  Release(block);
}
