// Starting and stopping systems from end to end: a real zelhost on
// loopback, the real communication manager (SHARED/VQZMCMW.EXE of this
// build, started by the library), and applications in child processes. The
// test process looks at the shared records and at both logs.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

using Clock = std::chrono::steady_clock;

// An application: "start NAME" starts communication and reports "rc conv";
// "stop" stops its last conversation and reports the rc; "end" ends it.
ZEL_CHILD_COMMAND(application) {
  child::Report("ready");
  uint32_t conv = 0;
  for (int commands = 0; commands < 20; ++commands) {
    std::optional<std::string> line = child::Receive(120s);
    if (!line || *line == "end") return 0;
    if (line->rfind("start ", 0) == 0) {
      // "\n" in the name stands for a line feed, which a command line cannot carry.
      std::string name = line->substr(6);
      for (size_t at = name.find("\\n"); at != std::string::npos; at = name.find("\\n", at)) {
        name.replace(at, 2, "\n");
      }
      uint16_t rc = caInitializeZELComm(name.c_str(), 0, 0, 0, &conv, 0);
      child::Report(std::to_string(rc) + " " + std::to_string(conv));
    } else if (*line == "stop") {
      child::Report(std::to_string(caStopZELComm(conv)));
    } else if (line->rfind("fail ", 0) == 0) {
      // "fail N NAME": N starts that must each fail; reports how many did.
      int count = 0;
      char name[64] = {};
      sscanf(line->c_str(), "fail %d %63s", &count, name);
      int failed = 0;
      for (int i = 0; i < count; ++i) {
        uint32_t ignored = 0;
        if (caInitializeZELComm(name, 0, 0, 0, &ignored, 0) == VQZM_RC_CONNECTION_FAILED) ++failed;
      }
      child::Report(std::to_string(failed));
    }
  }
  return 0;
}

// One start and stop of `system`: "" when both return 0, else which failed
// with what.
std::string StartAndStop(const std::string& system) {
  uint32_t conv = 0;
  uint16_t rc = caInitializeZELComm(system.c_str(), 0, 0, 0, &conv, 0);
  if (rc != 0) return "start rc " + std::to_string(rc);
  rc = caStopZELComm(conv);
  return rc == 0 ? "" : "stop rc " + std::to_string(rc);
}

