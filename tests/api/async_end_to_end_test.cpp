// Asynchronous requests from end to end: applications in child processes
// send requests against a real zelhost on loopback and the real
// communication manager of this build, and take the answers from their
// message windows. The test process reads the manager's records and the
// heaps of the instance, which it shares with them.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "platform/posix/heap.h"
#include "tests/harness/async_answer.h"
#include "tests/harness/heap_use.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/request_data.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcb.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"
#include "zelapp.h"

namespace zel::test {
namespace {

using Clock = std::chrono::steady_clock;

// The message number the answers come as, and the one of the test's own
// filler messages.
constexpr uint32_t kAnswerMsg = 0x0501;
constexpr uint32_t kFillerMsg = 0x0601;
// A window's queue holds this many messages.
constexpr int kQueueLimit = 10000;
// What pRID holds before a call that must not make a RID.
const std::string kNoRid(ZEL_RID_LEN, '#');

// The load's request sizes: 0 to 64 KiB, varied.
uint32_t LoadSize(uint32_t index, uint32_t seed) {
  return (index * 4099 + seed * 977) % (64 * 1024 + 1);
}

// ---- The application ----

// What the application expects back for a RID.
struct Expected {
  std::string data;
  uint32_t value = 0;
  uint32_t version = 0;
};

// An application process: it starts communication, makes asynchronous
// requests, takes what its windows receive and reports each outcome as one
// line. Its windows belong to its main thread, which runs every command.
class AsyncSession {
 public:
  std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "start") return Start(in);
    if (verb == "stop") return std::to_string(caStopZELComm(conv_));
    if (verb == "conv") return in >> conv_ ? "ok" : "bad conv";
    if (verb == "window") return Window();
    if (verb == "destroy") return std::to_string(zelDestroyWindow(Number(in)));
    if (verb == "send") return Send(in);
    if (verb == "packets") return SendPackets(in);
    if (verb == "wait") return Wait(in);
    if (verb == "abort") return Abort(in);
    if (verb == "flood") return Flood(in);
    if (verb == "drain") return Drain(in);
    if (verb == "publish") return Publish(in);
    if (verb == "rtvname") return RetrieveName(in);
    if (verb == "load") return Load(in);
    if (verb == "sync") return Sync(in);
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
    return std::to_string(rc) + " " + std::to_string(conv_);
  }

  static std::string Window() {
    uint32_t hwnd = 0;
    uint16_t rc = zelCreateWindow(&hwnd);
    return std::to_string(rc) + " " + std::to_string(hwnd);
  }

  // "send HWND PROGRAM SIZE VALUE": data Pattern(SIZE, VALUE), version 0;
  // "RC RID" (the RID as pRID holds it, made or not).
  std::string Send(std::istringstream& in) {
    uint32_t hwnd = Number(in);
    std::string program;
    in >> program;
    uint32_t size = Number(in), value = Number(in);
    return Request(hwnd, program, Expected{Pattern(size, value), value, 0});
  }

  // "packets HWND": PKTECHO of Packets(), version 1; "RC RID".
  std::string SendPackets(std::istringstream& in) {
    return Request(Number(in), "PKTECHO", Expected{Packets(), 5, 1});
  }

  std::string Request(uint32_t hwnd, const std::string& program, Expected expected) {
    char rid[ZEL_RID_LEN];
    std::memcpy(rid, kNoRid.data(), ZEL_RID_LEN);
    uint16_t rc = Post(hwnd, program, expected, rid);
    std::string made(rid, ZEL_RID_LEN);
    if (rc == 0) expected_[made] = std::move(expected);
    return std::to_string(rc) + " " + made;
  }

  uint16_t Post(uint32_t hwnd, const std::string& program, const Expected& expected,
                char* rid) const {
    AsyncRequest request{};
    request.ulConvId = conv_;
    std::snprintf(request.szPgmName, sizeof request.szPgmName, "%s", program.c_str());
    request.ulValue = expected.value;
    request.ulDataVersion = expected.version;
    request.pData = const_cast<char*>(expected.data.data());
    request.ulDataLen = static_cast<uint32_t>(expected.data.size());
    request.hwndNotify = hwnd;
    request.usNotifyMsg = static_cast<uint16_t>(kAnswerMsg);
    return caProcessAsync(&request, rid);
  }

  // "wait HWND MS": the next answer (one taken while draining first), or
  // "none" when none came within MS.
  std::string Wait(std::istringstream& in) {
    uint32_t hwnd = Number(in), millis = Number(in);
    if (!taken_.empty()) {
      std::string answer = taken_.front();
      taken_.pop_front();
      return answer;
    }
    ZelMessage msg{};
    uint16_t rc = zelWaitMessage(hwnd, millis, &msg);
    if (rc == VQZM_RC_TIMED_OUT) return "none";
    if (rc != 0) return "wait rc " + std::to_string(rc);
    return Describe(hwnd, msg);
  }

