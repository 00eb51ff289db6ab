// Synchronous requests from end to end: applications in child processes
// call the component against a real zelhost on loopback and the real
// communication manager of this build. zelhost's verbose log shows every
// entry written and read on the data queue, with its length and key; its
// RRP refuses request entries whose block lengths and bytes left do not add
// up, and the application's retrieval refuses such reply entries, so a
// reply that comes back byte for byte, in entries of the right lengths and
// keys, was split as the senders must split it.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "tests/api/obtain_mutex.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/waits.h"
#include "tests/harness/request_data.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"
#include "zelapp.h"

namespace zel::test {
namespace {

using Clock = std::chrono::steady_clock;


// ---- The application ----

// An application process: it starts communication, makes requests and
// reports each outcome as one line. With the argument "traced" it also
// records the waits of its RRP obtains.
class AppSession {
 public:
  explicit AppSession(bool traced) {
    if (traced) capture_.emplace();
  }

  // One command of the test; the line to report.
  std::string Run(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "start") return Start(in);
    if (verb == "stop") return std::to_string(caStopZELComm(conv_));
    if (verb == "conv") return in >> conv_ ? "ok" : "bad conv";
    if (verb == "call") return Call(in);
    if (verb == "packets") return CallPackets(in);
    if (verb == "retrieve") return Retrieve(in);
    if (verb == "clear") return Clear(in);
    if (verb == "waits") return Waits();
    if (verb == "threads") return Threads(in);
    return "unknown command " + line;
  }

 private:
  std::string Start(std::istringstream& in) {
    std::string system;
    in >> system;
    uint16_t rc = caInitializeZELComm(system.c_str(), 0, 0, 0, &conv_, 0);
    return std::to_string(rc) + " " + std::to_string(conv_);
  }

  // "call PROGRAM SIZE VALUE TIMEOUT": data Pattern(SIZE, VALUE), version 0.
  // Reports "RC LENGTH VALUE VERSION SAME NULL RID": SAME 1 when the reply
  // equals the request data, NULL 1 when no reply block came.
  std::string Call(std::istringstream& in) {
    std::string program;
    uint32_t size = 0, value = 0, timeout = 0;
    in >> program >> size >> value >> timeout;
    std::string data = Pattern(size, value);
    ProcessReply reply{};
    uint16_t rc = Request(program, data, value, 0, timeout, reply);
    bool same = Same(reply.pData, reply.ulDataLen, data);
    bool null = reply.pData == nullptr;
    zelFreeBlock(reply.pData);
    uint32_t length = reply.ulDataLen, reply_value = reply.ulValue;
    uint32_t version = reply.ulDataVersion;
    std::ostringstream out;
    out << rc << " " << length << " " << reply_value << " " << version << " " << same << " " << null
        << " " << std::string(reply.achRID, ZEL_RID_LEN);
    return out.str();
  }

  // "packets sb|db": PKTECHO of Packets(); "RC VERSION SAME PC_LENGTH RID".
  std::string CallPackets(std::istringstream& in) {
    std::string kind;
    in >> kind;
    std::string data = Packets(kind == "db");
    ProcessReply reply{};
    uint16_t rc = Request("PKTECHO", data, 5, 1, 30, reply);
    bool same = Same(reply.pData, reply.ulDataLen, data);
    zelFreeBlock(reply.pData);
    uint32_t version = reply.ulDataVersion;
    std::ostringstream out;
    out << rc << " " << version << " " << same << " " << data.size() << " "
        << std::string(reply.achRID, ZEL_RID_LEN);
    return out.str();
  }

  // "retrieve RID TIMEOUT SIZE VALUE": caRtvData of a reply expected to
  // equal Pattern(SIZE, VALUE); "RC SAME".
  std::string Retrieve(std::istringstream& in) {
    std::string rid;
    uint32_t timeout = 0, size = 0, value = 0;
    in >> rid >> timeout >> size >> value;
    RtvDataParms parms{};
    parms.pRID = rid.data();
    parms.ulTimeout = timeout;
    RtvDataResult result{};
    uint16_t rc = caRtvData(&parms, &result);
    bool same = Same(result.pData, result.ulDataLen, Pattern(size, value));
    zelFreeBlock(result.pData);
    return std::to_string(rc) + " " + std::to_string(same);
  }

  std::string Clear(std::istringstream& in) {
    std::string rid;
    in >> rid;
    return std::to_string(caClearData(rid.c_str()));
  }

