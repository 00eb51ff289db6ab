// The instance's global-memory heap, as the instance attaches to and reaps
// it (the functions of globalmem.h use it too).
#ifndef ZEL_PLATFORM_POSIX_HEAP_H
#define ZEL_PLATFORM_POSIX_HEAP_H

#include <cstdint>

#include "platform/types.h"

namespace zel::platform::internal {

class Instance;

// Maps the heap at kGlobalHeapBase, building it when `fresh` (this process
// is alone in the instance, holding the attach lock). A failure is traced;
// GlobalAlloc then fails in this process.
void AttachGlobalHeap(const Instance& instance, bool fresh);

// Unmaps the heap again after an attach that failed.
void DetachGlobalHeap();

// Frees the blocks that the process in `slot` owns. Called with the
// registry lock held (the heap lock is taken after it).
void ReapGlobalBlocks(uint32_t slot);

// Makes the process in `slot` the owner of the block at `address`; nothing
// happens when `address` is not a live block. Any thread.
void TransferGlobalBlock(LPARAM address, uint32_t slot);

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_HEAP_H
