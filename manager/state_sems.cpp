// The named objects that serialise the manager's decisions: "STATE", the
// per-system "COMMSTATE" mutexes, and the "RUNNING" and "STARTED" events.
#include <pthread.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/object_names.h"
#include "manager/manager.h"
#include "platform/event.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "services/platform_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcm1")

using zel::services::Plat;

namespace zel::manager {
namespace {

using namespace zel::platform;

// A handle that every thread of this process shares, opened by the first
// user and closed by the last, so that threads never close each other's
// handle. The shared records' handle fields are left alone: a handle means
// nothing in another process.
struct SharedHandle {
  HANDLE handle = 0;
  int users = 0;
};

std::mutex g_handles_mutex;
SharedHandle g_state;                               // "STATE"
std::map<std::string, SharedHandle> g_comm_states;  // "COMMSTATE" + system ID
HANDLE g_running = 0;                               // "RUNNING", held by the CPMgr

// The handles' lock is held across a fork, so that a forked child (which
// keeps the parent's handles) never finds the table half-changed or the
// lock taken by a thread it does not have. Taken before the platform's
// locks, as every holder takes those under it.
void LockHandlesForFork() { g_handles_mutex.lock(); }

void UnlockHandlesAfterFork() { g_handles_mutex.unlock(); }

[[gnu::constructor]] void WatchForks() {
  pthread_atfork(LockHandlesForFork, UnlockHandlesAfterFork, UnlockHandlesAfterFork);
}

std::string CommStateName(const RZ700SysStruct* pSystem) {
  return std::string(ctrlblk::kCommStatePrefix) + std::string(pSystem->szSysID, 3);
}

HANDLE CommStateHandle(const RZ700SysStruct* pSystem) {
  std::lock_guard lock(g_handles_mutex);
  auto found = g_comm_states.find(CommStateName(pSystem));
  return found == g_comm_states.end() ? 0 : found->second.handle;
}

// Creates or opens the mutex `name` for one more user of `shared`; false
// when it cannot be created.
bool OpenShared(SharedHandle& shared, const char* name) {
  if (shared.users == 0) {
    shared.handle = Plat().CreateMutex(false, name);
    if (shared.handle == 0) return false;
  }
  ++shared.users;
  return true;
}

void CloseShared(SharedHandle& shared) {
  if (shared.users == 0) return;
  if (--shared.users == 0) {
    CloseHandle(shared.handle);
    shared.handle = 0;
  }
}

HANDLE StateHandle() {
  std::lock_guard lock(g_handles_mutex);
  return g_state.handle;
}

}  // namespace

uint16_t cmInitCommStateSem(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CM", "cmInitCommStateSem");
  std::string name = CommStateName(pSystem);
  std::lock_guard lock(g_handles_mutex);
  if (!OpenShared(g_comm_states[name], name.c_str()) && ZEL_ERROR_POINT("CREATE_SEM_ERROR")) {
    g_comm_states.erase(name);
    trace::SysRc("CM", -100, "DosCreateMutexSem() error rc=", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
}

uint16_t cmCtrlCommStateSem(RZ700SysStruct* pSystem, uint32_t ulTimeout) {
  ZEL_TRACE_FUNCTION("CM", "cmCtrlCommStateSem");
  DWORD wait = Plat().WaitForSingleObject(CommStateHandle(pSystem), ulTimeout);
  if (wait == WAIT_FAILED && ZEL_ERROR_POINT("SEM_ERROR")) {
    trace::Msg("CM", -100, "Semaphore Error ");
    trace::SysErrorText("CM");
    return VQZM_RC_MUTEX_WAIT_FAILED;
  }
  return 0;
}

uint16_t cmReleaseCommStateSem(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CM", "cmReleaseCommStateSem");
  if (!Plat().ReleaseMutex(CommStateHandle(pSystem))) {
    trace::SysRc("CM", -100, "ReleaseMutex() error rc=", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
}

uint16_t cmCloseCommStateSem(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CM", "cmCloseCommStateSem");
  std::lock_guard lock(g_handles_mutex);
  auto found = g_comm_states.find(CommStateName(pSystem));
  if (found == g_comm_states.end()) return 0;
  CloseShared(found->second);
  if (found->second.users == 0) g_comm_states.erase(found);
  return 0;
}

uint16_t cmPostRunningSem(uint16_t usRC) {
  ZEL_TRACE_FUNCTION("CM", "cmPostRunningSem");
  ctrlblk::Anchor().usCPMgrRC = usRC;
  UniqueHandle running(Plat().OpenEvent(EVENT_ALL_ACCESS, false, ctrlblk::kRunningName));
  if (!running && ZEL_ERROR_POINT("OPEN_RUNNING_SEM_ERROR")) {
    trace::Msg("CM", -100, "Open Running Semaphore error");
    trace::SysErrorText("CM");
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (!Plat().SetEvent(running.get()) && ZEL_ERROR_POINT("POST_EVENT_ERROR")) {
    trace::Msg("CM", -100, "Reset Event error");
    trace::SysErrorText("CM");
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (!running.Close() && ZEL_ERROR_POINT("CLOSE_POST_RUNNING_ERROR")) {
    trace::Msg("CM", -100, "Close Running Semaphore error");
    trace::SysErrorText("CM");
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
}

StateMutexHold::~StateMutexHold() {
  Release();
  if (opened_) cmCloseCPMStateSem();
}

uint16_t StateMutexHold::Open() {
  uint16_t rc = cmInitCPMStateSem();
  opened_ = rc == 0;
  return rc;
}

uint16_t StateMutexHold::Request() {
  uint16_t rc = cmCtrlCPMState(INFINITE);
  held_ = rc == 0;
  return rc;
}

uint16_t StateMutexHold::Release() {
  if (!held_) return 0;
  held_ = false;
  return cmReleaseCPMState();
}

}  // namespace zel::manager

using namespace zel::manager;
using namespace zel::platform;
namespace trace = zel::trace;

extern "C" {

uint16_t cmInitCPMStateSem(void) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmInitCPMStateSem");
  std::lock_guard lock(g_handles_mutex);
  if (!OpenShared(g_state, zel::ctrlblk::kStateName)) {
    trace::Msg("CM", -100, "error on DosCreateMutexSem call");
    trace::SysErrorText("CM");
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cmCtrlCPMState(uint32_t ulTimeout) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmCtrlCPMState");
  if (Plat().WaitForSingleObject(StateHandle(), ulTimeout) == WAIT_FAILED) {
    trace::Msg("CM", -100, "Fail on RequestMutex ");
    trace::SysErrorText("CM");
    return VQZM_RC_MUTEX_WAIT_FAILED;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cmReleaseCPMState(void) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmReleaseCPMState");
  if (!Plat().ReleaseMutex(StateHandle())) {
    trace::SysRc("CM", -100, "ReleaseMutex() error rc=", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cmCloseCPMStateSem(void) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmCloseCPMStateSem");
  std::lock_guard lock(g_handles_mutex);
  CloseShared(g_state);
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cmInitRunningSem(void) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmInitRunningSem");
  UniqueHandle started;
  if (cmQryStartedByAPI() == 1) {
    started.Reset(Plat().OpenEvent(EVENT_ALL_ACCESS, false, zel::ctrlblk::kStartedName));
    if (!started && ZEL_ERROR_POINT("OPEN_STARTED_SEM_ERROR")) {
      trace::Msg("CM", -100, "error Started API Sem DosOpenEventSem()");
      return VQZM_RC_STARTED_NOT_OPENED;
    }
  }
  g_running = Plat().CreateEvent(true, false, zel::ctrlblk::kRunningName);
  if (g_running == 0 && ZEL_ERROR_POINT("CREATE_RUNNING_SEM_ERROR")) {
    trace::Msg("CM", -100, "error DosCreateEventSem()");
    trace::Msg("CM", -100, "CPMgr Running Semaphore");
    return VQZM_RC_INTERNAL_ERROR;
  }
  // A "RUNNING" that a CPMgr still ending left signalled must not answer
  // for this one: the starter reads it once "STARTED" is signalled.
  Plat().ResetEvent(g_running);
  if (!started) return 0;
  if (!Plat().SetEvent(started.get()) && ZEL_ERROR_POINT("POST_STARTED_SEM_ERROR")) {
    trace::Msg("CM", -100, "error DosPostEventSem()");
    trace::Msg("CM", -100, "CPMgr Started Semaphore");
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
