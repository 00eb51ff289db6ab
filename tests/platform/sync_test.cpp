// Named mutexes and events, within a process and across processes:
// ownership and recursion, abandonment by a dying owner, object lifetime,
// and exactly which waiters a set or a pulse releases.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "tests/platform/platform_test_util.h"

namespace zel::test {
namespace {

using namespace zel::platform;
using Clock = std::chrono::steady_clock;

int64_t MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<Millis>(Clock::now() - start).count();
}

// ---- Child commands ---------------------------------------------------------

// Takes mutex args[0] args[1] times, reports "locked", and releases it on
// "release" (unless it is killed first).
ZEL_CHILD_COMMAND(hold_mutex) {
  HANDLE mutex = CreateMutex(false, args[0].c_str());
  int depth = std::stoi(args[1]);
  for (int i = 0; i < depth; ++i) {
    if (WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return 1;
  }
  child::Report("locked");
  if (child::Receive() != "release") return 2;
  for (int i = 0; i < depth; ++i) {
    if (!ReleaseMutex(mutex)) return 3;
  }
  child::Report("released");
  return 0;
}

// Tries what a process that does not own mutex args[0] may do.
ZEL_CHILD_COMMAND(mutex_stranger) {
  HANDLE mutex = OpenMutex(MUTEX_ALL_ACCESS, false, args[0].c_str());
  if (mutex == 0) return 1;
  bool released = ReleaseMutex(mutex);
  child::Report("release " + std::to_string(released) + " " + std::to_string(GetLastError()));
  child::Report("wait0 " + std::to_string(WaitForSingleObject(mutex, 0)));
  Clock::time_point start = Clock::now();
  DWORD result = WaitForSingleObject(mutex, 200);
  child::Report("wait200 " + std::to_string(result) + " " + std::to_string(MillisSince(start)));
  return 0;
}

// Creates event args[0] and holds it until "close"; then waits for "exit".
ZEL_CHILD_COMMAND(hold_event) {
  HANDLE event = CreateEvent(true, false, args[0].c_str());
  if (event == 0) return 1;
  child::Report("created");
  if (child::Receive() != "close") return 2;
  CloseHandle(event);
  child::Report("closed");
  child::Receive();
  return 0;
}

// Reports its thread id, then waits on event args[0] for args[1] ms and
// reports the result.
ZEL_CHILD_COMMAND(wait_event) {
  HANDLE event = OpenEvent(EVENT_ALL_ACCESS, false, args[0].c_str());
  if (event == 0) return 1;
  child::Report("tid " + std::to_string(GetCurrentThreadId()));
  DWORD timeout = static_cast<DWORD>(std::stoul(args[1]));
  child::Report(std::to_string(WaitForSingleObject(event, timeout)));
  return 0;
}

// Runs args[2] waiter threads on event args[0], counting into mapping
// args[1]; reports each thread's id and ends when all have stopped.
ZEL_CHILD_COMMAND(event_waiters) {
  HANDLE event = OpenEvent(EVENT_ALL_ACCESS, false, args[0].c_str());
  SharedCounters* counters = MapCounters(args[1].c_str());
  if (event == 0 || counters == nullptr) return 1;
  std::vector<std::thread> threads;
  for (int i = 0; i < std::stoi(args[2]); ++i) {
    threads.emplace_back([&] {
      child::Report("tid " + std::to_string(GetCurrentThreadId()));
      CountReleases(event, counters);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return counters->timeouts.load() == 0 ? 0 : 4;
}

// ---- Waiters in this process and in a child --------------------------------

// Waiter threads on one event: some here, some in a child process.
class Waiters {
 public:
  Waiters(const char* event_name, int local, int remote)
      : local_(local), tids_(new std::atomic<DWORD>[local]()) {
    std::string counters_name = std::string(event_name) + ".counters";
    counters_ = MapCounters(counters_name.c_str());
    event_ = OpenEvent(EVENT_ALL_ACCESS, false, event_name);
    for (int i = 0; i < local; ++i) {
      threads_.emplace_back([this, i] {
        tids_[i].store(GetCurrentThreadId());
        CountReleases(event_, counters_);
      });
    }
    child_.emplace(
        ChildProcess::Start("event_waiters", {event_name, counters_name, std::to_string(remote)}));
    for (int i = 0; i < remote; ++i) {
      std::optional<std::string> line = child_->ReadLine();
      if (!line || line->rfind("tid ", 0) != 0) {
        ADD_FAILURE() << "no thread id from the child";
        continue;
      }
      remote_tids_.push_back(std::stoi(line->substr(4)));
    }
  }

  ~Waiters() {
    for (std::thread& thread : threads_) thread.join();
    CloseHandle(event_);
  }

  SharedCounters& counters() { return *counters_; }
  int count() const { return local_ + static_cast<int>(remote_tids_.size()); }

  // True once every waiter sleeps in its wait.
  bool AllBlocked() {
    for (int i = 0; i < local_; ++i) {
      if (!Eventually([&] { return tids_[i].load() != 0; }, kChildTimeout, 200us)) return false;
      if (!WaitUntilBlocked(getpid(), static_cast<pid_t>(tids_[i].load()))) return false;
    }
    for (pid_t tid : remote_tids_) {
      if (!WaitUntilBlocked(child_->pid(), tid)) return false;
    }
    return true;
  }

  bool ReleasedReaches(uint32_t count) {
    return Eventually([&] { return counters_->released.load() >= count; }, kChildTimeout, 200us);
  }

  // Ends every waiter, calling `release` until all have stopped.
  void Stop(const std::function<void()>& release) {
    counters_->done.store(1);
    EXPECT_TRUE(Eventually(
        [&] {
          release();
          return counters_->exited.load() == static_cast<uint32_t>(count());
        },
        kChildTimeout, 200us));
    EXPECT_EQ(child_->Wait(), 0);
    EXPECT_EQ(counters_->timeouts.load(), 0u);
  }

 private:
  const int local_;
  std::unique_ptr<std::atomic<DWORD>[]> tids_;  // thread ids of the local waiters, 0 until known
  SharedCounters* counters_ = nullptr;
  HANDLE event_ = 0;
  std::vector<pid_t> remote_tids_;
  std::vector<std::thread> threads_;
  std::optional<ChildProcess> child_;
};

// ---- Named mutexes -----------------------------------------------------------

TEST(NamedMutex, CreateTellsWhetherItExistedAndNamesAreChecked) {
  HANDLE first = CreateMutex(false, "Global\\zel test mutex");
  ASSERT_NE(first, 0u);
  EXPECT_EQ(GetLastError(), 0u);
  HANDLE second = CreateMutex(true, "zel test mutex");
  ASSERT_NE(second, 0u);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0)
      << "initial owner ignored when it existed";
  EXPECT_TRUE(ReleaseMutex(second)) << "both handles name one mutex";
  HANDLE opened = OpenMutex(MUTEX_ALL_ACCESS, false, "Local\\zel test mutex");
  EXPECT_NE(opened, 0u);

  EXPECT_EQ(OpenMutex(MUTEX_ALL_ACCESS, false, "no such mutex"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenMutex(MUTEX_ALL_ACCESS, false, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateMutex(false, std::string(kMaxObjectNameLength + 1, 'm').c_str()), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_NE(CreateMutex(false, std::string(kMaxObjectNameLength, 'm').c_str()), 0u);

  HANDLE event = CreateEvent(true, false, "zel test event");
  ASSERT_NE(event, 0u);
  EXPECT_EQ(CreateMutex(false, "zel test event"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, "zel test mutex"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReleaseMutex(event));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(NamedMutex, IsRecursiveForItsOwnerAndOnlyTheOwnerReleases) {
  HANDLE mutex = CreateMutex(false, "STATE");
  ASSERT_NE(mutex, 0u);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);

  std::thread other([&] {
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  });
  other.join();

  ChildProcess stranger = ChildProcess::Start("mutex_stranger", {"STATE"});
  EXPECT_EQ(stranger.ReadLine(), "release 0 288");
  EXPECT_EQ(stranger.ReadLine(), "wait0 258");
  std::optional<std::string> timed = stranger.ReadLine();
  ASSERT_TRUE(timed.has_value());
  EXPECT_EQ(timed->substr(0, 12), "wait200 258 ");
  EXPECT_GE(std::stoi(timed->substr(12)), 195) << "a timed wait does not end early";
  EXPECT_EQ(stranger.Wait(), 0);

  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ReleaseMutex(mutex)) << "release " << i;
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  std::thread taker([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
  });
  taker.join();
}

TEST(NamedMutex, AnInitialOwnerHoldsItBeforeAnyoneCanSeeIt) {
  HANDLE mutex = CreateMutex(true, "OBTRRP");
  ASSERT_NE(mutex, 0u);
  ChildProcess stranger = ChildProcess::Start("mutex_stranger", {"OBTRRP"});
  EXPECT_EQ(stranger.ReadLine(), "release 0 288");
  EXPECT_EQ(stranger.ReadLine(), "wait0 258");
  EXPECT_EQ(stranger.Wait(), 0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));

  HANDLE local = CreateMutex(true, nullptr);
  ASSERT_NE(local, 0u);
  std::thread other([&] { EXPECT_EQ(WaitForSingleObject(local, 0), WAIT_TIMEOUT); });
  other.join();
  EXPECT_TRUE(ReleaseMutex(local));
}

TEST(NamedMutex, AnOwnerProcessKilledAbandonsItToOneWaiterThenTheNext) {
  HANDLE mutex = CreateMutex(false, "COMMSTATE001");
  ChildProcess owner = ChildProcess::Start("hold_mutex", {"COMMSTATE001", "2"});
  ASSERT_TRUE(owner.Expect("locked"));

  std::atomic<DWORD> tids[2] = {0, 0};
  DWORD results[2] = {0, 0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&, i] {
      tids[i].store(GetCurrentThreadId());
      results[i] = WaitForSingleObject(mutex, 20000);
      if (results[i] == WAIT_OBJECT_0 || results[i] == WAIT_ABANDONED) ReleaseMutex(mutex);
    });
  }
  for (auto& tid : tids) {
    ASSERT_TRUE(Eventually([&] { return tid.load() != 0; }, kChildTimeout, 200us));
    ASSERT_TRUE(WaitUntilBlocked(getpid(), static_cast<pid_t>(tid.load())));
  }
  owner.Kill(SIGKILL);
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ((results[0] == WAIT_ABANDONED) + (results[1] == WAIT_ABANDONED), 1)
      << results[0] << " " << results[1];
  EXPECT_EQ((results[0] == WAIT_OBJECT_0) + (results[1] == WAIT_OBJECT_0), 1);

  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "abandoned only once";
  EXPECT_TRUE(ReleaseMutex(mutex));
}

TEST(NamedMutex, AnOwnerThreadThatEndsAbandonsIt) {
  HANDLE mutex = CreateMutex(false, "hmtxSysLstName");
  std::thread owner([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  });
  owner.join();
  EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex)) << "the abandoned count is not inherited";
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
}

TEST(NamedMutex, AReleasedOwnerProcessLeavesItFree) {
  HANDLE mutex = CreateMutex(false, "INITTERM");
  ChildProcess owner = ChildProcess::Start("hold_mutex", {"INITTERM", "3"});
  ASSERT_TRUE(owner.Expect("locked"));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
  owner.Send("release");
  EXPECT_TRUE(owner.Expect("released"));
  EXPECT_EQ(WaitForSingleObject(mutex, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(owner.Wait(), 0);
  EXPECT_TRUE(ReleaseMutex(mutex));
}

// ---- Named events: lifetime ---------------------------------------------------

TEST(NamedEvent, OpenFailsUnlessSomeLiveProcessHoldsAHandle) {
  EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, "STARTED"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  ChildProcess creator = ChildProcess::Start("hold_event", {"STARTED"});
  ASSERT_TRUE(creator.Expect("created"));
  HANDLE opened = OpenEvent(EVENT_ALL_ACCESS, false, "STARTED");
  ASSERT_NE(opened, 0u);
  creator.Send("close");
  ASSERT_TRUE(creator.Expect("closed"));
  HANDLE again = OpenEvent(EVENT_ALL_ACCESS, false, "STARTED");
  EXPECT_NE(again, 0u) << "this process still holds it";
  CloseHandle(opened);
  CloseHandle(again);
  EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, "STARTED"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  creator.Send("exit");
  EXPECT_EQ(creator.Wait(), 0);

  // A holder killed with SIGKILL holds nothing any more.
  ChildProcess killed = ChildProcess::Start("hold_event", {"RETURN"});
  ASSERT_TRUE(killed.Expect("created"));
  HANDLE while_alive = OpenEvent(EVENT_ALL_ACCESS, false, "RETURN");
  EXPECT_NE(while_alive, 0u);
  CloseHandle(while_alive);
  killed.Kill(SIGKILL);
  killed.Wait();
  EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, "RETURN"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE fresh = CreateEvent(true, false, "RETURN");
  EXPECT_EQ(GetLastError(), 0u) << "a new object, not the dead one's";
  EXPECT_EQ(WaitForSingleObject(fresh, 0), WAIT_TIMEOUT);
}

// ---- Named events: set and reset -------------------------------------------

TEST(NamedEvent, AnAutoResetSetWithoutWaitersIsKeptForExactlyOneWaiter) {
  HANDLE event = CreateEvent(false, false, "auto");
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  HANDLE initially = CreateEvent(false, true, nullptr);
  EXPECT_EQ(WaitForSingleObject(initially, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(initially, 0), WAIT_TIMEOUT);
}

TEST(NamedEvent, ManualResetReleasesEveryWaiterOfEveryProcessUntilReset) {
  HANDLE event = CreateEvent(true, false, "hevRetCodeSemName");
  Waiters waiters("hevRetCodeSemName", 2, 2);
  ASSERT_TRUE(waiters.AllBlocked());
  waiters.counters().done.store(1);
  ASSERT_TRUE(SetEvent(event));
  EXPECT_TRUE(waiters.ReleasedReaches(4));
  waiters.Stop([] {});
  EXPECT_EQ(waiters.counters().released.load(), 4u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "stays signalled";
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(NamedEvent, AutoResetReleasesOneWaiterPerSetEvenForSetsInQuickSuccession) {
  HANDLE event = CreateEvent(false, false, "hevRetSemRtvName");
  Waiters waiters("hevRetSemRtvName", 2, 2);
  for (uint32_t round = 1; round <= 20; ++round) {
    ASSERT_TRUE(waiters.AllBlocked()) << "round " << round;
    ASSERT_EQ(waiters.counters().released.load(), 2 * (round - 1)) << "round " << round;
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(waiters.ReleasedReaches(2 * round));
  }
  ASSERT_TRUE(waiters.AllBlocked());
  EXPECT_EQ(waiters.counters().released.load(), 40u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "nothing left over";
  waiters.Stop([&] { SetEvent(event); });
}

TEST(NamedEvent, TwoSetsBeforeTheOnlyWaiterRunsLeaveOneSignalThatResetTakesBack) {
  HANDLE event = CreateEvent(false, false, "hevStartedSemName");
  for (bool reset : {false, true}) {
    ChildProcess waiter = ChildProcess::Start("wait_event", {"hevStartedSemName", "60000"});
    std::optional<std::string> tid = waiter.ReadLine();
    ASSERT_TRUE(tid && tid->rfind("tid ", 0) == 0);
    ASSERT_TRUE(WaitUntilBlocked(waiter.pid(), std::stoi(tid->substr(4))));
    // Stopped, the waiter cannot take the first Set before the second.
    waiter.Kill(SIGSTOP);
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(SetEvent(event));
    waiter.Kill(SIGCONT);
    EXPECT_EQ(waiter.ReadLine(), std::to_string(WAIT_OBJECT_0));
    EXPECT_EQ(waiter.Wait(), 0);
    if (reset) {
      ASSERT_TRUE(ResetEvent(event));
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), reset ? WAIT_TIMEOUT : WAIT_OBJECT_0)
        << "reset " << reset;
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "reset " << reset;
  }
}

TEST(NamedEvent, AWaiterKilledWhileWaitingOnAnAutoResetEventCountsNoMore) {
  HANDLE event = CreateEvent(false, false, "hevCommReadyName");
  ChildProcess doomed = ChildProcess::Start("wait_event", {"hevCommReadyName", "60000"});
  std::optional<std::string> tid = doomed.ReadLine();
  ASSERT_TRUE(tid && tid->rfind("tid ", 0) == 0);
  ASSERT_TRUE(WaitUntilBlocked(doomed.pid(), std::stoi(tid->substr(4))));
  doomed.Kill(SIGKILL);
  doomed.Wait();
  // Nobody alive waits: the Set only signals, and the Reset takes it back.
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(ResetEvent(event));
  ChildProcess late = ChildProcess::Start("wait_event", {"hevCommReadyName", "300"});
  ASSERT_TRUE(late.ReadLine().has_value());
  EXPECT_EQ(late.ReadLine(), std::to_string(WAIT_TIMEOUT)) << "released by the dead one's Set";
  EXPECT_EQ(late.Wait(), 0);

  Waiters waiters("hevCommReadyName", 1, 1);
  for (uint32_t round = 1; round <= 10; ++round) {
    ASSERT_TRUE(waiters.AllBlocked()) << "round " << round;
    ASSERT_EQ(waiters.counters().released.load(), round - 1) << "round " << round;
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(waiters.ReleasedReaches(round)) << "round " << round;
  }
  ASSERT_TRUE(waiters.AllBlocked());
  EXPECT_EQ(waiters.counters().released.load(), 10u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "nothing left over";
  waiters.Stop([&] { SetEvent(event); });
}

// ---- Pulse ------------------------------------------------------------------

TEST(PulseEvent, ManualPulseReleasesExactlyTheCurrentWaitersOfTwoProcesses) {
  constexpr uint32_t kRounds = 300;
  HANDLE event = CreateEvent(true, false, "RETURN");
  Waiters waiters("RETURN", 2, 2);
  const uint32_t count = static_cast<uint32_t>(waiters.count());
  for (uint32_t round = 1; round <= kRounds; ++round) {
    ASSERT_TRUE(waiters.AllBlocked()) << "round " << round;
    ASSERT_EQ(waiters.counters().released.load(), count * (round - 1)) << "round " << round;
    ASSERT_TRUE(PulseEvent(event));
    // This thread did not wait at the pulse: the event is not signalled.
    ASSERT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "round " << round;
    ASSERT_TRUE(waiters.ReleasedReaches(count * round)) << "round " << round;
  }
  ASSERT_TRUE(waiters.AllBlocked());
  EXPECT_EQ(waiters.counters().released.load(), count * kRounds);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(WaitForSingleObject(event, 150), WAIT_TIMEOUT) << "a later arrival stays blocked";
  EXPECT_GE(MillisSince(start), 145);
  waiters.Stop([&] { PulseEvent(event); });
}

TEST(PulseEvent, AutoPulseReleasesExactlyOneCurrentWaiter) {
  constexpr uint32_t kRounds = 300;
  HANDLE event = CreateEvent(false, false, "hevRetSemSendReqName");
  ASSERT_TRUE(PulseEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT)
      << "a pulse without waiters leaves nothing";
  Waiters waiters("hevRetSemSendReqName", 2, 2);
  for (uint32_t round = 1; round <= kRounds; ++round) {
    ASSERT_TRUE(waiters.AllBlocked()) << "round " << round;
    ASSERT_EQ(waiters.counters().released.load(), round - 1) << "round " << round;
    ASSERT_TRUE(PulseEvent(event));
    ASSERT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "round " << round;
    ASSERT_TRUE(waiters.ReleasedReaches(round)) << "round " << round;
  }
  ASSERT_TRUE(waiters.AllBlocked());
  EXPECT_EQ(waiters.counters().released.load(), kRounds);
  waiters.Stop([&] { SetEvent(event); });
}

}  // namespace
}  // namespace zel::test
