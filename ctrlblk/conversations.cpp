// Conversation IDs, and the anchor fields through which the library and the
// CPMgr know each other.
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/list_ops.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/window.h"
#include "services/trace.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcb1")

namespace zel::ctrlblk {
namespace {

using namespace zel::platform;

constexpr uint32_t kConvCountChanged = 0x405;

// The slot that holds `id`, issued or not; null when none does.
ConvEntry* FindSlot(uint32_t id, bool issued_only) {
  for (ConvBlock* block = Anchor().pConvBlk; block != nullptr; block = block->pNext) {
    for (ConvEntry& entry : block->aEntries) {
      if (entry.ulConvId == id && (!issued_only || entry.ulInUse == 1)) return &entry;
    }
  }
  return nullptr;
}

// The ID to issue next. IDs rise by one and are never 0; after the 32-bit
// counter wraps, IDs still issued are skipped, so no ID is ever held by two
// conversations. Called with the conversation mutex held.
uint32_t TakeNextConvId() {
  ZELAnchorCB& anchor = Anchor();
  for (;;) {
    uint32_t id = anchor.ulNextConvId;
    anchor.ulNextConvId = id + 1;
    if (id != 0 && FindSlot(id, true) == nullptr) return id;
  }
}

// Posts 0x405 for `pSystem`; the posting's own code.
uint16_t PostCountChanged(RZ700SysStruct* pSystem) {
  return cbPostCPMgrMsg(kConvCountChanged, 0, pSystem);
}

}  // namespace

uint16_t cbAddConvId(uint32_t ulConvId, RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CB", "cbAddConvId");
  ConvBlock* last = nullptr;
  for (ConvBlock* block = Anchor().pConvBlk; block != nullptr; block = block->pNext) {
    for (ConvEntry& entry : block->aEntries) {
      if (entry.ulInUse == 0) {
        entry.ulConvId = ulConvId;
        entry.pSystem = pSystem;
        entry.ulInUse = 1;
        return 0;
      }
    }
    last = block;
  }
  uint16_t rc = cbInitConvBlk(&last->pNext);
  if (rc != 0 && ZEL_ERROR_POINT("INIT_CONV_BLK_ERROR")) {
    trace::Rc("CB", -100, "error cbInitConvBlk() rc = ", rc);
    return rc;
  }
  ConvEntry& first = last->pNext->aEntries[0];
  first.ulConvId = ulConvId;
  first.pSystem = pSystem;
  first.ulInUse = 1;
  return 0;
}

uint16_t cbRemoveConvId(uint32_t ulConvId, RZ700SysStruct** ppSystem) {
  ZEL_TRACE_FUNCTION("CB", "cbRemoveConvId");
  *ppSystem = nullptr;
  ConvEntry* slot = FindSlot(ulConvId, false);
  if (slot == nullptr || slot->ulInUse == 0) return VQZM_RC_CONV_NOT_ACTIVE;
  slot->ulInUse = 0;
  *ppSystem = slot->pSystem;
  return 0;
}

// The conversation count changes under the conversation mutex too: threads
// of several processes issue and release IDs of one system at once.
uint16_t cbDeallocConvId(uint32_t ulConvId) {
  ZEL_TRACE_FUNCTION("CB", "cbDeallocConvId");
  ListLock lock(Serial::kConvList);
  if (!lock.acquired() && ZEL_ERROR_POINT("REQ_SEM_ERROR")) {
    trace::SysRc("CB", -100, "error on DosRequestMutexSem call rc = ", lock.wait_result());
    return VQZM_RC_INTERNAL_ERROR;
  }
  RZ700SysStruct* system = nullptr;
  cbRemoveConvId(ulConvId, &system);
  if (system != nullptr && system->ulConvCount > 0) system->ulConvCount -= 1;
  if (!lock.Release() && ZEL_ERROR_POINT("RLS_SEM_ERROR")) {
    trace::SysRc("CB", -100, "error on DosReleaseMutexSem call rc = ", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (system == nullptr) return VQZM_RC_CONV_NOT_ACTIVE;
  return PostCountChanged(system);
}

void cbRemoveConvIdsSystem(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CB", "cbRemoveConvIdsSystem");
  ListLock lock(Serial::kConvList);
  if (!lock.acquired() && ZEL_ERROR_POINT("REQ_SEM_ERROR")) {
    trace::SysRc("CB", -100, "error on DosRequestMutexSem call rc = ", lock.wait_result());
    return;
  }
  for (ConvBlock* block = Anchor().pConvBlk; block != nullptr; block = block->pNext) {
    for (ConvEntry& entry : block->aEntries) {
      if (entry.pSystem != pSystem) continue;
      entry.ulInUse = 0;
      entry.ulConvId = 0;
      entry.pSystem = nullptr;
    }
  }
  if (!lock.Release() && ZEL_ERROR_POINT("RLS_SEM_ERROR")) {
    trace::SysRc("CB", -100, "error on DosReleaseMutexSem call rc = ", GetLastError());
  }
}

uint16_t cbRetSysFromConvId(uint32_t ulConvId, RZ700SysStruct** ppSystem) {
  ZEL_TRACE_FUNCTION("CB", "cbRetSysFromConvId");
  *ppSystem = nullptr;
  ConvEntry* slot = nullptr;
  if (ulConvId != 0) {
    ListLock lock(Serial::kConvList);
    if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return VQZM_RC_INTERNAL_ERROR;
    slot = FindSlot(ulConvId, true);
    if (slot != nullptr) *ppSystem = slot->pSystem;
  }
  if (slot == nullptr && ZEL_ERROR_POINT("CONV_NOT_FOUND")) {
    trace::Rc("CB", -100, "error did not find convId = ", ulConvId);
    return VQZM_RC_CONV_NOT_ISSUED;
  }
  return 0;
}

ZELHWND cbRetCPMgrHwnd() {
  ZEL_TRACE_FUNCTION("CB", "cbRetCPMgrHwnd");
  return Anchor().hwndCPMgr;
}

}  // namespace zel::ctrlblk

using namespace zel::ctrlblk;
namespace trace = zel::trace;

extern "C" {

uint16_t cbReturnNewConvId(uint32_t* pConvId, RZ700SysStruct* pSystem, uint32_t ulNoCount) {
  ZEL_TRACE_FUNCTION("CB", "cbReturnNewConvId");
  using namespace zel::platform;
  // Each call opens its own handle by name and closes it after a release.
  HANDLE mutex = OpenMutex(MUTEX_ALL_ACCESS, false, SerialName(Serial::kConvList));
  if (mutex == 0 && ZEL_ERROR_POINT("REQ_SEM_ERROR")) {
    trace::Msg("CB", -100, "error on DosRequestMutexSem call rc = ");
    trace::SysErrorText("CB");
    return VQZM_RC_INTERNAL_ERROR;
  }
  DWORD wait = WaitForSingleObject(mutex, INFINITE);
  if (wait == WAIT_FAILED && ZEL_ERROR_POINT("TIMEOUT_SEM_ERROR")) {
    trace::SysRc("CB", -100, "Timeout on DosRequestMutexSem = ", wait);
    trace::SysErrorText("CB");
    CloseHandle(mutex);
    return VQZM_RC_MUTEX_WAIT_FAILED;
  }
  uint32_t id = TakeNextConvId();
  uint16_t rc = cbAddConvId(id, pSystem);
  if (rc != 0 && ZEL_ERROR_POINT("ADD_CONVID_ERROR")) {
    trace::Rc("CB", -100, "Error cbAddConvId () = ", rc);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    return VQZM_RC_INTERNAL_ERROR;
  }
  *pConvId = id;
  if (ulNoCount == 0) pSystem->ulConvCount += 1;
  if (!ReleaseMutex(mutex) && ZEL_ERROR_POINT("RLS_SEM_ERROR")) {
    trace::SysRc("CB", -100, "error on DosReleaseMutexSem call rc = ", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  CloseHandle(mutex);
  if (ulNoCount != 0) return 0;
  rc = PostCountChanged(pSystem);
  if (rc != 0 && ZEL_ERROR_POINT("POST_CPMGR_ERROR")) {
    trace::Rc("CB", -100, "error on cbPostCPMgr() rc = ", rc);
    trace::Rc("CB", -100, "Msg = ", kConvCountChanged);
  }
  return 0;
}

uint16_t cbReturnCPMgrState(void) {
  ZEL_TRACE_FUNCTION("CB", "cbReturnCPMgrState");
  uint16_t state = Anchor().usCPMgrState;
  trace::Rc("CB", 100, "CPM State: ", state);
  return state;
}

void cbSetCPMgrState(uint16_t usState) {
  ZEL_TRACE_FUNCTION("CB", "cbSetCPMgrState");
  Anchor().usCPMgrState = usState;
  trace::Rc("CB", 100, "State changed to", usState);
}

void cbSetCPMgrHwnd(ZELHWND hwnd) {
  ZEL_TRACE_FUNCTION("CB", "cbSetCPMgrHwnd");
  ZELAnchorCB& anchor = Anchor();
  anchor.hwndCPMgr = hwnd;
  anchor.ulCPMgrPid = zel::platform::GetCurrentProcessId();
}

uint16_t cbPostCPMgrMsg(uint32_t ulMsg, uint32_t wParam, void* lParam) {
  ZEL_TRACE_FUNCTION("CB", "cbPostCPMgrMsg");
  using namespace zel::platform;
  if (!PostMessage(Anchor().hwndCPMgr, ulMsg, wParam, reinterpret_cast<LPARAM>(lParam))) {
    trace::Msg("CB", -100, "Error trying to send CPMgr msg");
    trace::SysErrorText("CB");
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
}

}  // extern "C"
