// Error handles: life cycle and texts, refusal of stale and foreign
// handles, the per-process limit, and calls racing a delete.
#include "services/errhandle.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

std::string TextOf(uint32_t handle) {
  char text[QLXSV_MAX_TEXT];
  EXPECT_EQ(qlxSV_GetErrText(handle, text, sizeof text), QLXSV_OK);
  return text;
}

TEST(ErrHandle, KeepsTheLastFailureUntilDeleted) {
  uint32_t handle = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(TextOf(handle), "");
  EXPECT_EQ(qlx::SetError(handle, 6017, "the wait time is over"), QLXSV_OK);
  EXPECT_EQ(qlx::SetError(handle, 6101, "code page 4711 is not supported"), QLXSV_OK);
  EXPECT_EQ(TextOf(handle), "QLX6101: code page 4711 is not supported");
  EXPECT_EQ(qlx::ErrorNumber(handle), 6101u);
  char short_text[8];
  EXPECT_EQ(qlxSV_GetErrText(handle, short_text, sizeof short_text), QLXSV_OK);
  EXPECT_STREQ(short_text, "QLX6101");
  ASSERT_EQ(qlx::SetError(handle, 6103, std::string(1000, 'x')), QLXSV_OK);
  EXPECT_EQ(TextOf(handle).size(), QLXSV_MAX_TEXT - 1u);

  ASSERT_EQ(qlxSV_DeleteErrHandle(handle), QLXSV_OK);
  char text[QLXSV_MAX_TEXT] = "stale";
  EXPECT_EQ(qlxSV_GetErrText(handle, text, sizeof text), QLXSV_INVALID_HANDLE);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(qlxSV_DeleteErrHandle(handle), QLXSV_INVALID_HANDLE);
  EXPECT_EQ(qlx::SetError(handle, 1, "x"), QLXSV_INVALID_HANDLE);
  EXPECT_EQ(qlxSV_DeleteErrHandle(0), QLXSV_INVALID_HANDLE);
  EXPECT_EQ(qlxSV_CreateErrHandle(nullptr), QLXSV_INVALID_POINTER);
}

// A slot used again gets a new generation: the old handle stays dead.
TEST(ErrHandle, AReusedSlotDoesNotReviveTheOldHandle) {
  std::vector<uint32_t> old_handles;
  for (int i = 0; i < QLXSV_MAX_HANDLES; ++i) {
    uint32_t handle = 0;
    ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK) << i;
    old_handles.push_back(handle);
  }
  uint32_t extra = 0;
  EXPECT_EQ(qlxSV_CreateErrHandle(&extra), QLXSV_NO_MORE_HANDLES);
  EXPECT_EQ(extra, 0u);
  for (uint32_t handle : old_handles) ASSERT_EQ(qlxSV_DeleteErrHandle(handle), QLXSV_OK);
  for (int i = 0; i < QLXSV_MAX_HANDLES; ++i) {
    uint32_t handle = 0;
    ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK) << i;
  }
  for (uint32_t handle : old_handles) EXPECT_FALSE(qlx::IsValidErrHandle(handle)) << handle;
}

constexpr int kForeignHandles = 8;

ZEL_CHILD_COMMAND(make_err_handles) {
  for (int i = 0; i < kForeignHandles; ++i) {
    uint32_t handle = 0;
    if (qlxSV_CreateErrHandle(&handle) != QLXSV_OK) return 1;
    child::Report(std::to_string(handle));
  }
  // Keep the handles alive until the test has tried them.
  return child::Receive() ? 0 : 2;
}

TEST(ErrHandle, AHandleOfAnotherProcessIsRefused) {
  // This process holds live handles in the same table slots and generations
  // (the low 20 bits) as the child's; only the process tag tells them apart.
  std::vector<uint32_t> own(kForeignHandles);
  for (uint32_t& handle : own) ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  ChildProcess child = ChildProcess::Start("make_err_handles");
  for (int i = 0; i < kForeignHandles; ++i) {
    std::optional<std::string> line = child.ReadLine();
    ASSERT_TRUE(line);
    uint32_t foreign = static_cast<uint32_t>(std::stoul(*line));
    EXPECT_EQ(foreign & 0xFFFFF, own[i] & 0xFFFFF);
    EXPECT_NE(foreign, own[i]);
    char text[QLXSV_MAX_TEXT];
    EXPECT_EQ(qlxSV_GetErrText(foreign, text, sizeof text), QLXSV_INVALID_HANDLE);
    EXPECT_EQ(qlx::SetError(foreign, 6101, "x"), QLXSV_INVALID_HANDLE);
    EXPECT_EQ(qlxSV_DeleteErrHandle(foreign), QLXSV_INVALID_HANDLE);
  }
  for (uint32_t handle : own) EXPECT_TRUE(qlx::IsValidErrHandle(handle));
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
}

// Threads record and read errors on a handle while it is deleted: each call
// finishes as if it came before the delete or finds the handle invalid, and
// once invalid the handle stays so.
TEST(ErrHandle, CallsRacingTheDeleteOfTheirHandleEndCleanly) {
  constexpr int kRounds = 100;
  constexpr int kThreads = 3;
  constexpr int kCalls = 200;
  std::atomic<int> wrong{0};
  for (int round = 0; round < kRounds; ++round) {
    uint32_t handle = 0;
    ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
    std::atomic<int> running{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ++running;
        bool gone = false;
        for (int i = 0; i < kCalls; ++i) {
          char text[QLXSV_MAX_TEXT];
          uint32_t set = qlx::SetError(handle, 6000 + t, "racing");
          uint32_t get = qlxSV_GetErrText(handle, text, sizeof text);
          for (uint32_t rc : {set, get}) {
            if (rc == QLXSV_INVALID_HANDLE) {
              gone = true;
            } else if (rc != QLXSV_OK || gone) {
              ++wrong;
            }
          }
          if (get == QLXSV_OK && std::strncmp(text, "QLX600", 6) != 0) ++wrong;
        }
      });
    }
    // Let at least one thread get going before the delete (bounded).
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (running.load() == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
    EXPECT_EQ(qlxSV_DeleteErrHandle(handle), QLXSV_OK);
    for (std::thread& thread : threads) thread.join();
    EXPECT_FALSE(qlx::IsValidErrHandle(handle));
  }
  EXPECT_EQ(wrong.load(), 0);
  // Every handle of the rounds went back to the quota.
  std::vector<uint32_t> handles(QLXSV_MAX_HANDLES);
  for (uint32_t& handle : handles) ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  for (uint32_t handle : handles) EXPECT_EQ(qlxSV_DeleteErrHandle(handle), QLXSV_OK);
}

}  // namespace
}  // namespace zel::test
