// Named events on one 64-bit state word, with no lock that a dead process
// could keep. Its low half is the futex word that waiters sleep on:
// generation << 2 | token << 1 | signalled. Its high half counts, for an
// auto-reset event, the waiters and the grants that Set has handed to them;
// grants never outnumber waiters.
//
// A waiter notes the generation when it starts waiting. Set and pulse of a
// manual-reset event raise the generation, releasing every waiter that
// noted an older one, even one that has not gone to sleep yet; a waiter
// that starts after a pulse notes the new generation and stays blocked.
//
// An auto-reset Set hands a grant to one waiter when some waiter has none,
// and otherwise leaves the event signalled, so two Sets release two
// waiters even when the first has not run yet. An auto-reset pulse raises
// the generation and leaves a token that only one waiter with an older
// generation can take. Set, reset and pulse clear an unused token.
//
// A process killed while waiting cannot uncount itself. Each waiter of a
// named auto-reset event therefore also counts itself in its process's
// slot of the registry entry, raised before and lowered after its count in
// the word, and the reaper (or the process itself as it detaches at exit)
// subtracts a dead process's slot count from the word. A wait that starts
// after its process detached is not counted in the word at all. A kill
// between the two counts leaves the word counting one waiter too few, never
// too many: a Set then finds no waiter without a grant and leaves the event
// signalled, and since every Set wakes a sleeper, a live waiter still takes
// it.
#include "platform/event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>

#include "platform/handles.h"
#include "platform/posix/barrier.h"
#include "platform/posix/clock.h"
#include "platform/posix/last_error.h"
#include "platform/posix/named_object.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

using internal::EntryHold;

static_assert(std::endian::native == std::endian::little, "the futex word is the low half");

constexpr uint64_t kSignalled = 1;
constexpr uint64_t kToken = 2;
constexpr uint64_t kFlags = kSignalled | kToken;
constexpr uint64_t kLowHalf = 0xFFFFFFFFu;
constexpr uint64_t kOneGrant = uint64_t{1} << 32;
constexpr uint64_t kOneWaiter = uint64_t{1} << 48;

uint32_t Generation(uint64_t state) { return static_cast<uint32_t>(state) >> 2; }
uint32_t Grants(uint64_t state) { return (state >> 32) & 0xFFFF; }
uint32_t Waiters(uint64_t state) { return (state >> 48) & 0xFFFF; }

// `state` with `count` fewer waiters (never below none) and no more grants
// than waiters.
uint64_t WithoutWaiters(uint64_t state, uint32_t count) {
  uint64_t waiters = Waiters(state) - std::min(count, Waiters(state));
  uint64_t grants = std::min<uint64_t>(Grants(state), waiters);
  return (state & kLowHalf) | grants << 32 | waiters << 48;
}

// The next generation, with signal and token cleared.
uint64_t NextGeneration(uint64_t state) {
  uint64_t low = ((state & kLowHalf & ~kFlags) + 4) & kLowHalf;
  return (state & ~kLowHalf) | low;
}

uint32_t* FutexWord(std::atomic<uint64_t>* state) { return reinterpret_cast<uint32_t*>(state); }

// Shared (not private) futex operations: the word may live in the registry
// that other processes map.
void Wake(std::atomic<uint64_t>* state, int count) {
  syscall(SYS_futex, FutexWord(state), FUTEX_WAKE, count, nullptr, nullptr, 0);
}

// Sleeps while the futex word still reads as in `seen`, until woken or the
// deadline. Returns 0 (woken, perhaps spuriously), EAGAIN (the word had
// changed), EINTR or ETIMEDOUT.
int Sleep(std::atomic<uint64_t>* state, uint64_t seen, const internal::Deadline& deadline) {
  timespec at = deadline.infinite() ? timespec{} : deadline.monotonic();
  long result = syscall(SYS_futex, FutexWord(state), FUTEX_WAIT_BITSET, static_cast<uint32_t>(seen),
                        deadline.infinite() ? nullptr : &at, nullptr, FUTEX_BITSET_MATCH_ANY);
  return result == 0 ? 0 : errno;
}

class EventObject : public HandleObject {
 public:
  explicit EventObject(std::shared_ptr<EntryHold> hold)
      : HandleObject(HandleKind::kEvent),
        hold_(std::move(hold)),
        state_(&hold_->entry().event_state),
        manual_reset_(hold_->entry().manual_reset != 0) {}

