#include "tests/harness/waits.h"

#include <thread>

namespace zel::test {

bool Eventually(const std::function<bool()>& done, Millis limit,
                std::chrono::microseconds interval) {
  for (auto end = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(interval);
  }
  return done();
}

}  // namespace zel::test