  // One message as the test reads it (the block freed):
  //   "data RID VALUE VERSION LENGTH KNOWN SAME ADDRESS FREE"
  //   "code RC SIZE FREE"
  // KNOWN: the RID was awaited and not answered before; SAME: the data is
  // what that RID expects; ADDRESS: the prefix's address is the block's
  // plus 27 and the block holds the data; FREE: zelFreeBlock's code.
  std::string Describe(uint32_t hwnd, const ZelMessage& msg) {
    if (msg.message != kAnswerMsg || msg.hwnd != hwnd) {
      return "other " + std::to_string(msg.message) + " " + std::to_string(msg.hwnd);
    }
    if (msg.wParam > 1) return "wparam " + std::to_string(msg.wParam);
    auto* block = reinterpret_cast<char*>(msg.lParam);
    std::ostringstream out;
    AsyncAnswer answer = ReadAsyncAnswer(msg);
    if (answer.code_only) {
      size_t size = zelBlockSize(block);
      out << "code " << answer.code << " " << size << " " << zelFreeBlock(block);
      return out.str();
    }
    const AsyncRetPrefix& prefix = answer.prefix;
    std::string rid(prefix.achRID, ZEL_RID_LEN);
    uint32_t length = prefix.ulDataLen;
    bool address = prefix.ulDataAddr == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block) +
                                                              sizeof(AsyncRetPrefix)) &&
                   zelBlockSize(block) >= sizeof(AsyncRetPrefix) + length;
    auto expected = expected_.find(rid);
    bool known = expected != expected_.end();
    bool same =
        known && address && length == expected->second.data.size() &&
        std::memcmp(block + sizeof(AsyncRetPrefix), expected->second.data.data(), length) == 0;
    if (known) expected_.erase(expected);
    out << "data " << rid << " " << prefix.ulValue << " " << prefix.ulDataVersion << " " << length
        << " " << known << " " << same << " " << address << " " << zelFreeBlock(block);
    return out.str();
  }

  // "abort RID|- HWND": caAbortProcessAsync; "-" is a null RID.
  static std::string Abort(std::istringstream& in) {
    std::string rid;
    in >> rid;
    uint32_t hwnd = Number(in);
    return std::to_string(caAbortProcessAsync(rid == "-" ? nullptr : rid.c_str(), hwnd));
  }

  // "flood HWND": filler messages posted to the window until its queue
  // refuses one; "POSTED RC".
  static std::string Flood(std::istringstream& in) {
    uint32_t hwnd = Number(in);
    int posted = 0;
    uint16_t rc = 0;
    while (posted <= kQueueLimit) {
      rc = zelPostMessage(hwnd, kFillerMsg, 0, posted);
      if (rc != 0) break;
      ++posted;
    }
    return std::to_string(posted) + " " + std::to_string(rc);
  }

  // "drain HWND": takes every message waiting, keeping answers for "wait";
  // "FILLERS ANSWERS".
  std::string Drain(std::istringstream& in) {
    uint32_t hwnd = Number(in);
    int fillers = 0, answers = 0;
    ZelMessage msg{};
    for (int i = 0; i <= 2 * kQueueLimit && zelWaitMessage(hwnd, 0, &msg) == 0; ++i) {
      if (msg.message == kFillerMsg) {
        ++fillers;
        continue;
      }
      taken_.push_back(Describe(hwnd, msg));
      ++answers;
    }
    return std::to_string(fillers) + " " + std::to_string(answers);
  }

  // "publish NAME RID": asks the manager to publish the RID under the name.
  static std::string Publish(std::istringstream& in) {
    std::string name, rid;
    in >> name >> rid;
    auto* block = static_cast<ZELAsyncIdName*>(zelAllocBlock(sizeof(ZELAsyncIdName)));
    if (block == nullptr) return "no block";
    std::snprintf(block->szName, sizeof block->szName, "%s", name.c_str());
    std::memcpy(block->achRID, rid.data(), std::min<size_t>(rid.size(), ZEL_RID_LEN));
    return std::to_string(cbPostCPMgrMsg(ZEL_MSG_PUBLISH_ASYNC_ID, 0, block));
  }

  // "rtvname NAME TIMEOUT": "RC RID MILLISECONDS".
  static std::string RetrieveName(std::istringstream& in) {
    std::string name;
    int32_t timeout = 0;
    in >> name >> timeout;
    char rid[ZEL_RID_LEN];
    std::memcpy(rid, kNoRid.data(), ZEL_RID_LEN);
    Clock::time_point begin = Clock::now();
    uint16_t rc = caRtvNamedAsyncID(name.c_str(), timeout, rid);
    auto millis = std::chrono::duration_cast<Millis>(Clock::now() - begin).count();
    return std::to_string(rc) + " " + std::string(rid, ZEL_RID_LEN) + " " + std::to_string(millis);
  }

  // "load COUNT SEED": COUNT ECHO requests of LoadSize() bytes to a window
  // of their own, each sent without waiting for the answers before it
  // (those that came meanwhile are taken between sends, as an application
  // keeps its queue short). "ok RID..." once every answer came once with
  // its data and nothing more came; else what went wrong.
  std::string Load(std::istringstream& in) {
    uint32_t count = Number(in), seed = Number(in);
    uint32_t hwnd = 0;
    if (zelCreateWindow(&hwnd) != 0) return "no window";
    std::string report = "ok";
    std::string failure;
    uint32_t answered = 0;
    auto take = [&](uint32_t millis) {
      ZelMessage msg{};
      if (zelWaitMessage(hwnd, millis, &msg) != 0) return false;
      std::string answer = Describe(hwnd, msg);
      std::istringstream fields(answer);
      std::string kind, rid;
      int value = 0, version = 0, length = 0, known = 0, same = 0, address = 0, freed = -1;
      fields >> kind >> rid >> value >> version >> length >> known >> same >> address >> freed;
      if (kind != "data" || !known || !same || !address || freed != 0) failure = answer;
      ++answered;
      return true;
    };
    for (uint32_t i = 0; i < count && failure.empty(); ++i) {
      std::string sent = Request(hwnd, "ECHO", Expected{Pattern(LoadSize(i, seed), i), i, 0});
      if (sent.rfind("0 ", 0) != 0) failure = "send " + std::to_string(i) + ": " + sent;
      report += sent.substr(1);
      while (failure.empty() && take(0)) {
      }
    }
    for (int waits = 0; failure.empty() && answered < count && waits < 600; ++waits) {
      while (failure.empty() && take(100)) {
      }
    }
    // A second answer for any RID would come about as soon as the first.
    while (failure.empty() && take(500)) {
    }
    zelDestroyWindow(hwnd);
    if (!failure.empty()) return failure;
    if (answered != count) {
      return "answered " + std::to_string(answered) + " of " + std::to_string(count);
    }
    return report;
  }

  // "sync SIZE": a synchronous ECHO of SIZE bytes; its code.
  std::string Sync(std::istringstream& in) const {
    std::string data = Pattern(Number(in), 1);
    ProcessRequest request{};
    request.ulConvId = conv_;
    std::snprintf(request.szPgmName, sizeof request.szPgmName, "ECHO");
    request.pData = data.data();
    request.ulDataLen = static_cast<uint32_t>(data.size());
    request.ulTimeout = 60;
    ProcessReply reply{};
    uint16_t rc = caProcessSync(&request, &reply);
    zelFreeBlock(reply.pData);
    return std::to_string(rc);
  }

  uint32_t conv_ = 0;
  std::map<std::string, Expected> expected_;  // RIDs whose answer has not come
  std::deque<std::string> taken_;             // answers taken while draining
};

