// Manager control: starting the communication manager and systems from
// applications, the answers that come back, a manager that dies, and the
// start/stop thread.
//
// Applications run as child processes. The manager they start is a
// stand-in (this test binary linked as SHARED/VQZMCMW.EXE of a test
// installation) whose answers each test chooses through the environment.
#include "manager/manager.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/object_names.h"
#include "manager/manager.h"
#include "platform/event.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/pipe.h"
#include "platform/window.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

namespace fs = std::filesystem;
using namespace zel::platform;
using Clock = std::chrono::steady_clock;
using zel::ctrlblk::Anchor;

std::string StartsLog() { return TestPath("cpmgr-starts.log"); }

// A test installation whose manager is this test binary.
ChildProcess::Env Installation(ChildProcess::Env extra = {}) {
  fs::path home = TestPath("zel");
  fs::create_directories(home / "SHARED");
  fs::path link = home / "SHARED" / ctrlblk::kManagerProgramName;
  if (!fs::exists(link)) fs::create_symlink(fs::read_symlink("/proc/self/exe"), link);
  ChildProcess::Env env = {{"ZEL_HOME", home.string()}, {"ZEL_TEST_FAKE_CPMGR", "fake_cpmgr"}};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

int EnvNumber(const char* name, int fallback) {
  const char* value = getenv(name);
  return value != nullptr ? atoi(value) : fallback;
}

size_t CountLines(const std::string& path) {
  std::ifstream file(path);
  size_t lines = 0;
  for (std::string line; std::getline(file, line);) ++lines;
  return lines;
}

// The stand-in manager: reports ZEL_TEST_CPMGR_INIT_RC at initialisation;
// answers starts with ZEL_TEST_START_RC (0: the system becomes active), or
// never with ZEL_TEST_SILENT; answers stops at once. Ends after 30 s.
ZEL_CHILD_COMMAND(fake_cpmgr) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  cmSetStartedAPIFlag(cmCkStartedByAPI(static_cast<int>(argv.size()), argv.data()));
  std::ofstream(StartsLog(), std::ios::app) << getpid() << "\n";
  uint16_t init_rc = static_cast<uint16_t>(EnvNumber("ZEL_TEST_CPMGR_INIT_RC", 0));
  uint16_t start_rc = static_cast<uint16_t>(EnvNumber("ZEL_TEST_START_RC", 0));
  bool silent = getenv("ZEL_TEST_SILENT") != nullptr;
  cmInitCPMStateSem();
  HWND hwnd = CreateMessageWindow([&](HWND, UINT message, WPARAM, LPARAM lParam) -> LRESULT {
    auto* system = reinterpret_cast<RZ700SysStruct*>(lParam);
    if (message == ZEL_MSG_START_SYSTEM && !silent) {
      if (start_rc == 0) system->usCommState = ZEL_COMM_ACTIVE;
      cmReturnCommRC(system, start_rc);
    } else if (message == ZEL_MSG_STOP_SYSTEM) {
      system->usCommState = ZEL_COMM_STOPPED;
      cmReturnCommRC(system, 0);
    }
    return 0;
  });
  cbSetCPMgrHwnd(hwnd);
  cbSetCPMgrState(ZEL_CPMGR_RUNNING);
  cmReturnCPMgrRCDuringInit(init_rc);
  if (init_rc != 0) {
    cbSetCPMgrState(ZEL_CPMGR_NOT_RUNNING);
    return 0;
  }
  Clock::time_point end = Clock::now() + 30s;
  while (Clock::now() < end) {
    WaitMessage(100);
    MSG msg;
    while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
  }
  return 0;
}

// An application: starts communication with the system named in args[0]
// after "go" and reports "rc conv-id".
ZEL_CHILD_COMMAND(application_start) {
  child::Report("ready");
  if (child::Receive() != "go") return 2;
  uint32_t conv = 0;
  uint16_t rc = caInitializeZELComm(args[0].c_str(), 0, 0, 0, &conv, 0);
  child::Report(std::to_string(rc) + " " + std::to_string(conv));
  // Held, the conversation stays issued until the test lets go: an
  // application gives its conversations back as it ends.
  if (args.size() > 1 && args[1] == "hold") child::Receive();
  return 0;
}

