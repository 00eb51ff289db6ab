// The component's C boundary under a forced allocation failure: its
// functions return 4 (or, returning nothing, return) instead of letting
// std::bad_alloc unwind into a C caller, raise EXT_EXCEPTION, and the
// process carries on.
#include <cstring>

#include "tests/harness/failing_new.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

RZ700SysStruct System() {
  RZ700SysStruct system{};
  std::memcpy(system.szSysName, "ZELSYS", 7);
  std::memcpy(system.szSysID, "001", 4);
  return system;
}

// Both name the event of the system's answer, a string, before anything
// else: the failure comes from the component's own code.
TEST(ComponentBarrierTest, FunctionsThatReturnACodeReturnFourAndTheProcessCarriesOn) {
  RZ700SysStruct system = System();
  auto answered = CallStarved([&] { return cmReturnCommRC(&system, 0); });
  auto stopped = CallStarved([&] { return cmStopAndWaitComm(&system); });

  EXPECT_EQ(answered.value, VQZM_RC_NO_MEMORY);
  EXPECT_EQ(stopped.value, VQZM_RC_NO_MEMORY);
  EXPECT_GT(answered.refused, 0u);
  EXPECT_GT(stopped.refused, 0u);
  EXPECT_EQ(RecentErrorPoints(2), std::vector<std::string>(2, "EXT_EXCEPTION (vqzmcm1)"));

  // Nobody waits for this system's answer: the event is not there, and
  // handing the answer over ends with 0.
  system.usRetCode = 1;
  EXPECT_EQ(cmReturnCommRC(&system, 0), VQZM_RC_OK);
  uint16_t stored = system.usRetCode;
  EXPECT_EQ(stored, 0);
}

// Starting the manager's watcher of ended processes needs a thread: the
// window is registered all the same, the failure is reported.
TEST(ComponentBarrierTest, AControlBlockFunctionThatReturnsNothingReportsAndCarriesOn) {
  constexpr ZELHWND kWindow = 0x1234;
  auto registered = CallStarved([&] {
    cbSetCPMgrHwnd(kWindow);
    return 0;
  });

  EXPECT_GT(registered.refused, 0u);
  EXPECT_EQ(RecentErrorPoints(1), std::vector<std::string>{"EXT_EXCEPTION (Vqzmcb1)"});
  ZELHWND stored = GetZELAnchorCB()->hwndCPMgr;
  EXPECT_EQ(stored, kWindow);
}

}  // namespace
}  // namespace zel::test
