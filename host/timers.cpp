#include "host/timers.h"

namespace zel::host {

Timers::Id Timers::Schedule(Clock::time_point when, std::function<void()> action) {
  Id id = next_id_++;
  order_.emplace(when, id);
  actions_.emplace(id, std::make_pair(when, std::move(action)));
  return id;
}

void Timers::Cancel(Id id) {
  auto it = actions_.find(id);
  if (it == actions_.end()) return;
  auto [first, last] = order_.equal_range(it->second.first);
  for (auto o = first; o != last; ++o) {
    if (o->second == id) {
      order_.erase(o);
      break;
    }
  }
  actions_.erase(it);
}

int Timers::MillisToNext() const {
  if (order_.empty()) return -1;
  auto delta = order_.begin()->first - Clock::now();
  if (delta <= Clock::duration::zero()) return 0;
  // Round up so that the loop never wakes just before a deadline and spins.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(delta).count());
}

void Timers::RunDue() {
  Clock::time_point now = Clock::now();
  while (!order_.empty() && order_.begin()->first <= now) {
    Id id = order_.begin()->second;
    order_.erase(order_.begin());
    auto it = actions_.find(id);
    std::function<void()> action = std::move(it->second.second);
    actions_.erase(it);
    action();
  }
}

}  // namespace zel::host
