// `zel status` and `zel stop` as a user runs them, against a real zelhost
// and the communication manager of this build, with an application process
// that starts a system through the component.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "base/config.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/object_names.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "tools/zel/shared_view.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"

namespace zel::test {
namespace {

// The tool reaches the component's regions and locks by its own copy of
// their names and layout.
static_assert(tool::kSharedDataAddress == ctrlblk::kSharedDataAddress);
static_assert(tool::kControlBlockAddress == ctrlblk::kControlBlockAddress);
static_assert(tool::kControlBlockSize == ctrlblk::kControlBlockSize);
static_assert(std::string_view(tool::kSharedDataRegion) == ctrlblk::kSharedDataName);
static_assert(std::string_view(tool::kControlBlockRegion) == ctrlblk::kControlBlockName);
static_assert(std::string_view(tool::kStateMutex) == ctrlblk::kStateName);
static_assert(std::string_view(tool::kCommStatePrefix) == ctrlblk::kCommStatePrefix);
static_assert(offsetof(tool::SharedDataLayout, ulHeapUsed) ==
              offsetof(ctrlblk::SharedData, ulHeapUsed));
static_assert(offsetof(tool::SharedDataLayout, pMapBase) ==
              offsetof(ctrlblk::SharedData, pMapBase));
static_assert(offsetof(tool::SharedDataLayout, anchor) == offsetof(ctrlblk::SharedData, anchor));

constexpr char kSystem[] = "ZELSYS";

std::string BuildDir() {
  return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path();
}

// Runs bin/zel with the arguments after the first, which names the files
// in the test directory that get its standard output and error.
ZEL_CHILD_COMMAND(run_zel) {
  std::string zel = BuildDir() + "/bin/zel";
  std::vector<const char*> argv = {zel.c_str()};
  for (size_t i = 1; i < args.size(); ++i) argv.push_back(args[i].c_str());
  argv.push_back(nullptr);
  int out = open(TestPath(args[0] + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(TestPath(args[0] + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
    return 126;
  }
  execv(zel.c_str(), const_cast<char* const*>(argv.data()));
  return 127;
}

// An application: loads the component, starts the system args[0], reports
// "started RC", and holds its conversation until told "end".
ZEL_CHILD_COMMAND(application) {
  void* component = dlopen((BuildDir() + "/lib/libvqzmcsw.so.0").c_str(), RTLD_NOW);
  auto start = reinterpret_cast<decltype(&caInitializeZELComm)>(
      component != nullptr ? dlsym(component, "caInitializeZELComm") : nullptr);
  if (start == nullptr) return 125;
  uint32_t conversation = 0;
  uint16_t rc = start(args[0].c_str(), 0, 0, 0, &conversation, 0);
  std::ofstream(TestPath("application.started")) << rc;
  child::Report("started " + std::to_string(rc));
  child::Receive(std::chrono::seconds(120));
  return 0;
}

struct ZelRun {
  int code;
  std::string out;
  std::string err;
};

ZelRun Zel(std::vector<std::string> args) {
  args.insert(args.begin(), "zel");
  ChildProcess zel = ChildProcess::Start("run_zel", std::move(args));
  int code = zel.Wait(Millis(90'000));
  return {code, ReadFile(TestPath("zel.out")), ReadFile(TestPath("zel.err"))};
}

// A strict check that `text` is one JSON value and nothing else.
class JsonCheck {
 public:
  static bool Valid(std::string_view text) {
    JsonCheck check{text};
    return check.Value(0) && check.Skip() == text.size();
  }

 private:
  explicit JsonCheck(std::string_view text) : text_(text) {}
  size_t Skip() {
    while (at_ < text_.size() &&
           std::string_view(" \n\r\t").find(text_[at_]) != std::string_view::npos)
      ++at_;
    return at_;
  }
  bool Take(char c) { return Skip() < text_.size() && text_[at_] == c && ++at_; }
  bool String() {
    if (!Take('"')) return false;
    for (; at_ < text_.size() && text_[at_] != '"'; ++at_) {
      if (static_cast<unsigned char>(text_[at_]) < 0x20) return false;
      if (text_[at_] == '\\') ++at_;
    }
    return Take('"');
  }
  bool Value(int depth) {
    if (depth > 32 || Skip() == text_.size()) return false;
    char c = text_[at_];
    if (c == '"') return String();
    if (c == '{' || c == '[') {
      char close = c == '{' ? '}' : ']';
      ++at_;
      if (Take(close)) return true;
      do {
        if (c == '{' && !(String() && Take(':'))) return false;
        if (!Value(depth + 1)) return false;
      } while (Take(','));
      return Take(close);
    }
    static const std::regex kScalar(R"(^(true|false|null|-?\d+(\.\d+)?([eE][-+]?\d+)?))");
    std::match_results<std::string_view::const_iterator> match;
    if (!std::regex_search(text_.begin() + static_cast<ptrdiff_t>(at_), text_.end(), match,
                           kScalar)) {
      return false;
    }
    at_ += static_cast<size_t>(match.length());
    return true;
  }

  std::string_view text_;
  size_t at_ = 0;
};

// The number after "key": in a JSON text; -1 when there is none.
long JsonNumber(const std::string& json, const std::string& key) {
  std::smatch match;
  if (!std::regex_search(json, match, std::regex("\"" + key + "\":(-?[0-9]+)"))) return -1;
  return std::stol(match[1]);
}

// Copies of the two regions as the tool takes them, with records placed in
// the area at the addresses they would have in the instance's processes.
class FakeRegions {
 public:
  FakeRegions() : shared_(sizeof(tool::SharedDataLayout)), area_(tool::kControlBlockSize) {
    Layout().pMapBase = reinterpret_cast<void*>(tool::kControlBlockAddress);
  }

  tool::SharedDataLayout& Layout() {
    return *reinterpret_cast<tool::SharedDataLayout*>(shared_.data());
  }
  template <class T>
  T* Address(uint32_t offset) {
    return reinterpret_cast<T*>(tool::kControlBlockAddress + offset);
  }
  template <class T>
  T& At(uint32_t offset) {
    return *reinterpret_cast<T*>(area_.data() + offset);
  }
  tool::InstanceStatus Read() {
    tool::InstanceStatus status;
    tool::ReadControlBlocks(shared_, area_, &status);
    return status;
  }

 private:
  std::vector<char> shared_;
  std::vector<char> area_;
};

TEST(ZelStatusReading, TheListsOfTheControlBlocksAreRead) {
  FakeRegions regions;
  ZELAnchorCB& anchor = regions.Layout().anchor;
  anchor.usCPMgrState = ZEL_CPMGR_RUNNING;
  anchor.pSysList = regions.Address<RZ700SysStruct>(1000);
  anchor.p3rdPartyList = regions.Address<ThirdPartyStruct>(3000);
  RZ700SysStruct& first = regions.At<RZ700SysStruct>(1000);
  strcpy(first.szSysName, "FIRST");
  strcpy(first.szSysID, "001");
  strcpy(first.szDQLib, "QZELDQ");
  strcpy(first.szDQName, "PWSQ");
  memcpy(first.achPWSSysID, "AAB", 3);
  memcpy(first.achRIDSeq, "0042", 4);
  first.usCommState = ZEL_COMM_ACTIVE;
  first.ulConvCount = 2;
  first.pTermWndList = regions.Address<TermWndStruct>(4000);
  first.pNext = regions.Address<RZ700SysStruct>(2000);
  strcpy(regions.At<RZ700SysStruct>(2000).szSysName, "SECOND");
  regions.At<RZ700SysStruct>(2000).usCommState = ZEL_COMM_STOPPED;
  strcpy(regions.At<ThirdPartyStruct>(3000).szPgmID, "PCPGM");
  TermWndStruct& window = regions.At<TermWndStruct>(4000);
  strcpy(window.szPgmID, "WATCHER");
  window.hwndTerm = 0x10002;
  window.usTermType = 3;

  tool::InstanceStatus status = regions.Read();
  EXPECT_FALSE(status.torn);
  ASSERT_EQ(status.systems.size(), 2u);
  const tool::SystemStatus& system = status.systems[0];
  EXPECT_EQ(system.name + " " + system.id + " " + system.pws_id + " " + system.queue + " " +
                system.rid_sequence,
            "FIRST 001 AAB QZELDQ/PWSQ 0042");
  EXPECT_EQ(V(system.conversations), 2u);
  ASSERT_EQ(system.windows.size(), 1u);
  EXPECT_EQ(system.windows[0].program, "WATCHER");
  EXPECT_EQ(system.windows[0].hwnd, 0x10002u);
  EXPECT_EQ(status.systems[1].name, "SECOND");
  EXPECT_EQ(status.systems[1].pws_id, "");
  EXPECT_EQ(status.pc_programs, std::vector<std::string>{"PCPGM"});
}

TEST(ZelStatusReading, ListsChangedUnderTheCopyEndBoundedAndMarkTheStatusTorn) {
  FakeRegions circle;
  circle.Layout().anchor.pSysList = circle.Address<RZ700SysStruct>(1000);
  circle.At<RZ700SysStruct>(1000).pNext = circle.Address<RZ700SysStruct>(1000);
  tool::InstanceStatus status = circle.Read();
  EXPECT_TRUE(status.torn);
  EXPECT_LE(status.systems.size(), tool::kControlBlockSize / 32);

  // A record that runs past the end of the area, and a pointer elsewhere.
  FakeRegions outside;
  outside.Layout().anchor.pSysList = outside.Address<RZ700SysStruct>(1000);
  outside.At<RZ700SysStruct>(1000).pNext =
      outside.Address<RZ700SysStruct>(tool::kControlBlockSize - 100);
  outside.Layout().anchor.pAsyncRetList = reinterpret_cast<AsyncRetStruct*>(0x1000);
  status = outside.Read();
  EXPECT_TRUE(status.torn);
  EXPECT_EQ(status.systems.size(), 1u);
  EXPECT_TRUE(status.async_waiting.empty());
}

TEST(ZelCommandLine, BadOptionsAndArgumentsExitTwo) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"status", "--bogus"},
                                             {"status", "extra"},
                                             {"status", "--watch", "0"},
                                             {"status", "--watch", "1", "2"},
                                             {"stop", "A", "B"},
                                             {"stop", "A", "--all"},
                                             {"stop", "--timeout", "soon"}}) {
    ZelRun run = Zel(args);
    EXPECT_EQ(run.code, 2) << args[0] << " " << args[1];
    EXPECT_NE(run.err.find("(see zel " + args[0] + " --help)"), std::string::npos) << run.err;
  }
}

TEST(ZelStatus, WithNothingRunningSaysSoAndCreatesNothing) {
  std::string folder = config::PrivateDir(nullptr) + "/" + Instance();
  ASSERT_FALSE(std::filesystem::exists(folder));
  ZelRun text = Zel({"status"});
  EXPECT_EQ(text.code, 3);
  EXPECT_EQ(text.out, "no manager runs in instance " + Instance() + ": nothing of it exists\n");
  ZelRun json = Zel({"status", "--json"});
  EXPECT_EQ(json.code, 3);
  EXPECT_TRUE(JsonCheck::Valid(json.out)) << json.out;
  EXPECT_NE(json.out.find("\"running\":false"), std::string::npos) << json.out;
  ZelRun stop = Zel({"stop", "--all"});
  EXPECT_EQ(stop.code, 3);
  EXPECT_EQ(stop.err, "zel stop: no manager runs in instance " + Instance() + "\n");
  EXPECT_FALSE(std::filesystem::exists(folder));
}

class ZelWithSystem : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
    ASSERT_TRUE(host_.running());
    host_.Configure(kSystem);
  }

