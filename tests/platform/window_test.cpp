// Message windows: posting and sending within a process and between
// processes, message loops, and windows whose thread or process goes away.
#include "platform/window.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/posix/heap.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "tests/platform/platform_test_util.h"

namespace zel::test {
namespace {

using namespace zel::platform;
using Clock = std::chrono::steady_clock;

constexpr UINT kSlowAdd = WM_USER + 0x100;  // handler takes 100 ms, returns wParam + lParam
constexpr UINT kNested = WM_USER + 0x101;   // handler sends kAnswer to the window in wParam
constexpr UINT kAnswer = WM_USER + 0x102;   // handler returns 7
constexpr UINT kHang = WM_USER + 0x103;     // handler reports and waits for the test
constexpr UINT kQuit = WM_USER + 0x104;     // handler ends the loop
constexpr UINT kDestroy = WM_USER + 0x105;  // handler destroys the window
constexpr UINT kBurst = WM_USER + 0x106;    // posted in numbers
constexpr UINT kHold = WM_USER + 0x107;     // handler waits until the test lets it go

// Takes every posted message until the loop sees WM_QUIT, dispatching them.
int RunLoop() {
  MSG msg;
  int result;
  while ((result = GetMessage(&msg, 0, 0, 0)) > 0) DispatchMessage(&msg);
  return result;
}

// Waits up to 10 s for a posted message and takes it.
bool NextPosted(MSG* msg) {
  return WaitMessage(10000) == WAIT_OBJECT_0 && PeekMessage(msg, 0, 0, 0, PM_REMOVE);
}

LRESULT OwnerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case kSlowAdd:
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return static_cast<LRESULT>(wParam) + lParam;
    case kNested:
      return SendMessage(static_cast<HWND>(wParam), kAnswer, 0, 0) + 1;
    case kHang:
      child::Report("in handler");
      child::Receive();
      return 0;
    case kQuit:
      PostQuitMessage(3);
      return 0;
    case kDestroy:
      DestroyWindow(hwnd);
      child::Report("destroyed");
      return 0;
    default:
      return 0;
  }
}

// ---- Child commands ---------------------------------------------------------

// Owns a window run by OwnerProc; reports its handle and thread.
ZEL_CHILD_COMMAND(window_owner) {
  HWND hwnd = CreateMessageWindow(OwnerProc);
  if (hwnd == 0) return 1;
  child::Report(std::to_string(hwnd) + " " + std::to_string(GetCurrentThreadId()));
  return RunLoop() == 0 ? 0 : 2;
}

// Posts args[2] messages to window args[0], tagged with sender args[1].
ZEL_CHILD_COMMAND(post_burst) {
  HWND hwnd = static_cast<HWND>(std::stoul(args[0]));
  uint64_t sender = std::stoull(args[1]);
  int count = std::stoi(args[2]);
  for (int i = 0; i < count; ++i) {
    WPARAM wparam = sender << 32 | static_cast<uint64_t>(i);
    LPARAM lparam = -static_cast<LPARAM>(wparam) * 3;
    if (!PostMessage(hwnd, kBurst, wparam, lparam)) {
      child::Report("failed " + std::to_string(GetLastError()));
      return 1;
    }
  }
  return 0;
}

// Posts a filled global block to window args[0] and ends.
ZEL_CHILD_COMMAND(post_block) {
  auto* block = static_cast<char*>(GlobalAlloc(GMEM_SHARE | GMEM_ZEROINIT, 1000));
  if (block == nullptr) return 1;
  strcpy(block, "a block outlives its maker");
  return PostMessage(static_cast<HWND>(std::stoul(args[0])), kBurst, 0,
                     reinterpret_cast<LPARAM>(block))
             ? 0
             : 2;
}

// Makes a window of its own, reports its handle, sends kHold with wParam
// args[1] to window args[0] and reports the result and the last error.
ZEL_CHILD_COMMAND(send_hold) {
  HWND own = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  child::Report(std::to_string(own));
  LRESULT result =
      SendMessage(static_cast<HWND>(std::stoul(args[0])), kHold, std::stoul(args[1]), 0);
  child::Report(std::to_string(result) + " " + std::to_string(GetLastError()));
  return 0;
}