  // The waits of the ready-entry reads since the last look, in order.
  std::string Waits() {
    if (!capture_) return "not traced";
    std::string waits;
    bool ready_key = false;
    for (const CapturedRecord& record : capture_->Records()) {
      if (record.text == "key to be read(Temp)") ready_key = record.string == "FFFFFFFFFFFF";
      if (record.text == "Time out value:" && ready_key) {
        waits += (waits.empty() ? "" : " ") + std::to_string(static_cast<int32_t>(record.value));
      }
    }
    capture_->Clear();
    return waits;
  }

  // "threads N COUNT": N threads make COUNT ECHO requests each, of data
  // that no other request carries, 0 to 20,000 bytes. "ok RID..." with
  // every request's RID, or the first failure.
  std::string Threads(std::istringstream& in) {
    int threads = 0, count = 0;
    in >> threads >> count;
    std::vector<std::vector<std::string>> rids(threads);
    std::vector<std::string> failures(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] { failures[t] = EchoMany(t, count, rids[t]); });
    }
    for (std::thread& worker : workers) worker.join();
    std::string report = "ok";
    for (int t = 0; t < threads; ++t) {
      if (!failures[t].empty()) return failures[t];
      for (const std::string& rid : rids[t]) report += " " + rid;
    }
    return report;
  }

  // One thread's requests; empty when every reply was its request's data.
  std::string EchoMany(int thread, int count, std::vector<std::string>& rids) {
    for (int r = 0; r < count; ++r) {
      std::string tag =
          std::to_string(getpid()) + "/" + std::to_string(thread) + "/" + std::to_string(r) + "/";
      std::string data = tag + Pattern((r * 4099 + thread * 977) % 20000, thread * 31 + r);
      ProcessReply reply{};
      uint16_t rc = Request("ECHO", data, static_cast<uint32_t>(r), 0, 60, reply);
      bool same = Same(reply.pData, reply.ulDataLen, data) && reply.ulValue == uint32_t(r);
      zelFreeBlock(reply.pData);
      if (rc != 0 || !same)
        return "request " + tag + " rc " + std::to_string(rc) + " same " + std::to_string(same);
      rids.emplace_back(reply.achRID, ZEL_RID_LEN);
    }
    return {};
  }

  uint16_t Request(const std::string& program, const std::string& data, uint32_t value,
                   uint32_t version, uint32_t timeout, ProcessReply& reply) const {
    ProcessRequest request{};
    request.ulConvId = conv_;
    std::snprintf(request.szPgmName, sizeof request.szPgmName, "%s", program.c_str());
    request.ulValue = value;
    request.ulDataVersion = version;
    request.pData = const_cast<char*>(data.data());
    request.ulDataLen = static_cast<uint32_t>(data.size());
    request.ulTimeout = timeout;
    return caProcessSync(&request, &reply);
  }

  static bool Same(const void* block, uint32_t length, const std::string& expected) {
    if (length != expected.size()) return false;
    return length == 0 || std::memcmp(block, expected.data(), length) == 0;
  }

  uint32_t conv_ = 0;
  std::optional<TraceCapture> capture_;
};

ZEL_CHILD_COMMAND(sync_application) {
  AppSession session(!args.empty() && args[0] == "traced");
  return ServeCommands(session, 50);
}

// What a "call" reported.
struct Reply {
  int rc = -1;
  uint32_t length = 0;
  uint32_t value = 0;
  uint32_t version = 0;
  bool same = false;
  bool null = false;
  std::string rid;
};

// The test's side of an application process.
class Application {
 public:
  explicit Application(ChildProcess::Env env = {}, bool traced = false)
      : process_(ChildProcess::Start(
            "sync_application",
            traced ? std::vector<std::string>{"traced"} : std::vector<std::string>{},
            std::move(env))) {
    EXPECT_TRUE(process_.Expect("ready"));
  }
  ~Application() {
    if (!process_.running()) return;
    process_.Send("end");
    process_.Wait();
  }

  // The command's report; "" when none came within `limit`.
  std::string Do(const std::string& command, Millis limit = 100s) {
    Send(command);
    return Report(limit);
  }
  void Send(const std::string& command) { process_.Send(command); }
  std::string Report(Millis limit = 100s) { return process_.ReadLine(limit).value_or(""); }

  // The start's code; its conversation in `conv`.
  int Start(const std::string& system, uint32_t* conv = nullptr) {
    int rc = -1;
    uint32_t id = 0;
    sscanf(Do("start " + system).c_str(), "%d %u", &rc, &id);
    if (conv != nullptr) *conv = id;
    return rc;
  }

