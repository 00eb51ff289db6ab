// User-interface services of a headless workstation: cursors, message boxes
// and the ANSI code page.
//
// There is no screen. The current cursor is a per-process value that the
// system saves, changes and restores. A message box shows nothing: its text
// goes to the trace and to standard error, the style (right-to-left bits
// included) is kept for tests to read, and the box is answered at once with
// its default button.
#ifndef ZEL_PLATFORM_USER_H
#define ZEL_PLATFORM_USER_H

#include <string>

#include "platform/types.h"

namespace zel::platform {

// System cursors of LoadCursor.
inline constexpr WORD IDC_ARROW = 32512;
inline constexpr WORD IDC_IBEAM = 32513;
inline constexpr WORD IDC_WAIT = 32514;
inline constexpr WORD IDC_CROSS = 32515;
inline constexpr WORD IDC_APPSTARTING = 32650;

// The handle of system cursor `cursor_id`; `instance` must be 0 (only the
// system's cursors exist). 0 with ERROR_RESOURCE_NAME_NOT_FOUND for an
// unknown cursor or a module instance.
ZEL_PLATFORM_EXPORT HCURSOR LoadCursor(HMODULE instance, WORD cursor_id) noexcept;

// Makes `cursor` the process's current cursor (0 hides it) and returns the
// previous one. Any thread.
ZEL_PLATFORM_EXPORT HCURSOR SetCursor(HCURSOR cursor) noexcept;

// The process's current cursor; the arrow until the first SetCursor.
ZEL_PLATFORM_EXPORT HCURSOR GetCursor() noexcept;

// Message-box style bits: buttons (low 4 bits), icon, default button, and
// the reading-order bits the system adds for right-to-left languages.
inline constexpr UINT MB_OK = 0x00000000;
inline constexpr UINT MB_OKCANCEL = 0x00000001;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
inline constexpr UINT MB_YESNOCANCEL = 0x00000003;
inline constexpr UINT MB_YESNO = 0x00000004;
inline constexpr UINT MB_RETRYCANCEL = 0x00000005;
inline constexpr UINT MB_ICONHAND = 0x00000010;
inline constexpr UINT MB_ICONSTOP = 0x00000010;
inline constexpr UINT MB_ICONQUESTION = 0x00000020;
inline constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
inline constexpr UINT MB_ICONASTERISK = 0x00000040;
inline constexpr UINT MB_DEFBUTTON2 = 0x00000100;
inline constexpr UINT MB_DEFBUTTON3 = 0x00000200;
inline constexpr UINT MB_RIGHT = 0x00080000;
inline constexpr UINT MB_RTLREADING = 0x00100000;

// Results of MessageBox.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// "Shows" a message box owned by `owner` (may be 0): writes
// "MessageBox [caption] text (style 0x...)" to standard error, traces the
// caption, text and style (tag "PL"), records it for
// GetLastMessageBox, and returns the id of the style's default button
// (IDOK for MB_OK). A null text or caption counts as empty. 0 with the
// last error set when there is no memory to show it. Any thread.
ZEL_PLATFORM_EXPORT int MessageBox(HWND owner, const char* text, const char* caption,
                                   UINT style) noexcept;

// The last message box this process showed.
struct MessageBoxRecord {
  HWND owner;           // owner window passed to MessageBox
  UINT style;           // style bits exactly as passed
  std::string text;     // the message text
  std::string caption;  // the title
};

// Copies the last message box shown by this process into `record`; false
// when none has been shown, and with the last error set when there is no
// memory for the copy.
ZEL_PLATFORM_EXPORT bool GetLastMessageBox(MessageBoxRecord* record) noexcept;

// The window with the keyboard focus: always 0 on a headless workstation,
// so boxes owned by it have no owner.
ZEL_PLATFORM_EXPORT HWND GetFocus() noexcept;

// Copies string `id` of the module's string table into `buffer` (cut to
// `size` - 1 characters, NUL-terminated) and returns its length. A module
// publishes its table through the exported function
// `const char* zelMessageText(uint32_t id)`. 0 with
// ERROR_RESOURCE_NAME_NOT_FOUND when the module has no such string,
// ERROR_INVALID_HANDLE for a handle that is not a module.
ZEL_PLATFORM_EXPORT int LoadString(HMODULE module, UINT id, char* buffer, int size) noexcept;

// The ANSI code page of the workstation: ZEL_PC_CODEPAGE, default 1252.
ZEL_PLATFORM_EXPORT UINT GetACP() noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_USER_H
