// File mappings: named shared-memory regions that processes map at an
// address of their choice, the same address in every process when they
// store plain pointers in the region.
//
// A mapping is backed by memory only (the paging file of the original) and
// is zero-filled when created. It exists while some process of the instance
// holds a handle to it or has a view of it mapped; the handles and views of
// processes that died do not count, so a region that only dead processes
// held is gone, never reused with stale contents.
//
// Addresses in [kFixedWindowBase, kFixedWindowBase + kFixedWindowSize) are
// reserved in every process when libzelplat loads, so that the heap, thread
// stacks and libraries never land where the system maps its regions (the
// control-block area at 0x23000000, the global-memory heap). A view at a
// given address elsewhere is placed only where nothing is mapped yet.
//
// Names are shared with mutexes and events (mutex.h). All functions may be
// called from any thread.
#ifndef ZEL_PLATFORM_FILEMAP_H
#define ZEL_PLATFORM_FILEMAP_H

#include <cstdint>

#include "platform/types.h"

namespace zel::platform {

inline constexpr uintptr_t kFixedWindowBase = 0x20000000;
inline constexpr size_t kFixedWindowSize = 0x20000000;

// Page protection of CreateFileMapping.
inline constexpr DWORD PAGE_READONLY = 0x02;
inline constexpr DWORD PAGE_READWRITE = 0x04;

// Access of a view.
inline constexpr DWORD FILE_MAP_WRITE = 0x0002;
inline constexpr DWORD FILE_MAP_READ = 0x0004;
inline constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;

// Creates the mapping `name` of `size` bytes (zero-filled), or opens it when
// it exists: the last error is then ERROR_ALREADY_EXISTS (0 after a fresh
// creation) and the existing size stands. A null or empty name makes a
// mapping that only this process can reach. Returns 0 with the last error
// set: ERROR_INVALID_PARAMETER for size 0 or a protection other than
// PAGE_READONLY or PAGE_READWRITE, ERROR_NOT_ENOUGH_MEMORY when the memory
// cannot be had, and the name errors of CreateMutex.
ZEL_PLATFORM_EXPORT HANDLE CreateFileMapping(DWORD protect, uint64_t size,
                                             const char* name) noexcept;

// Opens the existing mapping `name`: 0 with ERROR_FILE_NOT_FOUND when no
// live process holds it, ERROR_INVALID_HANDLE when the name is another kind
// of object. Access and inheritance as OpenMutex.
ZEL_PLATFORM_EXPORT HANDLE OpenFileMapping(DWORD desired_access, bool inherit_handle,
                                           const char* name) noexcept;

// Maps `bytes` of the mapping from `offset` (0 bytes: to its end) at
// `base_address`, or where the system chooses when it is null, and returns
// the view's address. The view keeps the mapping alive after its handle is
// closed. Returns null with the last error set: ERROR_INVALID_ADDRESS when
// the base is not page-aligned or any part of the range is already in use
// (the range is then left exactly as it was), ERROR_INVALID_PARAMETER for
// an offset that is not page-aligned or a range beyond the mapping's end,
// ERROR_ACCESS_DENIED for write access to a read-only mapping,
// ERROR_INVALID_HANDLE for a handle that is not a mapping.
ZEL_PLATFORM_EXPORT void* MapViewOfFileEx(HANDLE mapping, DWORD desired_access, uint64_t offset,
                                          size_t bytes, void* base_address) noexcept;

// MapViewOfFileEx where the system chooses the address.
ZEL_PLATFORM_EXPORT void* MapViewOfFile(HANDLE mapping, DWORD desired_access, uint64_t offset,
                                        size_t bytes) noexcept;

// Unmaps the view that begins at `base_address` (an address inside the
// fixed window is reserved again). False with ERROR_INVALID_ADDRESS when no
// view begins there.
ZEL_PLATFORM_EXPORT bool UnmapViewOfFile(const void* base_address) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_FILEMAP_H
