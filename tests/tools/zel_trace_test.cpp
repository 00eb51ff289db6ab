// zel trace: a trace file written by a real run, shown and filtered; and
// the last error points of another process, read while it runs, after it
// was killed, and across a fork.
#include <signal.h>

#include <atomic>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/trace.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "tests/tools/zel_run.h"

namespace zel::test {
namespace {

constexpr char kSystem[] = "ZELSYS";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The records of the raw trace whose field `index` (0: date, 2: pid, 4:
// tag, 6: op) equals `value`.
size_t CountRaw(const std::string& trace, size_t index, const std::string& value) {
  size_t count = 0;
  for (const std::string& line : Lines(trace)) {
    std::istringstream in(line);
    std::string field;
    for (size_t i = 0; i <= index; ++i) in >> field;
    if (field == value) ++count;
  }
  return count;
}

// A trace written by the tool and the manager: one good request and one to
// a system that is not configured, which raises error points.
class ZelTraceFile : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
    ASSERT_TRUE(host_.running());
    host_.Configure(kSystem);
    trace_path_ = TestPath("trace.log");
    setenv("ZEL_TRACE", trace_path_.c_str(), 1);
    ZelRun good = RunZel({"call", kSystem, "ECHO", "--data", "traced"});
    ZelRun bad = RunZel({"call", "NOSYS", "ECHO"});
    unsetenv("ZEL_TRACE");
    ASSERT_EQ(good.code, 0) << good.err;
    ASSERT_EQ(bad.code, 1) << bad.err;
    // The manager goes on writing until it ends: the tests read a copy.
    raw_ = ReadFile(TestPath("trace.log"));
    trace_path_ = TestPath("copy.log");
    std::ofstream(trace_path_) << raw_;
    ASSERT_GT(CountRaw(raw_, 6, "ErrorPoint"), 0u) << raw_;
  }

  HostServer host_;
  std::string trace_path_;
  std::string raw_;
};

TEST_F(ZelTraceFile, ShowsEveryRecordWithCallsIndentedUnderTheirCaller) {
  ZelRun run = RunZel({"trace", trace_path_});
  ASSERT_EQ(run.code, 0) << run.err;
  std::vector<std::string> lines = Lines(run.out);
  EXPECT_EQ(lines.size(), Lines(raw_).size());
  // A function entered inside caInitializeZELComm is shown one step in.
  std::smatch outer;
  ASSERT_TRUE(std::regex_search(run.out, outer, std::regex("\n[0-9:.]+ ([0-9]+)/([0-9]+) CA "
                                                           "> caInitializeZELComm\n")))
      << run.out;
  std::string thread = outer[1].str() + "/" + outer[2].str();
  std::string next;
  for (const std::string& line : Lines(run.out.substr(outer.position(0) + outer.length(0)))) {
    if (line.find(" " + thread + " ") == std::string::npos) continue;
    next = line;
    break;
  }
  EXPECT_TRUE(std::regex_match(next, std::regex("[0-9:.]+ " + thread + " [A-Za-z]{2}   [^ ].*")))
      << next;
  EXPECT_NE(run.out.find("** error point "), std::string::npos);
}

TEST_F(ZelTraceFile, FiltersByProcessThreadTagAndErrors) {
  std::istringstream first(raw_);
  std::string date, time, pid, tid;
  first >> date >> time >> pid >> tid;

  ZelRun by_pid = RunZel({"trace", trace_path_, "--pid", pid});
  EXPECT_EQ(Lines(by_pid.out).size(), CountRaw(raw_, 2, pid));
  for (const std::string& line : Lines(by_pid.out)) {
    EXPECT_NE(line.find(" " + pid + "/"), std::string::npos) << line;
  }

  ZelRun by_tag = RunZel({"trace", trace_path_, "--tag", "ca,ue"});
  EXPECT_EQ(Lines(by_tag.out).size(), CountRaw(raw_, 4, "CA") + CountRaw(raw_, 4, "ue"));

  ZelRun errors = RunZel({"trace", trace_path_, "--errors"});
  size_t error_points = 0;
  for (const std::string& line : Lines(errors.out)) {
    bool point = line.find("** error point ") != std::string::npos;
    error_points += point;
    EXPECT_TRUE(point || line.find(" ! ") != std::string::npos) << line;
  }
  EXPECT_EQ(error_points, CountRaw(raw_, 6, "ErrorPoint"));
  EXPECT_NE(errors.out.find("NOSYS"), std::string::npos) << errors.out;

  ZelRun json = RunZel({"trace", trace_path_, "--json", "--tid", tid, "--errors"});
  for (const std::string& line : Lines(json.out)) {
    EXPECT_TRUE(std::regex_match(line, std::regex("\\{\"time\":\"[-0-9 :.]+\",\"pid\":" + pid +
                                                  ",\"tid\":" + tid + ",.*\"error\":true\\}")))
        << line;
  }
}

TEST_F(ZelTraceFile, FollowShowsRecordsAsTheyAreWritten) {
  ChildProcess follow = StartZel({"trace", trace_path_, "--follow", "--tag", "ZZ"});
  std::ofstream(trace_path_, std::ios::app)
      << "2026-12-05 18:39:19.123456 41 42 ZZ -7 Msg written later\n";
  EXPECT_TRUE(Eventually([] {
    return ReadFile(TestPath("zel.out")) == "18:39:19.123456 41/42 ZZ ! Msg -7: written later\n";
  })) << ReadFile(TestPath("zel.out"));
  follow.Kill();
  follow.Wait();
}

TEST(ZelTraceCommandLine, BadOptionsExitWithTwo) {
  unsetenv("ZEL_TRACE");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"trace"},  // no file and no ZEL_TRACE
           {"trace", "a", "b"},
           {"trace", "f", "--pid", "x"},
           {"trace", "f", "--tag", ","},
           {"trace", "--errors-of", "0"},
           {"trace", "f", "--errors-of", "12"},
       }) {
    EXPECT_EQ(RunZel(args).code, 2) << args.back();
  }
  EXPECT_EQ(RunZel({"trace", TestPath("missing.log")}).code, 1);
}

