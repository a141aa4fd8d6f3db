#include "tests/container/alloc_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<bool> g_probing{false};
std::atomic<size_t> g_largest{0};
std::atomic<size_t> g_limit{static_cast<size_t>(-1)};

void* Allocate(size_t size) {
  if (g_probing.load(std::memory_order_relaxed)) {
    size_t seen = g_largest.load();
    while (size > seen && !g_largest.compare_exchange_weak(seen, size)) {
    }
    if (size > g_limit.load()) throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace upkit::test {
AllocProbe::AllocProbe(size_t limit) {
  g_largest = 0;
  g_limit = limit;
  g_probing = true;
}
AllocProbe::~AllocProbe() {
  g_probing = false;
  g_limit = static_cast<size_t>(-1);
}
size_t AllocProbe::Largest() const { return g_largest.load(); }
}  // namespace upkit::test
