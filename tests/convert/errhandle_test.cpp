// Error handles: life cycle, texts, refusal of stale and foreign handles,
// and the per-process limit.
#include "services/errhandle.h"

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

TEST(ErrHandle, RecordsTheLastFailureOfAHandleAndForgetsItWhenDeleted) {
  uint32_t handle = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(TextOf(handle), "");

  EXPECT_EQ(qlx::SetError(handle, 6017, "the wait time is over"), QLXSV_OK);
  EXPECT_EQ(qlx::SetError(handle, 6101, "code page 4711 is not supported"), QLXSV_OK);
  EXPECT_EQ(TextOf(handle), "QLX6101: code page 4711 is not supported");
  EXPECT_EQ(qlx::ErrorNumber(handle), 6101u);

  // A short buffer gets the beginning of the text, terminated.
  char short_text[8];
  EXPECT_EQ(qlxSV_GetErrText(handle, short_text, sizeof short_text), QLXSV_OK);
  EXPECT_STREQ(short_text, "QLX6101");

  ASSERT_EQ(qlxSV_DeleteErrHandle(handle), QLXSV_OK);
  EXPECT_FALSE(qlx::IsValidErrHandle(handle));
  char text[QLXSV_MAX_TEXT] = "stale";
  EXPECT_EQ(qlxSV_GetErrText(handle, text, sizeof text), QLXSV_INVALID_HANDLE);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(qlxSV_DeleteErrHandle(handle), QLXSV_INVALID_HANDLE);
  EXPECT_EQ(qlx::SetError(handle, 1, "x"), QLXSV_INVALID_HANDLE);
}

TEST(ErrHandle, LongTextsAreCutToTheBufferOfTheCallers) {
  uint32_t handle = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  ASSERT_EQ(qlx::SetError(handle, 6103, std::string(1000, 'x')), QLXSV_OK);
  std::string text = TextOf(handle);
  EXPECT_EQ(text.size(), QLXSV_MAX_TEXT - 1u);
  EXPECT_EQ(text.substr(0, 9), "QLX6103: ");
  qlxSV_DeleteErrHandle(handle);
}

TEST(ErrHandle, RefusesNullArgumentsAndHandleZero) {
  EXPECT_EQ(qlxSV_CreateErrHandle(nullptr), QLXSV_INVALID_POINTER);
  char text[4];
  EXPECT_EQ(qlxSV_GetErrText(0, text, sizeof text), QLXSV_INVALID_HANDLE);
  EXPECT_EQ(qlxSV_DeleteErrHandle(0), QLXSV_INVALID_HANDLE);
  uint32_t handle = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  EXPECT_EQ(qlxSV_GetErrText(handle, nullptr, 10), QLXSV_INVALID_POINTER);
  EXPECT_EQ(qlxSV_GetErrText(handle, text, 0), QLXSV_INVALID_POINTER);
  qlxSV_DeleteErrHandle(handle);
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

ZEL_CHILD_COMMAND(make_err_handle) {
  uint32_t handle = 0;
  if (qlxSV_CreateErrHandle(&handle) != QLXSV_OK) return 1;
  child::Report(std::to_string(handle));
  // Keep the handle alive until the test has tried it.
  return child::Receive() ? 0 : 2;
}

TEST(ErrHandle, AHandleOfAnotherProcessIsRefused) {
  // This process holds a live handle in the same slot and generation the
  // child's first handle gets; only the process part tells them apart.
  uint32_t own = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&own), QLXSV_OK);
  ChildProcess child = ChildProcess::Start("make_err_handle");
  std::optional<std::string> line = child.ReadLine();
  ASSERT_TRUE(line);
  uint32_t foreign = static_cast<uint32_t>(std::stoul(*line));
  EXPECT_EQ(foreign & 0xFFFF, own & 0xFFFF);
  EXPECT_NE(foreign, own);
  char text[QLXSV_MAX_TEXT];
  EXPECT_EQ(qlxSV_GetErrText(foreign, text, sizeof text), QLXSV_INVALID_HANDLE);
  EXPECT_EQ(qlx::SetError(foreign, 6101, "x"), QLXSV_INVALID_HANDLE);
  EXPECT_EQ(qlxSV_DeleteErrHandle(foreign), QLXSV_INVALID_HANDLE);
  EXPECT_TRUE(qlx::IsValidErrHandle(own));
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
}

TEST(ErrHandle, ThreadsCreateAndDeleteWithoutSharingAHandle) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < kRounds; ++i) {
        uint32_t handle = 0;
        std::string text = "thread " + std::to_string(t) + " round " + std::to_string(i);
        if (qlxSV_CreateErrHandle(&handle) != QLXSV_OK ||
            qlx::SetError(handle, 6000 + t, text) != QLXSV_OK) {
          ++failures[t];
          continue;
        }
        char read[QLXSV_MAX_TEXT];
        qlxSV_GetErrText(handle, read, sizeof read);
        if (std::string(read).find(text) == std::string::npos) ++failures[t];
        if (qlxSV_DeleteErrHandle(handle) != QLXSV_OK) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace zel::test