// Reports the idle count of window args[0], or "error <code>".
ZEL_CHILD_COMMAND(idle_count) {
  DWORD count = 0;
  if (!GetWindowIdleCount(static_cast<HWND>(std::stoul(args[0])), &count)) {
    child::Report("error " + std::to_string(GetLastError()));
    return 0;
  }
  child::Report(std::to_string(count));
  return 0;
}

// A window of this process run by its own thread: kHold waits until
// Release(), kBurst counts, every other message returns wParam + 1.
class WindowThread {
 public:
  WindowThread() {
    thread_ = std::thread([this] {
      hwnd_.store(CreateMessageWindow([this](HWND, UINT message, WPARAM wParam, LPARAM) {
        if (message == kBurst) {
          // A handler that takes a while keeps messages queued.
          std::this_thread::sleep_for(std::chrono::microseconds(50));
          handled_.fetch_add(1);
        }
        if (message == kHold) {
          holding_.store(true);
          EXPECT_TRUE(Eventually([this] { return released_.load(); }, kChildTimeout, 200us));
          holding_.store(false);
        }
        if (message == kQuit) PostQuitMessage(0);
        return static_cast<LRESULT>(wParam + 1);
      }));
      RunLoop();
    });
    EXPECT_TRUE(Eventually([&] { return hwnd_.load() != 0; }, kChildTimeout, 200us));
  }
  ~WindowThread() {
    released_.store(true);
    PostMessage(hwnd_, kQuit, 0, 0);
    thread_.join();
  }

  HWND hwnd() const { return hwnd_.load(); }
  uint32_t handled() const { return handled_.load(); }
  bool holding() const { return holding_.load(); }
  void Release() { released_.store(true); }

  DWORD IdleCount() const {
    DWORD count = 0;
    EXPECT_TRUE(GetWindowIdleCount(hwnd(), &count)) << GetLastError();
    return count;
  }

 private:
  std::atomic<HWND> hwnd_{0};
  std::atomic<uint32_t> handled_{0};
  std::atomic<bool> holding_{false};
  std::atomic<bool> released_{false};
  std::thread thread_;
};

// A window owner in a child process.
struct RemoteWindow {
  explicit RemoteWindow() : process(ChildProcess::Start("window_owner")) {
    std::optional<std::string> line = process.ReadLine();
    if (!line) {
      ADD_FAILURE() << "the child made no window";
      return;
    }
    size_t blank = line->find(' ');
    hwnd = static_cast<HWND>(std::stoul(line->substr(0, blank)));
    tid = static_cast<DWORD>(std::stoul(line->substr(blank + 1)));
  }
  ChildProcess process;
  HWND hwnd = 0;
  DWORD tid = 0;
};

// ---- Within a process ---------------------------------------------------------