// What the children wrote to `fd` until they all closed it, one line; a
// read waits 10 s at most.
std::string ReadAvailable(int fd) {
  std::string text;
  char buffer[512];
  for (pollfd ready{fd, POLLIN, 0}; poll(&ready, 1, 10'000) > 0;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  std::replace(text.begin(), text.end(), '\n', ';');
  return text;
}

// A forked child's life: `cycles` starts and stops, one line on `out` (the
// first failure, or "ok"), and a normal exit.
[[noreturn]] void RunForkedChild(int index, const std::string& system, int cycles, int out) {
  std::string result = "ok";
  for (int cycle = 0; cycle < cycles && result == "ok"; ++cycle) {
    std::string failure = StartAndStop(system);
    if (!failure.empty()) result = "cycle " + std::to_string(cycle) + " " + failure;
  }
  std::string line = "child " + std::to_string(index) + " " + result + "\n";
  ssize_t ignored = write(out, line.data(), line.size());
  (void)ignored;
  exit(result == "ok" ? 0 : 1);
}

// A pre-forking application: "forking_application SYSTEM CHILDREN CYCLES"
// starts communication once, forks CHILDREN children that each start and
// stop CYCLES times, and starts and stops itself while they run. Reports
// "start RC", then "children N ok" or the failures, "meanwhile FAILED of
// CYCLES" and "stop RC".
ZEL_CHILD_COMMAND(forking_application) {
  const std::string& system = args[0];
  int children = std::stoi(args[1]);
  int cycles = std::stoi(args[2]);
  uint32_t conv = 0;
  child::Report("start " + std::to_string(caInitializeZELComm(system.c_str(), 0, 0, 0, &conv, 0)));
  int results[2];
  if (pipe2(results, O_CLOEXEC) != 0) return 2;
  std::vector<pid_t> pids;
  for (int index = 0; index < children; ++index) {
    pid_t pid = fork();
    if (pid == 0) RunForkedChild(index, system, cycles, results[1]);
    if (pid > 0) pids.push_back(pid);
  }
  close(results[1]);
  int own_cycles = 0;
  int own_failures = 0;
  int ended_well = 0;
  size_t running = pids.size();
  for (Clock::time_point end = Clock::now() + 240s; running > 0 && Clock::now() < end;) {
    ++own_cycles;
    if (!StartAndStop(system).empty()) ++own_failures;
    for (pid_t& pid : pids) {
      int status = 0;
      if (pid <= 0 || waitpid(pid, &status, WNOHANG) != pid) continue;
      pid = 0;
      --running;
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++ended_well;
    }
  }
  for (pid_t pid : pids) {
    if (pid > 0) kill(pid, SIGKILL);
  }
  std::string failures = ReadAvailable(results[0]);
  close(results[0]);
  child::Report(ended_well == children ? "children " + std::to_string(ended_well) + " ok"
                                       : "children failed: " + failures);
  child::Report("meanwhile " + std::to_string(own_failures) + " of " + std::to_string(own_cycles));
  child::Report("stop " + std::to_string(caStopZELComm(conv)));
  return 0;
}

class Application {
 public:
  Application() : process_(ChildProcess::Start("application")) {
    EXPECT_TRUE(process_.Expect("ready"));
  }
  ~Application() {
    if (!process_.running()) return;
    process_.Send("end");
    process_.Wait();
  }

  // The start's code and conversation ID; -1 when the application did not
  // answer within the start's bound.
  std::pair<int, uint32_t> Start(const std::string& system) {
    process_.Send("start " + system);
    std::optional<std::string> line = process_.ReadLine(100s);
    int rc = -1;
    uint32_t conv = 0;
    if (line) sscanf(line->c_str(), "%d %u", &rc, &conv);
    return {rc, conv};
  }

  // Ends the application without stopping its conversation: normally, or
  // by kill -9.
  void End() {
    process_.Send("end");
    EXPECT_EQ(process_.Wait(), 0);
  }
  void Kill() {
    process_.Kill(SIGKILL);
    process_.Wait();
  }

  // Starts `system` `count` times, each expected to fail with 1035; the
  // number that did.
  int FailStarts(const std::string& system, int count) {
    process_.Send("fail " + std::to_string(count) + " " + system);
    std::optional<std::string> line = process_.ReadLine(Millis(600'000));
    return line ? std::stoi(*line) : -1;
  }

  int Stop() {
    process_.Send("stop");
    std::optional<std::string> line = process_.ReadLine();
    return line ? std::stoi(*line) : -1;
  }

 private:
  ChildProcess process_;
};

// Ended, or a zombie of the application that started it.
bool ProcessEnded(uint32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

// Standard output and error of this process on a pipe, as `app | cat`
// gives them, until Restore(): processes started meanwhile inherit them.
class OutputOnAPipe {
 public:
  OutputOnAPipe() {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_CLOEXEC), 0);
    read_end_ = ends[0];
    saved_out_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    saved_err_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(ends[1], STDOUT_FILENO);
    dup2(ends[1], STDERR_FILENO);
    close(ends[1]);
  }
  ~OutputOnAPipe() {
    Restore();
    close(read_end_);
  }

  void Restore() {
    if (saved_out_ < 0) return;
    dup2(saved_out_, STDOUT_FILENO);
    dup2(saved_err_, STDERR_FILENO);
    close(saved_out_);
    close(saved_err_);
    saved_out_ = saved_err_ = -1;
  }

  // True when the reader sees the end within `limit` (whatever was written
  // is skipped), that is once no process holds the write end.
  bool EndsWithin(Millis limit) {
    char buffer[512];
    for (Clock::time_point end = Clock::now() + limit; Clock::now() < end;) {
      auto left = std::chrono::ceil<Millis>(end - Clock::now()).count();
      pollfd ready{read_end_, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(left)) <= 0) continue;
      ssize_t count = read(read_end_, buffer, sizeof buffer);
      if (count == 0) return true;
      if (count < 0 && errno != EINTR) return false;
    }
    return false;
  }

 private:
  int read_end_ = -1;
  int saved_out_ = -1;
  int saved_err_ = -1;
};

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    setenv("ZEL_CPMGR_LOG", ManagerLogPath().c_str(), 1);
    setenv("ZEL_CPMGR_IDLE_SECONDS", "1", 1);
  }

  static std::string ManagerLogPath() { return TestPath("cpmgr.log"); }
  static std::string ManagerLog() { return ReadFile(ManagerLogPath()); }

  static RZ700SysStruct* System(const char* name) {
    RZ700SysStruct* system = nullptr;
    return cbFindRZ700SysByName(name, &system) == 0 ? system : nullptr;
  }

  static bool Stopped(RZ700SysStruct* system) { return system->usCommState == ZEL_COMM_STOPPED; }
};