  EventObject(bool manual_reset, bool initial_state)
      : HandleObject(HandleKind::kEvent),
        local_state_(initial_state ? kSignalled : 0),
        state_(&local_state_),
        manual_reset_(manual_reset) {}

  DWORD Wait(DWORD timeout_ms) override {
    if (manual_reset_) return WaitCounted(timeout_ms);
    std::atomic<uint16_t>* slot_waiters = SlotWaiters();
    if (slot_waiters != nullptr) slot_waiters->fetch_add(1);
    DWORD result = WaitCounted(timeout_ms);
    if (slot_waiters != nullptr) LowerSlotCount(*slot_waiters);
    return result;
  }

  void Set() {
    if (manual_reset_) {
      Update([](uint64_t state) { return NextGeneration(state) | kSignalled; });
      Wake(state_, INT_MAX);
      return;
    }
    Update([](uint64_t state) {
      // The new generation also wakes a waiter that is just going to sleep.
      if (Waiters(state) > Grants(state)) {
        return (NextGeneration(state) | (state & kSignalled)) + kOneGrant;
      }
      return (state & ~kToken) | kSignalled;
    });
    // Even when the word counts no waiter: it may count one too few.
    Wake(state_, 1);
  }

  void Reset() { state_->fetch_and(~kFlags, std::memory_order_acq_rel); }

  void Pulse() {
    uint64_t token = manual_reset_ ? 0 : kToken;
    Update([token](uint64_t state) { return NextGeneration(state) | token; });
    Wake(state_, INT_MAX);
  }

 private:
  enum class Outcome { kReleased, kTimedOut, kWaiting };

  // Waits, counted among the waiters of the word when auto reset.
  DWORD WaitCounted(DWORD timeout_ms) {
    internal::Deadline deadline = internal::Deadline::After(timeout_ms);
    bool counted = !manual_reset_;
    uint64_t state = counted ? state_->fetch_add(kOneWaiter) + kOneWaiter
                             : state_->load(std::memory_order_acquire);
    if (counted && LeftInstance()) {
      Update([](uint64_t now) { return WithoutWaiters(now, 1); });
      state = state_->load(std::memory_order_acquire);
      counted = false;
    }
    const uint32_t start = Generation(state);
    bool last_look = timeout_ms == 0;
    for (;;) {
      Outcome outcome = Leave(state, start, last_look, counted);
      if (outcome == Outcome::kReleased) return WAIT_OBJECT_0;
      if (outcome == Outcome::kTimedOut) return WAIT_TIMEOUT;
      int error = Sleep(state_, state, deadline);
      if (error == ETIMEDOUT) last_look = true;
      if (error != 0 && error != EAGAIN && error != EINTR && error != ETIMEDOUT) {
        if (counted) Update([](uint64_t now) { return WithoutWaiters(now, 1); });
        internal::SetErrorFromErrno(error);
        return WAIT_FAILED;
      }
      state = state_->load(std::memory_order_acquire);
    }
  }

  // True when this process detached from the instance of a named event,
  // as it does at exit: nobody would take its count back. Called after the
  // counts are raised; all of these and the detach's exchange and loads are
  // sequentially consistent, so either the detach takes back the counts or
  // this sees it.
  bool LeftInstance() const {
    return hold_ != nullptr && internal::Instance::Attached() != &hold_->instance();
  }

  // Decides whether a waiter that noted generation `start` goes now,
  // taking what releases it (for auto reset: a grant, the signal, or a
  // pulse token of a later generation) or, on its last look, giving up its
  // place (when `counted`, its count in the word). On a lost race `state`
  // is refreshed and it decides again.
  Outcome Leave(uint64_t& state, uint32_t start, bool last_look, bool counted) {
    for (;;) {
      if (manual_reset_) {
        if ((state & kSignalled) != 0 || Generation(state) != start) return Outcome::kReleased;
        return last_look ? Outcome::kTimedOut : Outcome::kWaiting;
      }
      Outcome outcome = Outcome::kReleased;
      uint64_t next;
      // A grant before the signal: a Set that found every waiter granted
      // signalled the event for a later waiter, and a Reset must clear it.
      if (Grants(state) > 0) {
        next = state - kOneGrant;
      } else if ((state & kSignalled) != 0) {
        next = state & ~kSignalled;
      } else if ((state & kToken) != 0 && Generation(state) != start) {
        next = state & ~kToken;
      } else if (last_look) {
        next = state;
        outcome = Outcome::kTimedOut;
      } else {
        return Outcome::kWaiting;
      }
      if (state_->compare_exchange_weak(state, WithoutWaiters(next, counted ? 1 : 0),
                                        std::memory_order_acq_rel)) {
        return outcome;
      }
    }
  }

