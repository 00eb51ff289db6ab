// The application's message windows (zelapp.h): the readiness descriptor,
// bounded waits, messages from other threads and processes, and handles
// that are no window of the caller.
#include "zelapp.h"

#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/handles.h"
#include "platform/window.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

constexpr uint32_t kAnswer = 0x0500;

// True when `fd` polls readable within `timeout_ms`.
bool Readable(int fd, int timeout_ms = 0) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, timeout_ms) == 1 && (ready.revents & POLLIN) != 0;
}

uint32_t NewWindow() {
  uint32_t hwnd = 0;
  EXPECT_EQ(zelCreateWindow(&hwnd), VQZM_RC_OK);
  return hwnd;
}

// Posts kAnswer with wParam args[1] and lParam -args[1] to window args[0]
// and reports the return code.
ZEL_CHILD_COMMAND(post_answer) {
  uint64_t value = std::stoull(args[1]);
  child::Report(std::to_string(zelPostMessage(static_cast<uint32_t>(std::stoul(args[0])), kAnswer,
                                              value, -static_cast<intptr_t>(value))));
  return 0;
}

// Sends kAnswer to window args[0] and reports the result and last error.
ZEL_CHILD_COMMAND(send_answer) {
  platform::LRESULT result =
      platform::SendMessage(static_cast<platform::HWND>(std::stoul(args[0])), kAnswer, 1, 2);
  child::Report(std::to_string(result) + " " + std::to_string(platform::GetLastError()));
  return 0;
}

// With at most 256 descriptors open, makes a window with a message queued
// and a descriptor 1,000 times: each goes by zelDestroyWindow or with its
// thread, and a descriptor that either way stays open ends the rounds.
ZEL_CHILD_COMMAND(window_rounds) {
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = 256;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
  for (int round = 0; round < 1000; ++round) {
    bool made = false;
    std::thread owner([&] {
      uint32_t hwnd = 0;
      made = zelCreateWindow(&hwnd) == VQZM_RC_OK &&
             zelPostMessage(hwnd, kAnswer, 0, 0) == VQZM_RC_OK && zelWindowFd(hwnd) >= 0 &&
             (round % 2 == 0 || zelDestroyWindow(hwnd) == VQZM_RC_OK);
    });
    owner.join();
    if (!made) {
      child::Report("failed in round " + std::to_string(round));
      return 0;
    }
  }
  child::Report("done");
  return 0;
}

TEST(AppWindows, ADescriptorIsReadableExactlyWhileAMessageForItsWindowWaits) {
  uint32_t first = NewWindow();
  uint32_t second = NewWindow();
  int fd = zelWindowFd(first);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(zelWindowFd(first), fd) << "the window keeps one descriptor";
  EXPECT_FALSE(Readable(fd));
  ASSERT_EQ(zelPostMessage(second, kAnswer, 0, 0), VQZM_RC_OK);
  EXPECT_FALSE(Readable(fd)) << "another window's message";
  ASSERT_EQ(zelPostMessage(first, kAnswer, 1, 0), VQZM_RC_OK);
  ASSERT_EQ(zelPostMessage(first, kAnswer, 2, 0), VQZM_RC_OK);
  EXPECT_TRUE(Readable(fd));
  EXPECT_TRUE(Readable(fd)) << "polling takes nothing";
  ZelMessage msg{};
  ASSERT_EQ(zelWaitMessage(first, 0, &msg), VQZM_RC_OK);
  EXPECT_EQ(msg.wParam, 1u);
  EXPECT_TRUE(Readable(fd)) << "one more waits";
  ASSERT_EQ(zelWaitMessage(first, 0, &msg), VQZM_RC_OK);
  EXPECT_EQ(msg.wParam, 2u);
  EXPECT_FALSE(Readable(fd));
  EXPECT_EQ(zelWaitMessage(first, 0, &msg), VQZM_RC_TIMED_OUT);

  int late = zelWindowFd(second);
  ASSERT_GE(late, 0);
  EXPECT_TRUE(Readable(late)) << "asked for after its message came";
  ASSERT_EQ(zelWaitMessage(second, 0, &msg), VQZM_RC_OK);
  EXPECT_EQ(msg.hwnd, second);
  EXPECT_FALSE(Readable(late));
  EXPECT_EQ(zelDestroyWindow(first), VQZM_RC_OK);
  EXPECT_EQ(zelDestroyWindow(second), VQZM_RC_OK);
}

