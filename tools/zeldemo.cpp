// The demonstration: a host server on loopback, communication started with
// it through the public API, what the start learnt, synchronous requests to
// host programs, and a clean shutdown.
//
//   zeldemo WORKDIR
//
// Runs bin/zelhost (beside this program) on a free loopback port, writes the
// connection configuration into WORKDIR and starts communication with the
// system it names; the library starts the communication manager. After the
// conversation is stopped the manager stops the system and then itself once
// they have been idle for a second; then the host server is stopped. The
// logs of both are left in WORKDIR.
//
// Set ZEL_INSTANCE before starting it: the library joins its instance as it
// loads.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <cstring>
#include <vector>

#include "vqzmcb.h"
#include "vqzmcsw.h"
#include "zelapp.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kSystem[] = "ZELDEMO";
constexpr auto kStartWait = 10s;
constexpr auto kShutdownWait = 30s;
constexpr uint32_t kAnswerMessage = 0x8001;  // the demonstration's answer message
constexpr int kAnswerWaitMs = 30000;

// Waits, at most `limit`, for `done` to hold.
template <typename Done>
bool WaitFor(Done done, Clock::duration limit) {
  for (Clock::time_point end = Clock::now() + limit; Clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return done();
}

// Starts zelhost on a free loopback port; its pid, and the port in *port.
pid_t StartHost(const fs::path& work, unsigned* port) {
  fs::path binary = fs::read_symlink("/proc/self/exe").parent_path() / "zelhost";
  std::string port_file = (work / "zelhost.port").string();
  std::string log = (work / "zelhost.log").string();
  std::string program = binary.string();
  const char* argv[] = {program.c_str(),   "--listen", "127.0.0.1:0", "--port-file",
                        port_file.c_str(), "--log",    log.c_str(),   nullptr};
  // Its one line on standard output says what the port file says.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int spawned =
      posix_spawn(&pid, program.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return 0;
  bool listening =
      WaitFor([&] { return std::ifstream(port_file) >> *port && *port != 0; }, kStartWait);
  if (listening) return pid;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return 0;
}

bool StopHost(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, kShutdownWait);
  return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void WriteConfiguration(const fs::path& work, unsigned port) {
  fs::path config = work / "zel.conf";
  std::ofstream(config) << "# written by zeldemo\n"
                        << "system " << kSystem << " 127.0.0.1:" << port << "\n"
                        << "default " << kSystem << "\n"
                        << "user DEMOUSER\n";
  setenv("ZEL_CONFIG", config.c_str(), 1);
  setenv("ZEL_CPMGR_LOG", (work / "cpmgr.log").c_str(), 1);
  setenv("ZEL_CPMGR_IDLE_SECONDS", "1", 1);
}

// Prints what the start put into the system's record.
bool ShowSystem() {
  RZ700SysStruct* system = nullptr;
  if (cbFindRZ700SysByName(kSystem, &system) != 0) return false;
  std::printf("  PWS system ID:       %.3s\n", system->achPWSSysID);
  std::printf("  user profile:        %s\n", system->szUserProfile);
  std::printf("  data-queue library:  %s\n", system->szDQLib);
  std::printf("  data-queue name:     %s\n", system->szDQName);
  std::printf("  system ID:           %s, comm state %u\n", system->szSysID,
              static_cast<unsigned>(system->usCommState));
  return true;
}

// The manager is a child of this process: it ends by itself once nothing has
// run for its idle time.
bool WaitForManagerEnd() {
  pid_t manager = static_cast<pid_t>(GetZELAnchorCB()->ulCPMgrPid);
  return WaitFor([&] { return waitpid(manager, nullptr, WNOHANG) == manager; }, kShutdownWait);
}

// One caProcessSync to the host program ECHO with `size` bytes of data;
// prints what came back and how long it took. True when the reply is the
// request.
bool Echo(uint32_t conv, uint32_t value, size_t size) {
  std::vector<char> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 26);
  ProcessRequest request{};
  request.ulConvId = conv;
  std::strcpy(request.szPgmName, "ECHO");
  request.ulValue = value;
  request.pData = data.data();
  request.ulDataLen = static_cast<uint32_t>(size);
  request.ulTimeout = 30;
  ProcessReply reply{};
  Clock::time_point begun = Clock::now();
  uint16_t rc = caProcessSync(&request, &reply);
  auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begun);
  void* reply_data = reply.pData;
  uint32_t reply_length = reply.ulDataLen;
  bool same = reply_length == size && (size == 0 || std::memcmp(reply_data, data.data(), size) == 0);
  std::printf("caProcessSync(ECHO, %zu bytes): rc %u, RID %.11s, reply %u bytes, %s (%lld us)\n",
              size, rc, reply.achRID, reply_length, same ? "the same bytes" : "NOT the same bytes",
              static_cast<long long>(took.count()));
  if (reply_data != nullptr) zelFreeBlock(reply_data);
  return rc == 0 && same;
}

