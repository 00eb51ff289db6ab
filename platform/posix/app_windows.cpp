// The application's message windows (include/zelapp.h): a thin C layer over
// the platform's windows, whose messages the application takes itself
// instead of dispatching them to a window procedure.
#include "platform/handles.h"
#include "platform/window.h"
#include "zelapp.h"

using namespace zel::platform;

extern "C" {

uint16_t zelCreateWindow(uint32_t* phwnd) noexcept {
  if (phwnd == nullptr) return VQZM_RC_INTERNAL_ERROR;
  *phwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return LRESULT{0}; });
  if (*phwnd != 0) return VQZM_RC_OK;
  return GetLastError() == ERROR_NO_SYSTEM_RESOURCES ? VQZM_RC_NO_MEMORY : VQZM_RC_INTERNAL_ERROR;
}

uint16_t zelDestroyWindow(uint32_t hwnd) noexcept {
  return DestroyWindow(hwnd) ? VQZM_RC_OK : VQZM_RC_NO_ASYNC_FOR_WINDOW;
}

uint16_t zelWaitMessage(uint32_t hwnd, uint32_t ulTimeoutMs, ZelMessage* pMessage) noexcept {
  if (pMessage == nullptr) return VQZM_RC_INTERNAL_ERROR;
  // Window 0 would take any window's messages.
  if (hwnd == 0) return VQZM_RC_NO_ASYNC_FOR_WINDOW;
  MSG msg;
  if (GetMessageTimeout(&msg, hwnd, 0, 0, ulTimeoutMs) < 0) {
    return GetLastError() == ERROR_TIMEOUT ? VQZM_RC_TIMED_OUT : VQZM_RC_NO_ASYNC_FOR_WINDOW;
  }
  *pMessage = ZelMessage{msg.hwnd, msg.message, msg.wParam, msg.lParam};
  return VQZM_RC_OK;
}

int zelWindowFd(uint32_t hwnd) noexcept { return GetWindowReadyFd(hwnd); }

uint16_t zelPostMessage(uint32_t hwnd, uint32_t message, uintptr_t wParam,
                        intptr_t lParam) noexcept {
  if (PostMessage(hwnd, message, wParam, lParam)) return VQZM_RC_OK;
  return GetLastError() == ERROR_INVALID_WINDOW_HANDLE ? VQZM_RC_NO_ASYNC_FOR_WINDOW
                                                       : VQZM_RC_INTERNAL_ERROR;
}

}  // extern "C"
