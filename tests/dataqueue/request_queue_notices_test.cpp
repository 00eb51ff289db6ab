// The notices of the manager's request queue from the real communication
// manager of this build, started as an application starts it, with faults
// armed in it through ZEL_FAULTS: its processing thread ends on a pipe read
// that fails, and the manager's log says so.
//
// No thread of the manager hands work to the queue yet (it drops what the
// host starts towards the PWS), and no other process can write into its
// pipe, so a worker that cannot be started is not reached from here.
#include <signal.h>

#include <cstdlib>
#include <string>

#include "ctrlblk/ctrlblk.h"
#include "manager/manager.h"
#include "platform/window.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

std::string ManagerLog() { return ReadFile(TestPath("cpmgr.log")); }

constexpr char kReadNotice[] =
    "notice 1077/1078: The communication manager could not read its request queue: Requests to "
    "the host data queue are no longer processed (31) system (none) [flag 1]";
constexpr char kStartStopEnded[] = "start/stop thread ended";

// How many times `what` is in the manager's log.
size_t Logged(const std::string& what) { return Count(ManagerLog(), what); }

TEST(RequestQueueNotices, APipeReadThatFailsIsLoggedAs1077And1078AndTheManagerRunsOn) {
  setenv("ZEL_CPMGR_LOG", TestPath("cpmgr.log").c_str(), 1);
  // The manager's two pipe readers each read once as they start, the
  // start/stop thread as a rule first: the second read is the processing
  // thread's. Should the start/stop thread come second, its read fails
  // instead, the manager ends, and a new one is started.
  setenv("ZEL_FAULTS", "VQZMCMW.EXE:ReadFile:2", 1);
  bool logged = false;
  for (size_t start = 1; start <= 5 && !logged; ++start) {
    // A manager whose start/stop thread failed may end before it answers.
    RZ700SysStruct* system = nullptr;
    uint16_t rc = manager::cmStartCPMgr(&system);
    ASSERT_TRUE(rc == 0 || rc == VQZM_RC_CPMGR_ENDED) << rc << "\n" << ManagerLog();
    ASSERT_TRUE(Eventually([start] {
      return Logged(kReadNotice) + Logged(kStartStopEnded) == start;
    })) << ManagerLog();
    logged = Logged(kReadNotice) == 1;
  }
  ASSERT_TRUE(logged) << ManagerLog();
  // The manager runs on without its request queue, and ends as asked.
  platform::HWND window = ctrlblk::Anchor().hwndCPMgr;
  EXPECT_TRUE(platform::IsWindow(window));
  size_t ended = Logged(kStartStopEnded);
  kill(static_cast<pid_t>(ctrlblk::Anchor().ulCPMgrPid), SIGTERM);
  EXPECT_TRUE(Eventually([window] { return !platform::IsWindow(window); })) << ManagerLog();
  EXPECT_EQ(Logged(kStartStopEnded), ended + 1) << ManagerLog();
}

}  // namespace
}  // namespace zel::test