ZEL_CHILD_COMMAND(async_application) {
  AsyncSession session;
  return ServeCommands(session, 100);
}

// What a "wait" reported.
struct Answer {
  std::string kind;  // "data", "code", "none" or what else came
  std::string rid;
  uint32_t value = 0;
  uint32_t version = 0;
  uint32_t length = 0;
  bool known = false;
  bool same = false;
  bool address = false;
  int code = -1;
  size_t size = 0;
  int freed = -1;
  std::string line;
};

Answer ParseAnswer(const std::string& line) {
  Answer answer;
  answer.line = line;
  std::istringstream in(line);
  in >> answer.kind;
  if (answer.kind == "data") {
    in >> answer.rid >> answer.value >> answer.version >> answer.length >> answer.known >>
        answer.same >> answer.address >> answer.freed;
  } else if (answer.kind == "code") {
    in >> answer.code >> answer.size >> answer.freed;
  }
  return answer;
}

// What a send reported.
struct Sent {
  int rc = -1;
  std::string rid;
};

// The test's side of an application process.
class Application {
 public:
  explicit Application(ChildProcess::Env env = {})
      : process_(ChildProcess::Start("async_application", {}, std::move(env))) {
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
  ChildProcess& process() { return process_; }

  int Start(const std::string& system, uint32_t* conv = nullptr) {
    int rc = -1;
    uint32_t id = 0;
    sscanf(Do("start " + system).c_str(), "%d %u", &rc, &id);
    if (conv != nullptr) *conv = id;
    return rc;
  }

  uint32_t Window() {
    int rc = -1;
    uint32_t hwnd = 0;
    sscanf(Do("window").c_str(), "%d %u", &rc, &hwnd);
    EXPECT_EQ(rc, 0);
    return hwnd;
  }

  Sent Request(uint32_t hwnd, const std::string& program, uint32_t size, uint32_t value) {
    return ParseSent(Do("send " + std::to_string(hwnd) + " " + program + " " +
                        std::to_string(size) + " " + std::to_string(value)));
  }
  Sent Packets(uint32_t hwnd) { return ParseSent(Do("packets " + std::to_string(hwnd))); }

  Answer Wait(uint32_t hwnd, Millis limit = 30s) {
    return ParseAnswer(
        Do("wait " + std::to_string(hwnd) + " " + std::to_string(limit.count()), limit + 30s));
  }

  int Abort(const std::string& rid, uint32_t hwnd = 0) {
    return Rc("abort " + rid + " " + std::to_string(hwnd));
  }

  int Rc(const std::string& command) {
    std::string line = Do(command);
    return line.empty() ? -1 : std::atoi(line.c_str());
  }

 private:
  static Sent ParseSent(const std::string& line) {
    Sent sent;
    std::istringstream in(line);
    in >> sent.rc >> sent.rid;
    return sent;
  }

  ChildProcess process_;
};

// ---- What the test reads ----

// A copy of the manager's record of an asynchronous request, read under
// its list's lock; nothing when there is none.
std::optional<AsyncRetStruct> Record(const std::string& rid) {
  ctrlblk::ListLock lock(ctrlblk::Serial::kAsyncRetList);
  AsyncRetStruct* record = ctrlblk::cbRetAsyncRetFromRid(rid.c_str());
  if (record == nullptr) return std::nullopt;
  AsyncRetStruct copy;
  std::memcpy(&copy, record, sizeof copy);
  return copy;
}

// The record's abort flag; -1 when there is no record.
int Aborted(const std::string& rid) {
  std::optional<AsyncRetStruct> record = Record(rid);
  return record ? static_cast<int>(V(record->ulAborted)) : -1;
}

// True once the record of `rid` is gone.
bool Deleted(const std::string& rid) {
  return Eventually([&] { return !Record(rid); });
}

// The records of asynchronous requests there are.
size_t Records() {
  ctrlblk::ListLock lock(ctrlblk::Serial::kAsyncRetList);
  size_t count = 0;
  for (AsyncRetStruct* record = ctrlblk::Anchor().pAsyncRetList;
       record != nullptr && count < 100000; record = record->pNext) {
    ++count;
  }
  return count;
}

class AsyncEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
    ASSERT_TRUE(host_.running());
    host_.Configure("HOSTA");
  }

  static RZ700SysStruct* System(const char* name) {
    RZ700SysStruct* system = nullptr;
    return cbFindRZ700SysByName(name, &system) == 0 ? system : nullptr;
  }

  // True once zelhost has written the answer to `rid`.
  bool HostAnswered(const std::string& rid) {
    return Eventually([&] { return host_.LogText().find("reply Z" + rid) != std::string::npos; });
  }

  // An answer that arrives once: the next wait on the window finds nothing
  // more within a few of the manager's 250 ms retries.
  static void ExpectNothingMore(Application& app, uint32_t hwnd) {
    EXPECT_EQ(app.Wait(hwnd, 1500ms).kind, "none");
  }

  HostServer host_;
};