std::pair<int, uint32_t> StartApplication(const std::string& system, ChildProcess::Env env) {
  ChildProcess app = ChildProcess::Start("application_start", {system}, env);
  EXPECT_TRUE(app.Expect("ready"));
  app.Send("go");
  std::optional<std::string> line = app.ReadLine(60s);
  EXPECT_TRUE(line);
  EXPECT_EQ(app.Wait(), 0);
  if (!line) return {-1, 0};
  int rc = 0;
  uint32_t conv = 0;
  sscanf(line->c_str(), "%d %u", &rc, &conv);
  return {rc, conv};
}

size_t SystemCount() {
  size_t count = 0;
  for (RZ700SysStruct* rec = cbRetNextRZ700SysStruct(nullptr); rec != nullptr;
       rec = cbRetNextRZ700SysStruct(rec)) {
    ++count;
  }
  return count;
}

TEST(ManagerStart, TwoApplicationsAtOnceStartOneManagerAndOneSystem) {
  ChildProcess::Env env = Installation();
  std::vector<ChildProcess> apps;
  for (int i = 0; i < 2; ++i) {
    apps.push_back(ChildProcess::Start("application_start", {"HOSTA", "hold"}, env));
    ASSERT_TRUE(apps.back().Expect("ready"));
  }
  for (ChildProcess& app : apps) app.Send("go");
  std::vector<uint32_t> convs;
  for (ChildProcess& app : apps) {
    std::optional<std::string> line = app.ReadLine(60s);
    ASSERT_TRUE(line);
    int rc = -1;
    uint32_t conv = 0;
    sscanf(line->c_str(), "%d %u", &rc, &conv);
    EXPECT_EQ(rc, 0);
    convs.push_back(conv);
  }
  EXPECT_NE(convs[0], convs[1]);
  EXPECT_EQ(CountLines(StartsLog()), 1u);
  EXPECT_EQ(SystemCount(), 1u);
  RZ700SysStruct* system = nullptr;
  ASSERT_EQ(cbFindRZ700SysByName("HOSTA", &system), 0);
  EXPECT_EQ(V(system->ulConvCount), 2u);
  EXPECT_EQ(V(system->ulAddedByAPI), 1u);
  EXPECT_EQ(cbReturnCPMgrState(), ZEL_CPMGR_RUNNING);
  for (ChildProcess& app : apps) app.Send("end");
  for (ChildProcess& app : apps) EXPECT_EQ(app.Wait(), 0);
}

TEST(ManagerStart, AnInitialisationFailureOfTheManagerFailsTheStartWithItsCode) {
  auto [rc, conv] = StartApplication("HOSTA", Installation({{"ZEL_TEST_CPMGR_INIT_RC", "1234"}}));
  EXPECT_EQ(rc, 1234);
  EXPECT_EQ(conv, 0u);
  EXPECT_EQ(SystemCount(), 0u);
}

TEST(ManagerStart, AFailedStartRemovesARecordTheApplicationAddedOnly) {
  RZ700SysStruct* kept = nullptr;
  ASSERT_EQ(cmAddSystemByName("KEPT", &kept), 0);
  ChildProcess::Env env = Installation({{"ZEL_TEST_START_RC", "1035"}});
  EXPECT_EQ(StartApplication("ADDED", env).first, VQZM_RC_CONNECTION_FAILED);
  EXPECT_EQ(StartApplication("KEPT", env).first, VQZM_RC_CONNECTION_FAILED);
  RZ700SysStruct* found = nullptr;
  EXPECT_EQ(cbFindRZ700SysByName("ADDED", &found), VQZM_RC_NO_SUCH_SYSTEM);
  EXPECT_EQ(cbFindRZ700SysByName("KEPT", &found), 0);
  EXPECT_EQ(found, kept);
}

