// Processes killed with SIGKILL at each phase of data exchange, against a
// real zelhost on loopback and the real communication manager of this
// build. The applications are this binary run as child commands, and so is
// the PC program that the manager's request processor starts. Each kill
// lands in its phase by a hold that the test can see, never by a sleep: an
// application that stops itself between two entries it writes, zelhost
// pacing the entries of a reply, a PC program that waits for the test,
// zelhost keeping the manager's write of an answer unanswered.
//
// After each kill: every waiter that survives gets its answer or an error
// within a bound, the manager's lists keep no record of what died, the two
// heaps of the instance hold what they held before, a survivor holds no
// more handles than before, and the next start serves a request.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "manager/manager.h"
#include "platform/handles.h"
#include "platform/posix/heap.h"
#include "tests/harness/async_answer.h"
#include "tests/harness/ebcdic_text.h"
#include "tests/harness/fake_calls.h"
#include "tests/harness/heap_use.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/request_data.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcb.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmctw.h"
#include "vqzmrc.h"
#include "zelapp.h"

namespace zel::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kAnswerMsg = 0x0501;
// zelhost writes the entries of a paced reply this far apart: a 1 MiB
// reply (128 entries) then takes half a minute, far longer than a test
// needs to see its first entry read and kill.
constexpr int kPaceMs = 250;
// A CALLPC requester's time-out: its bound when the manager dies under it.
constexpr std::chrono::seconds kCallPcTimeout{5};

std::string SelfPath() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  return std::string(path, length > 0 ? static_cast<size_t>(length) : 0);
}

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

