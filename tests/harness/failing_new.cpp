// The replacement of the global operator new and delete behind
// FailingAllocations. Every form without an alignment argument is replaced,
// so that a sanitizer never sees memory taken by one allocator and given
// back to another; the aligned forms stay the library's and pair with each
// other.
#include "tests/harness/failing_new.h"

#include <cstdlib>
#include <new>

#include "base/trace.h"

namespace {

thread_local bool t_failing = false;  // this thread's allocations fail
thread_local uint32_t t_refused = 0;  // allocations refused on this thread

void* TryAllocate(std::size_t size) noexcept {
  if (t_failing) {
    ++t_refused;
    return nullptr;
  }
  return std::malloc(size == 0 ? 1 : size);
}

void* Allocate(std::size_t size) {
  void* block = TryAllocate(size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return TryAllocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return TryAllocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace zel::test {

FailingAllocations::FailingAllocations() : refused_before_(t_refused) { t_failing = true; }

FailingAllocations::~FailingAllocations() { t_failing = false; }

uint32_t FailingAllocations::refused() const { return t_refused - refused_before_; }

std::vector<std::string> RecentErrorPoints(uint32_t count) {
  std::vector<BtErrorPointRecord> points(count);
  points.resize(btGetErrorPoints(points.data(), count));
  std::vector<std::string> texts;
  for (const BtErrorPointRecord& point : points) {
    texts.push_back(std::string(point.label) + " (" + point.module + ")");
  }
  return texts;
}

}  // namespace zel::test