  // Starts the application; true once its system runs.
  bool StartApplication() {
    app_.emplace(ChildProcess::Start("application", {kSystem}));
    std::optional<std::string> started = app_->ReadLine(Millis(60'000));
    return started == "started 0";
  }

  HostServer host_;
  std::optional<ChildProcess> app_;
};

TEST_F(ZelWithSystem, StatusShowsTheManagerAndTheSystemWithoutJoining) {
  ASSERT_TRUE(StartApplication()) << ManagerLog();
  ZelRun text = Zel({"status"});
  ASSERT_EQ(text.code, 0) << text.out << text.err;
  EXPECT_TRUE(std::regex_search(text.out, std::regex("^instance " + Instance() +
                                                     ": manager running, pid [0-9]+, up [0-9]+ s")))
      << text.out;
  EXPECT_TRUE(
      std::regex_search(text.out, std::regex("\n  ZELSYS  ID 000  active  PWS [A-Z]{3}  queue "
                                             "[A-Z0-9]+/[A-Z0-9]+  conversations 1  RID sequence "
                                             "[0-9]{4}\n")))
      << text.out;

  ZelRun first = Zel({"status", "--json"});
  ZelRun second = Zel({"status", "--json"});
  ASSERT_EQ(first.code, 0) << first.err;
  ASSERT_TRUE(JsonCheck::Valid(first.out)) << first.out;
  EXPECT_NE(first.out.find("\"name\":\"ZELSYS\",\"id\":\"000\",\"comm_state\":6"),
            std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("\"running\":true"), std::string::npos) << first.out;
  // The application and the manager, and no status run among them.
  EXPECT_EQ(JsonNumber(first.out, "attached_processes"), 2) << first.out;
  EXPECT_EQ(JsonNumber(second.out, "attached_processes"), 2) << second.out;
  EXPECT_EQ(JsonNumber(first.out, "attach_count"), JsonNumber(second.out, "attach_count"));
  EXPECT_GT(JsonNumber(first.out, "used"), 0) << first.out;
}

// The names and modification times of the instance's files.
std::vector<std::string> InstanceFiles() {
  std::vector<std::string> files;
  std::error_code error;
  std::string folder = config::PrivateDir(nullptr) + "/" + Instance();
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    auto written = std::filesystem::last_write_time(entry.path(), error);
    files.push_back(entry.path().filename().string() + " " +
                    std::to_string(written.time_since_epoch().count()));
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST_F(ZelWithSystem, StatusLeavesWhatEndedProcessesLeftAsItFoundIt) {
  ASSERT_TRUE(StartApplication()) << ManagerLog();
  long manager = JsonNumber(Zel({"status", "--json"}).out, "pid");
  ASSERT_GT(manager, 0);
  app_->Kill();
  ASSERT_EQ(kill(static_cast<pid_t>(manager), SIGKILL), 0);
  // Their locks go as they die, whether or not anyone reaps them.
  std::string deserted =
      "no manager runs in instance " + Instance() + ": only files left by processes that ended\n";
  ASSERT_TRUE(Eventually([&] { return Zel({"status"}).out == deserted; }, Millis(10'000), 100ms));
  std::vector<std::string> left = InstanceFiles();
  ASSERT_FALSE(left.empty());
  ZelRun status = Zel({"status"});
  EXPECT_EQ(status.code, 3);
  EXPECT_EQ(status.out, deserted);
  EXPECT_EQ(InstanceFiles(), left);
}

TEST_F(ZelWithSystem, StatusWhileTheSystemStartsNeitherFailsNorHangs) {
  app_.emplace(ChildProcess::Start("application", {kSystem}));
  for (int run = 0; run < 100 && !std::filesystem::exists(TestPath("application.started")); ++run) {
    ZelRun status = Zel({"status", "--json"});
    ASSERT_TRUE(status.code == 0 || status.code == 3) << status.code << status.err;
    ASSERT_TRUE(JsonCheck::Valid(status.out)) << status.out;
  }
  EXPECT_EQ(app_->ReadLine(Millis(60'000)), "started 0");
}

TEST_F(ZelWithSystem, StopOfTheSystemLeavesItStopped) {
  ASSERT_TRUE(StartApplication()) << ManagerLog();
  ZelRun stop = Zel({"stop", kSystem});
  EXPECT_EQ(stop.code, 0) << stop.err << ManagerLog();
  EXPECT_EQ(stop.out, "stopped system ZELSYS\n");
  ZelRun status = Zel({"status", "--json"});
  EXPECT_TRUE(JsonCheck::Valid(status.out)) << status.out;
  EXPECT_EQ(status.out.find("\"comm_state\":6"), std::string::npos) << status.out;
}

TEST_F(ZelWithSystem, StopWithoutANameStopsTheDefaultSystem) {
  ASSERT_TRUE(StartApplication()) << ManagerLog();
  ZelRun stop = Zel({"stop"});
  EXPECT_EQ(stop.code, 0) << stop.err << ManagerLog();
  EXPECT_EQ(stop.out, "stopped system ZELSYS\n");
}

TEST_F(ZelWithSystem, StopOfAnUnknownSystemFailsWithTheCode) {
  ASSERT_TRUE(StartApplication()) << ManagerLog();
  ZelRun stop = Zel({"stop", "NOSUCH"});
  EXPECT_EQ(stop.code, 1);
  EXPECT_EQ(stop.err.rfind("zel stop: system NOSUCH does not run: rc 1030 (", 0), 0u) << stop.err;
  EXPECT_EQ(Zel({"status"}).code, 0);
}

TEST_F(ZelWithSystem, StopAllStopsTheSystemAndEndsTheManager) {
  ASSERT_TRUE(StartApplication()) << ManagerLog();
  ZelRun stop = Zel({"stop", "--all", "--json"});
  EXPECT_EQ(stop.code, 0) << stop.err << ManagerLog();
  EXPECT_TRUE(JsonCheck::Valid(stop.out)) << stop.out;
  EXPECT_NE(stop.out.find("\"stopped\":[\"ZELSYS\"],\"manager_stopped\":true"), std::string::npos)
      << stop.out;
  ZelRun status = Zel({"status"});
  EXPECT_EQ(status.code, 3) << status.out;
  EXPECT_EQ(status.out.rfind("no manager runs in instance " + Instance(), 0), 0u) << status.out;
  EXPECT_NE(ManagerLog().find("ended"), std::string::npos);
}

TEST_F(ZelWithSystem, WatchShowsTheStatusAgainUntilInterrupted) {
  ASSERT_TRUE(StartApplication()) << ManagerLog();
  ChildProcess watch = ChildProcess::Start("run_zel", {"watch", "status", "--watch", "1"});
  auto headlines = [] {
    std::string out = ReadFile(TestPath("watch.out"));
    size_t count = 0;
    for (size_t at = out.find("manager running"); at != std::string::npos;
         at = out.find("manager running", at + 1)) {
      ++count;
    }
    return count;
  };
  EXPECT_TRUE(Eventually([&] { return headlines() >= 2; }, Millis(30'000)))
      << ReadFile(TestPath("watch.out"));
  watch.Kill(SIGTERM);
  EXPECT_EQ(watch.Wait(), 0);
}

}  // namespace
}  // namespace zel::test
