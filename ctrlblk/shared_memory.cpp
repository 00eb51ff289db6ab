// The regions of the control blocks: the library's shared data section, the
// control-block area "CPMSHAREME" and the heap inside it.
#include <cstdio>
#include <cstring>

#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/null_argument.h"
#include "ctrlblk/object_names.h"
#include "ctrlblk/process_state.h"
#include "platform/filemap.h"
#include "platform/handles.h"
#include "platform/window.h"
#include "services/platform_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcb0")

using zel::services::Plat;

namespace zel::ctrlblk {
namespace {

using namespace zel::platform;

void TraceAddress(const void* address) {
  char text[32];
  snprintf(text, sizeof text, "%03Xh", static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)));
  trace::String("CM", 100, "addres:", text);
}

}  // namespace

SharedData* Shared() { return ThisProcess().shared_data; }

ZELAnchorCB& Anchor() { return ThisProcess().shared_data->anchor; }

void* ControlBlockView() { return ThisProcess().view; }

bool MapSharedData() {
  ProcessState& state = ThisProcess();
  UniqueHandle mapping(Plat().CreateFileMapping(PAGE_READWRITE, kSharedDataSize, kSharedDataName));
  if (!mapping) return false;
  void* view = Plat().MapViewOfFileEx(mapping.get(), FILE_MAP_ALL_ACCESS, 0, kSharedDataSize,
                               reinterpret_cast<void*>(kSharedDataAddress));
  if (view == nullptr) return false;
  state.shared_data_mapping = mapping.Release();
  state.shared_data = static_cast<SharedData*>(view);
  return true;
}

uint16_t cbInitCtrlBlkSharedMem(void** address, uint32_t size) {
  ZEL_TRACE_FUNCTION("CM", "cbInitCtrlBlkSharedMem");
  SharedData& shared = *Shared();
  *address = nullptr;
  trace::Msg("CM", 100, "Running in Windows NT ...");
  shared.pMapBase = reinterpret_cast<void*>(kControlBlockAddress);

  // The view keeps the area alive; the handle is closed on the way out.
  UniqueHandle mapping(Plat().CreateFileMapping(PAGE_READWRITE, size, kControlBlockName));
  if (!mapping && ZEL_ERROR_POINT("EXT_MAP_FILE_ERR")) {
    trace::Msg("CM", -100, "Create file Map failed ...");
    trace::SysErrorText("CM");
    shared.ulSharedMemError = 1;
    return 0;
  }
  void* view = Plat().MapViewOfFileEx(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, shared.pMapBase);
  if (view == nullptr && ZEL_ERROR_POINT("EXT_MEM_ERR")) {
    trace::Msg("CM", -100, "Map View of file failed ...");
    trace::SysErrorText("CM");
    shared.ulSharedMemError = 1;
    return 0;
  }
  shared.pMapBase = view;
  *address = view;
  ThisProcess().view = view;
  TraceAddress(view);
  memset(view, 0, size);
  ++shared.ulAttachCount;
  return 0;
}

uint16_t cbAttachCtrlBlk() {
  ZEL_TRACE_FUNCTION("CM", "cbAttachCtrlBlk");
  ProcessState& state = ThisProcess();
  SharedData& shared = *Shared();
  state.mapping = Plat().OpenFileMapping(FILE_MAP_ALL_ACCESS, false, kControlBlockName);
  if (state.mapping == 0 && ZEL_ERROR_POINT("EXT_OPEN_FILE_ERROR")) {
    trace::Msg("CM", -100, "Open File Map  attach file failed ...,Error text:");
    trace::SysErrorText("CM");
    shared.ulSharedMemError = 1;
    return 0;
  }
  void* view = Plat().MapViewOfFileEx(state.mapping, FILE_MAP_ALL_ACCESS, 0, 0, shared.pMapBase);
  if (view == nullptr && ZEL_ERROR_POINT("EXT_MAP_FILE_ERROR")) {
    trace::Msg("CM", -100, "Map View of file failed ...");
    trace::SysErrorText("CM");
    shared.ulSharedMemError = 1;
    return 0;
  }
  state.view = view;
  TraceAddress(view);
  InitializeSerialization();
  ++shared.ulAttachCount;
  return 0;
}

void cbDestroyCtrlBlks() {
  ZEL_TRACE_FUNCTION("CM", "cbDestroyCtrlBlks");
  ProcessState& state = ThisProcess();
  if (state.mapping != 0) CloseHandle(state.mapping);
  state.mapping = 0;
}

}  // namespace zel::ctrlblk

using namespace zel::ctrlblk;

extern "C" {

ZELAnchorCB* GetZELAnchorCB(void) noexcept try {
  return Shared() != nullptr && !ThisProcess().load_failed ? &Anchor() : nullptr;
} catch (...) {
  return ZEL_C_FAILURE(nullptr, nullptr);
}

// The field holds 11 characters: a longer name is refused and the previous
// one kept, since a cut name would start a different system.
void SetStartSystem(const char* pszName) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "SetStartSystem");
  if (ZEL_NULL_ARGUMENT("CM", pszName) || Shared() == nullptr) return;
  SharedData& shared = *Shared();
  size_t length = strlen(pszName);
  if (length >= sizeof shared.szStartSystem && ZEL_ERROR_POINT("EXT_NAME_TOO_LONG")) {
    zel::trace::String("CM", -100, "System name too long: ", pszName);
    return;
  }
  memcpy(shared.szStartSystem, pszName, length + 1);
  zel::trace::String("CM", 100, "System: ", shared.szStartSystem);
} catch (...) {
  ZEL_C_REPORT();
}

// The control-block area is open to every process of the instance already:
// this only checks that the window's process can be told.
uint16_t cbGiveSharedMem(ZELHWND hwnd) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "cbGiveSharedMem");
  zel::platform::DWORD process_id = 0;
  Plat().GetWindowThreadProcessId(hwnd, &process_id);
  if (process_id == 0 && ZEL_ERROR_POINT("EXT_INVALID_HWND")) {
    zel::trace::Msg("CM", -100, "WinQueryWindowProcess() error");
    return VQZM_RC_NO_ASYNC_FOR_WINDOW;
  }
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

void GetStartSystem(char** ppszBuffer) noexcept try {
  ZEL_TRACE_FUNCTION("CM", "GetStartSystem");
  if (ZEL_NULL_ARGUMENT("CM", ppszBuffer) || ZEL_NULL_ARGUMENT("CM", *ppszBuffer)) return;
  if (Shared() == nullptr) return;
  memcpy(*ppszBuffer, Shared()->szStartSystem, sizeof Shared()->szStartSystem);
} catch (...) {
  ZEL_C_REPORT();
}

}  // extern "C"
