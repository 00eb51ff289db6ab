// Terminate windows from end to end: the test process is the application,
// against a real zelhost on loopback and the real communication manager of
// this build, which tells the registered windows how each end came about.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcb.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"
#include "zelapp.h"

namespace zel::test {
namespace {

constexpr uint32_t kMessage = 0x500;
constexpr uint32_t kWaitMs = 60000;

// A window of this thread that a term type is registered with.
class TermWindow {
 public:
  TermWindow() { EXPECT_EQ(zelCreateWindow(&hwnd_), 0); }
  ~TermWindow() { Destroy(); }

  void Destroy() {
    if (hwnd_ != 0) zelDestroyWindow(hwnd_);
    hwnd_ = 0;
  }
  uint32_t hwnd() const { return hwnd_; }

  // "WHY RC" of the next message, "none" when none came within `ms`.
  std::string Next(uint32_t ms = kWaitMs) {
    ZelMessage msg{};
    uint16_t rc = zelWaitMessage(hwnd_, ms, &msg);
    if (rc != 0) return "none";
    if (msg.message != kMessage) return "message " + std::to_string(msg.message);
    return std::to_string(msg.wParam) + " " + std::to_string(msg.lParam);
  }

 private:
  uint32_t hwnd_ = 0;
};

class TermWindowsEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
    ASSERT_TRUE(host_.running());
    host_.Configure("HOSTA");
  }

  static RZ700SysStruct* System() {
    RZ700SysStruct* system = nullptr;
    return cbFindRZ700SysByName("HOSTA", &system) == 0 ? system : nullptr;
  }

  static bool Stopped() {
    RZ700SysStruct* system = System();
    return system != nullptr && system->usCommState == ZEL_COMM_STOPPED;
  }

  static uint32_t Start() {
    uint32_t conv = 0;
    EXPECT_EQ(caInitializeZELComm("HOSTA", 0, 0, 0, &conv, 0), 0) << ManagerLog();
    return conv;
  }

  // The windows of the three term types, registered as ONE, TWO and THREE.
  void RegisterAll(uint32_t conv) {
    ASSERT_EQ(caRegisterTermWnd(conv, 1, one_.hwnd(), kMessage, "ONE"), 0);
    ASSERT_EQ(caRegisterTermWnd(conv, 2, two_.hwnd(), kMessage, "TWO"), 0);
    ASSERT_EQ(caRegisterTermWnd(conv, 3, three_.hwnd(), kMessage, "THREE"), 0);
  }

  static std::string PwsId(uint32_t conv) {
    char id[4] = {};
    EXPECT_EQ(vqzmRtvPWSId(conv, id), 0);
    return id;
  }

  HostServer host_;
  TermWindow one_, two_, three_;
};

TEST_F(TermWindowsEndToEnd, TheHostsEndIsToldToEveryTypeAndTheRegistrationsOutliveIt) {
  uint32_t conv = Start();
  RegisterAll(conv);
  std::string pws = PwsId(conv);
  ASSERT_EQ(pws.size(), 3u);
  ASSERT_EQ(host_.Control("stop " + pws).rfind("ok", 0), 0u);
  EXPECT_EQ(one_.Next(), "1 0") << ManagerLog();
  EXPECT_EQ(two_.Next(), "1 0");
  EXPECT_EQ(three_.Next(), "1 0");
  EXPECT_TRUE(Eventually([] { return Stopped(); }));

  // The system starts again; its windows are still registered and told of
  // the next end, an error this time.
  uint32_t again = Start();
  EXPECT_EQ(caRegisterTermWnd(again, 1, one_.hwnd(), kMessage, "ONE"), VQZM_RC_PROGRAM_REGISTERED);
  ASSERT_EQ(host_.Control("drop " + PwsId(again)).rfind("ok", 0), 0u);
  std::string error = one_.Next();
  EXPECT_EQ(error.rfind("2 ", 0), 0u) << error << ManagerLog();
  EXPECT_NE(error, "2 0") << "the error's code comes with it";
  EXPECT_EQ(two_.Next(), error);
  EXPECT_EQ(three_.Next(), error);
  EXPECT_EQ(one_.Next(0), "none") << "one message per end";
}

TEST_F(TermWindowsEndToEnd, TheLastConversationsStopIsNotToldToTypeTwo) {
  uint32_t conv = Start();
  ASSERT_EQ(caRegisterTermWnd(conv, 1, one_.hwnd(), kMessage, "ONE"), 0);
  ASSERT_EQ(caRegisterTermWnd(conv, 2, two_.hwnd(), kMessage, "TWO"), 0);
  ASSERT_EQ(caStopZELComm(conv), 0);
  // Type 2 comes first in the list: once type 1 has heard, type 2 would have.
  EXPECT_EQ(one_.Next(), "0 0") << ManagerLog();
  EXPECT_EQ(two_.Next(0), "none");
  EXPECT_TRUE(Eventually([] { return Stopped(); }));
  EXPECT_EQ(caRegisterTermWnd(conv, 1, one_.hwnd(), kMessage, "LATE"), VQZM_RC_CONV_NOT_ISSUED);
}

TEST_F(TermWindowsEndToEnd, ATypeThreeWindowKeepsAnIdleSystemUntilItIsGone) {
  uint32_t conv = Start();
  ASSERT_EQ(caRegisterTermWnd(conv, 3, three_.hwnd(), kMessage, "THREE"), 0);
  ASSERT_EQ(caRegisterTermWnd(conv, 1, one_.hwnd(), kMessage, "ONE"), 0);
  ASSERT_EQ(caStopZELComm(conv), 0);
  // Three idle times without a conversation: still running.
  EXPECT_TRUE(Eventually([] {
    return Count(ManagerLog(), "kept running for its terminate window") >= 3;
  })) << ManagerLog();
  ASSERT_NE(System(), nullptr);
  EXPECT_EQ(V(System()->usCommState), ZEL_COMM_ACTIVE);
  three_.Destroy();
  EXPECT_TRUE(Eventually([] { return Stopped(); })) << ManagerLog();
  EXPECT_EQ(one_.Next(), "0 0");
  EXPECT_EQ(V(System()->ulTermWndCount), 0u);
  EXPECT_EQ(Count(ManagerLog(), "terminate window of THREE is gone: registration dropped"), 1u);
}

}  // namespace
}  // namespace zel::test