TEST_F(EndToEnd, AStartASecondConversationTheLastStopAndTheManagersEnd) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application first;
  auto [rc, conv] = first.Start("HOSTA");
  ASSERT_EQ(rc, 0) << ManagerLog();
  EXPECT_NE(conv, 0u);
  RZ700SysStruct* system = System("HOSTA");
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(V(system->usCommState), ZEL_COMM_ACTIVE);
  EXPECT_EQ(std::string(system->achPWSSysID, 3), "AAA");
  EXPECT_STREQ(system->szUserProfile, "ZELUSER");
  EXPECT_STREQ(system->szDQLib, "QZELDQ");
  std::string queue = system->szDQName;
  ASSERT_FALSE(queue.empty());
  std::string qualified = "QZELDQ/" + queue;
  EXPECT_EQ(std::string(system->szQualDQName), qualified + std::string(21 - qualified.size(), ' '));

  Application second;
  auto [rc2, conv2] = second.Start("HOSTA");
  EXPECT_EQ(rc2, 0);
  EXPECT_NE(conv2, conv);
  EXPECT_EQ(V(system->ulConvCount), 2u);
  EXPECT_EQ(Count(ManagerLog(), "starting system HOSTA"), 1u);

  EXPECT_EQ(first.Stop(), 0);
  EXPECT_EQ(second.Stop(), 0);
  ASSERT_TRUE(Eventually([&] { return Stopped(system); })) << ManagerLog();
  uint32_t manager = GetZELAnchorCB()->ulCPMgrPid;
  EXPECT_TRUE(Eventually([&] { return ProcessEnded(manager); })) << ManagerLog();
  std::string log = ManagerLog();
  EXPECT_NE(log.find("idle for 1 s: stopping"), std::string::npos) << log;
  EXPECT_NE(log.find("comm state 1\n"), std::string::npos) << log;
  EXPECT_NE(log.find("the manager ends"), std::string::npos) << log;
  EXPECT_NE(host.LogText().find("termination signal from PWS AAA"), std::string::npos);
  EXPECT_NE(host.LogText().find("delete queue QZELDQ/" + queue + ": rc 0"), std::string::npos);
}

TEST_F(EndToEnd, AHostThatRefusesConnectionsFailsTheStartWith1035AndLeavesNoRecord) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  // The start makes one connection, and it is refused.
  ASSERT_EQ(host.Control("fault refuse 1").rfind("ok", 0), 0u);
  Application app;
  EXPECT_EQ(app.Start("HOSTA").first, VQZM_RC_CONNECTION_FAILED);
  EXPECT_EQ(System("HOSTA"), nullptr);
  EXPECT_NE(ManagerLog().find("comm state 1, rc 1035"), std::string::npos) << ManagerLog();
  EXPECT_NE(host.LogText().find("fault: connection from 127.0.0.1"), std::string::npos);
  EXPECT_EQ(app.Start("HOSTA").first, 0);
}

