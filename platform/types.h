// Vocabulary of the platform layer (lib/libzelplat.so): the integer and
// handle types, wait results and error numbers of the OS services that the
// component was written against. They are C++ constants in zel::platform,
// not macros, so that nothing clashes with the system headers.
//
// Handles (HANDLE, HMODULE) are 32-bit entries of this process's handle
// table (handles.h); a handle made by one process is refused as invalid in
// every other. Window handles (HWND) are 32-bit ids in the instance-wide
// window table (window.h) and are valid in every process of the instance.
#ifndef ZEL_PLATFORM_TYPES_H
#define ZEL_PLATFORM_TYPES_H

#include <cstddef>
#include <cstdint>

// Marks what libzelplat exports; our own libraries and programs are its
// only users.
#define ZEL_PLATFORM_EXPORT __attribute__((visibility("default")))

namespace zel::platform {

using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT = uint32_t;
using HANDLE = uint32_t;
using HMODULE = uint32_t;
using HWND = uint32_t;
using HCURSOR = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
// A global-memory block is addressed by its data's address (globalmem.h).
using HGLOBAL = void*;

// Never a valid handle; also the pseudo-handle of the current process.
inline constexpr HANDLE INVALID_HANDLE_VALUE = 0xFFFFFFFFu;

// Time-outs in milliseconds; INFINITE waits without limit.
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

// Results of WaitForSingleObject.
inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
inline constexpr DWORD WAIT_ABANDONED = 0x00000080u;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// Exit code reported for a thread or process that has not ended.
inline constexpr DWORD STILL_ACTIVE = 259;

// Access rights accepted by the Open* functions. Every open grants all
// access; the values exist so that callers can pass what they mean.
inline constexpr DWORD SYNCHRONIZE = 0x00100000u;
inline constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001u;
inline constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003u;
inline constexpr DWORD EVENT_MODIFY_STATE = 0x00000002u;
inline constexpr DWORD PROCESS_ALL_ACCESS = 0x001FFFFFu;
inline constexpr DWORD PROCESS_DUP_HANDLE = 0x00000040u;

// Error numbers (GetLastError). Codes keep the values of the OS services
// they stand for, so that traces read the same.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD NO_ERROR = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_DATA = 13;
inline constexpr DWORD ERROR_OUTOFMEMORY = 14;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_BAD_NET_NAME = 67;
inline constexpr DWORD ERROR_ALREADY_ASSIGNED = 85;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_NOT_LOCKED = 158;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
inline constexpr DWORD ERROR_NOT_OWNER = 288;
inline constexpr DWORD ERROR_INVALID_ADDRESS = 487;
inline constexpr DWORD ERROR_BAD_DEVICE = 1200;
inline constexpr DWORD ERROR_NO_NETWORK = 1222;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_INTERNAL_ERROR = 1359;
inline constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
inline constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
inline constexpr DWORD ERROR_TIMEOUT = 1460;
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;
inline constexpr DWORD ERROR_NOT_CONNECTED = 2250;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_TYPES_H
