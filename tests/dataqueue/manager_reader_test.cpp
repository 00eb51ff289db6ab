// The manager's reader of a system's data queue, in the real communication
// manager of this build against a real zelhost: a read that fails for any
// reason but a lost connection is reported to the manager at once (a lost
// connection is reported after the teardown; see the host link's tests).
#include <cstdlib>
#include <string>

#include "ctrlblk/ctrlblk.h"
#include "services/connection.h"
#include "services/dataqueue.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

TEST(ManagerReader, AQueueDeletedUnderTheReadIsReportedAtOnceAndEndsTheSystemWith1034) {
  UseTestManager();
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  uint32_t conv = 0;
  ASSERT_EQ(caInitializeZELComm("HOSTA", 0, 0, 0, &conv, 0), 0) << ManagerLog();
  RZ700SysStruct* system = nullptr;
  ASSERT_EQ(cbFindRZ700SysByName("HOSTA", &system), 0);

  uint32_t other = 0;
  ASSERT_EQ(qlxCO_CreateSystem("HOSTA", &other), 0u);
  EXPECT_EQ(qlxDQ_DeleteEx(other, system->szDQName, system->szDQLib, 0), 0u);
  qlxCO_DeleteSystem(other);

  ASSERT_TRUE(Eventually([&] { return system->usCommState == ZEL_COMM_STOPPED; })) << ManagerLog();
  ASSERT_TRUE(Eventually([] {
    return ManagerLog().find("comm state 1, rc 1034") != std::string::npos;
  })) << ManagerLog();
  std::string log = ManagerLog();
  EXPECT_EQ(Count(log, "notice 1011/1056"), 1u) << log;
  size_t notice = log.find("notice 1011/1056");
  std::string line = log.substr(notice, log.find('\n', notice) - notice);
  EXPECT_NE(line.find("system HOSTA"), std::string::npos) << line;
  EXPECT_EQ(line.find("[flag"), std::string::npos) << "posted with wParam 0: " << line;
  EXPECT_EQ(V(system->ulDQErrPending), 0u);
  caStopZELComm(conv);
}

}  // namespace
}  // namespace zel::test