// ---- Answers ----

TEST_F(AsyncEndToEnd, EchoAnswersOfEverySizeArriveOnceWithTheirRidValueAndData) {
  Application app;
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  uint32_t hwnd = app.Window();
  std::set<std::string> rids;
  for (uint32_t size : {0u, 1u, 8192u, 8193u, 20000u, kMiB}) {
    SCOPED_TRACE("size " + std::to_string(size));
    Sent sent = app.Request(hwnd, "ECHO", size, size + 7);
    ASSERT_EQ(sent.rc, 0) << ManagerLog();
    ASSERT_EQ(sent.rid.size(), size_t{ZEL_RID_LEN});
    EXPECT_EQ(sent.rid[0], 'A');
    EXPECT_TRUE(rids.insert(sent.rid).second) << "a RID was handed out twice";
    Answer answer = app.Wait(hwnd);
    ASSERT_EQ(answer.kind, "data") << answer.line << "\n" << ManagerLog();
    EXPECT_EQ(answer.rid, sent.rid);
    EXPECT_EQ(answer.value, size + 7);
    EXPECT_EQ(answer.version, 0u);
    EXPECT_EQ(answer.length, size);
    EXPECT_TRUE(answer.known);
    EXPECT_TRUE(answer.same);
    EXPECT_TRUE(answer.address) << "the data follows the prefix in the block";
    EXPECT_EQ(answer.freed, 0);
    EXPECT_TRUE(Deleted(sent.rid)) << "the record outlived its posted answer";
  }
  ExpectNothingMore(app, hwnd);
}