TEST(ManagerStart, AManagerKilledWhileAnApplicationWaitsGivesAnErrorAndANewStartWorks) {
  ChildProcess app =
      ChildProcess::Start("application_start", {"HOSTA"}, Installation({{"ZEL_TEST_SILENT", "1"}}));
  ASSERT_TRUE(app.Expect("ready"));
  app.Send("go");
  RZ700SysStruct* system = nullptr;
  ASSERT_TRUE(Eventually([&] {
    return cbFindRZ700SysByName("HOSTA", &system) == 0 && system->ulWaitingRC == 1;
  })) << "the start never reached the manager";
  ASSERT_EQ(kill(static_cast<pid_t>(Anchor().ulCPMgrPid), SIGKILL), 0);

  Clock::time_point killed = Clock::now();
  std::optional<std::string> line = app.ReadLine(10s);
  ASSERT_TRUE(line) << "the application did not return after the manager died";
  EXPECT_LT(Clock::now() - killed, 5s);
  EXPECT_EQ(*line, std::to_string(VQZM_RC_CPMGR_ENDED) + " 0");
  EXPECT_EQ(app.Wait(), 0);

  auto [rc, conv] = StartApplication("HOSTA", Installation());
  EXPECT_EQ(rc, 0);
  EXPECT_NE(conv, 0u);
  EXPECT_EQ(CountLines(StartsLog()), 2u);
}

TEST(ManagerStart, TheCommandLineHasExactlyOneSlashBeforeShared) {
  for (const char* home : {"/nonexistent/zel   ", "/nonexistent/zel/"}) {
    setenv("ZEL_HOME", home, 1);
    TraceCapture capture;
    RZ700SysStruct* system = nullptr;
    cmInitCPMStateSem();
    EXPECT_EQ(zel::manager::cmStartCPMgr(&system), VQZM_RC_CPMGR_NOT_STARTED);
    cmCloseCPMStateSem();
    bool found = false;
    for (const CapturedRecord& record : capture.Records()) {
      if (record.text == "Command line") {
        EXPECT_EQ(record.string, "/nonexistent/zel/SHARED/VQZMCMW.EXE /API") << home;
        found = true;
      }
    }
    EXPECT_TRUE(found);
  }
}

// A mutex held under the name of one of the start's events makes creating
// that event fail. Every failure ends the start at once with its own code,
// and whatever the start opened is closed again.
TEST(ManagerStart, EachFailingStepEndsTheStartAndLeavesNoHandleOpen) {
  struct Step {
    const char* taken_name;  // null: the manager program is missing
    uint16_t rc;
    const char* label;
  };
  setenv("ZEL_HOME", TestPath("no-installation").c_str(), 1);
  for (const Step& step :
       {Step{zel::ctrlblk::kReturnName, VQZM_RC_INTERNAL_ERROR, "CREATE_RET_SEM_ERROR"},
        Step{zel::ctrlblk::kStartedName, VQZM_RC_INTERNAL_ERROR, "CREATE_STARTED_SEM_ERROR"},
        Step{zel::ctrlblk::kRunningName, VQZM_RC_INTERNAL_ERROR, "CREATE_RUNNING_SEM_ERROR"},
        Step{nullptr, VQZM_RC_CPMGR_NOT_STARTED, "EXEC_CPM_ERROR"}}) {
    SCOPED_TRACE(step.label);
    UniqueHandle taken(step.taken_name != nullptr ? CreateMutex(false, step.taken_name) : 0);
    size_t open_before = OpenHandleCount();
    TraceCapture capture;
    RZ700SysStruct* system = nullptr;
    EXPECT_EQ(zel::manager::cmStartCPMgr(&system), step.rc);
    EXPECT_TRUE(capture.RaisedErrorPoint(step.label, "vqzmcm1"));
    EXPECT_EQ(OpenHandleCount(), open_before);
    if (step.taken_name == nullptr) continue;
    EXPECT_FALSE(capture.RaisedErrorPoint("EXEC_CPM_ERROR")) << "no manager after a failed create";
    EXPECT_TRUE(capture.Traced("Error DosCreateEventSem()"));
    bool named = false;
    for (const CapturedRecord& record : capture.Records()) {
      if (record.text == "Sem Name") named = record.string == step.taken_name;
    }
    EXPECT_TRUE(named);
  }
}

TEST(ManagerStart, AManagerThatFailsItsInitialisationLeavesNoHandleOpenInItsStarter) {
  for (const auto& [name, value] : Installation({{"ZEL_TEST_CPMGR_INIT_RC", "1234"}})) {
    setenv(name.c_str(), value.c_str(), 1);
  }
  size_t open_before = OpenHandleCount();
  RZ700SysStruct record{};
  RZ700SysStruct* system = &record;
  EXPECT_EQ(zel::manager::cmStartCPMgr(&system), 1234);
  EXPECT_EQ(system, nullptr);
  EXPECT_EQ(OpenHandleCount(), open_before);
}

