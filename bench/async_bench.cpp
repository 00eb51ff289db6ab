// Asynchronous requests against zelhost and the communication manager of
// this build, beside the synchronous figure of the same run, over loopback:
//   AsyncRps/size:N/outstanding:K  answers per second to caProcessAsync of
//                                  N bytes to the host program ECHO, from
//                                  one application thread that keeps K
//                                  requests outstanding on one window
//   SyncRps/size:N                 caProcessSync of the same requests, one
//                                  after the other
// Each iteration is one answer taken (and checked); items_per_second is the
// figure to compare.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench_instance.h"
#include "vqzmcsw.h"
#include "zelapp.h"

namespace {

using zel::bench::Pattern;

constexpr char kSystem[] = "BENCHSYS";
constexpr uint16_t kAnswerMessage = 0x0500;
constexpr uint32_t kAnswerWaitMs = 60'000;
constexpr int64_t kMaxOutstanding = 64;

uint32_t g_conv = 0;

// One application thread's requests on a window of its own: sends ECHO
// requests of `data` and takes their answers, knowing which are still out.
class AsyncClient {
 public:
  explicit AsyncClient(const std::vector<char>& data) : data_(data) {
    if (zelCreateWindow(&hwnd_) != 0) hwnd_ = 0;
  }
  ~AsyncClient() {
    // Answers still to come are thrown away by the manager.
    if (!outstanding_.empty()) caAbortProcessAsync(nullptr, hwnd_);
    if (hwnd_ != 0) zelDestroyWindow(hwnd_);
  }
  AsyncClient(const AsyncClient&) = delete;
  AsyncClient& operator=(const AsyncClient&) = delete;

  bool ready() const { return hwnd_ != 0; }
  size_t outstanding() const { return outstanding_.size(); }

  // Empty, or what went wrong.
  std::string Send() {
    AsyncRequest request{};
    request.ulConvId = g_conv;
    strcpy(request.szPgmName, "ECHO");
    request.pData = const_cast<char*>(data_.data());
    request.ulDataLen = static_cast<uint32_t>(data_.size());
    request.hwndNotify = hwnd_;
    request.usNotifyMsg = kAnswerMessage;
    char rid[11];
    uint16_t rc = caProcessAsync(&request, rid);
    if (rc != 0) return "caProcessAsync rc " + std::to_string(rc);
    outstanding_.emplace(rid, sizeof rid);
    return {};
  }

  // Takes the next answer and checks it against an outstanding request;
  // empty, or what went wrong.
  std::string Take() {
    ZelMessage msg{};
    uint16_t rc = zelWaitMessage(hwnd_, kAnswerWaitMs, &msg);
    if (rc != 0) return "zelWaitMessage rc " + std::to_string(rc);
    if (msg.message != kAnswerMessage) return "an unexpected message";
    std::string problem = Check(msg);
    zelFreeBlock(reinterpret_cast<void*>(msg.lParam));
    return problem;
  }

 private:
  std::string Check(const ZelMessage& msg) {
    const char* block = reinterpret_cast<const char*>(msg.lParam);
    if (block == nullptr) return "an answer without a block";
    if (msg.wParam != 0) return "a return-code answer";
    AsyncRetPrefix prefix;
    memcpy(&prefix, block, sizeof prefix);
    if (outstanding_.erase(std::string(prefix.achRID, sizeof prefix.achRID)) != 1) {
      return "an answer to no outstanding request";
    }
    bool same = prefix.ulDataLen == data_.size() &&
                memcmp(block + sizeof prefix, data_.data(), data_.size()) == 0;
    return same ? "" : "an answer that is not the request";
  }

  const std::vector<char>& data_;
  uint32_t hwnd_ = 0;
  std::unordered_set<std::string> outstanding_;
};

// Sends until `client` has `outstanding` requests out or `total` are sent;
// false (with the reason set) when a send fails.
bool Fill(benchmark::State& state, AsyncClient& client, size_t outstanding, int64_t total,
          int64_t* sent) {
  while (client.outstanding() < outstanding && *sent < total) {
    std::string problem = client.Send();
    if (!problem.empty()) {
      state.SkipWithError(problem.c_str());
      return false;
    }
    ++*sent;
  }
  return true;
}

void AsyncRps(benchmark::State& state) {
  std::vector<char> data = Pattern(static_cast<size_t>(state.range(0)));
  size_t outstanding = static_cast<size_t>(state.range(1));
  AsyncClient client(data);
  if (!client.ready()) {
    state.SkipWithError("no window");
    return;
  }
  int64_t total = static_cast<int64_t>(state.max_iterations);
  int64_t sent = 0;
  for (auto _ : state) {
    if (!Fill(state, client, outstanding, total, &sent)) break;
    std::string problem = client.Take();
    if (!problem.empty()) {
      state.SkipWithError(problem.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}

void SyncRps(benchmark::State& state) {
  std::vector<char> data = Pattern(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    bool same = false;
    uint16_t rc = zel::bench::Echo(g_conv, data, &same);
    if (!same) {
      state.SkipWithError(("caProcessSync rc " + std::to_string(rc)).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}

// The host starts a further request processor for each request that finds
// none ready; a first round at the largest window size starts them, so that
// the measured runs do not pay for it.
bool WarmUp() {
  std::vector<char> data = Pattern(64);
  AsyncClient client(data);
  if (!client.ready()) return false;
  for (int64_t i = 0; i < kMaxOutstanding; ++i) {
    if (!client.Send().empty()) return false;
  }
  for (int64_t i = 0; i < kMaxOutstanding; ++i) {
    if (!client.Take().empty()) return false;
  }
  return true;
}

void Register() {
  for (int64_t size : {int64_t{64}, int64_t{64} << 10}) {
    int64_t iterations = size < 8192 ? 3000 : 300;
    for (int64_t outstanding : {int64_t{1}, kMaxOutstanding}) {
      benchmark::RegisterBenchmark("AsyncRps", AsyncRps)
          ->ArgNames({"size", "outstanding"})
          ->Args({size, outstanding})
          ->Iterations(iterations)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("SyncRps", SyncRps)
        ->ArgName("size")
        ->Arg(size)
        ->Iterations(iterations)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
}

int RunBenchmarks(int argc, char** argv) {
  if (caInitializeZELComm(kSystem, 0, 0, 0, &g_conv, 0) != 0) {
    fprintf(stderr, "async_bench: the system did not start\n");
    return 1;
  }
  int rc = 1;
  if (WarmUp()) {
    Register();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rc = 0;
  } else {
    fprintf(stderr, "async_bench: the warm-up round failed\n");
  }
  caStopZELComm(g_conv);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  return zel::bench::RunWithHost(argv, kSystem, [&] { return RunBenchmarks(argc, argv); });
}