// A child's wait for a file the test makes; false when it never came.
bool AwaitFile(const std::string& path) {
  for (int looks = 0; looks < 12000; ++looks) {
    if (Exists(path)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// ---- The application ----

// The send pause: once armed, the application stops after the first
// continuation entry ("B" + RID) it has written, reports "paused" and
// waits for the test, which kills it there.
bool g_pause_armed = false;
char g_last_key = 0;

// The keys reach the data queue in EBCDIC.
uint32_t KeyNoted(uint32_t data, const void* key, uint32_t length) {
  g_last_key = *static_cast<const char*>(key);
  return services::RealQlx().qlxDQ_SetKey(data, key, length);
}

uint32_t WriteThenPause(uint32_t queue, uint32_t data, uint32_t commit, uint32_t error) {
  uint32_t rc = services::RealQlx().qlxDQ_Write(queue, data, commit, error);
  if (g_pause_armed && g_last_key == Ebcdic("B")[0]) {
    g_pause_armed = false;
    child::Report("paused");
    child::Receive(120s);
  }
  return rc;
}

// An application process: it starts communication, makes requests and
// reports each outcome as one line.
class KillSession {
 public:
  KillSession() {
    fake_->qlxDQ_SetKey = KeyNoted;
    fake_->qlxDQ_Write = WriteThenPause;
  }

  std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "start") return Start(in);
    if (verb == "window") return Window();
    if (verb == "send") return Send(in);
    if (verb == "wait") return Wait(in);
    if (verb == "sync") return Sync(in, false);
    if (verb == "paused-sync") return Sync(in, true);
    if (verb == "callpc") return CallPc(in);
    if (verb == "handles") return std::to_string(platform::OpenHandleCount());
    return "unknown command " + line;
  }

 private:
  static uint32_t Number(std::istringstream& in) {
    uint32_t number = 0;
    in >> number;
    return number;
  }

  std::string Start(std::istringstream& in) {
    std::string system;
    in >> system;
    uint16_t rc = caInitializeZELComm(system.c_str(), 0, 0, 0, &conv_, 0);
    return std::to_string(rc);
  }

  static std::string Window() {
    uint32_t hwnd = 0;
    uint16_t rc = zelCreateWindow(&hwnd);
    return std::to_string(rc) + " " + std::to_string(hwnd);
  }

  // "send HWND PROGRAM SIZE VALUE": an asynchronous request; "RC RID".
  std::string Send(std::istringstream& in) {
    uint32_t hwnd = Number(in);
    std::string program;
    in >> program;
    uint32_t size = Number(in), value = Number(in);
    std::string data = Pattern(size, value);
    AsyncRequest request{};
    request.ulConvId = conv_;
    std::snprintf(request.szPgmName, sizeof request.szPgmName, "%s", program.c_str());
    request.ulValue = value;
    request.pData = data.data();
    request.ulDataLen = size;
    request.hwndNotify = hwnd;
    request.usNotifyMsg = static_cast<uint16_t>(kAnswerMsg);
    char rid[ZEL_RID_LEN + 1] = {};
    uint16_t rc = caProcessAsync(&request, rid);
    return std::to_string(rc) + " " + rid;
  }

  // "wait HWND MS": "code RC", "data RID LENGTH", or "none".
  static std::string Wait(std::istringstream& in) {
    uint32_t hwnd = Number(in), millis = Number(in);
    ZelMessage msg{};
    uint16_t rc = zelWaitMessage(hwnd, millis, &msg);
    if (rc == VQZM_RC_TIMED_OUT) return "none";
    if (rc != 0) return "wait rc " + std::to_string(rc);
    AsyncAnswer answer = ReadAsyncAnswer(msg);
    zelFreeBlock(reinterpret_cast<void*>(msg.lParam));
    if (answer.code_only) return "code " + std::to_string(answer.code);
    return "data " + std::string(answer.prefix.achRID, ZEL_RID_LEN) + " " +
           std::to_string(answer.prefix.ulDataLen);
  }

  // "sync PROGRAM SIZE VALUE TIMEOUT": "RC LENGTH SAME". The paused form
  // stops once it has written the request's second entry.
  std::string Sync(std::istringstream& in, bool paused) const {
    std::string program;
    in >> program;
    uint32_t size = Number(in), value = Number(in), timeout = Number(in);
    std::string data = Pattern(size, value);
    ProcessRequest request{};
    request.ulConvId = conv_;
    std::snprintf(request.szPgmName, sizeof request.szPgmName, "%s", program.c_str());
    request.ulValue = value;
    request.pData = data.data();
    request.ulDataLen = size;
    request.ulTimeout = timeout;
    ProcessReply reply{};
    g_pause_armed = paused;
    uint16_t rc = caProcessSync(&request, &reply);
    bool same =
        reply.ulDataLen == size && (size == 0 || std::memcmp(reply.pData, data.data(), size) == 0);
    zelFreeBlock(reply.pData);
    return std::to_string(rc) + " " + std::to_string(reply.ulDataLen) + " " + std::to_string(same);
  }

  // "callpc PROGRAM SIZE VALUE TIMEOUT": CALLPC asks the PC program for
  // work; "RC VALUE LENGTH".
  std::string CallPc(std::istringstream& in) const {
    std::string program;
    in >> program;
    uint32_t size = Number(in), value = Number(in), timeout = Number(in);
    std::string data = program + std::string(1, '\0') + Pattern(size, value);
    ProcessRequest request{};
    request.ulConvId = conv_;
    std::snprintf(request.szPgmName, sizeof request.szPgmName, "CALLPC");
    request.ulValue = value;
    request.pData = data.data();
    request.ulDataLen = static_cast<uint32_t>(data.size());
    request.ulTimeout = timeout;
    ProcessReply reply{};
    uint16_t rc = caProcessSync(&request, &reply);
    zelFreeBlock(reply.pData);
    return std::to_string(rc) + " " + std::to_string(reply.ulValue) + " " +
           std::to_string(reply.ulDataLen);
  }

  FakeQlx fake_;
  uint32_t conv_ = 0;
};

ZEL_CHILD_COMMAND(kill_application) {
  KillSession session;
  return ServeCommands(session, 50);
}

// The PC program the processor starts for a host request. "hold" fetches
// the request's data, reports through the file pc.serving, waits for
// pc.go and answers, writing its code to pc.answered. "stall" waits for
// pc.go and ends without answering, so that the processor answers.
ZEL_CHILD_COMMAND(kill_pc_program) {
  // A PC program outlives a manager that dies, as any program it starts
  // does; the harness ties its helpers to their parent, here the manager.
  prctl(PR_SET_PDEATHSIG, 0);
  std::string mode = args.empty() ? "" : args[0];
  const char* rid = getenv("ZEL_REQUEST_RID");
  if (rid == nullptr) return 2;
  std::optional<std::string> data;
  if (mode == "hold") {
    RtvDataParms parms{};
    parms.pRID = rid;
    parms.ulTimeout = 30;
    RtvDataResult result{};
    if (caRtvData(&parms, &result) != 0) return 3;
    // The result is packed: its length is copied before a reference binds.
    data.emplace(static_cast<const char*>(result.pData), uint32_t{result.ulDataLen});
    zelFreeBlock(result.pData);
  }
  Touch(TestPath("pc.serving"));
  if (!AwaitFile(TestPath("pc.go")) || !data) return 0;
  ReturnDataParms parms{};
  parms.pRID = rid;
  parms.ulValue = 1;
  parms.pData = data->data();
  parms.ulDataLen = static_cast<uint32_t>(data->size());
  uint16_t rc = caReturnData(&parms, nullptr, 0);
  std::ofstream(TestPath("pc.answered")) << rc;
  return 0;
}

// ---- The test's side ----

struct Outcome {
  int rc = -1;
  uint32_t second = 0;  // a sync's length, a CALLPC's value
  uint32_t third = 0;   // a sync's SAME, a CALLPC's length
};

Outcome ParseOutcome(const std::string& line) {
  Outcome outcome;
  std::istringstream(line) >> outcome.rc >> outcome.second >> outcome.third;
  return outcome;
}

class Application {
 public:
  Application() : process_(ChildProcess::Start("kill_application")) {
    EXPECT_TRUE(process_.Expect("ready"));
  }
  ~Application() {
    if (!process_.running()) return;
    process_.Send("end");
    EXPECT_EQ(process_.Wait(), 0) << "the application did not end cleanly";
  }

  std::string Do(const std::string& command, Millis limit = 100s) {
    Send(command);
    return Report(limit);
  }
  void Send(const std::string& command) { process_.Send(command); }
  std::string Report(Millis limit = 100s) { return process_.ReadLine(limit).value_or(""); }

  int Start(const std::string& system = "HOSTA") { return Rc("start " + system); }
  int Rc(const std::string& command) {
    std::string line = Do(command);
    return line.empty() ? -1 : std::atoi(line.c_str());
  }
  uint32_t Window() {
    int rc = -1;
    uint32_t hwnd = 0;
    std::istringstream(Do("window")) >> rc >> hwnd;
    EXPECT_EQ(rc, 0);
    return hwnd;
  }
  // An asynchronous request's RID; empty when the send failed.
  std::string Request(uint32_t hwnd, const std::string& program, uint32_t size, uint32_t value) {
    int rc = -1;
    std::string rid;
    std::istringstream(Do("send " + std::to_string(hwnd) + " " + program + " " +
                          std::to_string(size) + " " + std::to_string(value))) >>
        rc >> rid;
    EXPECT_EQ(rc, 0) << ManagerLog();
    return rc == 0 ? rid : "";
  }
  std::string Wait(uint32_t hwnd, Millis limit) {
    return Do("wait " + std::to_string(hwnd) + " " + std::to_string(limit.count()), limit + 30s);
  }
  Outcome Sync(uint32_t size, uint32_t timeout = 60) {
    return ParseOutcome(Do("sync ECHO " + std::to_string(size) + " 3 " + std::to_string(timeout)));
  }
  size_t Handles() { return std::strtoul(Do("handles").c_str(), nullptr, 10); }

  void Kill() {
    process_.Kill();
    EXPECT_EQ(process_.Wait(), 128 + SIGKILL);
  }

 private:
  ChildProcess process_;
};

// ---- What the test reads ----

// The records on one of the manager's lists, under its lock.
template <typename Record>
size_t ListLength(ctrlblk::Serial list, Record* (*head)()) {
  ctrlblk::ListLock lock(list);
  size_t count = 0;
  for (Record* record = head(); record != nullptr && count < 100000; record = record->pNext) {
    ++count;
  }
  return count;
}

// The records that stand for work in flight: asynchronous requests and
// their names, host requests, and hand-overs inside the manager.
struct InFlight {
  size_t async = 0;
  size_t names = 0;
  size_t host_requests = 0;
  size_t handovers = 0;
  bool operator==(const InFlight&) const = default;
};

std::ostream& operator<<(std::ostream& out, const InFlight& lists) {
  return out << lists.async << " asynchronous requests, " << lists.names << " names, "
             << lists.host_requests << " host requests, " << lists.handovers << " hand-overs";
}

InFlight Lists() {
  using ctrlblk::Serial;
  return InFlight{
      ListLength(
          Serial::kAsyncRetList, +[] { return ctrlblk::Anchor().pAsyncRetList; }),
      ListLength(
          Serial::kAsyncNamesList, +[] { return ctrlblk::Anchor().pNamedAsyncList; }),
      ListLength(
          Serial::kRZ700ReqList, +[] { return ctrlblk::Anchor().pRZ700ReqList; }),
      ListLength(
          Serial::kOutstandingDQList, +[] { return ctrlblk::Anchor().pOutstandingDQList; })};
}

bool NothingInFlight() {
  return Eventually([] { return Lists() == InFlight{}; }, 10s);
}

// The heaps once no request is in flight (an answered request's record
// goes just after its answer is posted).
HeapUse Settled() {
  EXPECT_TRUE(NothingInFlight()) << Lists();
  return CurrentUse();
}

pid_t ManagerPid() { return static_cast<pid_t>(ctrlblk::Anchor().ulCPMgrPid); }

class KillMatrix : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
    ASSERT_TRUE(host_->running());
    host_->Configure("HOSTA");
  }

  // The PC program `name` is this binary's kill_pc_program in `mode`.
  void ConfigureProgram(const std::string& name, const std::string& mode) {
    host_->Configure("HOSTA",
                     "program " + name + " " + SelfPath() + " --child kill_pc_program " + mode);
  }

  // The reply entries under keys that begin with `key` which zelhost handed
  // to a reader.
  size_t EntriesRead(const std::string& key) const {
    return Count(host_->LogText(), ", key " + key);
  }

  // zelhost writes the entries of its next multi-entry reply apart.
  void PaceNextReply() {
    ASSERT_EQ(host_->Control("fault pace " + std::to_string(kPaceMs)).rfind("ok", 0), 0u);
  }

  // The manager dies; the time it did. It is dead once the instance sees it
  // so, which is when its last thread has closed its files: its main thread
  // may be a zombie before that, and a start meanwhile joins it.
  Clock::time_point KillManager() {
    pid_t manager = ManagerPid();
    EXPECT_GT(manager, 0);
    EXPECT_EQ(kill(manager, SIGKILL), 0);
    Clock::time_point killed = Clock::now();
    EXPECT_TRUE(Eventually([] { return !manager::CPMgrAlive(); })) << "the manager lives on";
    return killed;
  }

  // The end of every case: no record in flight; a fresh application's
  // start and request are served; and once it has ended, the heaps hold
  // what they held at `before`. (What a dead process held in the global
  // heap goes when the next process attaches, as the fresh one does.)
  static void ExpectNothingLeftAndTheNextStartWorks(const HeapUse& before) {
    EXPECT_TRUE(NothingInFlight()) << Lists();
    {
      Application next;
      ASSERT_EQ(next.Start(), 0) << ManagerLog();
      Outcome echo = next.Sync(20000);
      EXPECT_EQ(echo.rc, 0) << ManagerLog();
      EXPECT_EQ(echo.third, 1u);
    }
    EXPECT_TRUE(BackTo(before)) << CurrentUse() << " against " << before;
  }

  std::unique_ptr<HostServer> host_ =
      std::make_unique<HostServer>(std::vector<std::string>{"--verbose"});
};