// True when another thread can take "STATE" at once.
bool StateIsFree() {
  DWORD wait = WAIT_FAILED;
  std::thread([&wait] {
    UniqueHandle state(OpenMutex(MUTEX_ALL_ACCESS, false, zel::ctrlblk::kStateName));
    wait = WaitForSingleObject(state.get(), 0);
    if (wait == WAIT_OBJECT_0) ReleaseMutex(state.get());
  }).join();
  return wait == WAIT_OBJECT_0;
}

TEST(StateMutexHold, LeavesStateFreeAndItsHandleClosedOnEveryWayOut) {
  size_t open_before = OpenHandleCount();
  ASSERT_EQ(cmInitCPMStateSem(), 0);  // the process's own handle, as the CPMgr keeps one
  {
    zel::manager::StateMutexHold state;
    ASSERT_EQ(state.Request(), 0);
    EXPECT_FALSE(StateIsFree());
  }
  EXPECT_TRUE(StateIsFree()) << "leaving the scope released it";
  {
    zel::manager::StateMutexHold state;
    ASSERT_EQ(state.Open(), 0);
    ASSERT_EQ(state.Request(), 0);
    EXPECT_EQ(state.Release(), 0);
    EXPECT_TRUE(StateIsFree());
    EXPECT_EQ(state.Release(), 0) << "nothing is given back twice";
  }
  cmCloseCPMStateSem();
  EXPECT_EQ(OpenHandleCount(), open_before) << "the hold closed what it opened";
}

TEST(ManagerStart, TheManagerRecognisesTheApiArgumentExactly) {
  char prog[] = "VQZMCMW.EXE";
  char api[] = "/API";
  char lower[] = "/api";
  char* with[] = {prog, api};
  char* without[] = {prog, lower};
  EXPECT_EQ(cmCkStartedByAPI(2, with), 1u);
  EXPECT_EQ(cmCkStartedByAPI(2, without), 0u);
}

// ---- The start/stop thread, with this process as the manager ----

// A window on its own thread that answers stops with a chosen code and
// records the notices it gets.
class ManagerStandIn {
 public:
  explicit ManagerStandIn(uint16_t stop_rc) : stop_rc_(stop_rc) {
    thread_ = std::thread([this] { Run(); });
    EXPECT_TRUE(Eventually([&] { return hwnd_ != 0; }, 5s, 1ms));
  }
  ~ManagerStandIn() {
    done_ = true;
    thread_.join();
  }

  // Waits for a message of that number; its notice's usRC, or -1.
  int WaitFor(UINT message, Millis timeout = 20s) {
    int found = -1;
    Eventually(
        [&] {
          std::lock_guard lock(mutex_);
          for (auto& [number, rc] : received_) {
            if (number != message) continue;
            found = rc;
            return true;
          }
          return false;
        },
        timeout, 5ms);
    return found;
  }

  size_t Count(UINT message) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (auto& [number, rc] : received_) n += number == message;
    return n;
  }

 private:
  void Run() {
    HWND hwnd = CreateMessageWindow([this](HWND, UINT message, WPARAM, LPARAM lParam) -> LRESULT {
      int rc = 0;
      if (message == ZEL_MSG_STOP_SYSTEM) {
        auto* system = reinterpret_cast<RZ700SysStruct*>(lParam);
        if (stop_rc_ == 0 || stop_rc_ == VQZM_RC_PASSED_ON_1289)
          system->usCommState = ZEL_COMM_STOPPED;
        cmReturnCommRC(system, stop_rc_);
      } else if (message == ZEL_MSG_STATUS_NOTICE) {
        auto* notice = reinterpret_cast<ZELStatusNotice*>(lParam);
        rc = notice->usRC;
        free(notice);
      }
      std::lock_guard lock(mutex_);
      received_.push_back({message, rc});
      return 0;
    });
    cbSetCPMgrHwnd(hwnd);
    hwnd_ = hwnd;
    while (!done_) {
      WaitMessage(20);
      MSG msg;
      while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
    }
    DestroyWindow(hwnd);
  }

  uint16_t stop_rc_;
  std::atomic<HWND> hwnd_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::pair<UINT, int>> received_;
};

