// Time from caInitializeZELComm to an issued conversation ID, against a
// zelhost on loopback and the real communication manager of this build:
//   ManagerNotRunning   the library starts the manager, which starts the system
//   ManagerRunning      the manager runs; the system is started (states 2 to 6)
//   SystemActive        the system is active; a further conversation joins it
//
// Runs in an instance of its own, with its own zelhost (bench_instance.h).
#include <benchmark/benchmark.h>

#include <string>

#include "bench_instance.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"

namespace {

using zel::bench::StopManager;
using zel::bench::WaitFor;

constexpr char kSystem[] = "BENCHSYS";

RZ700SysStruct* System() {
  RZ700SysStruct* system = nullptr;
  return cbFindRZ700SysByName(kSystem, &system) == 0 ? system : nullptr;
}

bool ManagerRunning() { return zel::bench::ManagerPid() != 0; }

// Stops the system through the manager, as its idle time would.
bool StopSystem() {
  RZ700SysStruct* system = System();
  return system != nullptr && cmStopAndWaitComm(system) == 0 &&
         system->usCommState == ZEL_COMM_STOPPED;
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

}  // namespace

int main(int argc, char** argv) {
  return zel::bench::RunWithHost(argv, kSystem, [&] {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
  });
}
