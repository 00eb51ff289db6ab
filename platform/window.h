// Message windows: a 32-bit window handle registered by one thread, to which
// any thread of any process of the instance posts or sends messages.
//
// The window's thread runs a message loop (GetMessage or PeekMessage, then
// DispatchMessage). Posted messages wait in that thread's queue in the
// order they were posted by each sender. A sent message is handled by the
// window's thread inside its GetMessage, PeekMessage, WaitMessage or its own
// SendMessage, never returned by them, and SendMessage returns only when the
// window procedure has returned; a thread waiting in SendMessage handles
// messages sent to its own windows meanwhile, so A -> B -> A does not
// deadlock.
//
// A window is gone when its thread destroys it, when that thread ends, or
// when its process ends or dies; posting to it then fails, and a SendMessage
// waiting on it fails instead of hanging.
#ifndef ZEL_PLATFORM_WINDOW_H
#define ZEL_PLATFORM_WINDOW_H

#include <functional>

#include "platform/types.h"

namespace zel::platform {

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_USER = 0x0400;

// PeekMessage: leave the message in the queue, or take it out.
inline constexpr UINT PM_NOREMOVE = 0x0000;
inline constexpr UINT PM_REMOVE = 0x0001;

// A message as a loop receives it.
struct MSG {
  HWND hwnd;      // window it was posted to; 0 for WM_QUIT
  UINT message;   // message number
  WPARAM wParam;  // first parameter, passed through unchanged
  LPARAM lParam;  // second parameter (often an address), unchanged
  DWORD time;     // milliseconds of the monotonic clock when posted
};

// The window procedure; it runs on the window's own thread.
using WindowProc = std::function<LRESULT(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)>;

// Creates a window owned by the calling thread with procedure `proc`.
// Returns the handle, or 0 with the last error set: ERROR_INVALID_PARAMETER
// for an empty procedure, ERROR_NO_SYSTEM_RESOURCES when the instance's
// window table (1,024 windows) is full, or the error of attaching to the
// instance.
ZEL_PLATFORM_EXPORT HWND CreateMessageWindow(WindowProc proc) noexcept;

// Destroys a window of the calling thread: its procedure gets WM_DESTROY,
// messages still queued for it are dropped, and senders waiting on it get
// 0. False with ERROR_INVALID_WINDOW_HANDLE for no such window,
// ERROR_ACCESS_DENIED when another thread owns it.
ZEL_PLATFORM_EXPORT bool DestroyWindow(HWND hwnd) noexcept;

// Queues a message for the window and returns at once. A global-memory
// block (globalmem.h) passed as `lParam` to a window of another process
// becomes that process's block. False with ERROR_INVALID_WINDOW_HANDLE when
// the window does not exist or its process has died, ERROR_NOT_ENOUGH_QUOTA
// when the window has 10,000 posted messages queued or on their way to it
// (from any process), or its process accepts nothing for 5 seconds. A
// message posted is never dropped while its window lives. Any thread.
ZEL_PLATFORM_EXPORT bool PostMessage(HWND hwnd, UINT message, WPARAM wParam,
                                     LPARAM lParam) noexcept;

// Has the window's thread handle the message and returns the procedure's
// result; on the window's own thread the procedure is called directly.
// Returns 0 with ERROR_INVALID_WINDOW_HANDLE when the window does not exist
// or goes away (its thread or process ends) before it has handled the
// message; the last error is 0 after a handled message. Any thread.
ZEL_PLATFORM_EXPORT LRESULT SendMessage(HWND hwnd, UINT message, WPARAM wParam,
                                        LPARAM lParam) noexcept;

// Waits for a posted message of the calling thread's queue whose window is
// `hwnd` (0: any) and whose number lies in [filter_min, filter_max] (both 0:
// any) and takes it out. Returns 1 for a message, 0 for WM_QUIT, -1 with
// ERROR_INVALID_WINDOW_HANDLE when `hwnd` is not a window of this thread.
// Waits without limit.
ZEL_PLATFORM_EXPORT int GetMessage(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max) noexcept;

// As GetMessage, waiting at most `timeout_ms` (0: looks once; INFINITE):
// -1 with ERROR_TIMEOUT when no message came in time.
ZEL_PLATFORM_EXPORT int GetMessageTimeout(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max,
                                          DWORD timeout_ms) noexcept;

// As GetMessage without waiting: true when a message was found (and taken
// out with PM_REMOVE), false when there is none.
ZEL_PLATFORM_EXPORT bool PeekMessage(MSG* msg, HWND hwnd, UINT filter_min, UINT filter_max,
                                     UINT remove) noexcept;

// Calls the procedure of the message's window and returns its result; 0 when
// the window is not a window of the calling thread.
ZEL_PLATFORM_EXPORT LRESULT DispatchMessage(const MSG* msg) noexcept;

// Waits up to `timeout_ms` (or INFINITE) until the calling thread's queue
// holds a posted message, handling sent messages meanwhile. Returns
// WAIT_OBJECT_0 or WAIT_TIMEOUT.
ZEL_PLATFORM_EXPORT DWORD WaitMessage(DWORD timeout_ms) noexcept;

// Queues WM_QUIT for the calling thread: its GetMessage then returns 0, after
// the messages already queued.
ZEL_PLATFORM_EXPORT void PostQuitMessage(int exit_code) noexcept;

// A descriptor that polls readable (POLLIN) while a message posted or sent
// to the window waits for its thread, so that the thread can wait for the
// window's messages in poll, epoll or an event loop, then take them with
// GetMessageTimeout (0 ms) or PeekMessage. A sent message is handled there
// and never taken, so a wake-up may find no posted message. The descriptor
// is the window's: the caller never reads or closes it, and it is closed
// when the window goes. -1 with ERROR_INVALID_WINDOW_HANDLE for no window of
// this process, ERROR_ACCESS_DENIED when another thread owns it. The
// window's thread only.
ZEL_PLATFORM_EXPORT int GetWindowReadyFd(HWND hwnd) noexcept;

// True when `hwnd` names a window whose process is alive. Any thread.
ZEL_PLATFORM_EXPORT bool IsWindow(HWND hwnd) noexcept;

// The thread id of the window's owner, and its process id through
// `process_id` when not null; 0 (and process id 0) with
// ERROR_INVALID_WINDOW_HANDLE when it is not a window.
ZEL_PLATFORM_EXPORT DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* process_id) noexcept;

// The window's idle count: its owning thread raises it each time it looks
// for a message (GetMessage, PeekMessage, WaitMessage), finds none to take,
// and nothing for the window is queued for it or unread in its process's
// socket, a post under way from another process included. Once the count
// has changed after a moment T, every message posted to the window before
// T has been taken by its thread, and dispatched when the loop dispatches
// before it looks again. A thread busy in a handler, or one that never
// looks, leaves the count as it is; a thread asleep in GetMessage looks
// again when a message comes, so a caller that needs the count to move
// posts one (WM_NULL) after reading it. Any thread of any process of the
// instance. False with ERROR_INVALID_WINDOW_HANDLE when `hwnd` is no
// window or its process has ended (a window that is gone has nothing left
// to handle), ERROR_INVALID_PARAMETER for a null `count`.
ZEL_PLATFORM_EXPORT bool GetWindowIdleCount(HWND hwnd, DWORD* count) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_WINDOW_H