TEST_F(AsyncEndToEnd, PacketAnswersComeBackInPcFormAndReturnCodesComeAsWParamOne) {
  Application app({{"ZEL_PC_CODEPAGE", "1252"}, {"ZEL_HOST_CCSID", "37"}});
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  uint32_t hwnd = app.Window();

  // zelhost echoes only packets in host form; back on the PC they are the
  // application's packets again.
  Sent packets = app.Packets(hwnd);
  ASSERT_EQ(packets.rc, 0) << ManagerLog();
  Answer echoed = app.Wait(hwnd);
  ASSERT_EQ(echoed.kind, "data") << echoed.line << "\n" << host_.LogText();
  EXPECT_EQ(echoed.rid, packets.rid);
  EXPECT_EQ(echoed.version, 1u);
  EXPECT_TRUE(echoed.same) << echoed.line;

  Sent code = app.Request(hwnd, "RETCODE", 0, 16);
  ASSERT_EQ(code.rc, 0);
  Answer answer = app.Wait(hwnd);
  EXPECT_EQ(answer.kind, "code") << answer.line;
  EXPECT_EQ(answer.code, 16);
  EXPECT_EQ(answer.size, sizeof(AsyncRetPrefix));
  EXPECT_EQ(answer.freed, 0);
  EXPECT_TRUE(Deleted(code.rid));

  Sent missing = app.Request(hwnd, "NOSUCHPGM", 10, 1);
  ASSERT_EQ(missing.rc, 0);
  EXPECT_EQ(app.Wait(hwnd).code, 28673) << "the host's code for a program it does not have";
  ExpectNothingMore(app, hwnd);
}

TEST_F(AsyncEndToEnd, InterleavedAnswersForThreeWindowsInTwoProcessesEachReachTheirWindow) {
  Application first;
  Application second;
  ASSERT_EQ(first.Start("HOSTA"), 0) << ManagerLog();
  ASSERT_EQ(second.Start("HOSTA"), 0) << ManagerLog();
  struct Target {
    Application* app;
    uint32_t hwnd;
    std::map<std::string, uint32_t> values;  // RID -> value sent
  };
  std::vector<Target> targets = {
      {&first, first.Window(), {}}, {&first, first.Window(), {}}, {&second, second.Window(), {}}};
  // zelhost holds the six answers back and writes their entries in turns.
  ASSERT_EQ(host_.Control("interleave all 6").rfind("ok", 0), 0u);
  const uint32_t sizes[] = {20000, 8193, 30000, 16385, 24577, 9000};
  for (size_t i = 0; i < std::size(sizes); ++i) {
    Target& target = targets[i % targets.size()];
    uint32_t value = 100 + static_cast<uint32_t>(i);
    Sent sent = target.app->Request(target.hwnd, "ECHO", sizes[i], value);
    ASSERT_EQ(sent.rc, 0) << ManagerLog();
    target.values[sent.rid] = value;
  }
  for (Target& target : targets) {
    SCOPED_TRACE("window " + std::to_string(target.hwnd));
    for (size_t n = 0; n < 2; ++n) {
      Answer answer = target.app->Wait(target.hwnd);
      ASSERT_EQ(answer.kind, "data") << answer.line << "\n" << host_.LogText();
      auto sent = target.values.find(answer.rid);
      ASSERT_NE(sent, target.values.end()) << answer.line << ": not for this window, or twice";
      EXPECT_EQ(answer.value, sent->second);
      EXPECT_TRUE(answer.same) << answer.line;
      target.values.erase(sent);
    }
    ExpectNothingMore(*target.app, target.hwnd);
  }
  EXPECT_NE(host_.LogText().find("interleave: 6 replies written in turns, 18 entries"),
            std::string::npos)
      << host_.LogText();
  EXPECT_EQ(Records(), 0u);
}

// ---- Aborts ----

TEST_F(AsyncEndToEnd, AnAbortedAnswerIsThrownAwayAndItsRecordDeleted) {
  Application app;
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  uint32_t hwnd = app.Window();
  Sent warm = app.Request(hwnd, "ECHO", 100, 1);
  ASSERT_EQ(app.Wait(hwnd).rid, warm.rid);
  ASSERT_TRUE(Deleted(warm.rid));
  HeapUse before = CurrentUse();

  // SLEEP answers after `value` ms.
  Sent sleeping = app.Request(hwnd, "SLEEP", 20000, 3000);
  ASSERT_EQ(sleeping.rc, 0);
  ASSERT_EQ(app.Abort(sleeping.rid), 0);
  EXPECT_EQ(Aborted(sleeping.rid), 1) << "the record waits for the answer it throws away";
  ASSERT_TRUE(HostAnswered(sleeping.rid)) << host_.LogText();
  EXPECT_TRUE(Deleted(sleeping.rid)) << ManagerLog();
  ExpectNothingMore(app, hwnd);
  EXPECT_TRUE(BackTo(before)) << CurrentUse() << " against " << before;

  EXPECT_EQ(app.Abort(sleeping.rid), VQZM_RC_NO_ASYNC_FOR_RID) << "its record is gone";
  EXPECT_EQ(app.Abort(warm.rid), VQZM_RC_NO_ASYNC_FOR_RID) << "answered already";
  EXPECT_EQ(app.Abort("-", 0), VQZM_RC_NO_RID_OR_WINDOW);
  EXPECT_EQ(app.Abort("-", hwnd), VQZM_RC_NO_ASYNC_FOR_WINDOW);
}