// ---- error points of another process ----

// Raises the error points named in `args`, reports "raised", and ends at
// "end".
ZEL_CHILD_COMMAND(raise_errors) {
  for (size_t i = 0; i < args.size(); ++i) {
    btErrorPoint("ue", static_cast<int32_t>(100 + i), args[i].c_str(), "zeltrace");
  }
  child::Report("raised");
  child::Receive(60s);
  return 0;
}

TEST(ZelTraceErrorsOf, ShowsTheLastErrorPointsOfARunningProcessAndForgetsThemAtItsEnd) {
  ChildProcess app = ChildProcess::Start("raise_errors", {"EXT_FIRST", "EXT_SECOND"});
  ASSERT_TRUE(app.Expect("raised"));
  std::string pid = std::to_string(app.pid());
  ZelRun run = RunZel({"trace", "--errors-of", pid});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(std::regex_match(
      run.out, std::regex("process " + pid + " \\(running\\): 2 error points\n"
                          "  [-0-9 :.]+ tid " + pid + " EXT_FIRST \\(zeltrace:100\\)\n"
                          "  [-0-9 :.]+ tid " + pid + " EXT_SECOND \\(zeltrace:101\\)\n")))
      << run.out;
  app.Send("end");
  ASSERT_EQ(app.Wait(), 0);
  ZelRun after = RunZel({"trace", "--errors-of", pid});
  EXPECT_EQ(after.code, 3) << after.out;
}

TEST(ZelTraceErrorsOf, AKilledProcessesErrorPointsStayReadableAsLeftBehind) {
  ChildProcess app = ChildProcess::Start("raise_errors", {"EXT_BEFORE_THE_CRASH"});
  ASSERT_TRUE(app.Expect("raised"));
  std::string pid = std::to_string(app.pid());
  app.Kill();
  app.Wait();
  ZelRun run = RunZel({"trace", "--errors-of", pid, "--json"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(std::regex_match(run.out, std::regex("\\{\"pid\":" + pid +
                                                   ",\"running\":false,\"errorPoints\":\\[\\{.*"
                                                   "\"label\":\"EXT_BEFORE_THE_CRASH\".*\\]\\}\n")))
      << run.out;
}

TEST(ZelTraceErrorsOf, AForkedChildKeepsItsOwnErrorPointsApartFromItsParents) {
  btErrorPoint("ue", 1, "EXT_PARENT_BEFORE_FORK", "zeltrace");
  ForkedChild child([](ForkedChild& self) {
    btErrorPoint("ue", 2, "EXT_CHILD_AFTER_FORK", "zeltrace");
    self.Send("raised");
    self.Receive();
    return 0;
  });
  ASSERT_EQ(child.Receive(), "raised");
  ZelRun parent = RunZel({"trace", "--errors-of", std::to_string(getpid())});
  ZelRun forked = RunZel({"trace", "--errors-of", std::to_string(child.pid())});
  child.Send("end");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_NE(parent.out.find("EXT_PARENT_BEFORE_FORK"), std::string::npos) << parent.out;
  EXPECT_EQ(parent.out.find("EXT_CHILD_AFTER_FORK"), std::string::npos) << parent.out;
  // The child starts from its parent's history.
  EXPECT_NE(forked.out.find("EXT_PARENT_BEFORE_FORK"), std::string::npos) << forked.out;
  EXPECT_NE(forked.out.find("EXT_CHILD_AFTER_FORK"), std::string::npos) << forked.out;
}

// Raises error points on four threads until "end": thread k's n-th has the
// label "EXT_T<k>_<n>" and line n.
ZEL_CHILD_COMMAND(raise_many) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int k = 0; k < 4; ++k) {
    threads.emplace_back([k, &stop] {
      for (int n = 0; n < 2'000'000 && !stop.load(); ++n) {
        std::string label = "EXT_T" + std::to_string(k) + "_" + std::to_string(n);
        btErrorPoint("ue", n, label.c_str(), "zeltrace");
      }
    });
  }
  child::Report("raising");
  child::Receive(60s);
  stop = true;
  for (std::thread& thread : threads) thread.join();
  return 0;
}

TEST(ZelTraceErrorsOf, ErrorPointsReadWhileFourThreadsRaiseThemAreNeverTorn) {
  ChildProcess app = ChildProcess::Start("raise_many");
  ASSERT_TRUE(app.Expect("raising"));
  std::regex point("  [-0-9 :.]+ tid [0-9]+ EXT_T[0-3]_([0-9]+) \\(zeltrace:([0-9]+)\\)");
  size_t seen = 0;
  for (int round = 0; round < 5; ++round) {
    ZelRun run = RunZel({"trace", "--errors-of", std::to_string(app.pid())});
    ASSERT_EQ(run.code, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    for (size_t i = 1; i < lines.size(); ++i) {
      std::smatch parts;
      ASSERT_TRUE(std::regex_match(lines[i], parts, point)) << lines[i];
      EXPECT_EQ(parts[1].str(), parts[2].str()) << lines[i];
      ++seen;
    }
  }
  EXPECT_GT(seen, 0u);
  app.Send("end");
  EXPECT_EQ(app.Wait(), 0);
}

}  // namespace
}  // namespace zel::test
