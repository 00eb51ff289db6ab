// The CPMgr's start/stop thread, the thread that starts communication for a
// caller, the CPMgr's exit routine and the termination entry.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/barrier.h"
#include "base/trace.h"
#include "convert/convert.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/null_argument.h"
#include "dataqueue/dataqueue.h"
#include "manager/manager.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/pipe.h"
#include "platform/window.h"
#include "services/platform_calls.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcm2")

using zel::services::Plat;

namespace zel::manager {
namespace {

using namespace zel::platform;

constexpr uint32_t kThreadStack = 12288;

// How long the exit routine waits for the last system's teardown: the
// termination handshake is a write, a read and an acknowledgement.
constexpr auto kTeardownWait = std::chrono::seconds(10);
constexpr auto kTeardownPoll = std::chrono::milliseconds(10);

#pragma pack(push, 1)
// One message of the start/stop queue, written and read whole.
struct StartStopMsg {
  uint32_t ulSenderPid;  // process ID of the writer
  uint32_t ulAction;     // ZEL_ACTION_*
  RZ700SysStruct* pSys;  // the system; not used by action 4
};
#pragma pack(pop)
static_assert(sizeof(StartStopMsg) == 16);

// Posts a status notice; false when it could not be allocated or posted
// (the thread must then end).
bool PostNotice(uint16_t rc, uint16_t msg_num, uint32_t type, RZ700SysStruct* system,
                RZ700SysStruct* running, uint32_t failure) {
  auto* notice = static_cast<ZELStatusNotice*>(malloc(sizeof(ZELStatusNotice)));
  if (notice == nullptr && ZEL_ERROR_POINT("EXT_MALLOC_STATUS")) {
    trace::Size("CM", -100, "malloc() error size = ", sizeof(ZELStatusNotice));
    return false;
  }
  *notice = ZELStatusNotice{rc, msg_num, type, system, running, failure};
  uint16_t posted = cbPostCPMgrMsg(ZEL_MSG_STATUS_NOTICE, 0, notice);
  if (posted != 0 && ZEL_ERROR_POINT("EXT_POST_STATUS")) {
    trace::Rc("CM", -100, "cbPostCPMgrMsg() error rc=", posted);
    free(notice);
    return false;
  }
  return true;
}

// Waits for the comm thread of `system` to reach state 1; false when it
// has not within the bound.
bool AwaitTeardown(RZ700SysStruct* system) {
  auto give_up = std::chrono::steady_clock::now() + kTeardownWait;
  while (system->usCommState != ZEL_COMM_STOPPED) {
    if (std::chrono::steady_clock::now() > give_up) {
      trace::Rc("CM", -50, "system not stopped when the manager ended, state", system->usCommState);
      return false;
    }
    std::this_thread::sleep_for(kTeardownPoll);
  }
  return true;
}

// Ends the thread's work: tells the CPMgr window that the thread is gone.
// The window ends the manager on that word alone; a window that lives but
// cannot hear it would keep a manager that can start and stop nothing, so
// the process ends here.
bool EndThread() {
  uint16_t posted = cbPostCPMgrMsg(ZEL_MSG_START_STOP_ENDED, 0, nullptr);
  if (posted != 0 && CPMgrAlive() && ZEL_ERROR_POINT("SEND_CPMGR_MSG_ERROR")) {
    trace::Rc("CM", -100, "Error cbPostCPMgrMsg() rc=", posted);
    _exit(0);  // as in the comm thread: not under the main thread's feet
  }
  return false;
}

// A semaphore step failed: trace it, post its failure notice, end.
bool SemaphoreFailed(const char* text, uint16_t rc, uint16_t msg_num, uint32_t action,
                     RZ700SysStruct* system) {
  trace::Rc("CM", -100, text, rc);
  uint32_t type = action <= ZEL_ACTION_START ? ZEL_STATUS_START : ZEL_STATUS_SEMAPHORE;
  PostNotice(VQZM_RC_INTERNAL_ERROR, msg_num, type, system, nullptr, 1);
  return EndThread();
}

// Takes the system's comm-state mutex for an action; false when the thread
// must end.
bool TakeCommState(uint32_t action, RZ700SysStruct* system) {
  uint16_t rc = cmInitCommStateSem(system);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_INIT_COMM_STATE_SEM")) {
    return SemaphoreFailed("cmInitCommStateSem() rc = ", rc, ZEL_MSGNUM_INIT_COMM_STATE, action,
                           system);
  }
  rc = cmCtrlCommStateSem(system, INFINITE);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_CTRL_COMM_STATE_SEM")) {
    cmCloseCommStateSem(system);
    return SemaphoreFailed("cmCtrlCommStateSem() error rc = ", rc, ZEL_MSGNUM_CTRL_COMM_STATE,
                           action, system);
  }
  return true;
}