TEST_F(AsyncEndToEnd, AbortingAWindowThrowsAwayItsAnswersAndNoneOfAnotherWindow) {
  Application app;
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  uint32_t aborted = app.Window();
  uint32_t kept = app.Window();
  // Answers that come well after the abort: each send after the first may
  // wait for a further RRP, as the sleeping ones keep theirs busy.
  Sent first = app.Request(aborted, "SLEEP", 10, 6000);
  Sent second = app.Request(aborted, "SLEEP", 20000, 6000);
  Sent other = app.Request(kept, "SLEEP", 30, 6000);
  ASSERT_EQ(first.rc + second.rc + other.rc, 0);

  ASSERT_EQ(app.Abort("-", aborted), 0);
  EXPECT_EQ(Aborted(first.rid), 1);
  EXPECT_EQ(Aborted(second.rid), 1);
  EXPECT_EQ(Aborted(other.rid), 0);

  Answer answer = app.Wait(kept);
  EXPECT_EQ(answer.rid, other.rid) << answer.line;
  EXPECT_TRUE(answer.same);
  for (const Sent& sent : {first, second}) {
    ASSERT_TRUE(HostAnswered(sent.rid)) << host_.LogText();
    EXPECT_TRUE(Deleted(sent.rid)) << ManagerLog();
  }
  ExpectNothingMore(app, aborted);
  EXPECT_EQ(app.Abort("-", aborted), VQZM_RC_NO_ASYNC_FOR_WINDOW);
  EXPECT_EQ(Records(), 0u);
}

// ---- Windows that go, and queues that are full ----

TEST_F(AsyncEndToEnd, AnAnswerForAWindowThatIsGoneIsFreedWithItsRecord) {
  Application app;
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  uint32_t hwnd = app.Window();
  Sent warm = app.Request(hwnd, "ECHO", 20000, 1);
  ASSERT_EQ(app.Wait(hwnd).rid, warm.rid);
  ASSERT_TRUE(Deleted(warm.rid));
  HeapUse before = CurrentUse();

  for (uint32_t size : {20000u, 0u}) {
    SCOPED_TRACE(size);
    uint32_t gone = app.Window();
    Sent sent = app.Request(gone, "SLEEP", size, 3000);
    ASSERT_EQ(sent.rc, 0);
    ASSERT_EQ(app.Rc("destroy " + std::to_string(gone)), 0);
    ASSERT_TRUE(HostAnswered(sent.rid)) << host_.LogText();
    EXPECT_TRUE(Deleted(sent.rid)) << ManagerLog();
    EXPECT_TRUE(BackTo(before)) << CurrentUse() << " against " << before;
  }
  Sent code = app.Request(app.Window(), "RETCODE", 0, 8);
  // The window of a code answer goes with its process.
  app.process().Kill();
  EXPECT_EQ(app.process().Wait(), 128 + SIGKILL);
  ASSERT_TRUE(HostAnswered(code.rid)) << host_.LogText();
  EXPECT_TRUE(Deleted(code.rid)) << ManagerLog();
  EXPECT_EQ(Records(), 0u);
}

TEST_F(AsyncEndToEnd, AKilledManagerLeavesEachWaitingWindowA1056AndTheNextStartWorks) {
  Application app;
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  uint32_t first = app.Window();
  uint32_t second = app.Window();
  ASSERT_EQ(app.Request(first, "SLEEP", 0, 10000).rc, 0);
  ASSERT_EQ(app.Request(second, "SLEEP", 20000, 10000).rc, 0);
  ASSERT_EQ(kill(static_cast<pid_t>(ctrlblk::Anchor().ulCPMgrPid), SIGKILL), 0);

  // The application's own watch answers, well before the host would.
  for (uint32_t hwnd : {first, second}) {
    Answer answer = app.Wait(hwnd, 2s);
    ASSERT_EQ(answer.kind, "code") << answer.line;
    EXPECT_EQ(answer.code, VQZM_RC_CPMGR_ENDED);
    EXPECT_EQ(answer.freed, 0);
  }
  EXPECT_EQ(Records(), 0u);
  ExpectNothingMore(app, first);

  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  Sent echo = app.Request(first, "ECHO", 100, 1);
  ASSERT_EQ(echo.rc, 0);
  EXPECT_EQ(app.Wait(first).rid, echo.rid);
}

