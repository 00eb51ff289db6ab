// Deadlines of the server's single thread: data-queue waits, delayed replies,
// SLEEP, the wait for a PWS program's return. The event loop sleeps until the
// earliest one and then runs every one that is due.
#ifndef ZEL_HOST_TIMERS_H
#define ZEL_HOST_TIMERS_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace zel::host {

using Clock = std::chrono::steady_clock;

class Timers {
 public:
  using Id = uint64_t;

  // Runs `action` at `when` unless cancelled first. Ids are never 0.
  Id Schedule(Clock::time_point when, std::function<void()> action);
  Id After(std::chrono::milliseconds delay, std::function<void()> action) {
    return Schedule(Clock::now() + delay, std::move(action));
  }
  // Cancelling an id that ran or was cancelled does nothing.
  void Cancel(Id id);

  // Milliseconds until the earliest deadline (0 when one is due), or -1.
  int MillisToNext() const;
  // Runs every action due now; an action may schedule and cancel others.
  void RunDue();

 private:
  std::multimap<Clock::time_point, Id> order_;
  std::map<Id, std::pair<Clock::time_point, std::function<void()>>> actions_;
  Id next_id_ = 1;
};

}  // namespace zel::host

#endif  // ZEL_HOST_TIMERS_H
