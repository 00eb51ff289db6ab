// The bounded wait for something that another thread or process makes true:
// a test that waits for a condition waits through this, never by guessing
// how long to sleep.
#ifndef ZEL_TESTS_HARNESS_WAITS_H
#define ZEL_TESTS_HARNESS_WAITS_H

#include <chrono>
#include <functional>

#include "tests/harness/zel_test.h"

namespace zel::test {

// Checks `done` every `interval` until it holds or `limit` has passed; true
// when it held. `done` is checked once more at the limit, so a wait that
// ends late on a loaded machine still sees what came.
bool Eventually(const std::function<bool()>& done, Millis limit = kChildTimeout,
                std::chrono::microseconds interval = 10ms);

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_WAITS_H