// ---- Applications killed ----

TEST_F(KillMatrix, AnApplicationKilledWhileSendingAMultiEntryRequestLeavesNothingBehind) {
  Application survivor;
  ASSERT_EQ(survivor.Start(), 0) << ManagerLog();
  ASSERT_EQ(survivor.Sync(20000).rc, 0) << ManagerLog();
  size_t handles = survivor.Handles();
  HeapUse before = Settled();

  Application victim;
  ASSERT_EQ(victim.Start(), 0);
  victim.Send("paused-sync ECHO " + std::to_string(kMiB) + " 1 60");
  ASSERT_EQ(victim.Report(), "paused") << "the request's second entry was not written";
  victim.Kill();

  // zelhost holds half a request that never completes; the others are served.
  Outcome echo = survivor.Sync(20000);
  EXPECT_EQ(echo.rc, 0) << ManagerLog();
  EXPECT_EQ(echo.third, 1u);
  EXPECT_EQ(survivor.Handles(), handles);
  ExpectNothingLeftAndTheNextStartWorks(before);
}

TEST_F(KillMatrix, AnApplicationKilledWhileReassemblingAReplyLeavesNothingBehind) {
  Application survivor;
  ASSERT_EQ(survivor.Start(), 0) << ManagerLog();
  ASSERT_EQ(survivor.Sync(20000).rc, 0) << ManagerLog();
  size_t handles = survivor.Handles();
  HeapUse before = Settled();

  Application victim;
  ASSERT_EQ(victim.Start(), 0);
  size_t read = EntriesRead("S");
  PaceNextReply();
  victim.Send("sync ECHO " + std::to_string(kMiB) + " 1 60");
  ASSERT_TRUE(Eventually([&] { return EntriesRead("S") > read; }, 60s)) << host_->LogText();
  victim.Kill();
  EXPECT_LT(EntriesRead("S"), read + 10) << "the kill came after the reply";

  Outcome echo = survivor.Sync(20000);
  EXPECT_EQ(echo.rc, 0) << ManagerLog();
  EXPECT_EQ(echo.third, 1u);
  EXPECT_EQ(survivor.Handles(), handles);
  ExpectNothingLeftAndTheNextStartWorks(before);
}

