// The C boundary of the trace library and the client services: no
// exception ever leaves an exported function. The barrier itself, each
// service under a forced allocation failure, and tracing whose output fails.
#include "base/barrier.h"

#include <fstream>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/trace.h"
#include "services/admin.h"
#include "services/connection.h"
#include "services/dataqueue.h"
#include "services/errhandle.h"
#include "services/language.h"
#include "tests/harness/failing_new.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"

ZEL_MODULE("barrier_test")

namespace zel::test {
namespace {

constexpr uint16_t kMemory = 4;
constexpr uint16_t kOther = 1026;

// Built the way every exported function is, around a body that may throw.
uint16_t CodeOf(void (*body)()) noexcept try {
  body();
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(kMemory, kOther);
}

const char* PointerOf(void (*body)()) noexcept try {
  body();
  return "made";
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

void NothingOf(void (*body)()) noexcept try { body(); } catch (...) {
  ZEL_C_REPORT();
}

// The trace line of a stopped exception: the function's name and the text.
bool TracedStop(const TraceCapture& capture, const std::string& function, const std::string& what) {
  for (const CapturedRecord& r : capture.Records()) {
    if (r.op == "String" && r.text == function && r.string == what) return true;
  }
  return false;
}

TEST(ServicesBarrierTest, OutOfMemoryGivesOneFailureAnyOtherExceptionTheOther) {
  EXPECT_EQ(CodeOf([] {}), 0);
  EXPECT_EQ(CodeOf([] { throw std::bad_alloc(); }), kMemory);
  EXPECT_EQ(CodeOf([] { throw std::length_error("string too long"); }), kOther);
  EXPECT_EQ(CodeOf([] { throw 42; }), kOther);
  EXPECT_EQ(PointerOf([] { throw std::bad_alloc(); }), nullptr);
  EXPECT_STREQ(PointerOf([] {}), "made");
  NothingOf([] { throw std::runtime_error("ignored"); });
  EXPECT_EQ(RecentErrorPoints(5), std::vector<std::string>(5, "EXT_EXCEPTION (barrier_test)"));
}

TEST(ServicesBarrierTest, AStoppedExceptionRaisesAnErrorPointAndTracesFunctionAndText) {
  TraceCapture capture;
  EXPECT_EQ(CodeOf([] { throw std::runtime_error("no route to the host"); }), kOther);
  NothingOf([] { throw 7; });
  EXPECT_EQ(capture.ErrorPoints(), (std::vector<std::string>{"EXT_EXCEPTION (barrier_test)",
                                                             "EXT_EXCEPTION (barrier_test)"}));
  EXPECT_TRUE(TracedStop(capture, "CodeOf", "no route to the host"));
  EXPECT_TRUE(TracedStop(capture, "NothingOf", "exception of no standard type"));
}

// One call of each client service that allocates: with allocations failing
// each returns its out-of-memory result, and afterwards the services work.
TEST(ServicesBarrierTest, EveryServiceReturnsItsOutOfMemoryResultAndTheProcessCarriesOn) {
  auto attributes = CallStarved([] { return qlxDQ_CreateAttr(); });
  auto error_handle = CallStarved([] {
    uint32_t handle = 1;
    return qlxSV_CreateErrHandle(&handle) == QLXSV_NO_MEMORY && handle == 0;
  });
  auto system_list = CallStarved([] {
    uint32_t list = 0;
    return qlxCO_CreateSysList(&list);
  });
  auto directory = CallStarved([] {
    char buffer[512];
    return qlxNL_GetMsgDirectory(buffer, sizeof buffer, 0);
  });
  auto install = CallStarved([] {
    char buffer[512];
    uint32_t length = sizeof buffer;
    return qlxAD_GetInstallDir(buffer, &length);
  });

  EXPECT_EQ(attributes.value, 0u);
  EXPECT_TRUE(error_handle.value);
  EXPECT_EQ(system_list.value, QLXCO_RC_NO_MEMORY);
  EXPECT_EQ(directory.value, QLXNL_NO_MEMORY);
  EXPECT_EQ(install.value, QLXAD_RC_NO_MEMORY);
  for (uint32_t refused : {attributes.refused, error_handle.refused, system_list.refused,
                           directory.refused, install.refused}) {
    EXPECT_GT(refused, 0u);
  }
  EXPECT_EQ(RecentErrorPoints(5),
            (std::vector<std::string>{"EXT_EXCEPTION (QLXDQ)", "EXT_EXCEPTION (QlxSv)",
                                      "EXT_EXCEPTION (QlxCo)", "EXT_EXCEPTION (QLXNL)",
                                      "EXT_EXCEPTION (QlxAd)"}));

  uint32_t handle = qlxDQ_CreateAttr();
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(qlxDQ_DeleteAttr(handle), QLXDQ_RC_OK);
  ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  EXPECT_EQ(qlxSV_DeleteErrHandle(handle), QLXSV_OK);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Tracing whose output fails loses the record and nothing else: the caller
// goes on, the error point stays in the ring, later records are written.
TEST(ServicesBarrierTest, ARecordThatCannotBeFormattedIsDroppedAndTracingGoesOn) {
  const std::string path = TestPath("trace.log");
  ASSERT_EQ(btTraceOpen(path.c_str()), 0);
  // Longer than any line this thread formatted: its buffer must grow.
  const std::string long_text(64 * 1024, 'x');
  auto message = CallStarved([&] {
    btTraceMsg("XX", 1, long_text.c_str());
    return btErrorPoint("ue", 11, "EXT_TEST_POINT", "barrier_test");
  });
  btTraceMsg("XX", 2, "written after");
  btTraceOpen(nullptr);

  EXPECT_NE(message.value, 0);
  EXPECT_GT(message.refused, 0u);
  std::string trace = ReadFile(path);
  EXPECT_EQ(trace.find(long_text), std::string::npos);
  EXPECT_NE(trace.find("XX 2 Msg written after"), std::string::npos);
  EXPECT_EQ(RecentErrorPoints(1), std::vector<std::string>{"EXT_TEST_POINT (barrier_test)"});
}

TEST(ServicesBarrierTest, ASinkThatThrowsLosesItsRecordAndNotTheCaller) {
  btSetRecordSink([](const BtRecord*, void*) { throw std::runtime_error("sink failed"); }, nullptr);
  btTraceMsg("XX", 1, "lost");
  int point = btErrorPoint("ue", 12, "EXT_TEST_POINT", "barrier_test");
  btSetRecordSink(nullptr, nullptr);

  EXPECT_NE(point, 0);
  BtErrorPointRecord last{};
  ASSERT_EQ(btGetErrorPoints(&last, 1), 1u);
  EXPECT_EQ(last.line, 12);
}

}  // namespace
}  // namespace zel::test