bool GiveCommState(uint32_t action, RZ700SysStruct* system) {
  uint16_t rc = cmReleaseCommStateSem(system);
  cmCloseCommStateSem(system);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_REL_COMM_STATE_SEM")) {
    return SemaphoreFailed("cmReleaseCommStateSem() error rc = ", rc, ZEL_MSGNUM_RELEASE_COMM_STATE,
                           action, system);
  }
  return true;
}

// Releases the comm-state mutex on the way out of a failed action.
void DropCommState(RZ700SysStruct* system) {
  trace::Rc("CM", -100, "cmReleaseCommStateSem() rc=", cmReleaseCommStateSem(system));
  trace::Rc("CM", -100, "cmCloseCommStateSem() rc=", cmCloseCommStateSem(system));
}

bool TakeState(StateMutexHold& state, uint32_t action, RZ700SysStruct* system) {
  uint16_t rc = state.Request();
  if (rc != 0 && ZEL_ERROR_POINT("EXT_CTRL_CPM_STATE")) {
    return SemaphoreFailed("cmCtrlCPMState() error rc=", rc, ZEL_MSGNUM_CTRL_CPM_STATE, action,
                           system);
  }
  return true;
}

bool GiveState(StateMutexHold& state, uint32_t action, RZ700SysStruct* system) {
  uint16_t rc = state.Release();
  if (rc != 0 && ZEL_ERROR_POINT("EXT_RELEASE_CPM_STATE")) {
    return SemaphoreFailed("cmReleaseCPMState() error rc=", rc, ZEL_MSGNUM_RELEASE_CPM_STATE,
                           action, system);
  }
  return true;
}

// Actions 1 and 2 after the comm-state mutex is held: start, report, release.
bool StartHeldSystem(uint32_t action, RZ700SysStruct* system) {
  uint16_t rc = cmHandleStartRC(system, cmStartAndWaitComm(system));
  if (rc != 0 && ZEL_ERROR_POINT("EXT_HANDLE_RC_ERROR")) {
    trace::Rc("CM", -100, "cmHandleStartupRC() error rc=", rc);
    DropCommState(system);
    return EndThread();
  }
  return GiveCommState(action, system);
}

bool StartAnnounced(RZ700SysStruct* system) {
  if (!TakeCommState(ZEL_ACTION_START_ANNOUNCED, system)) return false;
  if (!PostNotice(ZEL_STATUS_RC_ANNOUNCE, 0, ZEL_STATUS_START, system, nullptr, 0) &&
      ZEL_ERROR_POINT("SEND_CPMGR_MSG_ERROR")) {
    return EndThread();
  }
  return StartHeldSystem(ZEL_ACTION_START_ANNOUNCED, system);
}

bool Start(RZ700SysStruct* system) {
  StateMutexHold state;
  if (!TakeState(state, ZEL_ACTION_START, system)) return false;
  if (!TakeCommState(ZEL_ACTION_START, system)) return false;
  if (!GiveState(state, ZEL_ACTION_START, system)) return false;
  return StartHeldSystem(ZEL_ACTION_START, system);
}

// The message a stop result is shown with, and whether it is a failure.
void StopNotice(uint16_t rc, uint16_t* msg_num, uint32_t* failure) {
  *failure = 0;
  switch (rc) {
    case VQZM_RC_NO_MEMORY:
      *msg_num = ZEL_MSGNUM_STOP_NO_MEMORY;
      return;
    case VQZM_RC_CONVERSION_FAILED:
      *msg_num = ZEL_MSGNUM_STOP_CONVERSION;
      return;
    case VQZM_RC_INTERNAL_ERROR:
      *msg_num = ZEL_MSGNUM_STOP_INTERNAL_ERROR;
      return;
    case VQZM_RC_NOT_ACTIVE:
    case VQZM_RC_DATA_QUEUE_ERROR:
    case VQZM_RC_PASSED_ON_1288:
    case VQZM_RC_PASSED_ON_1290:
      *msg_num = 0;
      return;
    default:
      *msg_num = ZEL_MSGNUM_STOP_FAILED;
      *failure = 1;
      return;
  }
}

