// Faults armed in the call tables: the list's syntax, which calls fail, and
// that a fault stands in front of whatever table is in effect.
#include "services/call_faults.h"

#include <errno.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/harness/fake_calls.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

using services::ArmCallFaults;
using services::CallFault;
using services::ParseCallFaults;
using services::Plat;
using services::Qlx;

class CallFaults : public testing::Test {
 protected:
  void TearDown() override { ArmCallFaults(""); }
};

TEST_F(CallFaults, AListParsesIntoEntriesWithAndWithoutProgram) {
  std::vector<CallFault> faults;
  std::string error;
  ASSERT_TRUE(ParseCallFaults("qlxDQ_Write:3,VQZMCMW.EXE:GlobalAlloc:12+", &faults, &error))
      << error;
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_EQ(faults[0].program, "");
  EXPECT_EQ(faults[0].call, "qlxDQ_Write");
  EXPECT_EQ(faults[0].nth, 3u);
  EXPECT_FALSE(faults[0].onward);
  EXPECT_EQ(faults[1].program, "VQZMCMW.EXE");
  EXPECT_EQ(faults[1].call, "GlobalAlloc");
  EXPECT_EQ(faults[1].nth, 12u);
  EXPECT_TRUE(faults[1].onward);
  EXPECT_TRUE(ParseCallFaults("", &faults, &error));
  EXPECT_TRUE(faults.empty());

  ASSERT_TRUE(ParseCallFaults("*:7,VQZMCMW.EXE:*:2+", &faults, &error)) << error;
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_EQ(faults[0].program, "");
  EXPECT_EQ(faults[0].call, "*");
  EXPECT_EQ(faults[0].nth, 7u);
  EXPECT_EQ(faults[1].program, "VQZMCMW.EXE");
  EXPECT_EQ(faults[1].call, "*");
  EXPECT_TRUE(faults[1].onward);
}

TEST_F(CallFaults, MalformedListsAreRefusedWithTheEntryNamed) {
  for (const char* fault_list :
       {"CreateEvent", "CreateEvent:", "CreateEvent:0", "CreateEvent:x", "CreateEvent:1++",
        "CreateEvent:-1", "CreateEvent:1,", ",CreateEvent:1", ":CreateEvent:1", "a:b:CreateEvent:1",
        "CloseHandle:1", "createevent:1", "CreateEvent:99999999999", "*:0", "**:1", "*",
        "VQZMCMW.EXE:*"}) {
    std::vector<CallFault> faults;
    std::string error;
    EXPECT_FALSE(ParseCallFaults(fault_list, &faults, &error)) << fault_list;
    EXPECT_FALSE(error.empty()) << fault_list;
  }
}

TEST_F(CallFaults, AMalformedListAbortsTheProcessThatArmsIt) {
  EXPECT_DEATH(ArmCallFaults("qlxDQ_Write:3,Nothing:1"), "ZEL_FAULTS=.*Nothing:1. names no call");
}

// The Nth call fails and "N+" fails the rest; the other calls reach the
// table under the faults (here a fake), and each failure is traced.
TEST_F(CallFaults, TheNumberedCallsFailAndTheOthersReachTheTableInEffect) {
  FakePlatform fake;
  static int forwarded;
  forwarded = 0;
  fake->CreateEvent = [](bool, bool, const char*) -> platform::HANDLE { return ++forwarded; };
  TraceCapture trace;
  ArmCallFaults("CreateEvent:2,CreateEvent:4+,GlobalFree:1");
  std::vector<platform::HANDLE> results;
  for (int i = 0; i < 5; ++i) results.push_back(Plat().CreateEvent(true, false, "X"));
  EXPECT_EQ(results, (std::vector<platform::HANDLE>{1, 0, 2, 0, 0}));
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_GEN_FAILURE);
  EXPECT_TRUE(trace.Traced("fault injected: call 5 of CreateEvent"));
  int block = 0;
  EXPECT_EQ(Plat().GlobalFree(&block), &block);  // a failed free hands the block back

  ArmCallFaults("");
  EXPECT_EQ(Plat().CreateEvent(true, false, "X"), 3u);
}

