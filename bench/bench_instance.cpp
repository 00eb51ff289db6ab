#include "bench_instance.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include <cstring>

#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "zelapp.h"

extern char** environ;

namespace zel::bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kInstanceMarker[] = "ZEL_BENCH_INSTANCE";

fs::path g_work;
pid_t g_host = 0;

bool StartHost(const char* system) {
  fs::path binary =
      fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "bin" / "zelhost";
  std::string program = binary.string();
  std::string port_file = (g_work / "port").string();
  std::string log = (g_work / "zelhost.log").string();
  const char* argv[] = {program.c_str(),   "--listen", "127.0.0.1:0", "--port-file",
                        port_file.c_str(), "--log",    log.c_str(),   nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  int spawned =
      posix_spawn(&g_host, program.c_str(), &actions, nullptr, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  unsigned port = 0;
  if (spawned != 0 || !WaitFor([&] { return std::ifstream(port_file) >> port && port != 0; })) {
    return false;
  }
  fs::path config = g_work / "zel.conf";
  std::ofstream(config) << "system " << system << " 127.0.0.1:" << port << "\n";
  setenv("ZEL_CONFIG", config.c_str(), 1);
  setenv("ZEL_CPMGR_LOG", (g_work / "cpmgr.log").c_str(), 1);
  // The manager must not stop anything by itself while it is measured.
  setenv("ZEL_CPMGR_IDLE_SECONDS", "600", 1);
  return true;
}

int ReRunInOwnInstance(char** argv) {
  char instance[32];
  snprintf(instance, sizeof instance, "bench%d", getpid());
  setenv("ZEL_INSTANCE", instance, 1);
  setenv(kInstanceMarker, "1", 1);
  execv("/proc/self/exe", argv);
  perror("execv");
  return 1;
}

}  // namespace

bool WaitFor(const std::function<bool()>& done, Clock::duration limit) {
  for (Clock::time_point end = Clock::now() + limit; Clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

const fs::path& WorkDir() { return g_work; }

pid_t HostPid() { return g_host; }

pid_t ManagerPid() {
  return cbReturnCPMgrState() == ZEL_CPMGR_RUNNING
             ? static_cast<pid_t>(GetZELAnchorCB()->ulCPMgrPid)
             : 0;
}

bool StopManager() {
  pid_t manager = static_cast<pid_t>(GetZELAnchorCB()->ulCPMgrPid);
  if (manager == 0 || kill(manager, SIGTERM) != 0) return false;
  return WaitFor([&] { return waitpid(manager, nullptr, WNOHANG) == manager; });
}

int RunWithHost(char** argv, const char* system, const std::function<int()>& body) {
  if (getenv(kInstanceMarker) == nullptr) return ReRunInOwnInstance(argv);
  char work[] = "/tmp/zelbench.XXXXXX";
  if (mkdtemp(work) == nullptr) return 1;
  g_work = work;
  int rc = 1;
  if (StartHost(system)) {
    rc = body();
  } else {
    fprintf(stderr, "zelhost did not start\n");
  }
  if (ManagerPid() != 0) StopManager();
  if (g_host != 0) {
    kill(g_host, SIGTERM);
    waitpid(g_host, nullptr, 0);
  }
  std::error_code ignored;
  fs::remove_all(g_work, ignored);
  return rc;
}

std::vector<char> Pattern(size_t size) {
  std::vector<char> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('A' + i % 26);
  return data;
}

uint16_t Echo(uint32_t conv, const std::vector<char>& data, bool* same) {
  ProcessRequest request{};
  request.ulConvId = conv;
  strcpy(request.szPgmName, "ECHO");
  request.pData = const_cast<char*>(data.data());
  request.ulDataLen = static_cast<uint32_t>(data.size());
  request.ulTimeout = 60;
  ProcessReply reply{};
  uint16_t rc = caProcessSync(&request, &reply);
  void* reply_data = reply.pData;
  *same = rc == 0 && reply.ulDataLen == data.size() &&
          (data.empty() || memcmp(reply_data, data.data(), data.size()) == 0);
  if (reply_data != nullptr) zelFreeBlock(reply_data);
  return rc;
}

}  // namespace zel::bench