  Reply Call(const std::string& program, uint32_t size, uint32_t value, uint32_t timeout = 60) {
    std::istringstream in(Do("call " + program + " " + std::to_string(size) + " " +
                             std::to_string(value) + " " + std::to_string(timeout)));
    Reply reply;
    in >> reply.rc >> reply.length >> reply.value >> reply.version >> reply.same >> reply.null >>
        reply.rid;
    return reply;
  }

  int Rc(const std::string& command) {
    std::string line = Do(command);
    return line.empty() ? -1 : std::atoi(line.c_str());
  }

 private:
  ChildProcess process_;
};

// ---- What the test reads ----

// The lengths of the entries zelhost logged as `what` ("write" or "read")
// under `key`, in order; a line counted as repeated stands for its repeats.
std::vector<size_t> EntryLengths(const std::string& log, const std::string& what,
                                 const std::string& key) {
  const std::string marker = what == "write" ? ": write " : " ends: rc 0, ";
  std::vector<size_t> lengths;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    size_t at = line.find(marker);
    size_t key_at = line.find(", key " + key);
    if (at == std::string::npos || key_at == std::string::npos) continue;
    size_t length = std::stoul(line.substr(at + marker.size()));
    // A count of repeats stands for the lines after the one written.
    size_t times = 1;
    if (size_t repeated = line.find(" (repeated ", key_at); repeated != std::string::npos) {
      times = std::stoul(line.substr(repeated + 11));
    }
    lengths.insert(lengths.end(), times, length);
  }
  return lengths;
}

// The number after `field` (" entries=") in zelhost's list, in the line
// that names `after` (" pws=AAA"); -1 when there is none.
int ListField(const std::string& list, const std::string& after, const std::string& field) {
  size_t line = list.find(after);
  size_t at = line == std::string::npos ? line : list.find(field, line);
  return at == std::string::npos ? -1 : std::atoi(list.c_str() + at + field.size());
}

// The PWSs zelhost serves: sign-on connections given a PWS ID.
size_t ServedPws(const std::string& list) { return Count(list, " pws=") - Count(list, " pws=-"); }

class SyncEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
  }

  static RZ700SysStruct* System(const char* name) {
    RZ700SysStruct* system = nullptr;
    return cbFindRZ700SysByName(name, &system) == 0 ? system : nullptr;
  }

  static bool Stopped(const char* name) {
    RZ700SysStruct* system = System(name);
    return system != nullptr && system->usCommState == ZEL_COMM_STOPPED;
  }
};

// Entries of 8192 data bytes and a 128-byte header: a request of N bytes
// goes out as "A" + RID and then "B" + RID entries, its reply comes back as
// "S" + RID entries, each of these lengths.
std::vector<size_t> ExpectedEntries(size_t size) {
  std::vector<size_t> lengths;
  for (size_t left = size; left > 0; left -= std::min<size_t>(left, 8192)) {
    lengths.push_back(128 + std::min<size_t>(left, 8192));
  }
  if (lengths.empty()) lengths.push_back(128);
  return lengths;
}

TEST_F(SyncEndToEnd, EchoComesBackByteForByteInEntriesSplitAsTheSendersMust) {
  HostServer host({"--verbose"});
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app;
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  for (uint32_t size : {0u, 1u, 8192u, 8193u, 20000u, kMiB}) {
    SCOPED_TRACE("size " + std::to_string(size));
    Reply reply = app.Call("ECHO", size, size);
    ASSERT_EQ(reply.rc, 0);
    EXPECT_TRUE(reply.same);
    EXPECT_EQ(reply.length, size);
    EXPECT_EQ(reply.value, size);
    EXPECT_EQ(reply.version, 0u);
    EXPECT_EQ(reply.null, size == 0) << "an empty reply hands no block";
    std::vector<size_t> expected = ExpectedEntries(size);
    // zelhost writes a run of like lines as one, once it goes idle.
    std::string log;
    EXPECT_TRUE(Eventually([&] {
      log = host.LogText();
      return EntryLengths(log, "read", "S" + reply.rid).size() >= expected.size();
    }));
    std::vector<size_t> sent = EntryLengths(log, "write", "A" + reply.rid);
    std::vector<size_t> further = EntryLengths(log, "write", "B" + reply.rid);
    sent.insert(sent.end(), further.begin(), further.end());
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(EntryLengths(log, "write", "A" + reply.rid).size(), 1u);
    EXPECT_EQ(EntryLengths(log, "read", "S" + reply.rid), expected);
  }
  EXPECT_TRUE(ObtainMutexFree());
}