// "*" counts the calls of both tables together, also those that fail by
// their own entry, and fails the numbered ones whatever they are.
TEST_F(CallFaults, TheWildcardCountsEveryTableCallOfTheProcess) {
  FakePlatform platform;
  platform->CreateEvent = [](bool, bool, const char*) -> platform::HANDLE { return 7; };
  platform->SetEvent = [](platform::HANDLE) { return true; };
  FakeQlx qlx;
  qlx->qlxDQ_CreateAttr = []() -> uint32_t { return 9; };
  TraceCapture trace;
  ArmCallFaults("*:2,*:6+,SetEvent:1");
  EXPECT_EQ(services::CallFaultsFired(), 0u);
  EXPECT_EQ(Plat().CreateEvent(true, false, "X"), 7u);  // 1
  EXPECT_EQ(Qlx().qlxDQ_CreateAttr(), 0u);              // 2: fails
  EXPECT_FALSE(Plat().SetEvent(7));                     // 3: fails by its own entry
  EXPECT_EQ(Qlx().qlxDQ_CreateAttr(), 9u);              // 4
  EXPECT_TRUE(Plat().SetEvent(7)) << "SetEvent's own entry failed only its first call";
  EXPECT_EQ(Plat().CreateEvent(true, false, "X"), 0u);  // 6: fails, and every later one
  EXPECT_EQ(Qlx().qlxDQ_CreateAttr(), 0u);              // 7
  EXPECT_EQ(services::CallFaultsFired(), 4u);
  EXPECT_TRUE(trace.Traced("fault injected: call 2 of * (qlxDQ_CreateAttr)"));
  EXPECT_TRUE(trace.Traced("fault injected: call 1 of SetEvent"));
  EXPECT_FALSE(trace.Traced("call 3 of *")) << "a call that fails by name is traced once";

  ArmCallFaults("*:1");
  EXPECT_EQ(services::CallFaultsFired(), 0u) << "arming restarts the count of fired faults";
  EXPECT_EQ(Qlx().qlxDQ_CreateAttr(), 0u);
  EXPECT_EQ(services::CallFaultsFired(), 1u);
  EXPECT_EQ(Qlx().qlxDQ_CreateAttr(), 9u);
}

TEST_F(CallFaults, AWildcardForAnotherProgramIsNotArmedHere) {
  ArmCallFaults("VQZMCMW.EXE:*:1");
  EXPECT_FALSE(services::CallFaultsArmed());
  ArmCallFaults(std::string(program_invocation_short_name) + ":*:1");
  EXPECT_TRUE(services::CallFaultsArmed());
}

// A real release fails only for a thread that does not own the mutex, so
// a failed one leaves the mutex to others, as the platform would.
TEST_F(CallFaults, AFailedReleaseLeavesTheMutexUnowned) {
  platform::HANDLE mutex = platform::CreateMutex(false, nullptr);
  ASSERT_NE(mutex, 0u);
  ASSERT_EQ(platform::WaitForSingleObject(mutex, 0), platform::WAIT_OBJECT_0);
  ArmCallFaults("ReleaseMutex:1");
  EXPECT_FALSE(Plat().ReleaseMutex(mutex));
  EXPECT_EQ(platform::GetLastError(), platform::ERROR_GEN_FAILURE);
  platform::DWORD other = platform::WAIT_FAILED;
  std::thread([&] {
    other = platform::WaitForSingleObject(mutex, 0);
    if (other == platform::WAIT_OBJECT_0) platform::ReleaseMutex(mutex);
  }).join();
  EXPECT_EQ(other, platform::WAIT_OBJECT_0) << "the mutex stayed owned";
  platform::CloseHandle(mutex);
}

TEST_F(CallFaults, QlxCallsFailWithTheServicesOwnResults) {
  ArmCallFaults("qlxDQ_CreateAttr:1,qlxNL_GetPcCodePage:1,qlxAD_GetInstallDir:1");
  EXPECT_EQ(Qlx().qlxDQ_CreateAttr(), 0u);
  uint32_t code_page = 0;
  EXPECT_EQ(Qlx().qlxNL_GetPcCodePage(&code_page, 0), static_cast<uint32_t>(QLXNL_NO_MEMORY));
  EXPECT_EQ(Qlx().qlxNL_GetPcCodePage(&code_page, 0), static_cast<uint32_t>(QLXNL_OK));
  char dir[256];
  uint32_t length = sizeof dir;
  EXPECT_EQ(Qlx().qlxAD_GetInstallDir(dir, &length), QLXAD_RC_NO_MEMORY);
}

TEST_F(CallFaults, AnEntryForAnotherProgramIsNotArmedHere) {
  ArmCallFaults("VQZMCMW.EXE:CreateEvent:1");
  EXPECT_FALSE(services::CallFaultsArmed());
  ArmCallFaults(std::string(program_invocation_short_name) + ":CreateEvent:1");
  EXPECT_TRUE(services::CallFaultsArmed());
}

}  // namespace
}  // namespace zel::test
