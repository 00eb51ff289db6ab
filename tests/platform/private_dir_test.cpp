// Where an instance keeps its objects: files and message sockets in a folder
// of the user's private directory that only the user can reach, sockets
// that a killed process left replaced, socket paths too long for a socket
// address refused cleanly, and another local user who squats every name he
// can, yet cannot stop or disturb the user's processes.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/filemap.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/window.h"
#include "tests/harness/zel_test.h"
#include "tests/platform/platform_test_util.h"

namespace zel::test {
namespace {

using namespace zel::platform;

constexpr UINT kHello = WM_USER + 0x200;  // lParam: a global block holding text
constexpr char kGreeting[] = "hello from another process";
// The squatter of the attack test (nobody) and the user (a number no
// account has, and not the one of the private directory's own tests).
constexpr uid_t kSquatterUid = 65534;
constexpr uid_t kVictimUid = 65533;
// The longest message socket name of an instance.
constexpr char kLongestSocket[] = "/msg.127.4294967295";

// With ZEL_TEST_UID set, drops this process to that user (and the group of
// the same number) for good, as a process of another local user; false
// when that fails.
bool BecomeTestUser() {
  const char* uid_text = getenv("ZEL_TEST_UID");
  if (uid_text == nullptr) return true;
  uid_t uid = static_cast<uid_t>(std::stoul(uid_text));
  if (setgroups(0, nullptr) != 0 || setgid(uid) != 0 || setuid(uid) != 0) return false;
  // Changing the user cleared both; the harness relies on them.
  prctl(PR_SET_DUMPABLE, 1);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  return true;
}

// ---- Child commands ---------------------------------------------------------

// Makes a named mutex, event and mapping (viewed at a fixed address), a
// global block and a window; reports "ready <hwnd>" or what failed, then
// "got <text>" for the first kHello posted to it, and ends on "exit".
ZEL_CHILD_COMMAND(own_window) {
  if (!BecomeTestUser()) return 3;
  std::string failed;
  if (CreateMutex(false, "present.mutex") == 0) failed += " mutex " + GetLastErrorText();
  if (CreateEvent(true, false, "present.event") == 0) failed += " event " + GetLastErrorText();
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 65536, "present.mapping");
  void* want = reinterpret_cast<void*>(0x23000000);
  if (mapping == 0 || MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, want) != want) {
    failed += " mapping " + GetLastErrorText();
  }
  if (GlobalAlloc(GMEM_SHARE, 4096) == nullptr) failed += " global " + GetLastErrorText();
  HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  if (hwnd == 0) failed += " window " + GetLastErrorText();
  child::Report(failed.empty() ? "ready " + std::to_string(hwnd) : "failed" + failed);
  MSG msg{};
  for (int taken = 0; taken < 100 && WaitMessage(20000) == WAIT_OBJECT_0; ++taken) {
    if (!PeekMessage(&msg, 0, 0, 0, PM_REMOVE) || msg.message != kHello) continue;
    child::Report("got " + std::string(reinterpret_cast<const char*>(msg.lParam)));
    break;
  }
  child::Receive();
  return 0;
}

// Opens the event own_window made and posts kHello with a global block to
// window args[0]; reports "posted" or what failed.
ZEL_CHILD_COMMAND(post_hello) {
  if (!BecomeTestUser()) return 3;
  if (OpenEvent(EVENT_ALL_ACCESS, false, "present.event") == 0) {
    child::Report("no event " + GetLastErrorText());
    return 0;
  }
  auto* text = static_cast<char*>(GlobalAlloc(GMEM_SHARE, sizeof kGreeting));
  if (text != nullptr) memcpy(text, kGreeting, sizeof kGreeting);
  HWND hwnd = static_cast<HWND>(std::stoul(args[0]));
  bool posted = text != nullptr && PostMessage(hwnd, kHello, 0, reinterpret_cast<LPARAM>(text));
  child::Report(posted ? "posted" : "failed " + GetLastErrorText());
  return 0;
}