TEST_F(KillMatrix, AnApplicationKilledWithAsynchronousRequestsOutstandingLeavesNothingBehind) {
  Application survivor;
  ASSERT_EQ(survivor.Start(), 0) << ManagerLog();
  uint32_t mine = survivor.Window();
  ASSERT_EQ(survivor.Wait(mine, 0ms), "none");
  ASSERT_NE(survivor.Request(mine, "ECHO", 100, 1), "");
  ASSERT_EQ(survivor.Wait(mine, 30s).rfind("data", 0), 0u);
  size_t handles = survivor.Handles();
  HeapUse before = Settled();

  Application victim;
  ASSERT_EQ(victim.Start(), 0);
  std::string first = victim.Request(victim.Window(), "SLEEP", 0, 3000);
  std::string second = victim.Request(victim.Window(), "SLEEP", 20000, 3000);
  std::string kept = survivor.Request(mine, "SLEEP", 30000, 3000);
  ASSERT_TRUE(Eventually([] { return Lists().async == 3; }, 2s)) << Lists();
  victim.Kill();

  // The survivor's answer comes as ever; the dead windows' answers are
  // dropped with their records once they come.
  std::string answer = survivor.Wait(mine, 30s);
  EXPECT_EQ(answer, "data " + kept + " 30000");
  for (const std::string& rid : {first, second}) {
    EXPECT_TRUE(Eventually([&] {
      return host_->LogText().find("reply Z" + rid) != std::string::npos;
    })) << host_->LogText();
  }
  EXPECT_EQ(survivor.Handles(), handles);
  ExpectNothingLeftAndTheNextStartWorks(before);
}

