// Helpers of the platform tests: observing that a thread is blocked, and
// counters shared between the processes of a test.
#ifndef ZEL_TESTS_PLATFORM_PLATFORM_TEST_UTIL_H
#define ZEL_TESTS_PLATFORM_PLATFORM_TEST_UTIL_H

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/types.h"
#include "tests/harness/zel_test.h"

namespace zel::test {

// The folder of `instance` in this user's private directory, where its
// registry, heap, mapping segments and message sockets live.
std::string InstanceFolder(const std::string& instance);

// The files in the folder of `instance`, sorted; none when it is missing.
std::vector<std::filesystem::path> InstanceFiles(const std::string& instance);

// True once thread `tid` of process `pid` sleeps in a mutex or event wait
// (on a futex or a kernel rt-mutex, or napping between tries in
// thread-sanitizer builds), as the kernel reports it; false if that does
// not happen within `timeout`. Lets a test know that a waiter is waiting
// without guessing with sleeps.
bool WaitUntilBlocked(pid_t pid, pid_t tid, Millis timeout = kChildTimeout);

// Counters in the named file mapping `name`, shared by every process of a
// test that maps it.
struct SharedCounters {
  std::atomic<uint32_t> released;  // successful waits
  std::atomic<uint32_t> timeouts;  // waits that ran out
  std::atomic<uint32_t> done;      // nonzero: waiters stop after their next release
  std::atomic<uint32_t> exited;    // waiter threads that have stopped
};

// Creates or opens the mapping `name` and maps the counters; null when that
// fails. The mapping stays open for the rest of the process.
SharedCounters* MapCounters(const char* name);

// A waiter thread's body: waits on `event` (10 s at most per wait) and
// counts every release until `done` is set; a wait that runs out ends it.
void CountReleases(platform::HANDLE event, SharedCounters* counters);

}  // namespace zel::test

#endif  // ZEL_TESTS_PLATFORM_PLATFORM_TEST_UTIL_H
