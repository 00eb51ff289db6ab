// Time from caInitializeZELComm to an issued conversation ID, against a
// zelhost on loopback and the real communication manager of this build:
//   ManagerNotRunning   the library starts the manager, which starts the system
//   ManagerRunning      the manager runs; the system is started (states 2 to 6)
//   SystemActive        the system is active; a further conversation joins it
//
// Runs in an instance of its own (it re-runs itself with ZEL_INSTANCE set),
// with its own zelhost and a configuration in a temporary directory.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "vqzmcm.h"
#include "vqzmcsw.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kSystem[] = "BENCHSYS";
constexpr char kInstanceMarker[] = "ZEL_START_BENCH_INSTANCE";

fs::path g_work;
pid_t g_host = 0;

template <typename Done>
bool WaitFor(Done done, Clock::duration limit = 30s) {
  for (Clock::time_point end = Clock::now() + limit; Clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return done();
}

bool StartHost() {
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
  std::ofstream(config) << "system " << kSystem << " 127.0.0.1:" << port << "\n";
  setenv("ZEL_CONFIG", config.c_str(), 1);
  setenv("ZEL_CPMGR_LOG", (g_work / "cpmgr.log").c_str(), 1);
  // The manager must not stop anything by itself while it is measured.
  setenv("ZEL_CPMGR_IDLE_SECONDS", "600", 1);
  return true;
}

RZ700SysStruct* System() {
  RZ700SysStruct* system = nullptr;
  return cbFindRZ700SysByName(kSystem, &system) == 0 ? system : nullptr;
}

bool ManagerRunning() { return cbReturnCPMgrState() == ZEL_CPMGR_RUNNING; }

// Stops the system through the manager, as its idle time would.
bool StopSystem() {
  RZ700SysStruct* system = System();
  return system != nullptr && cmStopAndWaitComm(system) == 0 &&
         system->usCommState == ZEL_COMM_STOPPED;
}

// Ends the manager as a SIGTERM does; it is a child of this process.
bool StopManager() {
  pid_t manager = static_cast<pid_t>(GetZELAnchorCB()->ulCPMgrPid);
  if (manager == 0 || kill(manager, SIGTERM) != 0) return false;
  return WaitFor([&] { return waitpid(manager, nullptr, WNOHANG) == manager; });
}

uint32_t Start(benchmark::State& state) {
  uint32_t conv = 0;
  uint16_t rc = caInitializeZELComm(kSystem, 0, 0, 0, &conv, 0);
  if (rc != 0) state.SkipWithError(("caInitializeZELComm rc " + std::to_string(rc)).c_str());
  return conv;
}

void ManagerNotRunning(benchmark::State& state) {
  if (ManagerRunning() && !StopManager()) state.SkipWithError("the manager did not end");
  for (auto _ : state) {
    uint32_t conv = Start(state);
    state.PauseTiming();
    caStopZELComm(conv);
    if (!StopManager()) state.SkipWithError("the manager did not end");
    state.ResumeTiming();
  }
}

void ManagerRunning(benchmark::State& state) {
  caStopZELComm(Start(state));
  if (!StopSystem()) state.SkipWithError("the system did not stop");
  for (auto _ : state) {
    uint32_t conv = Start(state);
    state.PauseTiming();
    caStopZELComm(conv);
    if (!StopSystem()) state.SkipWithError("the system did not stop");
    state.ResumeTiming();
  }
}

void SystemActive(benchmark::State& state) {
  uint32_t first = Start(state);
  for (auto _ : state) caStopZELComm(Start(state));
  caStopZELComm(first);
}

BENCHMARK(ManagerNotRunning)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(ManagerRunning)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(SystemActive)->Unit(benchmark::kMicrosecond)->Iterations(2000);

// The library joins its instance as it loads: a fresh one needs a new run.
int RunInOwnInstance(char** argv) {
  char instance[32];
  snprintf(instance, sizeof instance, "bench%d", getpid());
  setenv("ZEL_INSTANCE", instance, 1);
  setenv(kInstanceMarker, "1", 1);
  execv("/proc/self/exe", argv);
  perror("execv");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (getenv(kInstanceMarker) == nullptr) return RunInOwnInstance(argv);
  char work[] = "/tmp/zelbench.XXXXXX";
  if (mkdtemp(work) == nullptr) return 1;
  g_work = work;
  int rc = 1;
  if (StartHost()) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rc = 0;
  } else {
    fprintf(stderr, "start_bench: zelhost did not start\n");
  }
  if (ManagerRunning()) StopManager();
  if (g_host != 0) {
    kill(g_host, SIGTERM);
    waitpid(g_host, nullptr, 0);
  }
  std::error_code ignored;
  fs::remove_all(g_work, ignored);
  return rc;
}
