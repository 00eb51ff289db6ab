// Conversation IDs, and the anchor fields through which the library and the
// CPMgr know each other.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "ctrlblk/list_ops.h"
#include "ctrlblk/null_argument.h"
#include "ctrlblk/process_state.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/window.h"
#include "services/platform_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcb1")

using zel::services::Plat;

namespace zel::ctrlblk {
namespace {

using namespace zel::platform;

constexpr uint32_t kConvCountChanged = 0x405;
constexpr uint32_t kUnknownOwner = 0xFFFFFFFF;  // a process that could not tell its place
constexpr std::chrono::seconds kWatchInterval{1};

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

// Slot i of `block` holds conversation `id` of `system` for this process.
// Called with the conversation mutex held.
void Issue(ConvBlock* block, size_t i, uint32_t id, RZ700SysStruct* system) {
  InstanceProcess& owner = OwnersOf(block).owner[i];
  if (!Plat().GetInstanceProcess(&owner)) owner = {kUnknownOwner, 0};
  ConvEntry& entry = block->aEntries[i];
  entry.ulConvId = id;
  entry.pSystem = system;
  entry.ulInUse = 1;
}

// Releases each issued conversation whose owner `matches`.
template <class Match>
uint32_t ReleaseConversationsOf(Match matches) {
  std::vector<uint32_t> ids;
  {
    ListLock lock(Serial::kConvList);
    if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return 0;
    for (ConvBlock* block = Anchor().pConvBlk; block != nullptr; block = block->pNext) {
      for (size_t i = 0; i < ZEL_CONV_SLOTS; ++i) {
        const ConvEntry& entry = block->aEntries[i];
        if (entry.ulInUse == 1 && matches(OwnersOf(block).owner[i])) ids.push_back(entry.ulConvId);
      }
    }
  }
  for (uint32_t id : ids) {
    trace::Rc("CB", 100, "Conversation of an ended process released, convId=", id);
    cbDeallocConvId(id);
  }
  return static_cast<uint32_t>(ids.size());
}

// The watcher of ended processes in the manager's process. It stops as
// its state goes, at exit or at an unload.
struct Watcher {
  ~Watcher() { StopWatchingEndedProcesses(); }
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;  // guarded by mutex
  std::thread thread;
};
Watcher g_watcher;

}  // namespace

// The parent's thread, lock and condition may have been in any state at
// the fork; a fresh watcher takes their place without ending them.
void ForgetWatcherAfterFork() { std::construct_at(&g_watcher); }

void StopWatchingEndedProcesses() {
  std::thread thread;
  {
    std::lock_guard guard(g_watcher.mutex);
    g_watcher.stop = true;
    thread = std::move(g_watcher.thread);
  }
  g_watcher.wake.notify_all();
  if (thread.joinable()) thread.join();
}

uint16_t cbAddConvId(uint32_t ulConvId, RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CB", "cbAddConvId");
  ConvBlock* last = nullptr;
  for (ConvBlock* block = Anchor().pConvBlk; block != nullptr; block = block->pNext) {
    for (size_t i = 0; i < ZEL_CONV_SLOTS; ++i) {
      if (block->aEntries[i].ulInUse == 0) {
        Issue(block, i, ulConvId, pSystem);
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
  Issue(last->pNext, 0, ulConvId, pSystem);
  return 0;
}

uint32_t ReleaseConversationsOfEndedProcesses() {
  return ReleaseConversationsOf([](const InstanceProcess& owner) {
    return owner.slot != kUnknownOwner && !InstanceProcessAlive(owner);
  });
}

uint32_t ReleaseConversationsOfThisProcess() {
  InstanceProcess self{};
  if (!Plat().GetInstanceProcess(&self)) return 0;
  return ReleaseConversationsOf([self](const InstanceProcess& owner) {
    return owner.slot == self.slot && owner.generation == self.generation;
  });
}

void StartWatchingEndedProcesses() {
  std::lock_guard guard(g_watcher.mutex);
  if (g_watcher.thread.joinable()) return;
  g_watcher.stop = false;
  g_watcher.thread = std::thread([] {
    std::unique_lock lock(g_watcher.mutex);
    while (!g_watcher.wake.wait_for(lock, kWatchInterval, [] { return g_watcher.stop; })) {
      lock.unlock();
      ReleaseConversationsOfEndedProcesses();
      ReclaimDeadProcessBlocks();
      lock.lock();
    }
  });
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
  bool released = lock.Release();
  if (!released && ZEL_ERROR_POINT("RLS_SEM_ERROR")) {
    trace::SysRc("CB", -100, "error on DosReleaseMutexSem call rc = ", GetLastError());
  }
  if (system == nullptr) return released ? VQZM_RC_CONV_NOT_ACTIVE : VQZM_RC_INTERNAL_ERROR;
  // The conversation is gone even when the release failed: the manager must
  // still hear of the count, or it keeps a system nobody uses running.
  uint16_t posted = PostCountChanged(system);
  return released ? posted : uint16_t{VQZM_RC_INTERNAL_ERROR};
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
  // Under the lock, as every change of the count: an application's new
  // conversation counted meanwhile is not lost to a write outside it.
  pSystem->ulConvCount = 0;
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

uint16_t cbReturnNewConvId(uint32_t* pConvId, RZ700SysStruct* pSystem, uint32_t ulNoCount) noexcept
    try {
  ZEL_TRACE_FUNCTION("CB", "cbReturnNewConvId");
  using namespace zel::platform;
  if (ZEL_NULL_ARGUMENT("CB", pConvId) || ZEL_NULL_ARGUMENT("CB", pSystem)) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  // Each call opens its own handle by name and closes it after a release.
  UniqueHandle mutex(Plat().OpenMutex(MUTEX_ALL_ACCESS, false, SerialName(Serial::kConvList)));
  if (!mutex && ZEL_ERROR_POINT("REQ_SEM_ERROR")) {
    trace::Msg("CB", -100, "error on DosRequestMutexSem call rc = ");
    trace::SysErrorText("CB");
    return VQZM_RC_INTERNAL_ERROR;
  }
  DWORD wait = Plat().WaitForSingleObject(mutex.get(), INFINITE);
  if (wait == WAIT_FAILED && ZEL_ERROR_POINT("TIMEOUT_SEM_ERROR")) {
    trace::SysRc("CB", -100, "Timeout on DosRequestMutexSem = ", wait);
    trace::SysErrorText("CB");
    return VQZM_RC_MUTEX_WAIT_FAILED;
  }
  uint32_t id = 0;
  uint16_t rc = 0;
  try {
    id = TakeNextConvId();
    rc = cbAddConvId(id, pSystem);
  } catch (...) {
    // A new conversation block may fail inside; the mutex is not left held.
    Plat().ReleaseMutex(mutex.get());
    throw;
  }
  if (rc != 0 && ZEL_ERROR_POINT("ADD_CONVID_ERROR")) {
    trace::Rc("CB", -100, "Error cbAddConvId () = ", rc);
    Plat().ReleaseMutex(mutex.get());
    return VQZM_RC_INTERNAL_ERROR;
  }
  *pConvId = id;
  if (ulNoCount == 0) pSystem->ulConvCount += 1;
  if (!Plat().ReleaseMutex(mutex.get()) && ZEL_ERROR_POINT("RLS_SEM_ERROR")) {
    trace::SysRc("CB", -100, "error on DosReleaseMutexSem call rc = ", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  mutex.Reset();
  if (ulNoCount != 0) return 0;
  rc = PostCountChanged(pSystem);
  if (rc != 0 && ZEL_ERROR_POINT("POST_CPMGR_ERROR")) {
    trace::Rc("CB", -100, "error on cbPostCPMgr() rc = ", rc);
    trace::Rc("CB", -100, "Msg = ", kConvCountChanged);
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

// The state, or 0 (no state) when the call fails inside.
uint16_t cbReturnCPMgrState(void) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbReturnCPMgrState");
  uint16_t state = Anchor().usCPMgrState;
  trace::Rc("CB", 100, "CPM State: ", state);
  return state;
} catch (...) {
  return ZEL_C_FAILURE(uint16_t{0}, uint16_t{0});
}

void cbSetCPMgrState(uint16_t usState) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbSetCPMgrState");
  Anchor().usCPMgrState = usState;
  trace::Rc("CB", 100, "State changed to", usState);
} catch (...) {
  ZEL_C_REPORT();
}

// Starting the watcher of ended processes can fail (no thread): the window
// and process ID are stored by then, and the failure is reported.
void cbSetCPMgrHwnd(ZELHWND hwnd) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbSetCPMgrHwnd");
  ZELAnchorCB& anchor = Anchor();
  anchor.hwndCPMgr = hwnd;
  anchor.ulCPMgrPid = zel::platform::GetCurrentProcessId();
  ThisProcess().is_manager = true;
  StartWatchingEndedProcesses();
} catch (...) {
  ZEL_C_REPORT();
}

// A null lParam is posted as it is: some messages carry none.
uint16_t cbPostCPMgrMsg(uint32_t ulMsg, uint32_t wParam, void* lParam) noexcept try {
  ZEL_TRACE_FUNCTION("CB", "cbPostCPMgrMsg");
  using namespace zel::platform;
  if (!Plat().PostMessage(Anchor().hwndCPMgr, ulMsg, wParam, reinterpret_cast<LPARAM>(lParam))) {
    trace::Msg("CB", -100, "Error trying to send CPMgr msg");
    trace::SysErrorText("CB");
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
