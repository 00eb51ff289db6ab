// Process attach and detach: every process that loads the library creates
// or attaches the control blocks and opens the serialization objects.
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "ctrlblk/object_names.h"
#include "ctrlblk/process_state.h"
#include "platform/event.h"
#include "platform/handles.h"
#include "platform/module.h"
#include "platform/mutex.h"
#include "platform/process.h"
#include "services/errhandle.h"
#include "services/language.h"
#include "services/platform_calls.h"
#include "services/qlx_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcb0")

using zel::services::Plat;
using zel::services::Qlx;

namespace zel::ctrlblk {
namespace {

using namespace zel::platform;

constexpr DWORD kInitTermWaitMs = 180000;

constexpr const char* kSerialLabels[] = {"CONV_LST_SEM_ERROR",
                                         "SYS_LST_SEM_ERROR",
                                         "ASYNC_RET_LST_SEM_ERROR",
                                         "_3RD_PARTY_LST_SEM_ERROR",
                                         "ASYNC_WNDS_LST_SEM_ERROR",
                                         "ASYNC_NAMES_LST_SEM_ERROR",
                                         "RZ700_REQ_LST_SEM_ERROR",
                                         "OUTSTANDING_DQ_REQ_LST_SEM_ERROR",
                                         "OUTSTANDING_DQ_REQ_CLEAN_SEM_ERROR"};
static_assert(std::size(kSerialNames) == static_cast<size_t>(Serial::kCount));
static_assert(std::size(kSerialLabels) == static_cast<size_t>(Serial::kCount));

constexpr char kMessageLibrary[] = "VQZMCMRI.DLL";

// The message library lives in the language's message directory, which the
// language service names. A process without it goes on: only the texts of
// the messages it shows are missing.
void LoadMessageLibrary() {
  uint32_t error_handle = 0;
  if (Qlx().qlxSV_CreateErrHandle(&error_handle) != 0) return;
  char dir[257] = {};
  uint32_t rc = Qlx().qlxNL_GetMsgDirectory(dir, sizeof dir - 1, error_handle);
  Qlx().qlxSV_DeleteErrHandle(error_handle);
  if (rc != 0) {
    trace::Rc("CM", -50, "Message directory not available rc=", rc);
    return;
  }
  std::string path = std::string(dir) + kMessageLibrary;
  ThisProcess().message_library = Plat().LoadLibrary(path.c_str());
  if (ThisProcess().message_library == 0) trace::String("CM", -50, "Not loaded:", path.c_str());
}

// Process attach (reason 1).
int AttachProcess() {
  ProcessState& state = ThisProcess();
  if (!MapSharedData() && ZEL_ERROR_POINT("EXT_SHARED_DATA_ERROR")) {
    trace::Msg("CM", -100, "Shared data section could not be mapped");
    trace::SysErrorText("CM");
    return 0;
  }
  SharedData& shared = *Shared();
  LoadMessageLibrary();

  UniqueHandle init_term(Plat().CreateMutex(false, kInitTermName));
  Plat().WaitForSingleObject(init_term.get(), kInitTermWaitMs);  // a time-out goes on regardless

  uint16_t rc = 0;
  if (shared.ulAttachCount == 0) {
    memset(shared.szStartSystem, ' ', sizeof shared.szStartSystem - 1);
    shared.szStartSystem[sizeof shared.szStartSystem - 1] = '\0';
    rc = cbInitCtrlBlks();
  } else {
    rc = cbAttachCtrlBlk();
  }
  // Our loader cannot refuse the load, so a failed creation leaves this
  // process running: "INITTERM" is released even then, or every other
  // process of the instance would wait out its three minutes.
  if (rc != 0 && ZEL_ERROR_POINT("EXT_INITCTRL_ERROR")) {
    trace::Rc("CM", -100, "Error Initializing Ctrl. Blks., rc=", rc);
  }
  Plat().ReleaseMutex(init_term.get());
  init_term.Reset();
  if (rc != 0 || state.load_failed) return 0;
  // A new process is a natural moment to take back what ended ones left.
  if (shared.ulSharedMemError == 0) {
    ReleaseConversationsOfEndedProcesses();
    ReclaimDeadProcessBlocks();
  }
  return 1;
}

// Process detach (reason 0) when the process is ending. The conversations
// the process still holds are given back first, as its stops would.
int DetachProcess() {
  if (ThisProcess().view != nullptr && Shared()->ulSharedMemError == 0) {
    ReleaseConversationsOfThisProcess();
  }
  UniqueHandle init_term(Plat().CreateMutex(false, kInitTermName));
  if (!init_term) {
    if (GetLastError() != ERROR_ALREADY_EXISTS && ZEL_ERROR_POINT("CREATE_SEM_ERROR")) {
      trace::SysErrorText("CM");
    }
    ZEL_ERROR_POINT("EXT_INIT_SEM");
    return 0;
  }
  if (Plat().WaitForSingleObject(init_term.get(), kInitTermWaitMs) == WAIT_FAILED) {
    ZEL_ERROR_POINT("FAILED_SEM_ERROR");
    ZEL_ERROR_POINT("EXT_CTRL_SEM");
    return 0;
  }
  cbDestroyCtrlBlks();
  if (!Plat().ReleaseMutex(init_term.get())) {
    ZEL_ERROR_POINT("EXT_REL_SEM");
    ZEL_ERROR_POINT("EXT_RELEASE_SEM");
    return 0;
  }
  if (!init_term.Close() && ZEL_ERROR_POINT("EXT_CLOSE_SEM")) return 0;
  ProcessState& state = ThisProcess();
  if (state.request_processor != 0) Plat().FreeLibrary(state.request_processor);
  state.request_processor = 0;
  if (state.message_library != 0) Plat().FreeLibrary(state.message_library);
  state.message_library = 0;
  return 1;
}

// A forked child keeps the parent's views and handles (the platform makes
// it a process of the instance of its own), but is not the manager and
// has no watcher even when the parent was and had.
void ChildAfterFork() {
  ThisProcess().is_manager = false;
  ForgetWatcherAfterFork();
}

// The library's load and unload handlers. A dlclose while the process runs
// detaches nothing: the mapping handle stays open until the process ends.
__attribute__((constructor)) void OnLoad() {
  if (INITTERM(0, 1, nullptr) == 0) {
    ThisProcess().load_failed = true;
    fprintf(stderr, "vqzmcsw: the shared control blocks could not be set up\n");
  }
  pthread_atfork(nullptr, nullptr, ChildAfterFork);
}

__attribute__((destructor)) void OnUnload() {
  static int ending_marker;
  INITTERM(0, 0, ProcessIsEnding() ? &ending_marker : nullptr);
}

}  // namespace

ProcessState& ThisProcess() {
  static ProcessState state;
  return state;
}

int INITTERM(HMODULE, uint32_t reason, void* reserved) {
  switch (reason) {
    case 1:
      return AttachProcess();
    case 0:
      return reserved != nullptr && Shared() != nullptr ? DetachProcess() : 1;
    default:
      return 1;  // thread attach and detach
  }
}

uint16_t cbInitCtrlBlks() {
  ZEL_TRACE_FUNCTION("CM", "cbInitCtrlBlks");
  ZELAnchorCB& anchor = Anchor();
  memset(&anchor, 0, sizeof anchor);
  memcpy(anchor.szNextSysID, "000", 4);
  void* area = nullptr;
  cbInitCtrlBlkSharedMem(&area, kControlBlockSize);
  anchor.pSharedMem = area;
  uint16_t rc = cbInitConvBlk(&anchor.pConvBlk);
  anchor.pSysList = nullptr;
  anchor.pAsyncRetList = nullptr;
  anchor.p3rdPartyList = nullptr;
  anchor.pSpareList = nullptr;
  anchor.pNamedAsyncList = nullptr;
  anchor.pRZ700ReqList = nullptr;
  anchor.usCPMgrState = 21;
  trace::Rc("CM", 100, "CB.usCPMgrState", anchor.usCPMgrState);
  InitializeSerialization();
  anchor.ulNextConvId = 1;
  return rc;
}

void InitializeSerialization() {
  ZEL_TRACE_FUNCTION("CM", "InitializeSerialization");
  ProcessState& state = ThisProcess();
  for (size_t i = 0; i < state.serial.size(); ++i) {
    bool is_event = static_cast<Serial>(i) == Serial::kOutstandingClean;
    HANDLE handle = is_event ? Plat().CreateEvent(true, false, kSerialNames[i])
                             : Plat().CreateMutex(false, kSerialNames[i]);
    if (handle == 0 && ZEL_ERROR_POINT(kSerialLabels[i])) {
      for (HANDLE& created : state.serial) {
        if (created != 0) CloseHandle(created);
        created = 0;
      }
      // Without its list locks the process could touch no list safely: the
      // library refuses service in it, as after a failed load.
      state.load_failed = true;
      return;
    }
    state.serial[i] = handle;
  }
}

const char* SerialName(Serial which) { return kSerialNames[static_cast<size_t>(which)]; }

HANDLE SerialHandle(Serial which) { return ThisProcess().serial[static_cast<size_t>(which)]; }

ListLock::ListLock(Serial which)
    : handle_(SerialHandle(which)),
      wait_result_(Plat().WaitForSingleObject(handle_, INFINITE)),
      acquired_(wait_result_ != WAIT_FAILED),
      held_(acquired_) {
  if (wait_result_ == WAIT_ABANDONED) {
    trace::String("CB", 100, "Mutex abandoned by a process that ended: ", SerialName(which));
  }
}

ListLock::~ListLock() { Release(); }

bool ListLock::Release() {
  if (!held_) return true;
  held_ = false;
  return Plat().ReleaseMutex(handle_);
}

uint16_t cbResetCtrlBlks() {
  ZEL_TRACE_FUNCTION("CM", "cbResetCtrlBlks");
  uint16_t rc = cbAddRZ700SysDefault(nullptr);
  trace::Rc("CM", 100, "cbAddRZ700SysDefault() rc=", rc);
  cbResetConvIds();
  cbResetRZ700SysList();
  cbResetAsyncRetList();
  cbResetRZ700ReqList();
  cbReset3rdPartyList();
  cbResetAsyncWndsList();
  cbResetAsyncNamesList();
  return rc;
}

}  // namespace zel::ctrlblk