RZ700SysStruct* ActiveSystem(const char* name) {
  RZ700SysStruct* system = nullptr;
  EXPECT_EQ(cmAddSystemByName(name, &system), 0);
  system->usCommState = ZEL_COMM_ACTIVE;
  return system;
}

TEST(StartStopThread, AStopAnsweredWith1289PostsNoNotice) {
  ManagerStandIn manager(VQZM_RC_PASSED_ON_1289);
  cmInitCPMStateSem();
  cbSetCPMgrState(ZEL_CPMGR_RUNNING);
  ASSERT_EQ(cmInitStartStop(), 0);
  RZ700SysStruct* system = ActiveSystem("HOSTA");
  ASSERT_EQ(cmSendStartStop(ZEL_ACTION_STOP, system), 0);
  ASSERT_EQ(cmSendStartStop(ZEL_ACTION_STOP, system), 0);
  // Stop of the manager ends the thread: by then both stops were handled.
  ASSERT_EQ(cmSendStartStop(ZEL_ACTION_STOP_CPMGR, nullptr), 0);
  EXPECT_EQ(manager.WaitFor(ZEL_MSG_START_STOP_ENDED), 0);
  EXPECT_EQ(manager.Count(ZEL_MSG_STATUS_NOTICE), 0u);
}

TEST(StartStopThread, AFailedStopOfTheManagerKeepsItRunningAndTheThreadReading) {
  ManagerStandIn manager(VQZM_RC_CONVERSION_FAILED);
  cmInitCPMStateSem();
  cbSetCPMgrState(ZEL_CPMGR_RUNNING);
  ASSERT_EQ(cmInitStartStop(), 0);
  RZ700SysStruct* system = ActiveSystem("HOSTA");
  TraceCapture capture;
  ASSERT_EQ(cmSendStartStop(ZEL_ACTION_STOP_CPMGR, nullptr), 0);
  ASSERT_EQ(cmSendStartStop(ZEL_ACTION_STOP, system), 0);  // proves the thread still reads
  EXPECT_EQ(manager.WaitFor(ZEL_MSG_STATUS_NOTICE), VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_NOT_STOPPED", "Vqzmcm2"));
  EXPECT_EQ(cbReturnCPMgrState(), ZEL_CPMGR_RUNNING);
  EXPECT_EQ(manager.Count(ZEL_MSG_START_STOP_ENDED), 0u);
}

TEST(StartStopThread, StoppingTheManagerWithNoSystemRunningTerminatesAtOnce) {
  ManagerStandIn manager(0);
  cmInitCPMStateSem();
  cbSetCPMgrState(ZEL_CPMGR_RUNNING);
  ASSERT_EQ(cmInitStartStop(), 0);
  RZ700SysStruct* stopped = nullptr;
  cmAddSystemByName("IDLE", &stopped);
  ASSERT_EQ(cmSendStartStop(ZEL_ACTION_STOP_CPMGR, nullptr), 0);
  EXPECT_EQ(manager.WaitFor(ZEL_MSG_START_STOP_ENDED), 0);
  EXPECT_EQ(cbReturnCPMgrState(), ZEL_CPMGR_NOT_RUNNING);
  EXPECT_EQ(cbRetNextRZ700SysStruct(nullptr), nullptr);  // the lists were reset
  EXPECT_EQ(cmSendStartStop(ZEL_ACTION_STOP, stopped), VQZM_RC_INTERNAL_ERROR);  // pipe closed
}

TEST(StartStopThread, AMessageOfTheWrongSizeIsDroppedAndTheThreadReadsOn) {
  ManagerStandIn manager(0);
  cmInitCPMStateSem();
  cbSetCPMgrState(ZEL_CPMGR_RUNNING);
  ASSERT_EQ(cmInitStartStop(), 0);
  TraceCapture capture;
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(Anchor().hStartStopWrite, "short", 5, &written));
  // The queue is a byte stream: the next message goes in only once the
  // short one has been read and dropped.
  EXPECT_TRUE(Eventually([&] { return capture.Traced("Data size invalid"); }, 10s, 5ms));
  ASSERT_EQ(cmSendStartStop(ZEL_ACTION_STOP_CPMGR, nullptr), 0);
  EXPECT_EQ(manager.WaitFor(ZEL_MSG_START_STOP_ENDED), 0);
}

// ---- A post that waits for the manager's answer through "RETURN" ----

