// Starting and stopping communication from an application.
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "api/api.h"
#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/null_argument.h"
#include "ctrlblk/process_state.h"
#include "manager/manager.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "services/platform_calls.h"
#include "services/qlx_calls.h"
#include "services/unapi.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmca1")

using zel::services::Plat;
using zel::services::Qlx;

namespace zel::api {
namespace {

using namespace zel::platform;
using namespace zel::manager;

constexpr DWORD kCountWaitMs = 30000;
constexpr size_t kDefaultNameBuffer = 255;
constexpr uint32_t kUserIdLength = 20;

// caInitializeZELComm calls in progress in this process, and their mutex,
// created once before the first call uses it so that two first callers
// cannot each make one.
std::once_flag g_count_once;
HANDLE g_count_mutex = 0;
uint16_t g_init_count = 0;

HANDLE* CountMutex() {
  std::call_once(g_count_once, [] { g_count_mutex = Plat().CreateMutex(false, nullptr); });
  return &g_count_mutex;
}

// A forked child has no call in progress, and a thread it does not have
// may have held the parent's mutex at the fork: the child makes its own at
// its first call.
void ForgetCountAfterFork() {
  if (g_count_mutex != 0) CloseHandle(g_count_mutex);
  g_count_mutex = 0;
  g_init_count = 0;
  std::construct_at(&g_count_once);
}

[[gnu::constructor]] void WatchForks() { pthread_atfork(nullptr, nullptr, ForgetCountAfterFork); }

// Takes the user ID of the application's connection environment.
void TakeInitUserID(const char* system_name, uint32_t hSysHandle) {
  char* user_id = ctrlblk::Shared()->szInitUserID;
  if (hSysHandle == 0) {
    memset(user_id, 0, kUserIdLength);
    return;
  }
  Qlx().qlxUN_GetSystemHandle(system_name, "zel", &hSysHandle);
  Qlx().qlxCO_GetUserID(hSysHandle, user_id, kUserIdLength);
  trace::String("CA", 100, "szInitUserID", user_id);
}

// Steps 8 and 9: the CPMgr and the system running, with "STATE" held. On
// failure "STATE" is still held; the caller releases it.
uint16_t StartOrJoin(const char* system_name, RZ700SysStruct** system) {
  if (ctrlblk::Anchor().usCPMgrState == ZEL_CPMGR_NOT_RUNNING) {
    uint16_t rc = cmStartCPMgr(system);
    if (rc != 0 && ZEL_ERROR_POINT("START_CPMGR_ERROR")) {
      trace::Rc("CA", -100, "error returned from cmStartCPMgr() rc=", rc);
      return rc;
    }
    rc = cmStartSystemComm(system_name, system);
    if (rc != 0 && ZEL_ERROR_POINT("START_COMM_ERROR")) {
      trace::Rc("CA", -100, "error returned from cmStartSystemComm() rc=", rc);
    }
    return rc;
  }
  uint16_t rc = cmFindCommNotStoppedEx(system, system_name);
  if (rc == 0) {
    rc = cmCheckComm(*system, system_name);
    if (rc == 0) return 0;
    if (rc != VQZM_RC_NOT_ACTIVE && ZEL_ERROR_POINT("CHECK_COMM_ERROR")) {
      trace::Rc("CA", -100, "error returned from cmCheckComm() rc=", rc);
      return rc;
    }
  } else if (rc != VQZM_RC_NO_SUCH_SYSTEM && ZEL_ERROR_POINT("FIND_SYS_ERROR")) {
    trace::Rc("CA", -100, "error returned from cmFindCommNotStopped() rc=", rc);
    return rc;
  }
  rc = cmStartSystemComm(system_name, system);
  if (rc != 0 && ZEL_ERROR_POINT("START_COMM_ERROR")) {
    trace::Rc("CA", -100, "error returned from cmStartSystemComm() rc=", rc);
  }
  return rc;
}

// Steps 4 to 12, between the count's add and remove.
uint16_t StartWithCount(const char* system_name, uint32_t* pulConvId) {
  StateMutexHold state;
  uint16_t rc = state.Open();
  if (rc != 0 && ZEL_ERROR_POINT("INIT_CPM_STATE_ERROR")) {
    trace::Rc("CA", -100, "error returned from cmInitCPMStateSem() rc=", rc);
    return rc;
  }
  rc = state.Request();
  if (rc != 0 && ZEL_ERROR_POINT("CTRL_CPM_STATE_ERROR")) {
    trace::Rc("CA", -100, "error returned from cmCtrlCPMState() rc=", rc);
    return rc;
  }
  ReleaseAnswersOfDeadManager();
  ForgetDeadCPMgr();
  RZ700SysStruct* system = nullptr;
  rc = StartOrJoin(system_name, &system);
  if (rc == 0) {
    rc = cbReturnNewConvId(pulConvId, system, 0);
    if (rc != 0 && ZEL_ERROR_POINT("RETURN_CONV_ID_ERROR")) {
      trace::Rc("CA", -100, "error returned from cmReturnNewConvId() rc=", rc);
    }
  }
  uint16_t released = state.Release();
  if (released != 0 && rc == 0 && ZEL_ERROR_POINT("REL_CPM_START_ERROR")) {
    trace::Rc("CA", -100, "error returned from cmReleaseCPMState() rc=", released);
  }
  return rc;
}

}  // namespace

uint16_t caAddExitRoutine(HANDLE* phMutex, uint16_t* pusCount) {
  ZEL_TRACE_FUNCTION("CA", "caAddExitRoutine");
  if (*phMutex == 0) *phMutex = Plat().CreateMutex(false, nullptr);
  DWORD wait = Plat().WaitForSingleObject(*phMutex, kCountWaitMs);
  if ((wait == WAIT_FAILED || wait == WAIT_TIMEOUT) && ZEL_ERROR_POINT("EXT_REQ_COUNT_SEM")) {
    trace::SysRc("CA", -100, "WaitForSingleObject() error rc=", wait);
    return wait == WAIT_TIMEOUT ? VQZM_RC_MUTEX_WAIT_FAILED : VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  ++*pusCount;
  if (!Plat().ReleaseMutex(*phMutex) && ZEL_ERROR_POINT("EXT_REL_COUNT_SEM")) {
    trace::SysRc("CA", -100, "ReleaseMutex() error rc=", GetLastError());
    --*pusCount;
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
}

uint16_t caRemoveExitRoutine(HANDLE hMutex, uint16_t* pusCount) {
  ZEL_TRACE_FUNCTION("CA", "caRemoveExitRoutine");
  DWORD wait = Plat().WaitForSingleObject(hMutex, INFINITE);
  if (wait == WAIT_FAILED && ZEL_ERROR_POINT("EXT_REQ_COUNT_SEM")) {
    trace::SysRc("CA", -100, "WaitForSingleObject() error rc=", wait);
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  --*pusCount;
  if (!Plat().ReleaseMutex(hMutex) && ZEL_ERROR_POINT("EXT_REL_COUNT_SEM")) {
    trace::SysRc("CA", -100, "ReleaseMutex() error rc=", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
}

}  // namespace zel::api

using namespace zel::api;
namespace trace = zel::trace;

extern "C" {

uint16_t caInitializeZELComm(const char* pszSystemName, uint32_t, uint32_t, uint32_t hSysHandle,
                             uint32_t* pulConvId, uint32_t ulInternal) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caInitializeZELComm");
  using namespace zel::ctrlblk;
  // Before anything is counted, locked or started: nowhere to put an ID.
  if (ZEL_NULL_ARGUMENT("CA", pulConvId)) return VQZM_RC_INTERNAL_ERROR;
  if (Shared() == nullptr || ThisProcess().load_failed) {
    ZEL_ERROR_POINT("EXT_FATAL_ERROR_HAPPEND");
    trace::Msg("CA", -100, "A fatal Error already happened");
    return VQZM_RC_INTERNAL_ERROR;
  }
  TakeInitUserID(pszSystemName, hSysHandle);
  char* default_name = nullptr;
  uint16_t rc = 0;
  if (pszSystemName == nullptr) {
    // Without a default system there is nothing to start: say so (1076 or
    // 1034) rather than start a system without a name.
    default_name = static_cast<char*>(calloc(1, kDefaultNameBuffer + 1));
    rc =
        default_name == nullptr ? uint16_t{VQZM_RC_NO_MEMORY} : cmRetDefaultRouterSys(default_name);
    pszSystemName = default_name;
  }
  trace::Rc("CA", 100, "Internal call", ulInternal);

  bool counted = false;
  if (rc != 0) {
    trace::Rc("CA", -100, "cmRetDefaultRouterSys() rc=", rc);
  } else if (Shared()->ulSharedMemError == 1 && ZEL_ERROR_POINT("EXT_FATAL_ERROR_HAPPEND")) {
    trace::Msg("CA", -100, "A fatal Error already happened");
    rc = VQZM_RC_INTERNAL_ERROR;
  } else if (rc = caAddExitRoutine(CountMutex(), &g_init_count);
             rc != 0 && ZEL_ERROR_POINT("EXT_EXITLST_ADD")) {
    trace::Rc("CA", -100, "caAddExitRoutine error rc=", rc);
  } else {
    counted = true;
    rc = StartWithCount(pszSystemName, pulConvId);
  }
  free(default_name);
  if (counted) {
    uint16_t removed = caRemoveExitRoutine(*CountMutex(), &g_init_count);
    if (removed != 0 && rc == 0) {
      rc = removed;
      *pulConvId = 0;
    }
  }
  trace::Rc("CA", 100, "Returning: ", rc);
  return rc;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t caStopZELComm(uint32_t ulConvId) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caStopZELComm");
  return zel::ctrlblk::cbDeallocConvId(ulConvId);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