  // This process's count of waiters of a named event, null for a local
  // one. Looked up at each wait: a forked child counts in its own slot.
  std::atomic<uint16_t>* SlotWaiters() const {
    if (hold_ == nullptr) return nullptr;
    return &hold_->entry().event_waiters[hold_->instance().slot()];
  }

  // Lowers this process's count of waiters, never below zero: after this
  // process detached at exit, its slot may have been reaped meanwhile.
  static void LowerSlotCount(std::atomic<uint16_t>& slot_waiters) {
    uint16_t count = slot_waiters.load(std::memory_order_acquire);
    while (count > 0 &&
           !slot_waiters.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel)) {
    }
  }

  // Applies `change` atomically; returns the state before it.
  template <class Change>
  uint64_t Update(Change change) {
    uint64_t state = state_->load(std::memory_order_relaxed);
    while (!state_->compare_exchange_weak(state, change(state), std::memory_order_acq_rel)) {
    }
    return state;
  }

  std::shared_ptr<EntryHold> hold_;       // null for an event of this process only
  std::atomic<uint64_t> local_state_{0};  // the state of an event of this process only
  std::atomic<uint64_t>* const state_;
  const bool manual_reset_;
};

std::shared_ptr<EventObject> Event(HANDLE event) {
  return ReferenceHandleAs<EventObject>(event, HandleKind::kEvent);
}

}  // namespace

namespace internal {

void ForgetDeadWaiters(ObjectEntry& entry, uint32_t slot) {
  uint16_t dead = entry.event_waiters[slot].load();
  if (dead == 0) return;
  uint64_t state = entry.event_state.load(std::memory_order_relaxed);
  while (!entry.event_state.compare_exchange_weak(state, WithoutWaiters(state, dead),
                                                  std::memory_order_acq_rel)) {
  }
  RegistryEditPoint();
  // Cleared only now: a reaper killed in between leaves the count to be
  // taken again, which can only undercount.
  entry.event_waiters[slot].store(0, std::memory_order_release);
}

}  // namespace internal

HANDLE CreateEvent(bool manual_reset, bool initial_state, const char* name) noexcept try {
  bool existed = false;
  std::shared_ptr<EventObject> object;
  if (internal::Unnamed(name)) {
    object = std::make_shared<EventObject>(manual_reset, initial_state);
  } else {
    auto initialise = [=](internal::Instance&, internal::ObjectEntry& entry) {
      entry.manual_reset = manual_reset ? 1 : 0;
      entry.event_state.store(initial_state ? kSignalled : 0);
      return true;
    };
    auto hold = internal::CreateNamed(name, internal::ObjectType::kEvent, initialise, &existed);
    if (hold == nullptr) return 0;
    object = std::make_shared<EventObject>(std::move(hold));
  }
  HANDLE handle = InsertHandle(std::move(object));
  if (handle != 0) internal::SetError(existed ? ERROR_ALREADY_EXISTS : NO_ERROR);
  return handle;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

HANDLE OpenEvent(DWORD, bool, const char* name) noexcept try {
  auto hold = internal::OpenNamed(name, internal::ObjectType::kEvent);
  if (hold == nullptr) return 0;
  return InsertHandle(std::make_shared<EventObject>(std::move(hold)));
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

bool SetEvent(HANDLE event) noexcept try {
  std::shared_ptr<EventObject> object = Event(event);
  if (object == nullptr) return false;
  object->Set();
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

bool ResetEvent(HANDLE event) noexcept try {
  std::shared_ptr<EventObject> object = Event(event);
  if (object == nullptr) return false;
  object->Reset();
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

bool PulseEvent(HANDLE event) noexcept try {
  std::shared_ptr<EventObject> object = Event(event);
  if (object == nullptr) return false;
  object->Pulse();
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

}  // namespace zel::platform
