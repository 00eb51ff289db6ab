// The trace and error-point service: record contents and rendering, the
// error-point ring, thread launch, the double-byte test, and records of many
// threads in several processes sharing one trace file.
#include "base/trace.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/harness/trace_capture.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// The fields of a record line: date, time, pid, tid, tag, number, op, body.
struct ParsedLine {
  std::string date, time, pid, tid, tag, number, op, body;
};

bool Parse(const std::string& line, ParsedLine& out) {
  std::istringstream in(line);
  if (!(in >> out.date >> out.time >> out.pid >> out.tid >> out.tag >> out.number >> out.op)) {
    return false;
  }
  std::getline(in, out.body);
  if (!out.body.empty() && out.body[0] == ' ') out.body.erase(0, 1);
  return out.date.size() == 10 && out.time.size() == 15 && out.time[8] == '.';
}

class TraceFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(btTraceOpen(path_.c_str()), 0); }
  void TearDown() override { btTraceOpen(nullptr); }

  std::vector<ParsedLine> Lines() {
    std::vector<ParsedLine> parsed;
    for (const std::string& line : ReadLines(path_)) {
      ParsedLine p;
      EXPECT_TRUE(Parse(line, p)) << line;
      parsed.push_back(p);
    }
    return parsed;
  }

  std::string path_ = TestPath("trace.log");
};

TEST_F(TraceFileTest, EveryOperationRendersOneLineWithTagNumberAndValue) {
  EXPECT_NE(btTraceActive, 0);
  const unsigned char key[] = {0xE9, 0xC1, 0xF0, 0x40};
  btTraceEntry("CA", "caProcessSync");
  btTraceMsg("CB", 100, "a plain message");
  btTraceRc("CM", -100, "error returned from cmInitCPMStateSem() rc=", 1026);
  btTraceSysRc("CM", -200, "WaitForSingleObject() error rc=", 0xFFFFFFFFu);
  btTraceSize("CD", 50, "malloc() error size=", 8320);
  btTraceResult("CC", 60, "PostMessage() rc AsyncRet Msg", 1);
  btTraceLimit("CD", 70, "Time out value:", 30);
  btTraceValue("CS", 80, 7);
  btTraceString("CT", 90, "System: ", "ZELSYS");
  btTraceDump("CK", 91, "header", "ZEL/700000", 10);
  btTraceKey("PT", 92, "key", key, sizeof key);
  btTraceBytes("CD", 93, "\x00\x34\x12\xFF", 4);
  btTraceExit("CA", "caProcessSync");

  std::vector<ParsedLine> lines = Lines();
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0].tag, "CA");
  EXPECT_EQ(lines[0].op, "Entry");
  EXPECT_EQ(lines[0].body, "caProcessSync");
  EXPECT_EQ(lines[1].number, "100");
  EXPECT_EQ(lines[1].body, "a plain message");
  EXPECT_EQ(lines[2].number, "-100");
  EXPECT_EQ(lines[2].op, "Rc");
  EXPECT_EQ(lines[2].body, "error returned from cmInitCPMStateSem() rc= 1026 (0x402)");
  EXPECT_EQ(lines[3].body, "WaitForSingleObject() error rc= 4294967295 (0xffffffff)");
  EXPECT_EQ(lines[4].op, "Size");
  EXPECT_EQ(lines[5].op, "Result");
  EXPECT_EQ(lines[6].op, "Limit");
  EXPECT_EQ(lines[7].body, "7 (0x7)");
  EXPECT_EQ(lines[8].body, "System:  ZELSYS");
  EXPECT_EQ(lines[9].body, "header [10] 5A454C2F 37303030 3030 |ZEL/700000|");
  EXPECT_EQ(lines[10].op, "Key");
  EXPECT_EQ(lines[10].body, "key [4] E9C1F040 |ZA0 |");  // keys are shown as EBCDIC
  EXPECT_EQ(lines[11].body, "[4] 003412FF |.4..|");
  EXPECT_EQ(lines[12].op, "Exit");
  for (const ParsedLine& line : lines) {
    EXPECT_EQ(line.pid, std::to_string(getpid()));
  }
}

TEST_F(TraceFileTest, ControlCharactersAndLongDumpsStayOnOneLine) {
  btTraceMsg("CA", 1, "two\nlines\tand a tab");
  std::string big(10000, 'x');
  btTraceDump("CD", 2, "big", big.data(), static_cast<uint32_t>(big.size()));
  std::vector<ParsedLine> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].body, "two\\nlines\\x09and a tab");
  EXPECT_NE(lines[1].body.find("[10000]"), std::string::npos);
  EXPECT_NE(lines[1].body.find("(+5904 bytes not shown)"), std::string::npos);
}