TEST_F(SyncEndToEnd, PacketDataIsConvertedBothWaysWithSingleAndDoubleByteCodePages) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  struct Pair {
    const char* kind;
    const char* pc_code_page;
    const char* host_ccsid;
    size_t host_growth;  // shift-out and shift-in around the double-byte run
  };
  for (const Pair& pair : {Pair{"sb", "1252", "37", 0}, Pair{"db", "932", "939", 2}}) {
    SCOPED_TRACE(pair.pc_code_page);
    Application app({{"ZEL_PC_CODEPAGE", pair.pc_code_page}, {"ZEL_HOST_CCSID", pair.host_ccsid}});
    ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
    std::istringstream in(app.Do(std::string("packets ") + pair.kind));
    int rc = -1, same = 0;
    uint32_t version = 0;
    size_t pc_length = 0;
    std::string rid;
    in >> rc >> version >> same >> pc_length >> rid;
    // zelhost echoes only packets in host form: big-endian lengths that
    // add up. Back on the PC they are the application's packets again.
    EXPECT_EQ(rc, 0) << host.LogText();
    EXPECT_EQ(version, 1u);
    EXPECT_TRUE(same);
    std::string request = "request " + rid + " for PKTECHO, " +
                          std::to_string(pc_length + pair.host_growth) + " bytes";
    EXPECT_NE(host.LogText().find(request), std::string::npos) << request << "\n" << host.LogText();
    EXPECT_EQ(app.Rc("stop"), 0);
  }
}

TEST_F(SyncEndToEnd, HostCodesTimeOutsLateRepliesAndConversationsThatAreNotIssued) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app;
  uint32_t conv = 0;
  ASSERT_EQ(app.Start("HOSTA", &conv), 0) << ManagerLog();

  EXPECT_EQ(app.Call("RETCODE", 0, 16).rc, 16);
  Reply empty = app.Call("RETCODE", 0, 0);
  EXPECT_EQ(empty.rc, 0);
  EXPECT_TRUE(empty.null);
  EXPECT_EQ(empty.length, 0u);
  EXPECT_EQ(app.Call("NOSUCHPGM", 10, 1).rc, 28673);

  // SLEEP answers after `value` ms; the caller waits 1 s for it.
  Reply late = app.Call("SLEEP", 100, 2500, 1);
  EXPECT_EQ(late.rc, VQZM_RC_TIMED_OUT);
  EXPECT_EQ(app.Do("retrieve " + late.rid + " 10 100 2500"), "0 1");
  EXPECT_EQ(app.Rc("clear " + late.rid), VQZM_RC_NOTHING_TO_CLEAR);

  Reply cleared = app.Call("SLEEP", 100, 1500, 1);
  EXPECT_EQ(cleared.rc, VQZM_RC_TIMED_OUT);
  ASSERT_TRUE(Eventually(
      [&] { return host.LogText().find("reply S" + cleared.rid) != std::string::npos; }));
  EXPECT_EQ(app.Rc("clear " + cleared.rid), 0);
  EXPECT_EQ(app.Rc("clear " + cleared.rid), VQZM_RC_NOTHING_TO_CLEAR);
  EXPECT_EQ(app.Do("retrieve " + cleared.rid + " 1 100 1500"),
            std::to_string(VQZM_RC_TIMED_OUT) + " 0");
  EXPECT_EQ(app.Call("ECHO", 5, 5).rc, 0) << "the system serves on";

  EXPECT_EQ(app.Do("conv 0"), "ok");
  EXPECT_EQ(app.Call("ECHO", 5, 5).rc, VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_EQ(app.Do("conv " + std::to_string(conv)), "ok");
  EXPECT_EQ(app.Rc("stop"), 0);
  EXPECT_EQ(app.Call("ECHO", 5, 5).rc, VQZM_RC_CONV_NOT_ISSUED) << "a released conversation";
  EXPECT_TRUE(ObtainMutexFree());
}