// ---- The manager killed ----

TEST_F(KillMatrix, AManagerKilledDuringAHandOverLeavesTheRequesterItsTimeOutAndTheNextStartClean) {
  ConfigureProgram("PCSTALL", "stall");
  Application requester;
  ASSERT_EQ(requester.Start(), 0) << ManagerLog();
  ASSERT_EQ(requester.Sync(20000).rc, 0) << ManagerLog();
  size_t handles = requester.Handles();
  HeapUse before = Settled();

  // The PC program ends without answering, so the processor answers inside
  // the manager, through its request queue. zelhost keeps the write of that
  // answer ("X" + RID) unanswered: the hand-over waits inside its write.
  ASSERT_EQ(host_->Control("fault hold-write X").rfind("ok", 0), 0u);
  requester.Send("callpc PCSTALL 100 7 " + std::to_string(kCallPcTimeout.count()));
  ASSERT_TRUE(Eventually([] { return Exists(TestPath("pc.serving")); }, 30s)) << ManagerLog();
  Touch(TestPath("pc.go"));
  ASSERT_TRUE(Eventually([&] { return Count(host_->LogText(), "held unanswered") == 1; }, 30s))
      << host_->LogText();
  EXPECT_EQ(Lists().handovers, 1u);
  Clock::time_point killed = KillManager();

  // The answer never reached its queue, and the host's RRP went with the
  // manager's sign-on: the requester gets its time-out.
  Outcome call = ParseOutcome(requester.Report(30s));
  EXPECT_EQ(call.rc, VQZM_RC_TIMED_OUT) << call.second;
  EXPECT_LT(Clock::now() - killed, kCallPcTimeout + 2s);
  ASSERT_EQ(requester.Start(), 0) << ManagerLog();
  EXPECT_EQ(Lists().handovers, 0u) << "the dead manager's hand-over outlived the next start";
  EXPECT_EQ(requester.Sync(20000).rc, 0) << ManagerLog();
  EXPECT_EQ(requester.Handles(), handles);
  ExpectNothingLeftAndTheNextStartWorks(before);
}