TEST_F(EndToEnd, StationInformationOfAnotherFormatFailsTheStartWith1026) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  ASSERT_EQ(host.Control("fault start-format 2").rfind("ok", 0), 0u);
  Application app;
  EXPECT_EQ(app.Start("HOSTA").first, VQZM_RC_INTERNAL_ERROR);
  EXPECT_NE(ManagerLog().find("torn down after an error"), std::string::npos) << ManagerLog();
  EXPECT_TRUE(Eventually(
      [&] { return host.LogText().find("closed: closed by the peer") != std::string::npos; }));
}

TEST_F(EndToEnd, AnRrpStartAnsweredWithHostCode16FailsTheStartWith16AndDeletesTheQueue) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  ASSERT_EQ(host.Control("fault rrp-rc 16").rfind("ok", 0), 0u);
  Application app;
  EXPECT_EQ(app.Start("HOSTA").first, 16);
  EXPECT_NE(host.LogText().find("delete queue QZELDQ/"), std::string::npos) << host.LogText();
  EXPECT_EQ(host.Control("list").rfind("ok", 0), 0u);
  EXPECT_NE(host.Control("list").find(" 0 queues"), std::string::npos) << host.Control("list");
}

TEST_F(EndToEnd, ADroppedConnectionEndsTheSystemWithTheDeferredNoticeAndALaterStartWorks) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app;
  ASSERT_EQ(app.Start("HOSTA").first, 0);
  RZ700SysStruct* system = System("HOSTA");
  ASSERT_NE(system, nullptr);
  ASSERT_EQ(host.Control("drop AAA").rfind("ok", 0), 0u);
  ASSERT_TRUE(Eventually([&] { return Stopped(system); })) << ManagerLog();
  EXPECT_EQ(V(system->ulConvCount), 0u);
  ASSERT_TRUE(Eventually([&] {
    return ManagerLog().find("notice 1011/1056") != std::string::npos;
  })) << ManagerLog();
  std::string log = ManagerLog();
  size_t teardown = log.find("torn down after an error");
  size_t stopped = log.find("comm state 1, rc 1035");
  size_t notice = log.find("notice 1011/1056");
  EXPECT_LT(teardown, stopped) << log;
  EXPECT_LT(stopped, notice) << log;
  EXPECT_NE(log.find("[flag 1]", notice), std::string::npos) << log;

  auto [rc, conv] = app.Start("HOSTA");
  EXPECT_EQ(rc, 0) << ManagerLog();
  EXPECT_NE(conv, 0u);
}

