// Data-queue round trips over loopback against a real zelhost: one write and
// one keyed read of the same entry per iteration, for 128-byte and 8,320-byte
// entries, from one client and from four (each its own system object and
// connection, each reading its own key).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "services/connection.h"
#include "services/dataqueue.h"

extern char** environ;

namespace {

constexpr char kLibrary[] = "QZELDQ";
constexpr char kQueue[] = "BENCHQ";

std::string g_dir;

// Starts bin/zelhost of this build tree on an ephemeral port; its pid.
pid_t StartHost() {
  auto self = std::filesystem::read_symlink("/proc/self/exe");
  std::string binary = (self.parent_path().parent_path() / "bin" / "zelhost").string();
  std::string port_file = g_dir + "/port", log = g_dir + "/zelhost.log";
  const char* argv[] = {binary.c_str(), "--port-file", port_file.c_str(),
                        "--log",        log.c_str(),   nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, binary.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ)) {
    return -1;
  }
  for (int i = 0; i < 500; ++i) {  // bounded wait for the port file
    unsigned port = 0;
    if (std::ifstream(port_file) >> port && port != 0) {
      std::string config = g_dir + "/zel.conf";
      std::ofstream(config) << "system BENCH 127.0.0.1:" << port << "\ndefault BENCH\n";
      setenv("ZEL_CONFIG", config.c_str(), 1);
      return pid;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  return -1;
}

bool CreateQueue() {
  uint32_t system = 0;
  if (qlxCO_CreateSystem("BENCH", &system) != 0) return false;
  uint32_t attributes = qlxDQ_CreateAttr();
  qlxDQ_SetMaxRecLen(attributes, 8320);
  qlxDQ_SetKeySize(attributes, 12);
  bool ok = qlxDQ_CreateEx(system, kQueue, kLibrary, attributes, 0) == 0;
  qlxDQ_DeleteAttr(attributes);
  qlxCO_DeleteSystem(system);
  return ok;
}

void BM_WriteReadRoundTrip(benchmark::State& state) {
  const uint32_t size = static_cast<uint32_t>(state.range(0));
  uint32_t system = 0, queue = 0;
  if (qlxCO_CreateSystem("BENCH", &system) != 0 ||
      qlxDQ_OpenEx(system, kQueue, kLibrary, &queue, 0) != 0) {
    state.SkipWithError("no queue");
    return;
  }
  char key[13];
  std::snprintf(key, sizeof key, "SBENCH%06d", state.thread_index());
  std::string out(size, 'x'), in(size, '\0');
  uint32_t write_data = qlxDQ_CreateData(), read_data = qlxDQ_CreateData();
  qlxDQ_SetDataAddr(write_data, out.data(), size);
  qlxDQ_SetKey(write_data, key, 12);
  qlxDQ_SetDataAddr(read_data, in.data(), size);
  qlxDQ_SetKey(read_data, key, 12);
  qlxDQ_SetSearchOrder(read_data, QLXDQ_ORDER_EQ);
  for (auto _ : state) {
    uint32_t read = 0;
    uint32_t rc = qlxDQ_Write(queue, write_data, 1, 0);
    if (rc == 0) rc = qlxDQ_AsyncRead(queue, read_data, 5, &read, 0);
    if (rc == 0) rc = QLXDQ_RC_IN_PROGRESS;
    for (int i = 0; i < 20 && rc == QLXDQ_RC_IN_PROGRESS; ++i) rc = qlxDQ_CheckData(read, 0);
    if (rc != 0) {
      state.SkipWithError("round trip failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * size * 2);
  qlxDQ_DeleteData(write_data);
  qlxDQ_DeleteData(read_data);
  qlxDQ_Close(queue);
  qlxCO_DeleteSystem(system);
}
BENCHMARK(BM_WriteReadRoundTrip)->Arg(128)->Arg(8320)->Threads(1)->UseRealTime();
BENCHMARK(BM_WriteReadRoundTrip)->Arg(128)->Arg(8320)->Threads(4)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  char dir[] = "/tmp/zel-dq-bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  g_dir = dir;
  pid_t host = StartHost();
  int code = 1;
  if (host > 0 && CreateQueue()) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    code = 0;
  } else {
    std::fprintf(stderr, "dq_bench: zelhost did not start (see %s)\n", dir);
  }
  if (host > 0) {
    kill(host, SIGTERM);
    waitpid(host, nullptr, 0);
  }
  std::filesystem::remove_all(g_dir);
  return code;
}
