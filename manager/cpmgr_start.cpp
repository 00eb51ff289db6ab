// Starting the CPMgr process and the hand-back of its answers: the
// application side waits, the CPMgr side reports.
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
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
#include "platform/process.h"
#include "platform/window.h"
#include "services/admin.h"
#include "services/platform_calls.h"
#include "services/qlx_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcm1")

using zel::services::Plat;
using zel::services::Qlx;

namespace zel::manager {
namespace {

using namespace zel::platform;

constexpr char kStartedByApiArgument[] = "/API";
constexpr DWORD kStartedWaitMs = 90000;

std::mutex g_flag_mutex;
uint32_t g_started_by_api = 0;  // guarded by g_flag_mutex
std::atomic<bool> g_start_up_failed{false};

// Waits for "STARTED" in slices so that a CPMgr that dies before it signals
// is noticed at once instead of after the whole wait. WAIT_FAILED only when
// the wait itself fails.
DWORD WaitForStarted(HANDLE started, HANDLE process) {
  for (DWORD waited = 0; waited < kStartedWaitMs; waited += kLivenessSliceMs) {
    DWORD wait = Plat().WaitForSingleObject(started, kLivenessSliceMs);
    if (wait != WAIT_TIMEOUT) return wait;
    if (Plat().WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return WAIT_TIMEOUT;
  }
  return WAIT_TIMEOUT;
}

// The CPMgr pulses "RETURN" right after it signals "STARTED", and a pulse
// reaches only a thread that already waits: the starter, woken by
// "STARTED", nearly always comes too late for it. So the starter waits on
// "RUNNING", which the CPMgr resets before "STARTED" and signals with the
// same code after the pulse (for a starter that created "RETURN"), and
// leaves signalled (the starter holds a handle from before the CPMgr runs,
// so the event outlives a CPMgr that reports and ends at once); and it
// watches the CPMgr process itself, so that a CPMgr that dies without
// answering gives 1029 instead of a wait without end.
uint16_t WaitForInitResult(HANDLE running, HANDLE process) {
  for (;;) {
    DWORD wait = Plat().WaitForSingleObject(running, kLivenessSliceMs);
    if (wait == WAIT_FAILED && ZEL_ERROR_POINT("WAIT_MUXWAIT_SEM_ERROR")) {
      trace::Msg("CM", -100, "DosWaitMuxWaitSem() error ");
      trace::SysErrorText("CM");
      return VQZM_RC_INTERNAL_ERROR;
    }
    if (wait == WAIT_OBJECT_0) return 0;
    if (Plat().WaitForSingleObject(process, 0) != WAIT_OBJECT_0) continue;
    // It ended: it may have answered just before.
    if (Plat().WaitForSingleObject(running, 0) == WAIT_OBJECT_0) return 0;
    if (ZEL_ERROR_POINT("EXT_CPMGR_ENDED")) {
      trace::Msg("CM", -100, "CPMgr ended before it reported its start");
    }
    return VQZM_RC_CPMGR_NOT_STARTED;
  }
}

// Opens "RETURN" and pulses it. 0 also when nobody created it (nobody
// waits), and then *opened is false; an open that fails otherwise is an
// error, as a starter may be waiting.
uint16_t PulseReturn(bool* opened) {
  UniqueHandle return_event(Plat().OpenEvent(EVENT_ALL_ACCESS, false, ctrlblk::kReturnName));
  *opened = static_cast<bool>(return_event);
  if (!return_event && ZEL_ERROR_POINT("OPEN_SEM_ERROR")) {
    DWORD error = GetLastError();
    trace::SysRc("CM", -100, "DosOpenEventSem rc = ", error);
    return error == ERROR_FILE_NOT_FOUND ? 0 : VQZM_RC_INTERNAL_ERROR;
  }
  if (!Plat().PulseEvent(return_event.get()) && ZEL_ERROR_POINT("POST_SEM_ERROR")) {
    trace::SysRc("CM", -100, "DosPostEventSem rc = ", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (!return_event.Close() && ZEL_ERROR_POINT("CLOSE_SEM_ERROR")) {
    trace::SysRc("CM", -100, "DosCloseEventSem rc = ", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
}

// Creates (or opens) the start event `name`, manual reset and not
// signalled: one left signalled by an earlier start must not answer for
// this one. 0 after tracing a failure under `label`.
HANDLE CreateStartEvent(const char* name, const char* label) {
  HANDLE event = Plat().CreateEvent(true, false, name);
  if (event == 0 && ZEL_ERROR_POINT(label)) {
    trace::Msg("CM", -100, "Error DosCreateEventSem()");
    trace::String("CM", -100, "Sem Name", name);
    return 0;
  }
  Plat().ResetEvent(event);
  return event;
}

// A CPMgr whose start-up failed gives the manager back as not running
// before its starter learns the code: the starter holds "STATE" until then,
// and a later start must start a new CPMgr, not join this one, which ends.
void GiveUpStart() {
  g_start_up_failed.store(true);
  cbSetCPMgrHwnd(0);
  cbSetCPMgrState(ZEL_CPMGR_NOT_RUNNING);
}

}  // namespace

// The installation directory with exactly one "/" at its end.
std::string InstallDirectory() {
  char dir[257] = {};
  uint32_t length = sizeof dir - 1;
  Qlx().qlxAD_GetInstallDir(dir, &length);
  std::string text(dir);
  while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  if (text.empty() || (text.back() != ':' && text.back() != '/')) text += '/';
  return text;
}

std::string RetCodeEventName(const RZ700SysStruct* pSystem) {
  return std::string(ctrlblk::kRetCodeEventPrefix) + std::string(pSystem->szSysID, 3);
}

bool StartUpFailed() { return g_start_up_failed.load(); }

bool CPMgrAlive() {
  ZELHWND hwnd = ctrlblk::Anchor().hwndCPMgr;
  return hwnd != 0 && Plat().IsWindow(hwnd);
}

void ForgetDeadCPMgr() {
  if (ctrlblk::Anchor().usCPMgrState == ZEL_CPMGR_NOT_RUNNING || CPMgrAlive()) return;
  trace::Rc("CM", -50, "CPMgr is gone; control blocks reset, state was",
            ctrlblk::Anchor().usCPMgrState);
  cmCompleteTermination();
  // Only here: a manager that ends by itself still runs the hand-overs
  // that its reset would otherwise free under them.
  trace::Rc("CM", -50, "hand-overs of the dead CPMgr freed:", ctrlblk::cbResetOutstandingDQList());
}

uint16_t cmStartCPMgr(RZ700SysStruct** ppSystem) {
  ZEL_TRACE_FUNCTION("CM", "cmStartCPMgr");
  UniqueHandle return_event(CreateStartEvent(ctrlblk::kReturnName, "CREATE_RET_SEM_ERROR"));
  if (!return_event) return VQZM_RC_INTERNAL_ERROR;
  UniqueHandle started(CreateStartEvent(ctrlblk::kStartedName, "CREATE_STARTED_SEM_ERROR"));
  if (!started) return VQZM_RC_INTERNAL_ERROR;
  UniqueHandle running(CreateStartEvent(ctrlblk::kRunningName, "CREATE_RUNNING_SEM_ERROR"));
  if (!running) return VQZM_RC_INTERNAL_ERROR;

  std::string program = InstallDirectory() + "SHARED/" + ctrlblk::kManagerProgramName;
  char command_line[600];
  snprintf(command_line, sizeof command_line, "%s%s %s", (InstallDirectory() + "SHARED/").c_str(),
           ctrlblk::kManagerProgramName, kStartedByApiArgument);
  trace::String("CM", 100, "Command line", command_line);
  // The program is named apart from the command line, so that blanks in
  // the installation directory cannot split its path. The CPMgr outlives
  // its starter: detached, it keeps no hold on the starter's output (a
  // pipeline ends with the application) nor on its terminal.
  PROCESS_INFORMATION info{};
  if (!Plat().CreateProcess(program.c_str(), command_line,
                            CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS | NORMAL_PRIORITY_CLASS,
                            &info) &&
      ZEL_ERROR_POINT("EXEC_CPM_ERROR")) {
    trace::Msg("CM", -100, "Error DosStartSession");
    trace::String("CM", -100, "Arguments passed in", command_line);
    return VQZM_RC_CPMGR_NOT_STARTED;
  }
  UniqueHandle process(info.hProcess);

  uint16_t rc = 0;
  if (WaitForStarted(started.get(), process.get()) == WAIT_FAILED &&
      ZEL_ERROR_POINT("WAIT_STARTED_SEM_ERROR")) {
    trace::Msg("CM", -100, "Error wait sem");
    rc = VQZM_RC_CPMGR_NOT_STARTED;
  }
  if (!started.Close() && rc == 0 && ZEL_ERROR_POINT("CLOSE_STARTED_SEM_ERROR")) {
    trace::Msg("CM", -100, "Error DosWaitEventSem()");
    rc = VQZM_RC_INTERNAL_ERROR;
  }
  if (rc == 0) {
    rc = WaitForInitResult(running.get(), process.get());
    if (rc != 0 && ZEL_ERROR_POINT("WAIT_RET_SEM_ERROR")) {
      trace::Rc("CM", -100, "Error cmWaitCPMgrReturn()", rc);
    }
  }
  if (rc == 0) {
    rc = ctrlblk::Anchor().usCPMgrRC;
    if (rc != 0 && ZEL_ERROR_POINT("RETURN_ERROR")) {
      trace::Rc("CM", -100, "ERROR from starting CPMgr .exe pgm ", rc);
      *ppSystem = nullptr;
    }
  }
  if (!return_event.Close() && rc == 0 && ZEL_ERROR_POINT("CLOSE_RET_SEM_ERROR")) {
    trace::Msg("CM", -100, "Error DosCloseEventSem()");
    rc = VQZM_RC_INTERNAL_ERROR;
  }
  return rc;
}

void cmQrySetStartedByAPI(uint32_t ulOption, uint32_t* pulFlag) {
  ZEL_TRACE_FUNCTION("CM", "cmQrySetStartedByAPI");
  std::lock_guard lock(g_flag_mutex);
  switch (ulOption) {
    case 1:
      g_started_by_api = *pulFlag;
      trace::Msg("CM", 100, "Set API Started");
      break;
    case 2:
      *pulFlag = g_started_by_api;
      break;
    default:
      trace::Rc("CM", -100, "Invalid Option", ulOption);
  }
}

void cmCompleteTermination() {
  ZEL_TRACE_FUNCTION("CM", "cmCompleteTermination");
  cbSetCPMgrState(ZEL_CPMGR_NOT_RUNNING);
  trace::Rc("CM", 100, "cmResetCtrlBlks() rc = ", ctrlblk::cbResetCtrlBlks());
}

}  // namespace zel::manager

using namespace zel::manager;
using namespace zel::platform;
namespace trace = zel::trace;

extern "C" {

uint16_t cmWaitCPMgrReturn(ZELHANDLE hev) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmWaitCPMgrReturn");
  if (Plat().WaitForSingleObject(hev, INFINITE) == WAIT_FAILED &&
      ZEL_ERROR_POINT("WAIT_MUXWAIT_SEM_ERROR")) {
    trace::Msg("CM", -100, "DosWaitMuxWaitSem() error ");
    trace::SysErrorText("CM");
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint32_t cmCkStartedByAPI(int argc, char** argv) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmCkStartedByAPI");
  if (ZEL_NULL_ARGUMENT("CM", argv)) return 0;
  uint32_t found = 0;
  // A null entry ends the vector, as it does after the last argument.
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
    trace::String("CM", 100, "Argument", argv[i]);
    if (strcmp(argv[i], kStartedByApiArgument) == 0) found = 1;
  }
  return found;
} catch (...) {
  return ZEL_C_FAILURE(0u, 0u);
}

void cmSetStartedAPIFlag(uint32_t ulFlag) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmSetStartedAPIFlag");
  trace::Rc("CM", 100, "Flag = ", ulFlag);
  cmQrySetStartedByAPI(1, &ulFlag);
} catch (...) {
  ZEL_C_REPORT();
}

uint32_t cmQryStartedByAPI(void) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmQryStartedByAPI");
  uint32_t flag = 0;
  cmQrySetStartedByAPI(2, &flag);
  return flag;
} catch (...) {
  return ZEL_C_FAILURE(0u, 0u);
}

uint16_t cmReturnCPMgrRCDuringInit(uint16_t usRC) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmReturnCPMgrRCDuringInit");
  cmSetStartedAPIFlag(1);
  // A CPMgr that cannot show its starter that it started (65534) does not
  // run either: it reports that code instead, and ends.
  uint16_t init_rc = cmInitRunningSem();
  if (usRC == 0) usRC = init_rc;
  if (usRC != 0) GiveUpStart();
  zel::ctrlblk::Anchor().usCPMgrRC = usRC;
  bool opened = false;
  uint16_t rc = PulseReturn(&opened);
  // A CPMgr that no application started has nobody to tell.
  if (rc == 0 && opened) rc = cmPostRunningSem(usRC);
  // A starter that was not told waits for this process to end, holding
  // "STATE", which a running CPMgr needs: this one must not run.
  if (rc != 0 && usRC == 0) GiveUpStart();
  return rc != 0 ? rc : init_rc;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cmReturnCPMgrRC(uint16_t usRC) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmReturnCPMgrRC");
  zel::ctrlblk::Anchor().usCPMgrRC = usRC;
  bool opened = false;
  return PulseReturn(&opened);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cmReturnCommRC(RZ700SysStruct* pSystem, uint16_t usRC) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cmReturnCommRC");
  if (ZEL_NULL_ARGUMENT("CM", pSystem)) return VQZM_RC_INTERNAL_ERROR;
  std::atomic_ref(pSystem->usRetCode).store(usRC, std::memory_order_release);
  trace::Rc("CM", 100, "Return Code Returned", usRC);
  std::string name = RetCodeEventName(pSystem);
  UniqueHandle event(Plat().OpenEvent(EVENT_ALL_ACCESS, false, name.c_str()));
  if (!event && ZEL_ERROR_POINT("OPEN_SEM_ERROR")) {
    trace::SysRc("CM", -100, "DosOpenEventSem rc = ", GetLastError());
    trace::SysErrorText("CM");
    trace::String("CM", -100, "Event", name.c_str());
    return 0;
  }
  trace::Rc("CM", 100, "Sem Handle", event.get());
  if (!Plat().SetEvent(event.get()) && ZEL_ERROR_POINT("POST_SEM_ERROR")) {
    trace::SysRc("CM", -100, "DosPostEventSem rc = ", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (!event.Close() && ZEL_ERROR_POINT("CLOSE_SEM_ERROR")) {
    trace::SysRc("CM", -100, "DosCloseEventSem rc = ", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
