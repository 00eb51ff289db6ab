// What the instance's two heaps hold, for tests that check that data
// exchange leaves neither a control-block record nor a global block behind.
#ifndef ZEL_TESTS_HARNESS_HEAP_USE_H
#define ZEL_TESTS_HARNESS_HEAP_USE_H

#include <chrono>
#include <cstdint>
#include <ostream>

#include "ctrlblk/heap.h"
#include "gtest/gtest.h"
#include "platform/posix/heap.h"
#include "tests/harness/waits.h"

namespace zel::test {

struct HeapUse {
  uint32_t records = 0;       // control-block records in use
  uint32_t record_bytes = 0;  // and their bytes
  uint64_t blocks = 0;        // global blocks in use
  uint64_t free_bytes = 0;    // global bytes free

  bool operator==(const HeapUse&) const = default;
};

inline HeapUse CurrentUse() {
  ctrlblk::HeapStats records = ctrlblk::CurrentHeapStats();
  platform::internal::GlobalHeapReport global = platform::internal::CheckGlobalHeap();
  EXPECT_EQ(global.problem, nullptr) << global.problem;
  return HeapUse{records.used_blocks, records.used_bytes, global.used_blocks, global.free_bytes};
}

inline std::ostream& operator<<(std::ostream& out, const HeapUse& use) {
  return out << use.records << " records of " << use.record_bytes << " bytes, " << use.blocks
             << " global blocks, " << use.free_bytes << " global bytes free";
}

// True once the heaps hold what they held at `before`.
inline bool BackTo(const HeapUse& before) {
  return Eventually([&] { return CurrentUse() == before; }, std::chrono::seconds(10));
}

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_HEAP_USE_H