// Failed starts leave nothing behind: after 10,000 of them, while another
// application keeps the manager up, the control-block heap has not grown
// and a start works once the host takes connections again.
TEST_F(EndToEnd, TenThousandFailedStartsLeaveTheHeapFlatAndAStartThenWorks) {
  setenv("ZEL_CPMGR_IDLE_SECONDS", "600", 1);
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA", "system HOSTB " + host.address() + "\n");
  Application keeper;
  ASSERT_EQ(keeper.Start("HOSTA").first, 0) << ManagerLog();
  ASSERT_EQ(host.Control("fault refuse all").rfind("ok", 0), 0u);
  Application starter;
  ASSERT_EQ(starter.FailStarts("HOSTB", 100), 100) << ManagerLog();
  uint32_t warmed_up = ctrlblk::Shared()->ulHeapUsed;
  ASSERT_EQ(starter.FailStarts("HOSTB", 9'900), 9'900);
  EXPECT_EQ(ctrlblk::Shared()->ulHeapUsed, warmed_up) << "failed starts leave records behind";
  ASSERT_EQ(host.Control("fault clear").rfind("ok", 0), 0u);
  EXPECT_EQ(starter.Start("HOSTB").first, 0) << ManagerLog();
}

// An application that ends without caStopZELComm, or is killed, gives its
// conversation back; the system and the manager then stop after their idle
// time as usual.
TEST_F(EndToEnd, ConversationsOfApplicationsThatEndOrAreKilledAreGivenBack) {
  for (bool killed : {false, true}) {
    HostServer host;
    ASSERT_TRUE(host.running());
    host.Configure("HOSTA");
    Application app;
    ASSERT_EQ(app.Start("HOSTA").first, 0) << ManagerLog();
    RZ700SysStruct* system = System("HOSTA");
    ASSERT_NE(system, nullptr);
    uint32_t manager = GetZELAnchorCB()->ulCPMgrPid;
    if (killed) {
      app.Kill();
    } else {
      app.End();
    }
    EXPECT_TRUE(Eventually([&] { return V(system->ulConvCount) == 0; }))
        << (killed ? "killed" : "ended");
    EXPECT_TRUE(Eventually([&] { return ProcessEnded(manager); })) << ManagerLog();
    EXPECT_NE(ManagerLog().find("idle for 1 s: stopping"), std::string::npos) << ManagerLog();
  }
}

TEST_F(EndToEnd, ATerminationTheHostAsksForEndsTheSystem) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app;
  ASSERT_EQ(app.Start("HOSTA").first, 0);
  RZ700SysStruct* system = System("HOSTA");
  ASSERT_NE(system, nullptr);
  ASSERT_EQ(host.Control("stop AAA").rfind("ok", 0), 0u);
  ASSERT_TRUE(Eventually([&] { return Stopped(system); })) << ManagerLog();
  EXPECT_EQ(V(system->ulConvCount), 0u);
  EXPECT_EQ(V(system->ulDQErrPending), 0u);
  // The state is set before the manager handles its report and logs it.
  EXPECT_TRUE(Eventually([&] {
    return ManagerLog().find("system HOSTA comm state 1\n") != std::string::npos;
  })) << ManagerLog();
  EXPECT_TRUE(Eventually(
      [&] { return host.LogText().find("termination signal from PWS AAA") != std::string::npos; }));
}

TEST_F(EndToEnd, AHostThatNeverAnswersFailsTheStartWithinTheSignOnBound) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app;
  // Frozen, it still accepts connections (the kernel queues them) but
  // answers nothing.
  // Start() gives -1 when the application has no answer within its bound.
  ASSERT_EQ(kill(host.pid(), SIGSTOP), 0);
  EXPECT_EQ(app.Start("HOSTA").first, VQZM_RC_CONNECTION_FAILED);
  EXPECT_EQ(System("HOSTA"), nullptr);
  kill(host.pid(), SIGCONT);
}

TEST_F(EndToEnd, SigtermStopsEveryActiveSystemAndThenTheManager) {
  setenv("ZEL_CPMGR_IDLE_SECONDS", "600", 1);  // only the signal may end it
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app;
  ASSERT_EQ(app.Start("HOSTA").first, 0);
  RZ700SysStruct* system = System("HOSTA");
  ASSERT_NE(system, nullptr);
  uint32_t manager = GetZELAnchorCB()->ulCPMgrPid;
  ASSERT_EQ(kill(static_cast<pid_t>(manager), SIGTERM), 0);
  EXPECT_TRUE(Eventually([&] { return ProcessEnded(manager); })) << ManagerLog();
  EXPECT_TRUE(Stopped(system));
  EXPECT_EQ(V(GetZELAnchorCB()->usCPMgrState), ZEL_CPMGR_NOT_RUNNING);
  std::string log = ManagerLog();
  EXPECT_NE(log.find("SIGTERM"), std::string::npos) << log;
  EXPECT_NE(log.find("ended"), std::string::npos) << log;
  EXPECT_NE(host.LogText().find("termination signal from PWS AAA"), std::string::npos);
}

