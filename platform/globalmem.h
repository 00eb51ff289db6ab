// Global memory: blocks that one process allocates and another process of
// the instance reads and frees, typically posted as the lParam of a window
// message.
//
// Blocks come from one instance-wide heap that every process maps at
// kGlobalHeapBase (inside the fixed window of filemap.h), so a block's
// address means the same in every process. Blocks never move: a block's
// handle is its data's address, and GlobalLock returns it.
//
// A block belongs to the process that allocated it until it is posted as
// the lParam of PostMessage to a window of another process, which then owns
// it. When a process ends, the blocks it owns are reclaimed; blocks that
// must outlive their maker are handed over by posting them.
//
// A process killed at any moment, even inside the heap's lock, leaves the
// heap whole: the next process to take the lock rebuilds the allocator's
// indexes from the blocks themselves, and the dead process's blocks are
// reclaimed. No space is lost and no later allocation fails because of it.
//
// All functions may be called from any thread of any process of the
// instance. They take the heap's own lock, never the instance's registry
// lock.
#ifndef ZEL_PLATFORM_GLOBALMEM_H
#define ZEL_PLATFORM_GLOBALMEM_H

#include <cstdint>

#include "platform/types.h"

namespace zel::platform {

inline constexpr uintptr_t kGlobalHeapBase = 0x38000000;
inline constexpr size_t kGlobalHeapSize = 0x08000000;

// Flags of GlobalAlloc. Every block is shareable between the processes of
// the instance and never moves; GMEM_ZEROINIT zero-fills it.
inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GMEM_SHARE = 0x2000;
inline constexpr UINT GMEM_DDESHARE = 0x2000;
inline constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

// Allocates `bytes` (at least one). Returns the block, 16-byte aligned, or
// null with ERROR_NOT_ENOUGH_MEMORY when the heap has no room,
// ERROR_INVALID_PARAMETER for unknown flags.
ZEL_PLATFORM_EXPORT HGLOBAL GlobalAlloc(UINT flags, size_t bytes) noexcept;

// Raises the block's lock count and returns its data's address; null with
// ERROR_INVALID_HANDLE for something that is not a live block.
ZEL_PLATFORM_EXPORT void* GlobalLock(HGLOBAL block) noexcept;

// Lowers the lock count. True while the block stays locked; false when it
// is now unlocked (last error 0), was not locked (ERROR_NOT_LOCKED), or is
// not a live block (ERROR_INVALID_HANDLE).
ZEL_PLATFORM_EXPORT bool GlobalUnlock(HGLOBAL block) noexcept;

// Frees the block whatever its lock count and owner. Returns null on
// success; returns `block` itself with ERROR_INVALID_HANDLE when it is not
// a live block (a foreign pointer, or one freed already).
ZEL_PLATFORM_EXPORT HGLOBAL GlobalFree(HGLOBAL block) noexcept;

// The size the block was allocated with; 0 with ERROR_INVALID_HANDLE when it
// is not a live block.
ZEL_PLATFORM_EXPORT size_t GlobalSize(HGLOBAL block) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_GLOBALMEM_H