TEST_F(SyncEndToEnd, APwsDroppedInTheMiddleOfAReplyFailsTheRequestAndALaterStartWorks) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app;
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  ASSERT_EQ(host.Control("fault drop-mid-reply").rfind("ok", 0), 0u);
  Clock::time_point begin = Clock::now();
  int rc = app.Call("ECHO", 20000, 3).rc;
  EXPECT_TRUE(rc == VQZM_RC_CONNECTION_FAILED || rc == VQZM_RC_DATA_QUEUE_ERROR ||
              rc == VQZM_RC_INTERNAL_ERROR)
      << rc;
  EXPECT_LT(Clock::now() - begin, 70s) << "within the 30 s wait for a further entry";
  EXPECT_NE(host.LogText().find("fault: dropped after the first entry of a reply"),
            std::string::npos);

  ASSERT_TRUE(Eventually([] { return Stopped("HOSTA"); })) << ManagerLog();
  EXPECT_EQ(app.Call("ECHO", 5, 5).rc, VQZM_RC_NOT_ACTIVE) << "the system went";
  EXPECT_TRUE(ObtainMutexFree());
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  Reply again = app.Call("ECHO", 20000, 4);
  EXPECT_EQ(again.rc, 0);
  EXPECT_TRUE(again.same);
}

TEST_F(SyncEndToEnd, TwoProcessesOfEightThreadsEachGetTheirOwnRepliesNoneLostNoneTwice) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application first;
  Application second;
  ASSERT_EQ(first.Start("HOSTA"), 0) << ManagerLog();
  ASSERT_EQ(second.Start("HOSTA"), 0) << ManagerLog();
  constexpr int kThreads = 8, kRequests = 10, kAll = 2 * kThreads * kRequests;
  std::string command = "threads " + std::to_string(kThreads) + " " + std::to_string(kRequests);
  first.Send(command);
  second.Send(command);
  std::set<std::string> rids;
  for (Application* app : {&first, &second}) {
    std::istringstream report(app->Report(300s));
    std::string word;
    report >> word;
    ASSERT_EQ(word, "ok") << report.str();
    while (report >> word) rids.insert(word);
  }
  EXPECT_EQ(rids.size(), size_t{kAll}) << "a RID was handed out twice";
  std::string log = host.LogText();
  EXPECT_EQ(Count(log, ": reply S"), size_t{kAll});
  // Nothing is left on the queue but the ready entries (once zelhost has
  // taken the last reader's commit, which travels on another connection).
  std::string list;
  EXPECT_TRUE(Eventually([&] {
    list = host.Control("list");
    return ListField(list, "queue ", " entries=") == ListField(list, " pws=AAA", " ready=");
  })) << list;
  EXPECT_TRUE(ObtainMutexFree());
}

TEST_F(SyncEndToEnd, TheObtainWaitsLongOnlyFirstAndStartsAFurtherRrpWhenNoneIsReady) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  Application app({}, true);
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  ASSERT_EQ(app.Call("ECHO", 10, 1).rc, 0);
  ASSERT_EQ(app.Call("ECHO", 10, 2).rc, 0);
  EXPECT_EQ(app.Do("waits"), "90 1");

  // Every RRP held busy: the obtain asks the manager for a further one and
  // waits for its ready entry.
  ASSERT_EQ(host.Control("hold all").rfind("ok", 0), 0u);
  Reply further = app.Call("ECHO", 10, 3);
  EXPECT_EQ(further.rc, 0) << host.LogText();
  EXPECT_TRUE(further.same);
  EXPECT_EQ(app.Do("waits"), "1 180");
  EXPECT_EQ(ListField(host.Control("list"), " pws=AAA", " rrps="), 2) << host.Control("list");
  EXPECT_TRUE(ObtainMutexFree());
  ASSERT_EQ(host.Control("release all").rfind("ok", 0), 0u);

  // The next start waits long again.
  EXPECT_EQ(app.Rc("stop"), 0);
  ASSERT_TRUE(Eventually([] { return Stopped("HOSTA"); })) << ManagerLog();
  ASSERT_EQ(app.Start("HOSTA"), 0) << ManagerLog();
  ASSERT_EQ(app.Call("ECHO", 10, 4).rc, 0);
  EXPECT_EQ(app.Do("waits"), "90");

  // The manager is gone, its state still saying it runs: a request fails
  // at once with 1056, without an obtain, and leaves "OBTRRP" free.
  ASSERT_EQ(host.Control("hold all").rfind("ok", 0), 0u);
  uint32_t manager = GetZELAnchorCB()->ulCPMgrPid;
  ASSERT_EQ(kill(static_cast<pid_t>(manager), SIGKILL), 0);
  ASSERT_TRUE(Eventually([&] { return ServedPws(host.Control("list")) == 0; }))
      << "zelhost ends the PWS with the manager's connection";
  EXPECT_EQ(app.Call("ECHO", 10, 5, 5).rc, VQZM_RC_CPMGR_ENDED);
  EXPECT_EQ(app.Do("waits"), "");
  EXPECT_TRUE(ObtainMutexFree());
}

}  // namespace
}  // namespace zel::test
