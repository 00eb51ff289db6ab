// Cursors, message boxes, the focus and the ANSI code page of a headless
// workstation.
#include "platform/user.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/handles.h"
#include "platform/module.h"
#include "platform/posix/barrier.h"
#include "platform/posix/last_error.h"
#include "base/config.h"
#include "base/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

constexpr char kTag[] = "PL";

// A system cursor's handle is its id with this bit, so that none is 0.
constexpr HCURSOR kSystemCursor = 0x10000;

constexpr WORD kSystemCursors[] = {32512, 32513, 32514, 32515, 32516, 32640, 32641, 32642,
                                   32643, 32644, 32645, 32646, 32648, 32649, 32650, 32651};

std::atomic<HCURSOR> g_cursor{kSystemCursor | IDC_ARROW};

std::mutex g_box_mutex;
std::optional<MessageBoxRecord> g_last_box;  // guarded by g_box_mutex

// The buttons of each button style, in the order they are numbered for
// MB_DEFBUTTONn.
std::vector<int> Buttons(UINT style) {
  switch (style & 0xF) {
    case MB_OKCANCEL:
      return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
      return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
      return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
      return {IDYES, IDNO};
    case MB_RETRYCANCEL:
      return {IDRETRY, IDCANCEL};
    default:
      return {IDOK};
  }
}

}  // namespace

HCURSOR LoadCursor(HMODULE instance, WORD cursor_id) noexcept try {
  for (WORD known : kSystemCursors) {
    if (instance == 0 && known == cursor_id) return kSystemCursor | cursor_id;
  }
  internal::SetError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return 0;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

HCURSOR SetCursor(HCURSOR cursor) noexcept { return g_cursor.exchange(cursor); }

HCURSOR GetCursor() noexcept { return g_cursor.load(); }

int MessageBox(HWND owner, const char* text, const char* caption, UINT style) noexcept try {
  MessageBoxRecord record{owner, style, text != nullptr ? text : "",
                          caption != nullptr ? caption : ""};
  fprintf(stderr, "MessageBox [%s] %s (style 0x%X)\n", record.caption.c_str(), record.text.c_str(),
          style);
  trace::String(kTag, 70, record.caption.c_str(), record.text.c_str());
  trace::Rc(kTag, 71, "MessageBox style=", style);
  {
    std::lock_guard guard(g_box_mutex);
    g_last_box = std::move(record);
  }
  std::vector<int> buttons = Buttons(style);
  size_t default_button = (style >> 8) & 0xF;
  return buttons[default_button < buttons.size() ? default_button : 0];
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

bool GetLastMessageBox(MessageBoxRecord* record) noexcept try {
  std::lock_guard guard(g_box_mutex);
  if (!g_last_box.has_value() || record == nullptr) return false;
  *record = *g_last_box;
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

int LoadString(HMODULE module, UINT id, char* buffer, int size) noexcept try {
  using Table = const char* (*)(uint32_t);
  if (buffer == nullptr || size <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  buffer[0] = '\0';
  auto table = reinterpret_cast<Table>(GetProcAddress(module, "zelMessageText"));
  const char* text = table != nullptr ? table(id) : nullptr;
  if (text == nullptr) {
    if (table != nullptr || GetLastError() != ERROR_INVALID_HANDLE) {
      SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    return 0;
  }
  int length = static_cast<int>(strnlen(text, static_cast<size_t>(size - 1)));
  memcpy(buffer, text, static_cast<size_t>(length));
  buffer[length] = '\0';
  return length;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

HWND GetFocus() noexcept { return 0; }

UINT GetACP() noexcept { return config::PcCodePage(); }

}  // namespace zel::platform
