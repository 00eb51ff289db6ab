// Forced allocation failure for the tests of the libraries' C boundary. A
// test binary that links failing_new.cpp replaces the global operator new
// and delete of the whole process: the shared libraries, which call them
// through the dynamic linker, get these too.
#ifndef ZEL_TESTS_HARNESS_FAILING_NEW_H
#define ZEL_TESTS_HARNESS_FAILING_NEW_H

#include <cstdint>
#include <string>
#include <vector>

namespace zel::test {

// While it exists, every operator new on the thread that made it throws
// std::bad_alloc (the nothrow forms return null); other threads allocate as
// usual, so that a helper thread of a library never fails by accident. One
// at a time per thread.
class FailingAllocations {
 public:
  FailingAllocations();
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;

  // How many allocations it has refused so far: a call that returned its
  // failure value without one never reached the failure it is meant to show.
  uint32_t refused() const;

 private:
  uint32_t refused_before_;  // the thread's count when this object was made
};

// What a call returned while allocations failed, and how many it met.
template <class T>
struct Starved {
  T value;
  uint32_t refused;
};

// Runs `call` on this thread with every allocation failing.
template <class Call>
auto CallStarved(Call call) -> Starved<decltype(call())> {
  FailingAllocations failing;
  auto value = call();
  return {value, failing.refused()};
}

// The last `count` error points of this process's ring, oldest first, as
// "label (module)": read without a capture sink, whose allocations would
// fail while allocations fail.
std::vector<std::string> RecentErrorPoints(uint32_t count);

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_FAILING_NEW_H
