// The manager watch of an application process. The manager posts the
// answers of asynchronous requests; once it is dead nothing would ever
// answer them. So while requests of this process's windows are
// outstanding, a thread of the process looks at the manager, and when the
// manager is gone it answers each of them with 1056 itself.
#include <chrono>
#include <mutex>
#include <thread>

#include "base/trace.h"
#include "dataqueue/dataqueue.h"
#include "manager/manager.h"
#include "api/api.h"
#include "platform/handles.h"
#include "platform/process.h"
#include "services/platform_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmca1")

namespace zel::api {
namespace {

using services::Plat;

constexpr std::chrono::milliseconds kWatchPeriod{250};
constexpr size_t kWatchStack = 64 * 1024;

std::mutex g_watch_mutex;
// The process whose watch thread runs, or 0; under g_watch_mutex. A child
// of fork() has no thread of its parent's, so it starts its own.
uint32_t g_watching = 0;

// Ends the watch when this process has nothing outstanding. Under the
// watch's mutex, so that a request listed meanwhile finds no watch and
// starts one.
bool NothingOutstanding(uint32_t self) {
  std::lock_guard lock(g_watch_mutex);
  if (cdCountAsyncOfProcess(self) != 0) return false;
  g_watching = 0;
  return true;
}

platform::DWORD RunWatch(void*) {
  const uint32_t self = platform::GetCurrentProcessId();
  for (;;) {
    std::this_thread::sleep_for(kWatchPeriod);
    if (platform::ProcessIsEnding() || NothingOutstanding(self)) return 0;
    if (manager::CPMgrAlive()) continue;
    trace::Msg("CA", -50, "CPMgr is gone; outstanding answers released");
    cdReleaseAsyncOfDeadManager(VQZM_RC_CPMGR_ENDED, self);
  }
}

}  // namespace

void WatchManager() {
  std::lock_guard lock(g_watch_mutex);
  const uint32_t self = platform::GetCurrentProcessId();
  if (g_watching == self) return;
  platform::UniqueHandle thread(Plat().CreateThread(kWatchStack, RunWatch, nullptr, nullptr));
  if (!thread && ZEL_ERROR_POINT("EXT_LAUNCH_WATCH")) {
    trace::SysRc("CA", -100, "CPMgr watch not started rc=", platform::GetLastError());
    return;
  }
  g_watching = self;
}

void ReleaseAnswersOfDeadManager() {
  if (manager::CPMgrAlive()) return;
  cdReleaseAsyncOfDeadManager(VQZM_RC_CPMGR_ENDED, 0);
}

}  // namespace zel::api