TEST_F(TraceFileTest, ErrorPointsAreWrittenWhileTracingIsOn) {
  EXPECT_NE(btErrorPoint("ue", 321, "EXT_SYS_NOT_FOUND", "Vqzmca1"), 0);
  std::vector<ParsedLine> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].tag, "ue");
  EXPECT_EQ(lines[0].number, "321");
  EXPECT_EQ(lines[0].op, "ErrorPoint");
  EXPECT_EQ(lines[0].body, "EXT_SYS_NOT_FOUND Vqzmca1");
}

TEST(TraceSwitch, OffByDefaultAndNothingIsWritten) {
  if (getenv("ZEL_TRACE") != nullptr) GTEST_SKIP() << "ZEL_TRACE is set for this run";
  EXPECT_EQ(btTraceActive, 0);
  btTraceMsg("CA", 1, "not written");  // must not crash without a destination
  EXPECT_FALSE(zel::trace::Active());
}

TEST(TraceSwitch, AnUnopenableFileLeavesTracingOff) {
  EXPECT_NE(btTraceOpen((TestDir() + "/no/such/dir/trace.log").c_str()), 0);
  EXPECT_EQ(btTraceActive, 0);
}

TEST(ErrorPoints, AreKeptInTheRingWithTracingOff) {
  ASSERT_EQ(btTraceActive, 0);
  for (int i = 0; i < 70; ++i) {
    std::string label = "EXT_LABEL_" + std::to_string(i);
    EXPECT_NE(btErrorPoint("ue", 1000 + i, label.c_str(), "vqzmcb0"), 0);
  }
  BtErrorPointRecord records[100];
  uint32_t n = btGetErrorPoints(records, 100);
  ASSERT_EQ(n, 64u);
  EXPECT_STREQ(records[0].label, "EXT_LABEL_6");  // the six oldest were overwritten
  EXPECT_EQ(records[63].line, 1069);
  EXPECT_STREQ(records[63].module, "vqzmcb0");
  EXPECT_EQ(btGetErrorPoints(records, 2), 2u);
  EXPECT_STREQ(records[1].label, "EXT_LABEL_69");
}

ZEL_MODULE("trace_test")

TEST(ErrorPoints, CaptureSeesLabelModuleAndTracedTexts) {
  TraceCapture capture;
  EXPECT_NE(btTraceActive, 0);
  if (ZEL_ERROR_POINT("EXT_REQ_COUNT_SEM")) {
    zel::trace::Rc("CB", -100, "WaitForSingleObject() error rc=", 1028);
  }
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_REQ_COUNT_SEM", "trace_test"));
  EXPECT_FALSE(capture.RaisedErrorPoint("EXT_REQ_COUNT_SEM", "vqzmcb0"));
  EXPECT_TRUE(capture.TracedValue("WaitForSingleObject() error rc=", 1028));
  EXPECT_FALSE(capture.TracedValue("WaitForSingleObject() error rc=", 1026));
}

TEST(ErrorPoints, FunctionScopeTracesEntryAndExitOnEveryReturn) {
  TraceCapture capture;
  auto f = [](bool early) {
    ZEL_TRACE_FUNCTION("CA", "caProbe");
    if (early) return 1;
    return 2;
  };
  f(true);
  f(false);
  std::vector<CapturedRecord> records = capture.Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].op, "Entry");
  EXPECT_EQ(records[1].op, "Exit");
  EXPECT_EQ(records[3].op, "Exit");
  EXPECT_EQ(records[3].text, "caProbe");
}

TEST(SysErrorText, DescribesTheThreadsLastError) {
  char text[256];
  errno = ENOENT;
  btGetSysErrorText(text, sizeof text);
  EXPECT_STREQ(text, strerror(ENOENT));
  char small[8];
  errno = ENOENT;
  btGetSysErrorText(small, sizeof small);
  EXPECT_EQ(strlen(small), 7u);
}

TEST(SysErrorText, ComesFromTheRegisteredSource) {
  btSetSysErrorSource([](char* buffer, uint32_t size) { snprintf(buffer, size, "from source"); });
  char text[256];
  btGetSysErrorText(text, sizeof text);
  btSetSysErrorSource(nullptr);
  EXPECT_STREQ(text, "from source");
}

struct ThreadProbe {
  std::atomic<int> done{0};
  std::atomic<unsigned> sum{0};
};

