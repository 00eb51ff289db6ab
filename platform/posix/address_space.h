// Placement of shared mappings at the addresses the system asks for.
//
// libzelplat reserves the fixed window (filemap.h) with an inaccessible
// mapping as it loads. A mapping inside the window replaces only this
// reservation, and only where this process has not mapped anything else; a
// mapping elsewhere is placed only where nothing is mapped
// (MAP_FIXED_NOREPLACE). Nothing is ever mapped over memory in use.
#ifndef ZEL_PLATFORM_POSIX_ADDRESS_SPACE_H
#define ZEL_PLATFORM_POSIX_ADDRESS_SPACE_H

#include <sys/types.h>

#include <cstddef>

namespace zel::platform::internal {

// Reserves the fixed window; called once as libzelplat loads. When the
// window is taken already, mappings there are placed as elsewhere.
void ReserveFixedWindow();

// Maps `length` bytes of the shared file `fd` from `offset` at exactly
// `address`, or where the system chooses when it is null. Returns the
// address, or null with the last error set: ERROR_INVALID_ADDRESS when the
// address is not page-aligned or the range is (partly) in use. A
// std::bad_alloc leaves nothing mapped. Any thread.
void* MapShared(void* address, size_t length, bool writable, int fd, off_t offset);

// Removes a mapping made by MapShared; inside the fixed window the range is
// reserved again. Any thread.
void UnmapShared(void* address, size_t length);

// Fork (library.cpp's handlers, in the forking thread): the lock of the
// views' table (filemap.cpp) and then this file's lock of the window are
// held across the fork, taken after the attach lock (an attach maps the
// global heap), so that a child never finds either taken by a thread it
// does not have, nor its table half-changed. Released in the parent and in
// the child alike.
void LockViewsForFork();
void UnlockViewsAfterFork();
void LockFixedWindowForFork();
void UnlockFixedWindowAfterFork();

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_ADDRESS_SPACE_H