// `app | cat` ends with the application: the manager it started holds
// none of its output, runs on in a session of its own, and ends on SIGTERM.
TEST_F(EndToEnd, APipeFromAnApplicationEndsWithItWhileTheManagerRunsOn) {
  setenv("ZEL_CPMGR_IDLE_SECONDS", "600", 1);  // only the signal may end it
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  OutputOnAPipe output;
  Application app;
  output.Restore();
  ASSERT_EQ(app.Start("HOSTA").first, 0) << ManagerLog();
  uint32_t manager = GetZELAnchorCB()->ulCPMgrPid;
  EXPECT_EQ(app.Stop(), 0);
  app.End();

  EXPECT_TRUE(output.EndsWithin(5s)) << "the manager holds the application's output";
  EXPECT_FALSE(ProcessEnded(manager));
  EXPECT_EQ(getsid(static_cast<pid_t>(manager)), static_cast<pid_t>(manager));
  ASSERT_EQ(kill(static_cast<pid_t>(manager), SIGTERM), 0);
  EXPECT_TRUE(Eventually([&] { return ProcessEnded(manager); })) << ManagerLog();
}

TEST_F(EndToEnd, TwoSystemsOnTwoHostsRunAtOnce) {
  HostServer host_a;
  HostServer host_b;
  ASSERT_TRUE(host_a.running() && host_b.running());
  std::string config = TestPath("zel.conf");
  std::ofstream(config) << "system HOSTA " << host_a.address() << "\nsystem HOSTB "
                        << host_b.address() << "\ndefault HOSTA\n";
  setenv("ZEL_CONFIG", config.c_str(), 1);
  Application first;
  Application second;
  EXPECT_EQ(first.Start("HOSTA").first, 0);
  EXPECT_EQ(second.Start("HOSTB").first, 0);
  RZ700SysStruct* a = System("HOSTA");
  RZ700SysStruct* b = System("HOSTB");
  ASSERT_TRUE(a != nullptr && b != nullptr);
  EXPECT_EQ(V(a->usCommState), ZEL_COMM_ACTIVE);
  EXPECT_EQ(V(b->usCommState), ZEL_COMM_ACTIVE);
  EXPECT_STRNE(a->szSysID, b->szSysID);
  EXPECT_NE(host_a.LogText().find("system " + std::string(a->szSysID)), std::string::npos);
  EXPECT_NE(host_b.LogText().find("system " + std::string(b->szSysID)), std::string::npos);

  EXPECT_EQ(second.Stop(), 0);
  ASSERT_TRUE(Eventually([&] { return Stopped(b); })) << ManagerLog();
  EXPECT_EQ(V(a->usCommState), ZEL_COMM_ACTIVE) << "the other system runs on";
  EXPECT_EQ(first.Stop(), 0);
  EXPECT_TRUE(Eventually([&] { return Stopped(a); })) << ManagerLog();
}

// A process that forks after loading the library gives children that are
// processes of the instance in their own right: each starts and stops on
// its own while the parent's conversation goes on.
TEST_F(EndToEnd, ForkedChildrenStartAndStopWhileTheParentsConversationGoesOn) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  ChildProcess parent = ChildProcess::Start("forking_application", {"HOSTA", "10", "50"});
  EXPECT_EQ(parent.ReadLine(100s), "start 0") << ManagerLog();
  EXPECT_EQ(parent.ReadLine(300s), "children 10 ok") << ManagerLog();
  std::optional<std::string> meanwhile = parent.ReadLine();
  ASSERT_TRUE(meanwhile.has_value());
  EXPECT_EQ(meanwhile->rfind("meanwhile 0 of ", 0), 0u) << *meanwhile;
  EXPECT_EQ(parent.ReadLine(), "stop 0");
  EXPECT_EQ(parent.Wait(), 0);
}

