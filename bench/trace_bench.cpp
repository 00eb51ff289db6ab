// Cost of a trace call with the switch off (the test of the switch only) and
// on (formatting and one append to a trace file), from one thread and from two.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "base/trace.h"
#include "vqzmrc.h"

namespace {

std::string TraceFile() { return "/tmp/zel-trace-bench." + std::to_string(getpid()) + ".log"; }

void BM_TraceOff(benchmark::State& state) {
  btTraceOpen(nullptr);
  for (auto _ : state) {
    zel::trace::Rc("CA", 100,
                   "error returned from cmInitCPMStateSem() rc=", VQZM_RC_INTERNAL_ERROR);
    zel::trace::Msg("CA", 101, "a plain message");
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_TraceOff);

void BM_TraceOn(benchmark::State& state) {
  std::string path = TraceFile();
  if (state.thread_index() == 0) btTraceOpen(path.c_str());
  for (auto _ : state) {
    zel::trace::Rc("CA", 100,
                   "error returned from cmInitCPMStateSem() rc=", VQZM_RC_INTERNAL_ERROR);
    zel::trace::Msg("CA", 101, "a plain message");
  }
  state.SetItemsProcessed(state.iterations() * 2);
  if (state.thread_index() == 0) {
    btTraceOpen(nullptr);
    unlink(path.c_str());
  }
}
BENCHMARK(BM_TraceOn)->Threads(1)->Threads(2);

void BM_TraceDumpOn(benchmark::State& state) {
  std::string path = TraceFile();
  btTraceOpen(path.c_str());
  std::string data(128, 'x');
  for (auto _ : state) {
    zel::trace::Dump("CD", 100, "header", data.data(), static_cast<uint32_t>(data.size()));
  }
  state.SetItemsProcessed(state.iterations());
  btTraceOpen(nullptr);
  unlink(path.c_str());
}
BENCHMARK(BM_TraceDumpOn);

}  // namespace

BENCHMARK_MAIN();