TEST_F(KillMatrix, AManagerKilledDuringAMultiEntryAnswerLeavesTheWindowA1056AndTheNextStartClean) {
  Application app;
  ASSERT_EQ(app.Start(), 0) << ManagerLog();
  uint32_t hwnd = app.Window();
  ASSERT_NE(app.Request(hwnd, "ECHO", 20000, 1), "");
  ASSERT_EQ(app.Wait(hwnd, 30s).rfind("data", 0), 0u);
  size_t handles = app.Handles();
  HeapUse before = Settled();

  PaceNextReply();
  std::string rid = app.Request(hwnd, "ECHO", kMiB, 2);
  ASSERT_NE(rid, "");
  ASSERT_TRUE(Eventually([&] { return EntriesRead("Z" + rid) > 0; }, 60s)) << host_->LogText();
  Clock::time_point killed = KillManager();
  EXPECT_LT(EntriesRead("Z" + rid), 10u) << "the kill came after the answer";

  EXPECT_EQ(app.Wait(hwnd, 5s), "code " + std::to_string(VQZM_RC_CPMGR_ENDED));
  EXPECT_LT(Clock::now() - killed, 1s);
  EXPECT_EQ(Lists().async, 0u);
  Clock::time_point asked = Clock::now();
  // Until the next start the dead manager's state still says "running".
  EXPECT_EQ(app.Sync(20000, 5).rc, VQZM_RC_CPMGR_ENDED);
  EXPECT_EQ(app.Do("send " + std::to_string(hwnd) + " ECHO 10 4"),
            std::to_string(VQZM_RC_CPMGR_ENDED) + " ");
  EXPECT_LT(Clock::now() - asked, 1s);
  ASSERT_EQ(app.Start(), 0) << ManagerLog();
  std::string next = app.Request(hwnd, "ECHO", 20000, 3);
  EXPECT_EQ(app.Wait(hwnd, 30s), "data " + next + " 20000");
  EXPECT_EQ(app.Handles(), handles);
  ExpectNothingLeftAndTheNextStartWorks(before);
}

