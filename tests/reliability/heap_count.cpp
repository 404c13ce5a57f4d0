// The program's global operator new and delete, counting live allocations so
// that a test can see whether a whole upgrade leaves heap blocks behind. The
// blocks come from malloc, so the sanitizers still see every one.
#include "tests/reliability/heap_count.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long long> g_live{0};

void* Allocate(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  g_live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void Release(void* p) noexcept {
  if (p == nullptr) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}
}  // namespace

namespace kv27::test {
long long LiveHeapBlocks() { return g_live.load(std::memory_order_relaxed); }
}  // namespace kv27::test

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