TEST(WindowMessages, AThreadsLoopGetsItsPostedMessagesInOrderThenQuit) {
  std::vector<UINT> dispatched;
  HWND hwnd = CreateMessageWindow([&](HWND, UINT message, WPARAM, LPARAM) {
    dispatched.push_back(message);
    return 0;
  });
  ASSERT_NE(hwnd, 0u);
  EXPECT_TRUE(IsWindow(hwnd));
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), GetCurrentThreadId());
  EXPECT_EQ(pid, GetCurrentProcessId());

  for (UINT message : {WM_USER + 1, WM_USER + 2, WM_USER + 3}) {
    ASSERT_TRUE(PostMessage(hwnd, message, message * 10, -static_cast<LPARAM>(message)));
  }
  PostQuitMessage(5);
  MSG msg{};
  ASSERT_TRUE(PeekMessage(&msg, 0, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(msg.message, WM_USER + 1);
  ASSERT_TRUE(PeekMessage(&msg, hwnd, WM_USER + 2, WM_USER + 2, PM_REMOVE)) << "filtered";
  EXPECT_EQ(msg.wParam, (WM_USER + 2) * 10u);
  EXPECT_EQ(msg.lParam, -static_cast<LPARAM>(WM_USER + 2));
  EXPECT_EQ(GetMessage(&msg, 12345, 0, 0), -1);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(RunLoop(), 0);
  EXPECT_EQ(dispatched, (std::vector<UINT>{WM_USER + 1, WM_USER + 3}));
  EXPECT_FALSE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) << "WM_QUIT was taken";
  EXPECT_EQ(WaitMessage(0), WAIT_TIMEOUT);

  EXPECT_EQ(SendMessage(hwnd, WM_USER + 9, 0, 0), 0) << "own thread: called directly";
  EXPECT_EQ(dispatched.back(), WM_USER + 9);
  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(dispatched.back(), WM_DESTROY);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_FALSE(PostMessage(hwnd, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(DestroyWindow(hwnd));
  EXPECT_EQ(CreateMessageWindow(nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(WindowMessages, AnotherThreadSendsAndTheWindowGoesWithItsThread) {
  std::atomic<HWND> hwnd{0};
  std::thread owner([&] {
    hwnd.store(CreateMessageWindow([](HWND, UINT message, WPARAM wParam, LPARAM lParam) {
      if (message == kQuit) PostQuitMessage(0);
      return static_cast<LRESULT>(wParam) * lParam;
    }));
    RunLoop();
  });
  ASSERT_TRUE(Eventually([&] { return hwnd.load() != 0; }, kChildTimeout, 200us));
  EXPECT_EQ(SendMessage(hwnd, WM_USER, 6, 7), 42);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_FALSE(DestroyWindow(hwnd));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(PostMessage(hwnd, kQuit, 0, 0));
  owner.join();
  EXPECT_FALSE(IsWindow(hwnd)) << "a thread's windows end with it";
  EXPECT_EQ(SendMessage(hwnd, WM_USER, 6, 7), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

// ---- Between processes --------------------------------------------------------

TEST(WindowMessages, PostsFromTwoProcessesArriveCompleteOrderedAndExact) {
  constexpr int kPerSender = 2500;
  HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  ASSERT_NE(hwnd, 0u);
  std::vector<ChildProcess> senders;
  for (int sender = 1; sender <= 2; ++sender) {
    senders.push_back(ChildProcess::Start(
        "post_burst", {std::to_string(hwnd), std::to_string(sender), std::to_string(kPerSender)}));
  }
  std::map<uint64_t, uint64_t> next_expected = {{1, 0}, {2, 0}};
  for (int received = 0; received < 2 * kPerSender; ++received) {
    MSG msg;
    ASSERT_TRUE(NextPosted(&msg)) << "after " << received << " messages";
    ASSERT_EQ(msg.hwnd, hwnd);
    ASSERT_EQ(msg.message, kBurst);
    uint64_t sender = msg.wParam >> 32;
    ASSERT_TRUE(next_expected.count(sender)) << msg.wParam;
    ASSERT_EQ(msg.wParam & 0xFFFFFFFF, next_expected[sender]++) << "in order per sender";
    ASSERT_EQ(msg.lParam, -static_cast<LPARAM>(msg.wParam) * 3) << "exact 64-bit parameters";
  }
  for (ChildProcess& sender : senders) EXPECT_EQ(sender.Wait(), 0);
  EXPECT_EQ(WaitMessage(0), WAIT_TIMEOUT) << "nothing more";
}

TEST(WindowMessages, PostingToAWindowOfADeadProcessFails) {
  RemoteWindow remote;
  ASSERT_NE(remote.hwnd, 0u);
  EXPECT_TRUE(IsWindow(remote.hwnd));
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(remote.hwnd, &pid), remote.tid);
  EXPECT_EQ(pid, static_cast<DWORD>(remote.process.pid()));
  EXPECT_TRUE(PostMessage(remote.hwnd, WM_USER, 0, 0));

  remote.process.Kill(SIGKILL);
  remote.process.Wait();
  EXPECT_FALSE(PostMessage(remote.hwnd, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(IsWindow(remote.hwnd));
  EXPECT_EQ(GetWindowThreadProcessId(remote.hwnd, &pid), 0u);
  EXPECT_EQ(pid, 0u);
}

TEST(WindowMessages, PostingToAWindowItsOwnerDestroyedFails) {
  RemoteWindow remote;
  ASSERT_NE(remote.hwnd, 0u);
  ASSERT_TRUE(PostMessage(remote.hwnd, kDestroy, 0, 0));
  ASSERT_TRUE(remote.process.Expect("destroyed"));
  EXPECT_FALSE(IsWindow(remote.hwnd));
  EXPECT_FALSE(PostMessage(remote.hwnd, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(SendMessage(remote.hwnd, WM_USER, 0, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(WindowMessages, SendReturnsTheResultOnlyAfterTheHandlerFinished) {
  RemoteWindow remote;
  ASSERT_NE(remote.hwnd, 0u);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(SendMessage(remote.hwnd, kSlowAdd, 40, 2), 42);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(GetLastError(), 0u);
  ASSERT_TRUE(PostMessage(remote.hwnd, kQuit, 0, 0));
  EXPECT_EQ(remote.process.Wait(), 0);
}

TEST(WindowMessages, ANestedSendBackToTheSenderCompletes) {
  HWND own = CreateMessageWindow([](HWND, UINT message, WPARAM, LPARAM) {
    return message == kAnswer ? LRESULT{7} : LRESULT{0};
  });
  RemoteWindow remote;
  ASSERT_NE(remote.hwnd, 0u);
  EXPECT_EQ(SendMessage(remote.hwnd, kNested, own, 0), 8);
  ASSERT_TRUE(PostMessage(remote.hwnd, kQuit, 0, 0));
  EXPECT_EQ(remote.process.Wait(), 0);
}

TEST(WindowMessages, ASendFailsWhenTheTargetDiesInItsHandler) {
  RemoteWindow remote;
  ASSERT_NE(remote.hwnd, 0u);
  std::atomic<bool> returned{false};
  LRESULT result = -1;
  DWORD error = 0;
  std::thread sender([&] {
    result = SendMessage(remote.hwnd, kHang, 0, 0);
    error = GetLastError();
    returned = true;
  });
  ASSERT_TRUE(remote.process.Expect("in handler"));
  EXPECT_FALSE(returned.load());
  remote.process.Kill(SIGKILL);
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(error, ERROR_INVALID_WINDOW_HANDLE);
}

TEST(WindowMessages, ASenderKilledWhileItWaitsLeavesTheWindowServingOthers) {
  WindowThread window;
  ChildProcess doomed = ChildProcess::Start("send_hold", {std::to_string(window.hwnd()), "1"});
  std::optional<std::string> doomed_window = doomed.ReadLine();
  ASSERT_TRUE(doomed_window.has_value());
  ASSERT_TRUE(Eventually([&] { return window.holding(); }, kChildTimeout, 200us));
  doomed.Kill(SIGKILL);
  EXPECT_EQ(doomed.Wait(), 128 + SIGKILL);
  // The handler now answers a sender that is gone.
  window.Release();
  ASSERT_TRUE(Eventually([&] { return !window.holding(); }, kChildTimeout, 200us));
  EXPECT_FALSE(IsWindow(static_cast<HWND>(std::stoul(*doomed_window))));

  ChildProcess next = ChildProcess::Start("send_hold", {std::to_string(window.hwnd()), "41"});
  ASSERT_TRUE(next.ReadLine().has_value());
  EXPECT_EQ(next.ReadLine(), "42 0") << "the window still serves";
  EXPECT_EQ(next.Wait(), 0);
  EXPECT_EQ(SendMessage(window.hwnd(), WM_USER, 6, 0), 7);
}

TEST(WindowMessages, ASenderGetsAFailureWhenTheWindowsOwnerIsKilledFirst) {
  RemoteWindow remote;
  ASSERT_NE(remote.hwnd, 0u);
  remote.process.Kill(SIGKILL);
  remote.process.Wait();
  Clock::time_point start = Clock::now();
  EXPECT_EQ(SendMessage(remote.hwnd, kSlowAdd, 1, 2), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "fails at once, no wait";
  EXPECT_FALSE(IsWindow(remote.hwnd));
}

// A child forked after this process's transport started has none of the
// parent's windows and a transport of its own at its own address: a window
// it makes gets what another process posts, and its send to a window of the
// parent gets the answer. The forking thread's queue stays the parent's.
TEST(WindowMessages, AForkedChildsWindowsAndSendsUseATransportOfItsOwn) {
  WindowThread window;
  MSG msg;
  EXPECT_FALSE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) << "this thread now has a queue";
  ASSERT_TRUE(WaitUntilOtherThreadsSleep()) << "the window's thread and the reader wait";
  auto in_child = [&](ForkedChild& self) {
    HWND own = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
    self.Send(std::to_string(own));
    MSG posted{};
    self.Send(NextPosted(&posted) && posted.hwnd == own
                  ? std::to_string(posted.message) + " " + std::to_string(posted.wParam)
                  : "nothing posted");
    bool parents = DestroyWindow(window.hwnd());
    self.Send(parents ? "destroyed the parent's" : std::to_string(GetLastError()));
    LRESULT answer = SendMessage(window.hwnd(), WM_USER, 41, 0);
    self.Send(std::to_string(answer) + " " + std::to_string(GetLastError()));
    return 0;
  };
  ForkedChild child(in_child, ForkedChild::End::kAtOnce);
  ASSERT_TRUE(child.running());
  HWND own = static_cast<HWND>(std::stoul("0" + child.Receive()));
  ASSERT_NE(own, 0u);
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(own, &pid), static_cast<DWORD>(child.pid()))
      << "made by the child's only thread";
  EXPECT_EQ(pid, static_cast<DWORD>(child.pid()));
  EXPECT_TRUE(PostMessage(own, kBurst, 7, 0)) << GetLastError();
  EXPECT_EQ(child.Receive(), std::to_string(kBurst) + " 7");
  EXPECT_EQ(child.Receive(), std::to_string(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(child.Receive(10s), "42 0");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_TRUE(IsWindow(window.hwnd()));
  EXPECT_FALSE(IsWindow(own)) << "the child's windows went with it";
}

// ---- Idle count -------------------------------------------------------------------

TEST(WindowIdleCount, ChangesOnlyOnceEveryMessagePostedBeforeHasBeenHandled) {
  constexpr int kRounds = 20;
  constexpr int kPerRound = 200;
  WindowThread window;
  for (int round = 1; round <= kRounds; ++round) {
    ChildProcess sender = ChildProcess::Start(
        "post_burst", {std::to_string(window.hwnd()), "1", std::to_string(kPerRound)});
    ASSERT_EQ(sender.Wait(), 0) << "round " << round;
    // Every post has returned: the messages are queued or unread. A
    // thread asleep in GetMessage looks again once a message comes.
    DWORD before = window.IdleCount();
    ASSERT_TRUE(PostMessage(window.hwnd(), WM_NULL, 0, 0));
    ASSERT_TRUE(Eventually([&] { return window.IdleCount() != before; }, kChildTimeout, 200us))
        << "round " << round;
    ASSERT_EQ(window.handled(), static_cast<uint32_t>(kPerRound * round)) << "round " << round;
  }
  // Posts from this process go straight into the queue.
  for (int i = 0; i < kPerRound; ++i) ASSERT_TRUE(PostMessage(window.hwnd(), kBurst, 0, 0));
  DWORD before = window.IdleCount();
  ASSERT_TRUE(PostMessage(window.hwnd(), WM_NULL, 0, 0));
  ASSERT_TRUE(Eventually([&] { return window.IdleCount() != before; }, kChildTimeout, 200us));
  EXPECT_EQ(window.handled(), static_cast<uint32_t>(kPerRound * (kRounds + 1)));
}

TEST(WindowIdleCount, StaysWhileTheThreadIsBusyAndIsReadFromAnyProcess) {
  WindowThread window;
  ASSERT_TRUE(PostMessage(window.hwnd(), kHold, 0, 0));
  ASSERT_TRUE(Eventually([&] { return window.holding(); }, kChildTimeout, 200us));
  DWORD busy = window.IdleCount();
  ChildProcess reader = ChildProcess::Start("idle_count", {std::to_string(window.hwnd())});
  EXPECT_EQ(reader.ReadLine(), std::to_string(busy)) << "same count in another process";
  EXPECT_EQ(reader.Wait(), 0);
  ASSERT_TRUE(PostMessage(window.hwnd(), WM_USER, 0, 0));
  EXPECT_EQ(window.IdleCount(), busy) << "a busy thread has not looked";
  window.Release();
  EXPECT_TRUE(Eventually([&] { return window.IdleCount() != busy; }, kChildTimeout, 200us));

  DWORD count = 0;
  EXPECT_FALSE(GetWindowIdleCount(12345, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(WindowIdleCount, AWindowWhoseOwnerIsGoneHasNoCount) {
  RemoteWindow remote;
  ASSERT_NE(remote.hwnd, 0u);
  DWORD count = 0;
  EXPECT_TRUE(Eventually([&] { return GetWindowIdleCount(remote.hwnd, &count) && count > 0; },
                         kChildTimeout, 200us))
      << "the owner's loop found nothing at its start";
  remote.process.Kill(SIGKILL);
  remote.process.Wait();
  EXPECT_FALSE(GetWindowIdleCount(remote.hwnd, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);

  RemoteWindow destroyed;
  ASSERT_TRUE(PostMessage(destroyed.hwnd, kDestroy, 0, 0));
  ASSERT_TRUE(destroyed.process.Expect("destroyed"));
  EXPECT_FALSE(GetWindowIdleCount(destroyed.hwnd, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST(WindowMessages, AGlobalBlockPostedToAnotherProcessOutlivesItsMaker) {
  HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  ChildProcess maker = ChildProcess::Start("post_block", {std::to_string(hwnd)});
  EXPECT_EQ(maker.Wait(), 0);
  MSG msg;
  ASSERT_TRUE(NextPosted(&msg));
  void* block = reinterpret_cast<void*>(msg.lParam);
  EXPECT_EQ(GlobalSize(block), 1000u) << "the block became this process's";
  EXPECT_STREQ(static_cast<char*>(block), "a block outlives its maker");
  EXPECT_EQ(GlobalFree(block), nullptr);
}

TEST(WindowMessages, AGlobalBlockStillQueuedWhenItsWindowGoesIsFreed) {
  HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  uint64_t used = internal::CheckGlobalHeap().used_blocks;
  ChildProcess maker = ChildProcess::Start("post_block", {std::to_string(hwnd)});
  EXPECT_EQ(maker.Wait(), 0);
  MSG msg;
  ASSERT_TRUE(WaitMessage(10000) == WAIT_OBJECT_0 && PeekMessage(&msg, hwnd, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(internal::CheckGlobalHeap().used_blocks, used + 1);
  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_EQ(internal::CheckGlobalHeap().used_blocks, used);
}

TEST(WindowMessages, APostToAFullWindowOfAnotherProcessIsRefusedToThePoster) {
  HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  ChildProcess poster = ChildProcess::Start("post_burst", {std::to_string(hwnd), "1", "10001"});
  EXPECT_EQ(poster.ReadLine(), "failed " + std::to_string(ERROR_NOT_ENOUGH_QUOTA));
  EXPECT_EQ(poster.Wait(), 1);
  MSG msg;
  int taken = 0;
  while (taken <= 10000 && PeekMessage(&msg, hwnd, 0, 0, PM_REMOVE)) ++taken;
  EXPECT_EQ(taken, 10000) << "every message the poster was not refused arrived";
  ChildProcess again = ChildProcess::Start("post_burst", {std::to_string(hwnd), "2", "1"});
  EXPECT_EQ(again.Wait(), 0) << "the window takes posts again once emptied";
}

}  // namespace
}  // namespace zel::test
