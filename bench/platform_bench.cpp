// Costs of the platform layer's fast paths: an uncontended mutex, an event
// ping-pong between two threads, posted and sent round trips within a
// process and between two processes, and global memory.
//
// Run from the build tree: build/release/bench/platform_bench. The second
// process of the cross-process cases is this program started with
// "--echo <hwnd>"; everything runs in an instance of its own.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/event.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/module.h"
#include "platform/mutex.h"
#include "platform/process.h"
#include "platform/window.h"

namespace {

using namespace zel::platform;

constexpr UINT kPing = WM_USER + 1;
constexpr UINT kPong = WM_USER + 2;
constexpr UINT kHello = WM_USER + 3;
constexpr UINT kSend = WM_USER + 4;
constexpr UINT kQuit = WM_USER + 5;

void BM_MutexUncontended(benchmark::State& state) {
  HANDLE mutex = CreateMutex(false, "bench mutex");
  for (auto _ : state) {
    WaitForSingleObject(mutex, INFINITE);
    ReleaseMutex(mutex);
  }
  CloseHandle(mutex);
}
BENCHMARK(BM_MutexUncontended);

void BM_EventSetWaitPingPong(benchmark::State& state) {
  HANDLE ping = CreateEvent(false, false, "bench ping");
  HANDLE pong = CreateEvent(false, false, "bench pong");
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    for (;;) {
      WaitForSingleObject(ping, INFINITE);
      if (stop.load()) return;
      SetEvent(pong);
    }
  });
  for (auto _ : state) {
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
  }
  stop = true;
  SetEvent(ping);
  partner.join();
  CloseHandle(ping);
  CloseHandle(pong);
}
BENCHMARK(BM_EventSetWaitPingPong)->UseRealTime();

// Waits for the next posted message of the calling thread and takes it.
void NextMessage(MSG* msg) {
  while (GetMessage(msg, 0, 0, 0) > 0 && msg->message != kPong && msg->message != kHello) {
  }
}

void BM_PostRoundTripBetweenThreads(benchmark::State& state) {
  HWND own = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  std::atomic<HWND> partner{0};
  std::thread owner([&] {
    partner = CreateMessageWindow([own](HWND, UINT message, WPARAM wParam, LPARAM) {
      if (message == kPing) PostMessage(own, kPong, wParam, 0);
      if (message == kQuit) PostQuitMessage(0);
      return LRESULT{0};
    });
    MSG msg;
    while (GetMessage(&msg, 0, 0, 0) > 0) DispatchMessage(&msg);
  });
  while (partner.load() == 0) std::this_thread::yield();
  MSG msg;
  for (auto _ : state) {
    PostMessage(partner, kPing, 1, 0);
    NextMessage(&msg);
  }
  PostMessage(partner, kQuit, 0, 0);
  owner.join();
  DestroyWindow(own);
}
BENCHMARK(BM_PostRoundTripBetweenThreads)->UseRealTime();

// The echo process of the cross-process cases.
class EchoProcess {
 public:
  EchoProcess() {
    own_ = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
    char path[4096];
    DWORD length = GetModuleFileName(0, path, sizeof path);
    std::string line = std::string(path, length) + " --echo " + std::to_string(own_);
    PROCESS_INFORMATION info{};
    if (!CreateProcess(nullptr, line.c_str(), 0, &info)) return;
    process_ = info.hProcess;
    MSG msg;
    NextMessage(&msg);
    echo_ = static_cast<HWND>(msg.wParam);
  }
  ~EchoProcess() {
    PostMessage(echo_, kQuit, 0, 0);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
    DestroyWindow(own_);
  }
  HWND echo() const { return echo_; }

 private:
  HWND own_ = 0;
  HWND echo_ = 0;
  HANDLE process_ = 0;
};

void BM_PostRoundTripBetweenProcesses(benchmark::State& state) {
  EchoProcess echo;
  if (echo.echo() == 0) {
    state.SkipWithError("the echo process did not start");
    return;
  }
  MSG msg;
  for (auto _ : state) {
    PostMessage(echo.echo(), kPing, 1, 0);
    NextMessage(&msg);
  }
}
BENCHMARK(BM_PostRoundTripBetweenProcesses)->UseRealTime();

void BM_SendRoundTripBetweenProcesses(benchmark::State& state) {
  EchoProcess echo;
  if (echo.echo() == 0) {
    state.SkipWithError("the echo process did not start");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(SendMessage(echo.echo(), kSend, 20, 22));
}
BENCHMARK(BM_SendRoundTripBetweenProcesses)->UseRealTime();

void BM_GlobalAllocFree(benchmark::State& state) {
  size_t size = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    void* block = GlobalAlloc(GMEM_SHARE | GMEM_ZEROINIT, size);
    benchmark::DoNotOptimize(block);
    GlobalFree(block);
  }
}
BENCHMARK(BM_GlobalAllocFree)->Arg(64)->Arg(32767);

// Echoes kPing as kPong to the window named on the command line, answers
// kSend with wParam + lParam, and ends on kQuit.
int RunEcho(HWND parent) {
  HWND own = CreateMessageWindow([parent](HWND, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kPing) PostMessage(parent, kPong, wParam, 0);
    if (message == kQuit) PostQuitMessage(0);
    return static_cast<LRESULT>(wParam) + lParam;
  });
  PostMessage(parent, kHello, own, 0);
  MSG msg;
  while (GetMessage(&msg, 0, 0, 0) > 0) DispatchMessage(&msg);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--echo") == 0) {
    return RunEcho(static_cast<HWND>(std::stoul(argv[2])));
  }
  // An instance of its own, inherited by the echo process.
  setenv("ZEL_INSTANCE", ("bench" + std::to_string(getpid())).c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