TEST_F(AsyncEndToEnd, AnAnswerForAFullQueueWaitsUntilTheQueueHasRoomAndComesOnce) {
  Application app;
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  uint32_t hwnd = app.Window();
  ASSERT_EQ(app.Do("flood " + std::to_string(hwnd)),
            std::to_string(kQueueLimit) + " " + std::to_string(VQZM_RC_INTERNAL_ERROR));
  Sent sent = app.Request(hwnd, "ECHO", 20000, 41);
  ASSERT_EQ(sent.rc, 0);
  ASSERT_TRUE(HostAnswered(sent.rid)) << host_.LogText();
  // The post failed: the manager keeps the converted answer and tries again.
  EXPECT_TRUE(Eventually([&] {
    std::optional<AsyncRetStruct> record = Record(sent.rid);
    return record && V(record->usPostState) == 41;
  })) << ManagerLog();
  EXPECT_EQ(app.Do("flood " + std::to_string(hwnd)), "0 " + std::to_string(VQZM_RC_INTERNAL_ERROR))
      << "the queue still holds only the test's messages";

  int fillers = 0, answers = 0;
  sscanf(app.Do("drain " + std::to_string(hwnd)).c_str(), "%d %d", &fillers, &answers);
  EXPECT_EQ(fillers, kQueueLimit);
  EXPECT_LE(answers, 1);
  Answer answer = app.Wait(hwnd, 5s);
  EXPECT_EQ(answer.rid, sent.rid) << answer.line;
  EXPECT_TRUE(answer.same);
  EXPECT_EQ(answer.value, 41u);
  ExpectNothingMore(app, hwnd);
  EXPECT_TRUE(Deleted(sent.rid));
}

// ---- Calls refused ----