// One caProcessAsync to ECHO with `size` bytes; the answer is taken from
// a window of this thread once its descriptor polls readable. True when it
// is the request's.
bool EchoAsync(uint32_t conv, uint32_t value, size_t size) {
  std::vector<char> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('A' + i % 26);
  uint32_t hwnd = 0;
  if (zelCreateWindow(&hwnd) != 0) return false;
  AsyncRequest request{};
  request.ulConvId = conv;
  std::strcpy(request.szPgmName, "ECHO");
  request.ulValue = value;
  request.pData = data.data();
  request.ulDataLen = static_cast<uint32_t>(size);
  request.hwndNotify = hwnd;
  request.usNotifyMsg = kAnswerMessage;
  char rid[11] = {};
  Clock::time_point begun = Clock::now();
  uint16_t rc = caProcessAsync(&request, rid);
  ZelMessage message{};
  pollfd ready{zelWindowFd(hwnd), POLLIN, 0};
  if (rc == 0 && poll(&ready, 1, kAnswerWaitMs) == 1) rc = zelWaitMessage(hwnd, 0, &message);
  auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - begun);
  AsyncRetPrefix prefix{};
  auto* block = reinterpret_cast<char*>(message.lParam);
  if (block != nullptr && message.wParam == 0) std::memcpy(&prefix, block, sizeof prefix);
  bool same = rc == 0 && message.message == kAnswerMessage && message.wParam == 0 &&
              std::memcmp(prefix.achRID, rid, sizeof rid) == 0 && prefix.ulValue == value &&
              prefix.ulDataLen == size &&
              (size == 0 || std::memcmp(block + sizeof prefix, data.data(), size) == 0);
  std::printf("caProcessAsync(ECHO, %zu bytes): rc %u, RID %.11s, answer wParam %lu, %u bytes, %s "
              "(%lld us)\n",
              size, rc, rid, static_cast<unsigned long>(message.wParam), prefix.ulDataLen,
              same ? "the same bytes" : "NOT the same bytes", static_cast<long long>(took.count()));
  zelFreeBlock(block);
  zelDestroyWindow(hwnd);
  return same;
}

int Run(const fs::path& work) {
  unsigned port = 0;
  pid_t host = StartHost(work, &port);
  if (host == 0) {
    std::fprintf(stderr, "zeldemo: zelhost did not start (see %s)\n",
                 (work / "zelhost.log").c_str());
    return 1;
  }
  std::printf("zelhost listening on 127.0.0.1:%u\n", port);
  WriteConfiguration(work, port);
  std::printf("configuration %s: system %s at 127.0.0.1:%u\n", (work / "zel.conf").c_str(), kSystem,
              port);

  Clock::time_point begun = Clock::now();
  uint32_t conv = 0;
  uint16_t rc = caInitializeZELComm(kSystem, 0, 0, 0, &conv, 0);
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begun);
  std::printf("caInitializeZELComm(\"%s\"): rc %u, conversation ID %u (%lld ms, manager started)\n",
              kSystem, rc, conv, static_cast<long long>(took.count()));
  bool ok = rc == 0 && ShowSystem();
  if (ok) {
    ok = Echo(conv, 1, 64) && Echo(conv, 2, size_t{1} << 20) && EchoAsync(conv, 3, 64) &&
         EchoAsync(conv, 4, size_t{1} << 20);
  }
  if (rc == 0) std::printf("caStopZELComm(%u): rc %u\n", conv, caStopZELComm(conv));

  bool manager_ended = WaitForManagerEnd();
  std::printf("communication manager %s\n", manager_ended
                                                ? "stopped the system and ended after its idle time"
                                                : "did not end in time");
  bool host_stopped = StopHost(host);
  std::printf("zelhost %s\n", host_stopped ? "stopped" : "did not stop cleanly");
  return ok && manager_ended && host_stopped ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zeldemo WORKDIR\n");
    return 2;
  }
  fs::path work = argv[1];
  std::error_code error;
  fs::create_directories(work, error);
  if (error) {
    std::fprintf(stderr, "zeldemo: cannot create %s: %s\n", argv[1], error.message().c_str());
    return 1;
  }
  return Run(fs::absolute(work));
}