TEST_F(KillMatrix, AManagerKilledWhileAPcProgramServesAHostRequestLeavesBothAnError) {
  ConfigureProgram("PCHOLD", "hold");
  Application requester;
  ASSERT_EQ(requester.Start(), 0) << ManagerLog();
  ASSERT_EQ(requester.Sync(20000).rc, 0) << ManagerLog();
  size_t handles = requester.Handles();
  HeapUse before = Settled();

  requester.Send("callpc PCHOLD 20000 7 " + std::to_string(kCallPcTimeout.count()));
  ASSERT_TRUE(Eventually([] { return Exists(TestPath("pc.serving")); }, 30s)) << ManagerLog();
  Clock::time_point killed = KillManager();

  Outcome call = ParseOutcome(requester.Report(30s));
  EXPECT_EQ(call.rc, VQZM_RC_TIMED_OUT);
  EXPECT_LT(Clock::now() - killed, kCallPcTimeout + 2s);
  // The PC program answers into a system whose manager is gone.
  Touch(TestPath("pc.go"));
  // The file is made before its code is written into it.
  ASSERT_TRUE(Eventually([] { return !ReadFile(TestPath("pc.answered")).empty(); }, 30s));
  EXPECT_EQ(ReadFile(TestPath("pc.answered")), std::to_string(VQZM_RC_CPMGR_ENDED));
  ASSERT_EQ(requester.Start(), 0) << ManagerLog();
  EXPECT_EQ(requester.Sync(20000).rc, 0) << ManagerLog();
  EXPECT_EQ(requester.Handles(), handles);
  ExpectNothingLeftAndTheNextStartWorks(before);
}

// ---- zelhost killed ----

TEST_F(KillMatrix, AZelhostKilledInTheMiddleOfAReplyLeavesEveryWaiterAnError) {
  Application app;
  ASSERT_EQ(app.Start(), 0) << ManagerLog();
  uint32_t hwnd = app.Window();
  ASSERT_NE(app.Request(hwnd, "ECHO", 100, 1), "");
  ASSERT_EQ(app.Wait(hwnd, 30s).rfind("data", 0), 0u);
  ASSERT_EQ(app.Sync(20000).rc, 0) << ManagerLog();
  size_t handles = app.Handles();
  Application other;
  ASSERT_EQ(other.Start(), 0);
  uint32_t waiting = other.Window();
  HeapUse before = Settled();

  ASSERT_NE(other.Request(waiting, "SLEEP", 100, 60000), "");
  size_t read = EntriesRead("S");
  PaceNextReply();
  app.Send("sync ECHO " + std::to_string(kMiB) + " 1 60");
  ASSERT_TRUE(Eventually([&] { return EntriesRead("S") > read; }, 60s)) << host_->LogText();
  ASSERT_EQ(kill(host_->pid(), SIGKILL), 0);
  Clock::time_point killed = Clock::now();

  Outcome reply = ParseOutcome(app.Report(30s));
  EXPECT_EQ(reply.rc, VQZM_RC_DATA_QUEUE_ERROR);
  EXPECT_LT(Clock::now() - killed, 5s);
  // The system's communication ended with the error that ended it.
  EXPECT_EQ(other.Wait(waiting, 10s), "code " + std::to_string(VQZM_RC_DATA_QUEUE_ERROR));
  EXPECT_LT(Clock::now() - killed, 5s);
  EXPECT_EQ(app.Handles(), handles);

  host_ = std::make_unique<HostServer>(std::vector<std::string>{"--verbose"});
  host_->Configure("HOSTA");
  ASSERT_EQ(app.Start(), 0) << ManagerLog();
  EXPECT_EQ(app.Sync(20000).rc, 0) << ManagerLog();
  ASSERT_EQ(other.Start(), 0) << ManagerLog();
  ExpectNothingLeftAndTheNextStartWorks(before);
}

}  // namespace
}  // namespace zel::test