// True once thread `tid` of this process sleeps in a futex wait: a pulse
// sent now reaches it.
bool WaitingOnFutex(pid_t tid) {
  std::string task = "/proc/self/task/" + std::to_string(tid);
  return Eventually(
      [&task] {
        std::ifstream stat_file(task + "/stat");
        std::string stat;
        std::getline(stat_file, stat);
        size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'S') {
          return false;
        }
        std::ifstream wchan_file(task + "/wchan");
        std::string wchan;
        std::getline(wchan_file, wchan);
        return wchan.rfind("futex", 0) == 0;
      },
      10s, 1ms);
}

// A manager window that answers every message of number kAsk with the next
// of `answers` through cmReturnCPMgrRC, once the poster waits: "RETURN" is
// pulsed, and a pulse reaches only the threads that wait at that moment.
class ReturnStandIn {
 public:
  static constexpr UINT kAsk = 0x4A0;

  ReturnStandIn(pid_t poster, std::vector<uint16_t> answers)
      : poster_(poster), answers_(std::move(answers)) {
    thread_ = std::thread([this] { Run(); });
    EXPECT_TRUE(Eventually([&] { return hwnd_ != 0; }, 5s, 1ms));
  }
  ~ReturnStandIn() {
    done_ = true;
    thread_.join();
  }

  struct Asked {
    WPARAM wParam;
    LPARAM lParam;
  };
  std::vector<Asked> asked() {
    std::lock_guard lock(mutex_);
    return asked_;
  }

 private:
  void Run() {
    HWND hwnd = CreateMessageWindow([this](HWND, UINT message, WPARAM wParam,
                                           LPARAM lParam) -> LRESULT {
      if (message != kAsk) return 0;
      size_t n = 0;
      {
        std::lock_guard lock(mutex_);
        asked_.push_back({wParam, lParam});
        n = asked_.size() - 1;
      }
      if (n < answers_.size() && WaitingOnFutex(poster_)) cmReturnCPMgrRC(answers_[n]);
      return 0;
    });
    cbSetCPMgrHwnd(hwnd);
    hwnd_ = hwnd;
    while (!done_) {
      WaitMessage(20);
      MSG msg;
      while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
    }
    DestroyWindow(hwnd);
  }

  pid_t poster_;
  std::vector<uint16_t> answers_;
  std::atomic<HWND> hwnd_{0};
  std::atomic<bool> done_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Asked> asked_;  // guarded by mutex_
};

TEST(PostAndWait, EachAnswerOfTheManagerComesBackToThePostThatAskedForIt) {
  int parameter = 0;
  size_t open_before = OpenHandleCount();
  {
    ReturnStandIn manager(gettid(), {4711, VQZM_RC_NOT_ACTIVE});
    EXPECT_EQ(zel::manager::cmPostAndWaitCPMgr(ReturnStandIn::kAsk, 7, &parameter), 4711);
    EXPECT_EQ(zel::manager::cmPostAndWaitCPMgr(ReturnStandIn::kAsk, 0, nullptr),
              VQZM_RC_NOT_ACTIVE);
    std::vector<ReturnStandIn::Asked> asked = manager.asked();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].wParam, 7u);
    EXPECT_EQ(asked[0].lParam, reinterpret_cast<LPARAM>(&parameter));
    EXPECT_EQ(asked[1].lParam, 0);
  }
  EXPECT_EQ(OpenHandleCount(), open_before);
  EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, zel::ctrlblk::kReturnName), 0u);
}

TEST(PostAndWait, APostToAManagerWindowThatIsGoneIs1026AndLeavesNoHandleOpen) {
  { ReturnStandIn manager(gettid(), {}); }  // its window is destroyed, the anchor still names it
  ASSERT_NE(V(Anchor().hwndCPMgr), 0u);
  size_t open_before = OpenHandleCount();
  TraceCapture capture;
  EXPECT_EQ(zel::manager::cmPostAndWaitCPMgr(ReturnStandIn::kAsk, 0, nullptr),
            VQZM_RC_INTERNAL_ERROR);
  EXPECT_TRUE(capture.RaisedErrorPoint("SEND_MSG_ERROR", "vqzmcm1"));
  EXPECT_EQ(OpenHandleCount(), open_before);
  EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, zel::ctrlblk::kReturnName), 0u);
}

}  // namespace
}  // namespace zel::test
