// The instance's global-memory heap, as the instance attaches to and reaps
// it (the functions of globalmem.h use it too).
#ifndef ZEL_PLATFORM_POSIX_HEAP_H
#define ZEL_PLATFORM_POSIX_HEAP_H

#include <cstdint>

#include "platform/instance_view.h"
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
// registry lock held (the heap lock is taken after it); costs one look at a
// count when the slot owns none.
void ReapGlobalBlocks(uint32_t slot);

// Makes the process in `slot` the owner of the block at `address`; nothing
// happens when `address` is not a live block. Any thread.
void TransferGlobalBlock(LPARAM address, uint32_t slot);

// Called as a block posted by another process arrives. The poster handed
// it over under the heap's lock, after every use of it in this process;
// the thread sanitizer sees one process only, so in its build this tells
// it so. Nothing in other builds.
void SeeGlobalBlockHandedOver(LPARAM address);

// True when `address` lies in the global heap: it may be a block (a look
// without the heap's lock).
bool InGlobalHeap(LPARAM address);

// Frees the block at `address` when it is live and the process in `slot`
// owns it; nothing happens otherwise. Any thread.
void FreeOwnedGlobalBlock(LPARAM address, uint32_t slot);

// What CheckGlobalHeap found.
struct GlobalHeapReport {
  const char* problem;   // the first broken invariant, null when the heap is sound
  uint64_t used_blocks;  // allocated blocks
  uint64_t free_blocks;  // free blocks (1 when nothing is allocated)
  uint64_t free_bytes;   // bytes in free blocks, their headers included
  uint64_t recoveries;   // rebuilds after a process died holding the heap lock
  uint64_t repairs;      // rebuilds that met a damaged block header
};

// Walks the whole heap under its lock (rebuilding first if the last holder
// died) and checks every invariant: the blocks tile the heap, headers are
// whole, no two free blocks are neighbours, previous sizes, bins and the
// blocks counted per slot match the chain. For tests; any thread. When the
// check itself fails, `problem` says so and the last error why.
ZEL_PLATFORM_EXPORT GlobalHeapReport CheckGlobalHeap() noexcept;

// Walks `image`, a read-only mapping of `size` bytes of an instance's heap
// file that other processes change meanwhile, and fills `use`; its `whole`
// is false when a header could not be read or cannot be right. False when
// the image is no heap of this build. Any thread; takes no lock.
bool MeasureGlobalHeapImage(const void* image, size_t size, GlobalHeapUse* use);

// Test hook: this process kills itself (SIGKILL) at the `edit`th edit of
// heap metadata from now on, 1 being the next one; 0 disarms. Every commit
// and every step between two stores that matter counts, so sweeping `edit`
// stops the allocator at each point where a crash can leave it.
ZEL_PLATFORM_EXPORT void KillAtGlobalHeapEdit(uint32_t edit) noexcept;

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_HEAP_H
