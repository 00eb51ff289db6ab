// The cost of the manager's request queue: the same ECHO to zelhost, once
// from an application (caProcessSync, the work done in the calling thread)
// and once from a thread inside the manager, where the obtain, the send and
// the retrieval are each handed to a worker of the request queue:
//   AppEcho/N       caProcessSync from an application, N bytes each way
//   ManagerEcho/N   the same exchange from a thread of a process that is the
//                   manager (this program, run again as VQZMCMW.EXE)
//   ManagerDirectEcho/N  the manager's exchange done in the calling thread,
//                   without the hand-over
// Both run against bin/zelhost of this build; the difference per request is
// the hand-over (three requests through the pipe, three worker threads, three
// per-request events).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/trace.h"
#include "bench_instance.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/object_names.h"
#include "dataqueue/dataqueue.h"
#include "hostlink/hostlink.h"
#include "platform/globalmem.h"
#include "platform/window.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "zelapp.h"

extern char** environ;

namespace {

using zel::bench::Pattern;

namespace platform = zel::platform;

constexpr char kSystem[] = "BENCHSYS";
constexpr uint32_t kProgramWidth = 21;

uint32_t g_conv = 0;
RZ700SysStruct* g_system = nullptr;

bool SameReply(const void* reply, uint32_t length, const std::vector<char>& data) {
  return length == data.size() && (data.empty() || memcmp(reply, data.data(), length) == 0);
}

bool AppEcho(const std::vector<char>& data) {
  bool same = false;
  zel::bench::Echo(g_conv, data, &same);
  return same;
}

// The calls of one exchange: obtain, send, retrieve.
struct Exchange {
  uint16_t (*obtain)(RZ700SysStruct*);
  uint16_t (*send)(RZ700SysStruct*, ReqBufferDesc*);
  uint16_t (*retrieve)(RZ700SysStruct*, RtvDataDesc*);
};

// caProcessSync's exchange, from a thread of the manager.
bool ManagerExchange(const Exchange& calls, const std::vector<char>& data) {
  using namespace zel::ctrlblk;
  if (calls.obtain(g_system) != 0) return false;
  char rid[ZEL_RID_LEN];
  cbCreateRID(g_system, 'S', rid);
  ReqBufferDesc req{};
  req.pData = const_cast<char*>(data.data());
  req.ulDataLen = static_cast<uint32_t>(data.size());
  memcpy(req.achProgram, "ECHO", 4);
  cbBlankPad(req.achProgram, kProgramWidth);
  cbCreatePRID('A', rid, req.achKey);
  if (calls.send(g_system, &req) != 0) return false;
  RtvDataDesc rtv{};
  cbCreatePRID('S', rid, rtv.achKey);
  rtv.ulTimeout = 60;
  bool same = calls.retrieve(g_system, &rtv) == 0 && SameReply(rtv.pData, rtv.ulDataLen, data);
  if (rtv.pData != nullptr) platform::GlobalFree(rtv.pData);
  return same;
}

// Each of the three handed over to a worker of the request queue.
bool ManagerEcho(const std::vector<char>& data) {
  return ManagerExchange({zel::hostlink::ccObtainRZ700RRP, cdSendReqBuffer, cdRtvData}, data);
}

// The same work done in the calling thread, on the manager's connection:
// the difference to ManagerEcho is the hand-over alone.
bool ManagerDirectEcho(const std::vector<char>& data) {
  return ManagerExchange(
      {zel::hostlink::ccCPMgrObtainRZ700RRP, cdCPMgrSendReqBuffer, cdCPMgrRtvData}, data);
}

template <bool (*Echo)(const std::vector<char>&)>
void EchoBench(benchmark::State& state) {
  std::vector<char> data = Pattern(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    if (!Echo(data)) {
      state.SkipWithError("the echo failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}

void Register(const char* name, void (*function)(benchmark::State&)) {
  for (int64_t size : {int64_t{64}, int64_t{1} << 20}) {
    benchmark::RegisterBenchmark(name, function)
        ->Arg(size)
        ->Iterations(size >= (1 << 20) ? 30 : 1000)
        ->Unit(benchmark::kMicrosecond);
  }
}

int RunRegistered(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// Drains the window's queue (the comm thread's reports) until `done`.
bool PumpUntil(const std::function<bool()>& done) {
  return zel::bench::WaitFor([&done] {
    platform::MSG msg;
    while (platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
    }
    return done();
  });
}

// Run as VQZMCMW.EXE: the manager's window, its request queue and the
// system's comm thread, as the manager has them, then the benchmarks.
int InManager(int argc, char** argv) {
  platform::HWND hwnd =
      platform::CreateMessageWindow([](platform::HWND, platform::UINT, platform::WPARAM,
                                       platform::LPARAM) -> platform::LRESULT { return 0; });
  cbSetCPMgrHwnd(hwnd);
  cbSetCPMgrState(ZEL_CPMGR_RUNNING);
  if (cdInitDQProcThread() != 0 || cmAddSystemByName(kSystem, &g_system) != 0 ||
      btLaunchThread(ccCommThread, 12288, g_system) != 0 ||
      !PumpUntil([] { return g_system->usCommState == ZEL_COMM_ACTIVE; })) {
    fprintf(stderr, "handover_bench: the system did not start inside the manager\n");
    return 1;
  }
  Register("ManagerEcho", EchoBench<ManagerEcho>);
  Register("ManagerDirectEcho", EchoBench<ManagerDirectEcho>);
  int rc = RunRegistered(argc, argv);
  cmSendTermMsg(g_system);
  PumpUntil([] { return g_system->usCommState == ZEL_COMM_STOPPED; });
  cbSetCPMgrState(ZEL_CPMGR_NOT_RUNNING);
  return rc;
}

// Runs this program again as the manager, from the work directory.
int RunAsManager(char** argv) {
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  std::filesystem::path copy = zel::bench::WorkDir() / zel::ctrlblk::kManagerProgramName;
  std::filesystem::copy_file(self, copy, std::filesystem::copy_options::overwrite_existing);
  setenv("LD_LIBRARY_PATH", (self.parent_path().parent_path() / "lib").c_str(), 1);
  std::string path = copy.string();
  argv[0] = path.data();
  pid_t pid = 0;
  if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) != 0) return 1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::filesystem::path(argv[0]).filename() == zel::ctrlblk::kManagerProgramName) {
    return InManager(argc, argv);
  }
  return zel::bench::RunWithHost(argv, kSystem, [argc, argv] {
    if (caInitializeZELComm(kSystem, 0, 0, 0, &g_conv, 0) != 0) {
      fprintf(stderr, "handover_bench: the system did not start\n");
      return 1;
    }
    Register("AppEcho", EchoBench<AppEcho>);
    int rc = RunRegistered(argc, argv);
    caStopZELComm(g_conv);
    if (rc != 0 || !zel::bench::StopManager()) return 1;
    return RunAsManager(argv);
  });
}