// Reports whether an event and then a window can be made: "<error> <error>",
// 0 when it worked.
ZEL_CHILD_COMMAND(event_and_window) {
  HANDLE event = CreateEvent(true, false, "present.event");
  std::string line = std::to_string(event != 0 ? 0 : GetLastError());
  HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  child::Report(line + " " + std::to_string(hwnd != 0 ? 0 : GetLastError()));
  return 0;
}

// The squatter: another local user (kSquatterUid) who takes every name the
// user's instance args[1] (user args[0]) could be reached under: the
// user's folder in /tmp, the files and abstract socket names of the shared
// namespace. Reports "squatted" once all are taken. Then, for each line
// "try <folder>", tries to make a file, a folder and a socket in it and
// reports "blocked" or what got in; on "exit" removes what it made.
ZEL_CHILD_COMMAND(squat) {
  if (setgroups(0, nullptr) != 0 || setgid(kSquatterUid) != 0 || setuid(kSquatterUid) != 0) {
    return 3;
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::string prefix = "zel." + args[0] + "." + args[1];
  std::string tmp_folder = "/tmp/zel-" + args[0];
  std::vector<std::string> files = {"/dev/shm/" + prefix + ".reg", "/dev/shm/" + prefix + ".heap",
                                    "/dev/shm/" + prefix + ".map.1", tmp_folder + "/" + args[1]};
  bool squatted = mkdir(tmp_folder.c_str(), 0777) == 0 && chmod(tmp_folder.c_str(), 0777) == 0;
  for (const std::string& file : files) {
    std::ofstream(file) << "squatted";
    squatted = squatted && chmod(file.c_str(), 0666) == 0;
  }
  std::vector<int> sockets;
  for (int slot = 0; slot < 4; ++slot) {
    for (int generation = 1; generation <= 4; ++generation) {
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::string name = prefix + "/p/" + std::to_string(slot) + "-" + std::to_string(generation);
      memcpy(address.sun_path + 1, name.data(), name.size());
      int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
      squatted = squatted && bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
      sockets.push_back(fd);
    }
  }
  child::Report(squatted ? "squatted" : "could not squat: " + std::string(strerror(errno)));
  while (std::optional<std::string> line = child::Receive()) {
    if (line->rfind("try ", 0) != 0) break;
    std::string folder = line->substr(4);
    std::string got;
    int fd = open((folder + "/intruder").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0 || errno != EACCES) got += " file";
    if (mkdir((folder + "/intruder.d").c_str(), 0777) == 0 || errno != EACCES) got += " folder";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = folder + "/msg.0.1";
    memcpy(address.sun_path, path.c_str(), std::min(path.size(), sizeof address.sun_path - 1));
    int intruder = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bind(intruder, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ||
        errno != EACCES) {
      got += " socket";
    }
    close(intruder);
    child::Report(got.empty() ? "blocked" : "got in:" + got);
  }
  for (const std::string& file : files) unlink(file.c_str());
  rmdir(tmp_folder.c_str());
  return 0;
}

ChildProcess StartIn(const std::string& instance, std::string_view command,
                     std::vector<std::string> args = {}, ChildProcess::Env env = {}) {
  env.emplace_back("ZEL_INSTANCE", instance);
  return ChildProcess::Start(command, std::move(args), std::move(env));
}

// The window in a "ready <hwnd>" line; 0 for any other line.
std::string WindowOf(const std::optional<std::string>& line) {
  if (!line.has_value() || line->rfind("ready ", 0) != 0) return "0";
  return line->substr(6);
}

// The message sockets in the folder of `instance`.
std::vector<std::filesystem::path> SocketsIn(const std::string& instance) {
  std::vector<std::filesystem::path> sockets;
  for (const auto& file : InstanceFiles(instance)) {
    if (file.filename().string().rfind("msg.", 0) == 0) sockets.push_back(file);
  }
  return sockets;
}

// The lines of the kernel's table of unix sockets that mention `text`.
std::vector<std::string> UnixSocketsNaming(const std::string& text) {
  std::ifstream table("/proc/net/unix");
  std::vector<std::string> lines;
  for (std::string line; std::getline(table, line);) {
    if (line.find(text) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// ---- Tests ------------------------------------------------------------------

TEST(PrivateFolder, HoldsEveryObjectOfTheInstanceOwnerOnlyAndNoAbstractNameIsUsed) {
  std::string instance = Instance() + "_files";
  ChildProcess owner = StartIn(instance, "own_window");
  std::string hwnd = WindowOf(owner.ReadLine());
  ASSERT_NE(hwnd, "0");
  struct stat status {};
  ASSERT_EQ(lstat(InstanceFolder(instance).c_str(), &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  std::vector<std::string> names;
  for (const auto& file : InstanceFiles(instance)) {
    names.push_back(file.filename().string());
    ASSERT_EQ(lstat(file.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode) || S_ISSOCK(status.st_mode)) << file;
    EXPECT_EQ(status.st_mode & 0777, 0600u) << file;
    EXPECT_EQ(status.st_uid, geteuid()) << file;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"heap", "map.1", "msg.0.1", "reg"}));

  ChildProcess poster = StartIn(instance, "post_hello", {hwnd});
  EXPECT_EQ(poster.ReadLine(), "posted");
  EXPECT_EQ(owner.ReadLine(), std::string("got ") + kGreeting);
  std::string socket = InstanceFolder(instance) + "/msg.0.1";
  EXPECT_EQ(UnixSocketsNaming(socket).size(), 1u) << "bound under its path";
  for (const std::string& line : UnixSocketsNaming(instance)) {
    EXPECT_EQ(line.find('@'), std::string::npos) << "an abstract name: " << line;
  }
  owner.Send("exit");
  EXPECT_EQ(owner.Wait(), 0);
  EXPECT_EQ(poster.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(InstanceFolder(instance)));
}

TEST(PrivateFolder, TheSocketOfAKilledProcessGoesWhenItIsReapedAndIsReplacedAtTheNextStart) {
  // Reaped while the instance lives on: this process keeps it.
  ASSERT_NE(CreateEvent(true, false, "keeps the instance"), 0u);
  ChildProcess killed = ChildProcess::Start("own_window");
  HWND hwnd = static_cast<HWND>(std::stoul(WindowOf(killed.ReadLine())));
  std::vector<std::filesystem::path> sockets = SocketsIn(Instance());
  ASSERT_EQ(sockets.size(), 1u);
  killed.Kill(SIGKILL);
  killed.Wait();
  EXPECT_TRUE(std::filesystem::exists(sockets[0])) << "not reaped yet";
  EXPECT_FALSE(PostMessage(hwnd, kHello, 0, 0));
  EXPECT_FALSE(std::filesystem::exists(sockets[0])) << "reaped with its process";

  // Left by the last process of an instance: the next one takes its place.
  std::string instance = Instance() + "_restart";
  ChildProcess first = StartIn(instance, "own_window");
  ASSERT_NE(WindowOf(first.ReadLine()), "0");
  sockets = SocketsIn(instance);
  first.Kill(SIGKILL);
  first.Wait();
  EXPECT_EQ(SocketsIn(instance), sockets) << "a killed process leaves its socket";
  ChildProcess next = StartIn(instance, "own_window");
  std::string next_hwnd = WindowOf(next.ReadLine());
  ASSERT_NE(next_hwnd, "0");
  EXPECT_EQ(SocketsIn(instance), sockets) << "the same place, taken again";
  ChildProcess poster = StartIn(instance, "post_hello", {next_hwnd});
  EXPECT_EQ(poster.ReadLine(), "posted");
  EXPECT_EQ(next.ReadLine(), std::string("got ") + kGreeting);
  next.Send("exit");
  EXPECT_EQ(next.Wait(), 0);
}

TEST(PrivateFolder, WindowsWorkWhileEverySocketPathFitsAndFailCleanlyBeyond) {
  std::string instance = Instance() + "_deep";
  // The runtime folder whose longest socket path is `length` bytes long.
  auto runtime_for = [&](size_t length) {
    std::string tail = "/zel/" + instance + kLongestSocket;
    std::string base = TestDir() + "/";
    std::string runtime = base + std::string(length - base.size() - tail.size(), 'r');
    EXPECT_EQ(mkdir(runtime.c_str(), 0700), 0) << runtime;
    return runtime;
  };
  size_t limit = sizeof(sockaddr_un::sun_path) - 1;
  ChildProcess fits =
      StartIn(instance, "event_and_window", {}, {{"XDG_RUNTIME_DIR", runtime_for(limit)}});
  EXPECT_EQ(fits.ReadLine(), "0 0");
  ChildProcess beyond =
      StartIn(instance, "event_and_window", {}, {{"XDG_RUNTIME_DIR", runtime_for(limit + 1)}});
  EXPECT_EQ(beyond.ReadLine(), "0 " + std::to_string(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(fits.Wait(), 0);
  EXPECT_EQ(beyond.Wait(), 0);
}

// Removes, as root, what the attack test and its squatter made.
class Squatted : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "only root can act as two other users";
    char home[] = "/tmp/zelhome.XXXXXX";
    ASSERT_NE(mkdtemp(home), nullptr);
    home_ = home;
    ASSERT_EQ(chown(home, kVictimUid, kVictimUid), 0);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!home_.empty()) std::filesystem::remove_all(home_, ignored);
    std::filesystem::remove_all("/tmp/zel-" + std::to_string(kVictimUid), ignored);
    std::string prefix = "zel." + std::to_string(kVictimUid) + "." + instance_;
    for (const char* suffix : {".reg", ".heap", ".map.1"}) {
      std::filesystem::remove("/dev/shm/" + prefix + suffix, ignored);
    }
  }

  // A process of the user, with no runtime folder, so that its private
  // directory would be the one in /tmp.
  ChildProcess StartVictim(std::string_view command, std::vector<std::string> args = {}) {
    return StartIn(instance_, command, std::move(args),
                   {{"ZEL_TEST_UID", std::to_string(kVictimUid)},
                    {"HOME", home_},
                    {"XDG_RUNTIME_DIR", ""},
                    {"XDG_CACHE_HOME", ""}});
  }

  std::string home_;
  std::string instance_ = Instance() + "_squat";
};

TEST_F(Squatted, AnotherUserWhoTakesEveryNameHeCanDoesNotStopTheUsersProcesses) {
  ChildProcess squatter = ChildProcess::Start("squat", {std::to_string(kVictimUid), instance_});
  ASSERT_EQ(squatter.ReadLine(), "squatted");

  ChildProcess owner = StartVictim("own_window");
  std::string hwnd = WindowOf(owner.ReadLine());
  ASSERT_NE(hwnd, "0");
  std::string folder = home_ + "/.cache/zel/run/" + instance_;
  struct stat status {};
  ASSERT_EQ(lstat(folder.c_str(), &status), 0) << "the squatted /tmp folder was passed over";
  EXPECT_EQ(status.st_uid, kVictimUid);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  EXPECT_TRUE(std::filesystem::exists(folder + "/msg.0.1"));
  squatter.Send("try " + folder);
  EXPECT_EQ(squatter.ReadLine(), "blocked");

  ChildProcess poster = StartVictim("post_hello", {hwnd});
  EXPECT_EQ(poster.ReadLine(), "posted");
  EXPECT_EQ(owner.ReadLine(), std::string("got ") + kGreeting);
  owner.Send("exit");
  EXPECT_EQ(owner.Wait(), 0);
  EXPECT_EQ(poster.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(folder));
  squatter.Send("exit");
  EXPECT_EQ(squatter.Wait(), 0);
}

}  // namespace
}  // namespace zel::test
