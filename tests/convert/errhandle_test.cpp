// Error handles: life cycle and texts, refusal of stale and foreign
// handles, and the per-process limit.
#include "services/errhandle.h"

#include <string>
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

ZEL_CHILD_COMMAND(make_err_handle) {
  uint32_t handle = 0;
  if (qlxSV_CreateErrHandle(&handle) != QLXSV_OK) return 1;
  child::Report(std::to_string(handle));
  // Keep the handle alive until the test has tried it.
  return child::Receive() ? 0 : 2;
}

TEST(ErrHandle, AHandleOfAnotherProcessIsRefused) {
  // This process holds a live handle in the same slot and generation as
  // the child's first one; only the process part tells them apart.
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

}  // namespace
}  // namespace zel::test