bool Stop(RZ700SysStruct* system) {
  trace::Msg("CM", 100, "stop system action");
  StateMutexHold state;
  if (!TakeState(state, ZEL_ACTION_STOP, system)) return false;
  if (!TakeCommState(ZEL_ACTION_STOP, system)) return false;
  if (!GiveState(state, ZEL_ACTION_STOP, system)) return false;
  uint16_t rc = cmStopAndWaitComm(system);
  if (rc != 0 && rc != VQZM_RC_PASSED_ON_1289) {
    uint16_t msg_num = 0;
    uint32_t failure = 0;
    StopNotice(rc, &msg_num, &failure);
    trace::Rc("CM", -100, "Error returned from cmStopAndWaitComm() rc=", rc);
    if (!PostNotice(rc, msg_num, ZEL_STATUS_STOP, system, nullptr, failure)) {
      DropCommState(system);
      return EndThread();
    }
  }
  return GiveCommState(ZEL_ACTION_STOP, system);
}

// Action 4. True when the CPMgr stays (the thread reads on).
bool StopManager() {
  StateMutexHold state;
  if (!TakeState(state, ZEL_ACTION_STOP_CPMGR, nullptr)) return false;
  cbSetCPMgrState(ZEL_CPMGR_STOPPING);
  RZ700SysStruct* system = nullptr;
  uint16_t rc = cmFindCommNotStopped(&system);
  if (rc == 0) {
    if (!TakeCommState(ZEL_ACTION_STOP_CPMGR, system)) return false;
    if (system->usCommState == ZEL_COMM_ACTIVE) rc = cmStopAndWaitComm(system);
    if (rc != 0 && ZEL_ERROR_POINT("EXT_NOT_STOPPED")) {
      trace::Rc("CM", -100, "cmStopAndWaitComm() error rc=", rc);
      DropCommState(system);
      cbSetCPMgrState(ZEL_CPMGR_RUNNING);
      trace::Rc("CM", -100, "cmReleaseCPMState() rc=", state.Release());
      return true;
    }
    cmReleaseCommStateSem(system);
    cmCloseCommStateSem(system);
  } else if (rc != VQZM_RC_NO_SUCH_SYSTEM && ZEL_ERROR_POINT("EXT_FIND_SYSTEM")) {
    trace::Rc("CM", -100, "cmFindCommNotStopped() error rc=", rc);
    cbSetCPMgrState(ZEL_CPMGR_RUNNING);
    state.Release();
    return true;
  }
  cmCompleteTermination();
  trace::Rc("CM", 100, "cmReleaseCPMState() rc=", state.Release());
  cmCloseCPMStateSem();
  ZELAnchorCB& anchor = ctrlblk::Anchor();
  trace::Rc("CM", 100,
            "DosCloseQueue() rc=", CloseHandle(anchor.hStartStopRead) ? 0 : GetLastError());
  trace::Rc("CM", 100,
            "DosExitList rc = ", CloseHandle(anchor.hStartStopWrite) ? 0 : GetLastError());
  return EndThread();
}

// Reads and carries out one action; false when the thread ends.
bool RunOneAction() {
  StartStopMsg msg{};
  DWORD read = 0;
  if (!Plat().ReadFile(ctrlblk::Anchor().hStartStopRead, &msg, sizeof msg, &read) &&
      ZEL_ERROR_POINT("EXT_READ_QUEUE")) {
    trace::Msg("CM", -100, "DosReadQueue() error rc=");
    trace::SysErrorText("CM");
    PostNotice(ZEL_STATUS_RC_QUEUE_FAILED, ZEL_MSGNUM_QUEUE_READ, ZEL_STATUS_QUEUE, nullptr,
               nullptr, 1);
    return EndThread();
  }
  if (read != sizeof msg) {
    trace::Size("CM", -50, "Data size invalid", read);
    return true;
  }
  switch (msg.ulAction) {
    case ZEL_ACTION_START_ANNOUNCED:
      return StartAnnounced(msg.pSys);
    case ZEL_ACTION_START:
      return Start(msg.pSys);
    case ZEL_ACTION_STOP:
      return Stop(msg.pSys);
    case ZEL_ACTION_STOP_CPMGR:
      return StopManager();
    default:
      trace::Rc("CM", -50, "unsupported action", msg.ulAction);
      return true;
  }
}

}  // namespace