TEST(AppWindows, MessagesFromAnotherProcessMakeTheDescriptorReadable) {
  constexpr uint64_t kValue = 0x0123456789ABCDEF;
  uint32_t hwnd = NewWindow();
  int fd = zelWindowFd(hwnd);
  ASSERT_GE(fd, 0);
  ChildProcess poster =
      ChildProcess::Start("post_answer", {std::to_string(hwnd), std::to_string(kValue)});
  EXPECT_EQ(poster.ReadLine(), "0");
  ASSERT_TRUE(Readable(fd, 10000));
  ZelMessage msg{};
  ASSERT_EQ(zelWaitMessage(hwnd, 0, &msg), VQZM_RC_OK);
  EXPECT_EQ(msg.hwnd, hwnd);
  EXPECT_EQ(msg.message, kAnswer);
  EXPECT_EQ(msg.wParam, kValue) << "exact 64-bit parameters";
  EXPECT_EQ(msg.lParam, -static_cast<intptr_t>(kValue));
  EXPECT_FALSE(Readable(fd));
  EXPECT_EQ(poster.Wait(), 0);

  // A message sent rather than posted wakes the poll too, so that its
  // sender does not hang; the call that takes messages answers it.
  ChildProcess sender = ChildProcess::Start("send_answer", {std::to_string(hwnd)});
  ASSERT_TRUE(Readable(fd, 10000));
  EXPECT_EQ(zelWaitMessage(hwnd, 0, &msg), VQZM_RC_TIMED_OUT);
  EXPECT_EQ(sender.ReadLine(), "0 0");
  EXPECT_FALSE(Readable(fd));
  EXPECT_EQ(sender.Wait(), 0);
}

TEST(AppWindows, AWaitEndsOnTimeOrWithTheNextPostedMessage) {
  uint32_t hwnd = NewWindow();
  ZelMessage msg{};
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(zelWaitMessage(hwnd, 200, &msg), VQZM_RC_TIMED_OUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);

  platform::LRESULT sent = -1;
  platform::DWORD sent_error = 1;
  std::thread other([&] {
    sent = platform::SendMessage(hwnd, kAnswer, 1, 2);
    sent_error = platform::GetLastError();
    EXPECT_EQ(zelPostMessage(hwnd, kAnswer, 5, 0), VQZM_RC_OK);
  });
  ASSERT_EQ(zelWaitMessage(hwnd, 30000, &msg), VQZM_RC_OK);
  other.join();
  EXPECT_EQ(msg.wParam, 5u) << "the sent message was answered, not taken";
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(sent_error, 0u);
}

TEST(AppWindows, HandlesThatAreNoWindowOfTheCallerAreRefused) {
  uint32_t hwnd = NewWindow();
  ZelMessage msg{};
  EXPECT_EQ(zelCreateWindow(nullptr), VQZM_RC_INTERNAL_ERROR);
  EXPECT_EQ(zelWaitMessage(hwnd, 0, nullptr), VQZM_RC_INTERNAL_ERROR);
  EXPECT_EQ(zelWaitMessage(0, 0, &msg), VQZM_RC_NO_ASYNC_FOR_WINDOW) << "0 is no window";
  std::thread([&] {
    EXPECT_EQ(zelWaitMessage(hwnd, 0, &msg), VQZM_RC_NO_ASYNC_FOR_WINDOW);
    EXPECT_EQ(zelWindowFd(hwnd), -1);
    EXPECT_EQ(zelDestroyWindow(hwnd), VQZM_RC_NO_ASYNC_FOR_WINDOW);
  }).join();

  ASSERT_EQ(zelPostMessage(hwnd, kAnswer, 0, 0), VQZM_RC_OK);
  ASSERT_GE(zelWindowFd(hwnd), 0);
  ASSERT_EQ(zelDestroyWindow(hwnd), VQZM_RC_OK);
  EXPECT_EQ(zelPostMessage(hwnd, kAnswer, 0, 0), VQZM_RC_NO_ASYNC_FOR_WINDOW);
  EXPECT_EQ(zelWaitMessage(hwnd, 0, &msg), VQZM_RC_NO_ASYNC_FOR_WINDOW);
  EXPECT_EQ(zelWindowFd(hwnd), -1);
  EXPECT_EQ(zelDestroyWindow(hwnd), VQZM_RC_NO_ASYNC_FOR_WINDOW);
  ChildProcess poster = ChildProcess::Start("post_answer", {std::to_string(hwnd), "1"});
  EXPECT_EQ(poster.ReadLine(), std::to_string(VQZM_RC_NO_ASYNC_FOR_WINDOW)) << "from elsewhere";
  EXPECT_EQ(poster.Wait(), 0);
  platform::MSG left{};
  EXPECT_FALSE(platform::PeekMessage(&left, 0, 0, 0, platform::PM_REMOVE))
      << "the queued message went with the window";
}

TEST(AppWindows, AWindowThatGoesClosesItsDescriptor) {
  ChildProcess rounds = ChildProcess::Start("window_rounds");
  EXPECT_EQ(rounds.ReadLine(), "done");
  EXPECT_EQ(rounds.Wait(), 0);
}

}  // namespace
}  // namespace zel::test
