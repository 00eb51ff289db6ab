// Deadlines on the monotonic clock, so that a change of the wall clock never
// stretches or cuts a wait.
#ifndef ZEL_PLATFORM_POSIX_CLOCK_H
#define ZEL_PLATFORM_POSIX_CLOCK_H

#include <time.h>

#include <cstdint>

#include "platform/types.h"

namespace zel::platform::internal {

inline int64_t MonotonicNanos() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

inline timespec ToTimespec(int64_t nanos) {
  return timespec{static_cast<time_t>(nanos / 1'000'000'000),
                  static_cast<long>(nanos % 1'000'000'000)};
}

// The end of a wait of `timeout_ms` milliseconds, or none for INFINITE.
class Deadline {
 public:
  static Deadline After(DWORD timeout_ms) {
    if (timeout_ms == INFINITE) return Deadline(-1);
    return Deadline(MonotonicNanos() + int64_t{timeout_ms} * 1'000'000);
  }

  bool infinite() const { return at_ < 0; }

  // The deadline as an absolute CLOCK_MONOTONIC time; only when finite.
  timespec monotonic() const { return ToTimespec(at_); }

  bool Passed() const { return !infinite() && MonotonicNanos() >= at_; }

  // Milliseconds left, rounded up, for poll(2): -1 when infinite.
  int RemainingMs() const {
    if (infinite()) return -1;
    int64_t left = at_ - MonotonicNanos();
    if (left <= 0) return 0;
    int64_t ms = (left + 999'999) / 1'000'000;
    return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
  }

 private:
  explicit Deadline(int64_t at) : at_(at) {}
  int64_t at_;  // nanoseconds of CLOCK_MONOTONIC; negative: never
};

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_CLOCK_H