void cmStartStopThread(void*) {
  ZEL_TRACE_FUNCTION("CM", "cmStartStopThread");
  while (RunOneAction()) {
  }
}

uint16_t cmHandleStartRC(RZ700SysStruct* pSys, uint16_t usRC) {
  ZEL_TRACE_FUNCTION("CM", "cmHandleStartRC");
  trace::Rc("CM", 100, "Value", usRC);
  if (usRC == 0) return 0;
  uint16_t msg_num = 0;
  uint32_t failure = 0;
  uint16_t rc = usRC;
  RZ700SysStruct* running = nullptr;
  switch (usRC) {
    case VQZM_RC_NO_MEMORY:
      msg_num = ZEL_MSGNUM_START_NO_MEMORY;
      break;
    case VQZM_RC_MUTEX_WAIT_FAILED:
      msg_num = ZEL_MSGNUM_START_MUTEX_WAIT;
      break;
    case VQZM_RC_CONVERSION_FAILED:
      msg_num = ZEL_MSGNUM_START_CONVERSION;
      break;
    case VQZM_RC_INTERNAL_ERROR:
    case VQZM_RC_DATA_QUEUE_ERROR:
    case VQZM_RC_CONNECTION_FAILED:
    case VQZM_RC_MANAGER_HANDOVER_FAILED:
    case VQZM_RC_PASSED_ON_1071:
    case VQZM_RC_PASSED_ON_1072:
      break;
    case VQZM_RC_CPMGR_ENDED:
      failure = 1;
      break;
    case VQZM_RC_ALREADY_RUNNING:
      trace::Msg("CM", 100, "System Already running");
      if (uint16_t found = cmFindCommNotStopped(&running);
          found != 0 && ZEL_ERROR_POINT("EXT_SYS_NOT_FOUND")) {
        trace::Msg("CM", -100, "Rcv'd return code indicating system already running");
        trace::Msg("CM", -100, "unable to locate running system");
        trace::Rc("CM", -100, "cmFindCommNotStopped() error rc=", found);
        rc = VQZM_RC_INTERNAL_ERROR;
        failure = 1;
      }
      break;
    default:
      trace::Rc("CM", -50, "Default need to add case here", usRC);
      msg_num = ZEL_MSGNUM_START_FAILED;
  }
  trace::Rc("CM", -100, "Error returned from cmStartAndWaitComm() rc=", usRC);
  auto* notice = static_cast<ZELStatusNotice*>(malloc(sizeof(ZELStatusNotice)));
  if (notice == nullptr && ZEL_ERROR_POINT("EXT_MALLOC_STATUS")) {
    trace::Size("CM", -100, "malloc() error size = ", sizeof(ZELStatusNotice));
    return VQZM_RC_NO_MEMORY;
  }
  *notice = ZELStatusNotice{rc, msg_num, ZEL_STATUS_START, pSys, running, failure};
  uint16_t posted = cbPostCPMgrMsg(ZEL_MSG_STATUS_NOTICE, 0, notice);
  if (posted != 0 && ZEL_ERROR_POINT("EXT_POST_STATUS")) {
    trace::Rc("CM", -100, "cbPostCPMgrMsg() error rc=", posted);
    free(notice);
  }
  return posted;
}

}  // namespace zel::manager

using namespace zel::manager;
using namespace zel::platform;
namespace trace = zel::trace;