TEST_F(AsyncEndToEnd, RefusedSendsLeaveNoRecordAndAnInactiveSystemMakesNoRid) {
  Application app;
  uint32_t conv = 0;
  ASSERT_EQ(app.Start("HOSTA", &conv), 0) << ManagerLog();
  uint32_t hwnd = app.Window();

  // Every data-queue write of this application fails.
  Application failing(ChildProcess::Env{{"ZEL_FAULTS", "qlxDQ_Write:1+"}});
  ASSERT_EQ(failing.Start("HOSTA"), 0) << ManagerLog();
  Sent lost = failing.Request(failing.Window(), "ECHO", 20000, 3);
  EXPECT_NE(lost.rc, 0);
  EXPECT_NE(lost.rid, kNoRid) << "the RID was made before the send failed";
  EXPECT_FALSE(Record(lost.rid)) << "a failed send left its record";
  EXPECT_EQ(Records(), 0u);

  EXPECT_EQ(app.Do("conv " + std::to_string(conv + 1000)), "ok");
  Sent unissued = app.Request(hwnd, "ECHO", 5, 5);
  EXPECT_EQ(unissued.rc, VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_EQ(unissued.rid, kNoRid);
  EXPECT_EQ(app.Do("conv " + std::to_string(conv)), "ok");

  // The PWS's connections dropped in the middle of an answer: the system
  // stops, and the conversation stays issued.
  Sent outstanding = app.Request(hwnd, "SLEEP", 10, 60000);
  ASSERT_EQ(outstanding.rc, 0);
  ASSERT_EQ(host_.Control("fault drop-mid-reply").rfind("ok", 0), 0u);
  EXPECT_NE(app.Rc("sync 20000"), 0);
  ASSERT_TRUE(Eventually([] {
    RZ700SysStruct* system = System("HOSTA");
    return system != nullptr && system->usCommState == ZEL_COMM_STOPPED;
  })) << ManagerLog();
  std::string sequence(System("HOSTA")->achRIDSeq, 4);
  Sent inactive = app.Request(hwnd, "ECHO", 5, 5);
  EXPECT_EQ(inactive.rc, VQZM_RC_NOT_ACTIVE) << ManagerLog();
  EXPECT_EQ(inactive.rid, kNoRid);
  EXPECT_EQ(std::string(System("HOSTA")->achRIDSeq, 4), sequence) << "a RID was made";
  EXPECT_EQ(app.Abort(outstanding.rid), VQZM_RC_NOT_ACTIVE) << "no active system has the RID";
}

// ---- Named RIDs ----

TEST_F(AsyncEndToEnd, ANamedRidIsFoundOnceWhetherPublishedBeforeOrDuringTheWait) {
  Application owner;
  Application other;
  ASSERT_EQ(owner.Start("HOSTA"), 0) << ManagerLog();
  ASSERT_EQ(other.Start("HOSTA"), 0) << ManagerLog();
  uint32_t hwnd = owner.Window();

  auto retrieve = [&](const std::string& name, int timeout) {
    std::istringstream in(other.Do("rtvname " + name + " " + std::to_string(timeout)));
    Sent found;
    long millis = -1;
    in >> found.rc >> found.rid >> millis;
    return std::make_pair(found, Millis(millis));
  };
  auto [once, once_took] = retrieve("NONAME", 0);
  EXPECT_EQ(once.rc, VQZM_RC_TIMED_OUT);
  EXPECT_LT(once_took, 1000ms) << "a time-out of 0 looks once";
  auto [late, late_took] = retrieve("NONAME", 3);
  EXPECT_EQ(late.rc, VQZM_RC_TIMED_OUT);
  EXPECT_GE(late_took, 2500ms);
  EXPECT_LE(late_took, 6000ms);

  Sent first = owner.Request(hwnd, "SLEEP", 10, 60000);
  ASSERT_EQ(first.rc, 0);
  ASSERT_EQ(owner.Rc("publish EARLY " + first.rid), 0);
  Sent early = retrieve("EARLY", 5).first;
  EXPECT_EQ(early.rc, 0);
  EXPECT_EQ(early.rid, first.rid);
  EXPECT_EQ(retrieve("EARLY", 0).first.rc, VQZM_RC_TIMED_OUT) << "a name is handed out once";

  // The other process waits for a name that appears while it waits.
  Sent second = owner.Request(hwnd, "SLEEP", 20, 60000);
  ASSERT_EQ(second.rc, 0);
  other.Send("rtvname DURING 20");
  Clock::time_point published = Clock::now() + 1500ms;
  std::this_thread::sleep_until(published);
  ASSERT_EQ(owner.Rc("publish DURING " + second.rid), 0);
  std::istringstream in(other.Report());
  Sent during;
  long millis = -1;
  in >> during.rc >> during.rid >> millis;
  auto returned = Clock::now();
  EXPECT_EQ(during.rc, 0);
  EXPECT_EQ(during.rid, second.rid);
  EXPECT_GE(Millis(millis), 1000ms) << "the name came while the other process waited";
  EXPECT_LT(returned - published, 3000ms) << "found at the next look after the publish";

  // What the name is for: the other process withdraws the owner's request.
  EXPECT_EQ(other.Abort(during.rid), 0);
  EXPECT_EQ(Aborted(second.rid), 1);
  EXPECT_EQ(owner.Abort("-", hwnd), 0);

  // A name goes with its request's answer.
  Sent answered = owner.Request(hwnd, "SLEEP", 30, 1000);
  ASSERT_EQ(answered.rc, 0);
  ASSERT_EQ(owner.Rc("publish ANSWERED " + answered.rid), 0);
  EXPECT_EQ(owner.Wait(hwnd).rid, answered.rid);
  EXPECT_TRUE(Eventually([] { return cbRetNamedAsyncFromName("ANSWERED") == nullptr; }));
  EXPECT_EQ(retrieve("ANSWERED", 0).first.rc, VQZM_RC_TIMED_OUT);
}

// ---- Load ----

TEST_F(AsyncEndToEnd, FourProcessesOfAThousandRequestsGetEveryAnswerOnceAndLeakNothing) {
  constexpr int kProcesses = 4, kRequests = 1000;
  std::vector<std::unique_ptr<Application>> apps;
  for (int i = 0; i < kProcesses; ++i) {
    apps.push_back(std::make_unique<Application>());
    ASSERT_EQ(apps.back()->Start("HOSTA"), 0) << ManagerLog();
    ASSERT_EQ(apps.back()->Do("load 2 " + std::to_string(i)).rfind("ok", 0), 0u) << ManagerLog();
  }
  HeapUse before = CurrentUse();
  Clock::time_point begin = Clock::now();
  for (int i = 0; i < kProcesses; ++i) {
    apps[i]->Send("load " + std::to_string(kRequests) + " " + std::to_string(i + 10));
  }
  std::set<std::string> rids;
  for (auto& app : apps) {
    std::istringstream report(app->Report(600s));
    std::string word;
    report >> word;
    ASSERT_EQ(word, "ok") << report.str() << "\n" << ManagerLog();
    while (report >> word) rids.insert(word);
  }
  auto seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  RecordProperty("seconds", std::to_string(seconds));
  EXPECT_EQ(rids.size(), size_t{kProcesses * kRequests}) << "a RID was handed out twice";
  EXPECT_TRUE(BackTo(before)) << CurrentUse() << " against " << before;
  EXPECT_EQ(Records(), 0u);
}

}  // namespace
}  // namespace zel::test