TEST(LaunchThread, SmallRequestedStackStillRunsRealWork) {
  ThreadProbe probe;
  auto body = [](void* arg) {
    auto* p = static_cast<ThreadProbe*>(arg);
    volatile char scratch[8192];  // the system's threads use a few KiB of stack
    for (size_t i = 0; i < sizeof scratch; ++i) scratch[i] = static_cast<char>(i);
    unsigned s = 0;
    for (size_t i = 0; i < sizeof scratch; ++i) s += static_cast<unsigned char>(scratch[i]);
    p->sum.store(s);
    p->done.store(1);
  };
  ASSERT_EQ(btLaunchThread(body, 12288, &probe), 0);
  EXPECT_TRUE(Eventually([&] { return probe.done.load() == 1; }, 5s, 1ms));
  EXPECT_EQ(probe.sum.load(), 32u * (255u * 256u / 2));  // 32 runs of 0..255
}

TEST(LaunchThread, NoFunctionIsRefused) { EXPECT_EQ(btLaunchThread(nullptr, 12288, nullptr), -1); }

TEST(DoubleByte, FollowsTheConfiguredCodePage) {
  setenv("ZEL_PC_CODEPAGE", "932", 1);
  EXPECT_NE(bdIsDBCS(), 0);
  setenv("ZEL_PC_CODEPAGE", "850", 1);
  EXPECT_EQ(bdIsDBCS(), 0);
  setenv("ZEL_PC_CODEPAGE", "nonsense", 1);
  EXPECT_EQ(bdIsDBCS(), 0);  // falls back to 1252
  unsetenv("ZEL_PC_CODEPAGE");
  EXPECT_EQ(bdIsDBCS(), 0);
}

// ---- Many threads of several processes writing one trace file ----

constexpr int kThreadsPerProcess = 4;
constexpr int kRecordsPerThread = 1500;

// Record `seq` of thread `t` of writer `w`: a text whose length varies up to
// well past a pipe buffer, so that a torn write would show in the middle.
std::string Payload(const std::string& writer, int thread, int seq) {
  size_t length = static_cast<size_t>((seq * 7919) % 6000);
  char fill = static_cast<char>('a' + (seq + thread) % 26);
  return "w" + writer + "-" + std::to_string(thread) + "-" + std::to_string(seq) + ":" +
         std::string(length, fill) + ":end";
}

bool PayloadIsWhole(const std::string& body, std::string& id) {
  size_t colon = body.find(':');
  if (colon == std::string::npos || body.size() < colon + 5) return false;
  if (body.compare(body.size() - 4, 4, ":end") != 0) return false;
  id = body.substr(0, colon);
  std::string fill = body.substr(colon + 1, body.size() - colon - 5);
  if (fill.empty()) return true;
  return fill.find_first_not_of(fill[0]) == std::string::npos;
}

ZEL_CHILD_COMMAND(trace_writer) {
  const std::string writer = args[0];
  child::Report("ready");
  if (child::Receive() != "go") return 2;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreadsPerProcess; ++t) {
    threads.emplace_back([&writer, t] {
      for (int seq = 0; seq < kRecordsPerThread; ++seq) {
        btTraceMsg("CD", seq, Payload(writer, t, seq).c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return btTraceActive != 0 ? 0 : 3;
}

TEST(TraceConcurrency, TwoProcessesOfFourThreadsNeverTearOrInterleaveLines) {
  std::string path = TestPath("shared-trace.log");
  ChildProcess::Env env = {{"ZEL_TRACE", path}};
  std::vector<ChildProcess> writers;
  for (const char* name : {"A", "B"}) {
    writers.push_back(ChildProcess::Start("trace_writer", {name}, env));
    ASSERT_TRUE(writers.back().Expect("ready"));
  }
  for (ChildProcess& writer : writers) writer.Send("go");
  for (ChildProcess& writer : writers) ASSERT_EQ(writer.Wait(120s), 0);

  std::set<std::string> seen;
  std::map<std::string, std::set<std::string>> threads_by_pid;
  size_t lines = 0;
  for (const std::string& line : ReadLines(path)) {
    ++lines;
    ParsedLine parsed;
    ASSERT_TRUE(Parse(line, parsed)) << line.substr(0, 200);
    ASSERT_EQ(parsed.op, "Msg");
    std::string id;
    ASSERT_TRUE(PayloadIsWhole(parsed.body, id)) << line.substr(0, 200);
    EXPECT_TRUE(seen.insert(id).second) << "duplicate record " << id;
    threads_by_pid[parsed.pid].insert(parsed.tid);
  }
  EXPECT_EQ(lines, 2u * kThreadsPerProcess * kRecordsPerThread);
  EXPECT_EQ(seen.size(), 2u * kThreadsPerProcess * kRecordsPerThread);
  ASSERT_EQ(threads_by_pid.size(), 2u);
  for (auto& [pid, tids] : threads_by_pid) EXPECT_EQ(tids.size(), 4u) << pid;
}

}  // namespace
}  // namespace zel::test