extern "C" {

uint16_t cmInitStartStop(void) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmInitStartStop");
  HANDLE read_end = 0;
  HANDLE write_end = 0;
  if (!Plat().CreatePipe(&read_end, &write_end, 0) && ZEL_ERROR_POINT("EXT_CREATE_QUEUE")) {
    trace::Msg("CM", -100, "DosCreateQueue() error rc=");
    trace::SysErrorText("CM");
    return VQZM_RC_INTERNAL_ERROR;
  }
  ZELAnchorCB& anchor = zel::ctrlblk::Anchor();
  anchor.hStartStopRead = read_end;
  anchor.hStartStopWrite = write_end;
  if (Plat().btLaunchThread(cmStartStopThread, kThreadStack, nullptr) == -1 &&
      ZEL_ERROR_POINT("EXT_LAUNCH_START_STOP")) {
    trace::Msg("CM", -100, "btLaunchThread() error rc=");
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

// Actions 1 to 3 are for a system; stopping the CPMgr (4) needs none.
uint16_t cmSendStartStop(uint32_t ulAction, RZ700SysStruct* pSys) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmSendStartStop");
  bool for_system = ulAction >= ZEL_ACTION_START_ANNOUNCED && ulAction <= ZEL_ACTION_STOP;
  if (for_system && ZEL_NULL_ARGUMENT("CM", pSys)) return VQZM_RC_INTERNAL_ERROR;
  StartStopMsg msg{GetCurrentProcessId(), ulAction, pSys};
  DWORD written = 0;
  if (!Plat().WriteFile(zel::ctrlblk::Anchor().hStartStopWrite, &msg, sizeof msg, &written) &&
      ZEL_ERROR_POINT("EXT_Q_WRITE")) {
    trace::SysRc("CM", -100, "DosWriteQueue() error rc=", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

// The result goes to the window as a global-memory block, so that the
// window may live in another process; its receiver frees it (GlobalFree).
void cmAsyncInitZELCommThread(void* pParms) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmAsyncInitZELCommThread");
  if (ZEL_NULL_ARGUMENT("CM", pParms)) return;
  auto* parms = static_cast<AsyncInitParms*>(pParms);
  uint32_t conv_id = 0;
  uint16_t rc = caInitializeZELComm(parms->pszSysName, parms->hwndNotify, parms->usNotifyMsg,
                                    parms->hSysHandle, &conv_id, 1);
  auto* result =
      static_cast<AsyncInitResult*>(Plat().GlobalAlloc(GMEM_SHARE, sizeof(AsyncInitResult)));
  if (result != nullptr) {
    *result = AsyncInitResult{rc, conv_id};
    bool posted = Plat().PostMessage(parms->hwndNotify, parms->usNotifyMsg, 0,
                                     reinterpret_cast<LPARAM>(result));
    trace::Rc("CM", 100, "WinPostMsg() rc=", posted ? 0 : GetLastError());
    if (!posted) Plat().GlobalFree(result);
  }
  free(parms->pszSysName);
  free(parms);
} catch (...) {
  ZEL_C_REPORT();
}

void cmExitListRoutine(void) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmExitListRoutine");
  // A CPMgr that never ran has posted its code, which its starter may not
  // have read yet, and has given the manager back already.
  if (StartUpFailed()) return;
  cmPostRunningSem(VQZM_RC_CPMGR_ENDED);
  // Action 4 has closed this process's handle to "STATE" by now; the
  // routine holds one of its own, so that a manager started meanwhile
  // never has its state overwritten.
  StateMutexHold state;
  state.Open();
  state.Request();
  RZ700SysStruct* system = nullptr;
  bool running = cmFindCommNotStopped(&system) == 0;
  if (running && system->bTermMsgSent == 0) cmSendTermMsg(system);
  // The system's comm thread ends its run before the process ends it, so
  // that its record is left stopped. A run that does not end in time is
  // left to the next start, which finds the manager gone (its state not
  // "not running") and resets the control blocks.
  if (!running || AwaitTeardown(system)) cbSetCPMgrState(ZEL_CPMGR_NOT_RUNNING);
  trace::Rc("CM", 100, "cmReleaseCPMState() rc = ", state.Release());
  // Every request still waiting on the manager's request queue is over.
  cdClearOutstandingDQReqList(VQZM_RC_CPMGR_ENDED);
} catch (...) {
  ZEL_C_REPORT();
}

uint16_t cmSendTermMsg(RZ700SysStruct* pSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmSendTermMsg");
  if (ZEL_NULL_ARGUMENT("CM", pSystem)) return VQZM_RC_INTERNAL_ERROR;
  pSystem->hSystem = pSystem->hConnSystem;
  char data[13];
  memset(data, 'Z', 12);
  data[12] = '\0';
  DQSendItem item{};
  item.pEntry = data;
  item.ulLength = sizeof data;
  uint32_t key_length = sizeof item.achKey;
  uint16_t rc = cbAscToEbcCharArray(item.achKey, data, &key_length, sizeof data);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_ASC_CONV")) {
    trace::Rc("CM", -100, "asctoebc() error rc=", rc);
    return VQZM_RC_CONVERSION_FAILED;
  }
  rc = cdSendDQItem(pSystem, &item);
  if (rc != 0 && ZEL_ERROR_POINT("DQ_SEND_ERROR")) {
    trace::Rc("CM", -100, "cdSendDQItem() error rc=", rc);
    return rc;
  }
  pSystem->bTermMsgSent = 1;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