// A loopback port nobody listens on (it was free a moment ago).
uint16_t ClosedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Each failed start says why in the manager's log, in words: the
// configuration file and line, a file that is missing or cannot be read,
// the host's address and the system's error. The application gets 1035
// each time. A name carrying a line feed is escaped, never a line of its own.
TEST_F(EndToEnd, TheManagersLogSaysInWordsWhyAStartFailed) {
  std::string config = TestPath("zel.conf");
  setenv("ZEL_CONFIG", config.c_str(), 1);
  Application app;
  auto expect_logged = [&](const std::string& why) {
    EXPECT_EQ(app.Start("HOSTA").first, VQZM_RC_CONNECTION_FAILED) << why;
    std::string log = ManagerLog();
    EXPECT_NE(log.find("start of system HOSTA failed: " + why + "\n"), std::string::npos) << log;
  };
  std::ofstream(config) << "system HOSTA 127.0.0.1:1\nbogus HOSTB\n";
  expect_logged("QLX5003: " + config + ":2: unknown directive 'bogus'");
  std::ofstream(config) << "system HOSTA 127.0.0.1:1\nsystem HOSTA 127.0.0.1:2\n";
  expect_logged("QLX5003: " + config + ":2: system 'HOSTA' defined twice");
  std::ofstream(config) << "system HOSTA 127.0.0.1:99999\n";
  expect_logged("QLX5003: " + config + ":1: bad address '127.0.0.1:99999' (want HOST:PORT)");
  std::ofstream(config) << "system HOSTB 127.0.0.1:1\n";
  expect_logged("QLX5002: system HOSTA is not configured in " + config);
  unlink(config.c_str());
  expect_logged("QLX5002: system HOSTA is not configured in " + config + " (there is no such file)");
  ASSERT_EQ(mkdir(config.c_str(), 0700), 0);
  expect_logged("QLX5003: cannot read the configuration file " + config + ": Is a directory");
  rmdir(config.c_str());
  std::string address = "127.0.0.1:" + std::to_string(ClosedPort());
  std::ofstream(config) << "system HOSTA " << address << "\n";
  expect_logged("QLX5004: system HOSTA: cannot connect to " + address + ": Connection refused");

  const std::string forged = "2026-01-01 00:00:00.000 VQZMCMW[1] forged";
  EXPECT_EQ(app.Start("EVIL\\n" + forged).first, VQZM_RC_CONNECTION_FAILED);
  std::string log = ManagerLog();
  EXPECT_NE(log.find("EVIL\\n" + forged), std::string::npos) << log;
  EXPECT_EQ(log.find("\n" + forged), std::string::npos) << log;
}

// Faults armed through ZEL_FAULTS reach the manager that an application
// starts, and the application gets the code of the branch that failed; the
// fault fires once, so the next start works.
class FaultInTheManager : public EndToEnd {
 protected:
  void TearDown() override { unsetenv("ZEL_FAULTS"); }
};

TEST_F(FaultInTheManager, AFailedQueueCreationFailsTheStartWith1034AndTheNextStartWorks) {
  setenv("ZEL_FAULTS", "VQZMCMW.EXE:qlxDQ_CreateEx:1", 1);
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app;
  EXPECT_EQ(app.Start("HOSTA").first, VQZM_RC_DATA_QUEUE_ERROR) << ManagerLog();
  EXPECT_EQ(System("HOSTA"), nullptr);
  EXPECT_EQ(app.Start("HOSTA").first, 0) << ManagerLog();
}

TEST_F(FaultInTheManager, AFailedHostBufferFailsTheStartWith4AndTheNextStartWorks) {
  setenv("ZEL_FAULTS", "VQZMCMW.EXE:GlobalAlloc:1", 1);
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app;
  EXPECT_EQ(app.Start("HOSTA").first, VQZM_RC_NO_MEMORY) << ManagerLog();
  EXPECT_EQ(app.Start("HOSTA").first, 0) << ManagerLog();
}

// A manager whose start-up fails ends at once; its exit must not replace
// the code its starter has yet to read by "the CPMgr has ended" (1056).
TEST_F(FaultInTheManager, AFailedStartUpAlwaysGivesItsOwnCodeNotThatOfTheManagersEnd) {
  setenv("ZEL_FAULTS", "VQZMCMW.EXE:CreatePipe:1", 1);
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  // Two applications, as one takes at most 20 commands, "end" included.
  for (int application = 0; application < 2; ++application) {
    Application app;
    for (int attempt = 0; attempt < 10; ++attempt) {
      ASSERT_EQ(app.Start("HOSTA").first, VQZM_RC_INTERNAL_ERROR) << "attempt " << attempt;
    }
  }
}

}  // namespace
}  // namespace zel::test
