// Starting and stopping a system's communication: find or add its record,
// hand the start or stop to the CPMgr window and wait for the answer.
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/null_argument.h"
#include "ctrlblk/object_names.h"
#include "manager/manager.h"
#include "platform/event.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "services/platform_calls.h"
#include "services/qlx_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcm1")

using zel::services::Plat;

namespace zel::manager {
namespace {

using namespace zel::platform;

constexpr size_t kMaxSystemName = 255;
constexpr uint32_t kDefaultNameBuffer = 265;

// Serialises the post of a start with the setting of ulWaitingRC.
std::mutex g_post_mutex;

// A forked child's post lock may have been held by a thread of the parent
// posting at the fork: the child takes a fresh one.
void FreshPostLockInChild() { std::construct_at(&g_post_mutex); }

[[gnu::constructor]] void WatchForks() { pthread_atfork(nullptr, nullptr, FreshPostLockInChild); }

// Walks the system list under its mutex for the first record that is not
// stopped and, when `name` is given, has exactly that name.
uint16_t FindNotStopped(RZ700SysStruct** ppSystem, const char* name) {
  *ppSystem = nullptr;
  UniqueHandle list(
      Plat().OpenMutex(MUTEX_ALL_ACCESS, false, ctrlblk::SerialName(ctrlblk::Serial::kSysList)));
  if (!list && ZEL_ERROR_POINT("REQ_SEM_ERROR")) {
    trace::Msg("CM", -100, "Open MutexSem call Error, rc = ");
    trace::SysErrorText("CM");
    return VQZM_RC_INTERNAL_ERROR;
  }
  DWORD wait = Plat().WaitForSingleObject(list.get(), INFINITE);
  if (wait == WAIT_FAILED && ZEL_ERROR_POINT("SEM_TIMEOUT_ERROR")) {
    trace::SysRc("CM", -100, "Timeout on DosRequestMutexSem = ", wait);
    return VQZM_RC_MUTEX_WAIT_FAILED;
  }
  RZ700SysStruct* found = nullptr;
  for (RZ700SysStruct* rec = cbRetNextRZ700SysStruct(nullptr); rec != nullptr;
       rec = cbRetNextRZ700SysStruct(rec)) {
    if (rec->usCommState == ZEL_COMM_STOPPED) continue;
    if (name != nullptr && strcmp(rec->szSysName, name) != 0) continue;
    found = rec;
    break;
  }
  bool released = Plat().ReleaseMutex(list.get());
  if ((!list.Close() || !released) && ZEL_ERROR_POINT("REL_SEM_ERROR")) {
    trace::SysRc("CM", -100, "error on DosReleaseMutexSem call rc = ", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (found == nullptr && ZEL_ERROR_POINT("SYS_NOT_FOUND")) {
    trace::Msg("CM", -50, "Running system not found");
    return VQZM_RC_NO_SUCH_SYSTEM;
  }
  if (name != nullptr) trace::String("CM", 100, "found", found->szSysName);
  *ppSystem = found;
  return 0;
}

// Takes the system's comm-state mutex; 0 or the failing step's code.
uint16_t TakeCommState(RZ700SysStruct* pSystem) {
  uint16_t rc = cmInitCommStateSem(pSystem);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_INIT_COMM_STATE_SEM")) {
    trace::Rc("CM", -100, "cmInitCommStateSem() rc = ", rc);
    return rc;
  }
  rc = cmCtrlCommStateSem(pSystem, INFINITE);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_CTRL_COMM_STATE_SEM")) {
    trace::Rc("CM", -100, "cmCtrlCommStateSem() rc = ", rc);
    cmCloseCommStateSem(pSystem);
    return rc;
  }
  return 0;
}

// Releases and closes the comm-state mutex; a failed release replaces `rc`.
uint16_t GiveCommState(RZ700SysStruct* pSystem, uint16_t rc) {
  uint16_t released = cmReleaseCommStateSem(pSystem);
  if (released != 0 && ZEL_ERROR_POINT("EXT_REL_COMM_STATE_SEM")) {
    trace::Rc("CM", -100, "cmReleaseCommStateSem() rc = ", released);
    rc = released;
  }
  cmCloseCommStateSem(pSystem);
  return rc;
}

// No code the CPMgr answers with: usRetCode until the answer is stored.
constexpr uint16_t kNoAnswerYet = 0xFFFF;

// Waits for the CPMgr's answer on `event` in slices, so that a CPMgr that
// dies meanwhile ends the wait with 1056 instead of leaving it forever. The
// CPMgr stores the code before it opens the event, and a failed open is no
// failure of its answer: a stored code ends the wait as the event would.
// The wait polls the code while the CPMgr's window stores it, so both sides
// go through atomics.
uint16_t WaitForAnswer(HANDLE event, RZ700SysStruct* pSystem) {
  std::atomic_ref answer(pSystem->usRetCode);
  for (;;) {
    DWORD wait = Plat().WaitForSingleObject(event, kLivenessSliceMs);
    if (wait == WAIT_OBJECT_0) return 0;
    if (wait == WAIT_FAILED) return VQZM_RC_INTERNAL_ERROR;
    if (answer.load(std::memory_order_acquire) != kNoAnswerYet) return 0;
    if (!CPMgrAlive()) return VQZM_RC_CPMGR_ENDED;
  }
}

// Posts `message` for `pSystem` and waits for cmReturnCommRC's answer,
// which is the result. A start (`post_start`) sets ulWaitingRC around its
// wait and passes on the code of a failed wait; a stop fails with 1026.
uint16_t PostAndWaitAnswer(RZ700SysStruct* pSystem, uint32_t message, bool post_start) {
  std::string name = RetCodeEventName(pSystem);
  UniqueHandle event(Plat().CreateEvent(true, false, name.c_str()));
  if (!event && ZEL_ERROR_POINT("CREATE_RET_SEM_ERROR")) {
    trace::SysRc("CM", -100, "Error DosCreateEventSem() rc =", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  // An answer to an earlier start or stop may still be signalled.
  Plat().ResetEvent(event.get());
  std::atomic_ref(pSystem->usRetCode).store(kNoAnswerYet, std::memory_order_relaxed);
  uint16_t rc = 0;
  {
    std::lock_guard lock(g_post_mutex);
    rc = cbPostCPMgrMsg(message, 0, pSystem);
    if (rc == 0 && post_start) pSystem->ulWaitingRC = 1;
  }
  if (rc != 0 && ZEL_ERROR_POINT("SEND_MSG_ERROR")) {
    trace::Rc("CM", -100, "Error cbPostCPMgrMsg() rc =", rc);
    trace::SysErrorText("CM");
    return VQZM_RC_INTERNAL_ERROR;
  }
  rc = WaitForAnswer(event.get(), pSystem);
  if (rc != 0 && ZEL_ERROR_POINT("WAIT_RET_SEM_ERROR")) {
    trace::Rc("CM", -100, "Error DosWaitEventSem() rc =", rc);
    trace::SysErrorText("CM");
    if (post_start) pSystem->ulWaitingRC = 0;
    return post_start ? rc : uint16_t{VQZM_RC_INTERNAL_ERROR};
  }
  if (post_start) pSystem->ulWaitingRC = 0;
  rc = std::atomic_ref(pSystem->usRetCode).load(std::memory_order_acquire);
  if (!event.Close() && ZEL_ERROR_POINT("CLOSE_RET_SEM_ERROR")) {
    trace::SysRc("CM", -100, "Error DosCloseEventSem() rc =", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  return rc;
}

}  // namespace

uint16_t cmCheckComm(RZ700SysStruct* pSystem, const char* pszSysName) {
  ZEL_TRACE_FUNCTION("CM", "cmCheckComm");
  if (uint16_t rc = TakeCommState(pSystem); rc != 0) return rc;
  uint16_t rc = 0;
  if (pSystem->usCommState != ZEL_COMM_ACTIVE) {
    rc = VQZM_RC_NOT_ACTIVE;
  } else if (pszSysName != nullptr && strcmp(pSystem->szSysName, pszSysName) != 0) {
    rc = VQZM_RC_SYSTEM_NAME_DIFFERS;
  }
  return GiveCommState(pSystem, rc);
}

uint16_t cmAddSysIfNotFoundAPI(const char* pszSysName, RZ700SysStruct** ppSystem,
                               uint32_t* pulAdded) {
  ZEL_TRACE_FUNCTION("CM", "cmAddSysIfNotFoundAPI");
  *pulAdded = 0;
  uint16_t rc = cbFindRZ700SysByName(pszSysName, ppSystem);
  if (rc == 0) return 0;
  if (rc != VQZM_RC_NO_SUCH_SYSTEM && ZEL_ERROR_POINT("FIND_SYS_ERROR")) {
    trace::Rc("CM", -100, "Error cbFindRZ700SysByName rc =", rc);
    return VQZM_RC_INTERNAL_ERROR;
  }
  rc = cmAddSystemByName(pszSysName, ppSystem);
  if (rc != 0 && ZEL_ERROR_POINT("ADD_SYS_ERROR")) {
    trace::Rc("CM", -100, "cbAddSystemByName error rc=", rc);
    *ppSystem = nullptr;
    return rc;
  }
  (*ppSystem)->ulAddedByAPI = 1;
  *pulAdded = 1;
  return cbPostCPMgrMsg(ZEL_MSG_SYSTEM_ADDED, 0, *ppSystem);
}

uint16_t cmStartSystemComm(const char* pszSysName, RZ700SysStruct** ppSystem) {
  ZEL_TRACE_FUNCTION("CM", "cmStartSystemComm");
  *ppSystem = nullptr;
  uint16_t rc = cmWaitDKTStarted(pszSysName);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_WAIT_DKT_STARTED_WITH_SYS")) {
    trace::Rc("CM", -100, "cmWaitDKTStartedWithSystem() error rc=", rc);
    return rc;
  }
  RZ700SysStruct* system = nullptr;
  uint32_t added = 0;
  rc = cmAddSysIfNotFoundAPI(pszSysName, &system, &added);
  if (rc != 0 && ZEL_ERROR_POINT("ADD_IF_NOT_FOUND_ERROR")) {
    trace::Rc("CM", -100, "cmAddSysIfNotFoundAPI() error rc=", rc);
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (rc = TakeCommState(system); rc != 0) return rc;

  RZ700SysStruct* running = nullptr;
  rc = cmFindCommNotStoppedEx(&running, pszSysName);
  if (rc == VQZM_RC_NO_SUCH_SYSTEM) {
    rc = cmStartAndWaitComm(system);
    if (rc != 0 && ZEL_ERROR_POINT("EXT_START_COMM")) {
      if (rc == VQZM_RC_ALREADY_RUNNING) rc = VQZM_RC_INTERNAL_ERROR;
      return GiveCommState(system, rc);
    }
  } else if (rc == 0) {
    trace::String("CM", 100, "System currently running", running->szSysName);
    trace::String("CM", 100, "System requested to start", system->szSysName);
    if (running != system && ZEL_ERROR_POINT("EXT_SYS_STARTED_DIFF_SYS")) {
      GiveCommState(system, 0);
      if (added == 1) cbDeleteRZ700SysStruct(system);
      return VQZM_RC_SYSTEM_NAME_DIFFERS;
    }
  } else if (ZEL_ERROR_POINT("FIND_SYS_ERROR")) {
    return GiveCommState(system, rc);
  }
  rc = GiveCommState(system, 0);
  if (rc == 0) *ppSystem = system;
  return rc;
}

uint16_t cmStartAndWaitComm(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CM", "cmStartAndWaitComm");
  uint16_t rc = PostAndWaitAnswer(pSystem, ZEL_MSG_START_SYSTEM, true);
  // A system that an application added and whose start failed does not
  // stay in the list.
  if (rc != 0 && pSystem->usCommState == ZEL_COMM_STOPPED && pSystem->ulAddedByAPI == 1) {
    cbDeleteRZ700SysStruct(pSystem);
  }
  return rc;
}

uint16_t cmPostAndWaitCPMgr(uint32_t ulMsg, uint32_t wParam, void* lParam) {
  ZEL_TRACE_FUNCTION("CM", "cmPostAndWaitCPMgr");
  UniqueHandle event(Plat().CreateEvent(true, false, ctrlblk::kReturnName));
  if (!event && ZEL_ERROR_POINT("CREATE_RET_SEM_ERROR")) {
    trace::SysRc("CM", -100, "Error DosCreateEventSem() rc =", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  uint16_t rc = cbPostCPMgrMsg(ulMsg, wParam, lParam);
  if (rc != 0 && ZEL_ERROR_POINT("SEND_MSG_ERROR")) {
    trace::Rc("CM", -100, "Error cbPostCPMgrMsg() rc =", rc);
    return VQZM_RC_INTERNAL_ERROR;
  }
  rc = cmWaitCPMgrReturn(event.get());
  if (rc != 0 && ZEL_ERROR_POINT("WAIT_RET_SEM_ERROR")) {
    trace::Rc("CM", -100, "Error DosWaitEventSem() rc =", rc);
    return rc;
  }
  rc = ctrlblk::Anchor().usCPMgrRC;
  if (!event.Close() && ZEL_ERROR_POINT("CLOSE_RET_SEM_ERROR")) {
    trace::SysRc("CM", -100, "Error DosCloseEventSem() rc =", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  return rc;
}

uint16_t cmWaitDKTStarted(const char* pszSysName) {
  ZEL_TRACE_FUNCTION("CM", "cmWaitDKTStarted");
  uint16_t rc = cmDetermineSysConnectedDKT(pszSysName);
  if (rc != 0 && ZEL_ERROR_POINT("SYSTEM_CONNECTED_ERROR")) {
    trace::Rc("CM", -100, "cmDetermineSysConnectedDKT() error rc=", rc);
  }
  return rc;
}

}  // namespace zel::manager

using namespace zel::manager;
namespace trace = zel::trace;

extern "C" {

uint16_t cmFindCommNotStopped(RZ700SysStruct** ppSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmFindCommNotStopped");
  if (ZEL_NULL_ARGUMENT("CM", ppSystem)) return VQZM_RC_INTERNAL_ERROR;
  return FindNotStopped(ppSystem, nullptr);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cmFindCommNotStoppedEx(RZ700SysStruct** ppSystem, const char* pszSysName) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmFindCommNotStoppedEx");
  if (ZEL_NULL_ARGUMENT("CM", ppSystem) || ZEL_NULL_ARGUMENT("CM", pszSysName)) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  return FindNotStopped(ppSystem, pszSysName);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

// Names longer than the record's 255 characters are refused with 111: a cut
// name would stand for a different system.
uint16_t cmAddSystemByName(const char* pszSysName, RZ700SysStruct** ppSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmAddSystemByName");
  if (ZEL_NULL_ARGUMENT("CM", pszSysName) || ZEL_NULL_ARGUMENT("CM", ppSystem)) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  *ppSystem = nullptr;
  if (strlen(pszSysName) > kMaxSystemName && ZEL_ERROR_POINT("EXT_NAME_TOO_LONG")) {
    trace::Size("CM", -100, "System name length", static_cast<uint32_t>(strlen(pszSysName)));
    return VQZM_RC_NAME_TOO_LONG;
  }
  RZ700SysStruct* system = nullptr;
  uint16_t rc = cbInitRZ700SysStruct(&system);
  if (rc != 0 && ZEL_ERROR_POINT("INIT_SYS_ERROR")) {
    trace::Rc("CM", -100, "cbInitRZ700SysStruct error rc=", rc);
    return rc;
  }
  strcpy(system->szSysName, pszSysName);
  strcpy(system->szSysNameCopy, pszSysName);
  system->bDQAuthority = 1;
  system->ulDQMaxRecLen = 8320;
  system->pDQBuf = nullptr;
  system->ulRRPStartValue = 1;
  rc = cbAddRZ700SysStruct(system);
  if (rc != 0 && ZEL_ERROR_POINT("ADD_SYS_ERROR")) {
    trace::Rc("CM", -100, "cbAddRZ700SysStruct error rc=", rc);
    cbDeleteRZ700SysStruct(system);
    return rc;
  }
  trace::String("CM", 100, "System: ", pszSysName);
  *ppSystem = system;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

// Names with a period are taken like any other: host names often have one.
uint16_t cmRetDefaultRouterSys(char* pszBuffer) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmRetDefaultRouterSys");
  if (ZEL_NULL_ARGUMENT("CM", pszBuffer)) return VQZM_RC_INTERNAL_ERROR;
  zel::services::ErrHandle error;
  if (error.create_rc() != 0 && ZEL_ERROR_POINT("EXT_CREATE_ERROR_HANDLE")) {
    trace::Rc("CM", -100, "qlxSV_CreateErrHandle() rc=", error.create_rc());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  char name[kDefaultNameBuffer] = {};
  uint32_t result = zel::services::Qlx().qlxCO_GetDefaultSystemName(name, sizeof name, error.get());
  if (result != 0 && ZEL_ERROR_POINT("EXT_GET_DEF_SYS_NAME")) {
    trace::Rc("CM", -100, "qlxCO_GetDefaultSystemName() rc=", result);
    trace::String("CM", -100, "Error msg", error.Text().c_str());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  uint16_t rc = 0;
  size_t length = strnlen(name, sizeof name);
  if (length == 0 && ZEL_ERROR_POINT("EXT_NO_DEF_SYS_DEFINED")) {
    rc = VQZM_RC_NO_DEFAULT_SYSTEM;
  } else if (length > kMaxSystemName && ZEL_ERROR_POINT("ERR_BUFFER_OVERFLOW")) {
    trace::Msg("CM", -100, "System name is larger than input string");
    rc = VQZM_RC_DATA_QUEUE_ERROR;
  } else {
    memcpy(pszBuffer, name, length + 1);
  }
  trace::Rc("CM", 100, "qlxSV_DeleteErrHandle() rc=", error.Release());
  return rc;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cmStopAndWaitComm(RZ700SysStruct* pSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmStopAndWaitComm");
  if (ZEL_NULL_ARGUMENT("CM", pSystem)) return VQZM_RC_INTERNAL_ERROR;
  return PostAndWaitAnswer(pSystem, ZEL_MSG_STOP_SYSTEM, false);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cmDetermineSysConnectedDKT(const char* pszSysName) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmDetermineSysConnectedDKT");
  if (ZEL_NULL_ARGUMENT("CM", pszSysName)) return VQZM_RC_INTERNAL_ERROR;
  trace::String("CM", 100, "system name", pszSysName);
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
