// What the control-block heap offers beyond cbAllocCtrlBlkMem and
// cbFreeCtrlBlkMem (ctrlblk.h): publishing records, reclaiming what
// processes that died left half-made, and figures and checks for tests and
// tools. heap.cpp states the reuse rule.
#ifndef ZEL_CTRLBLK_HEAP_H
#define ZEL_CTRLBLK_HEAP_H

#include <cstdint>
#include <string>
#include <vector>

namespace zel::ctrlblk {

// Marks a record as reachable by every process: from now on only a delete
// frees it, even after its allocator has died. Every operation that links
// a record into a shared list calls it, under the list's mutex, after the
// link.
void Publish(const void* record);

// What a delete may do with a record, as MarkDeleting found it.
enum class DeleteClaim {
  kPublished,       // linked at some time: free it only if found in its list
  kOwnUnpublished,  // this process allocated it and never linked it: free it
  kNotOurs,         // no record in use, or another process's record not yet
                    // linked (a stale pointer to reused memory): leave it
};

// Marks a record in use as being deleted by this process: if the process
// dies between the record's unlink and its free, the record is reclaimed
// like a half-made one. A record another live process has allocated and
// not yet linked is left as it is (kNotOurs). Call it under the list's
// mutex, before the unlink.
DeleteClaim MarkDeleting(const void* record);

// Frees the records that processes which have died allocated and never
// linked anywhere, or unlinked and never freed. Records still linked (the
// process died between the link and the publish, or before the unlink) are
// published instead. Takes the list
// mutexes one at a time and the heap mutex; call it holding none of them.
// Returns the number of records freed.
uint32_t ReclaimDeadProcessBlocks();

// A record whose allocator, or deleter, has died.
struct DeadOwnedBlock {
  void* record;               // the record
  uint32_t owner_slot;        // its allocator's process slot
  uint32_t owner_generation;  // and that slot's generation
};

// The records that processes which have died were making or deleting
// (heap mutex taken).
std::vector<DeadOwnedBlock> UnpublishedBlocksOfTheDead();

// Of `blocks`, publishes those in `reachable` (sorted) and frees the rest
// that are still as found; returns how many it freed (heap mutex taken).
uint32_t SettleDeadOwnedBlocks(const std::vector<DeadOwnedBlock>& blocks,
                               const std::vector<const void*>& reachable);

// Every record reachable from the anchor, sorted; each list is read under
// its own mutex (reclaim.cpp).
std::vector<const void*> ReachableRecords();

struct HeapStats {
  uint32_t high_water;          // bytes of the area ever handed out (ulHeapUsed)
  uint32_t used_blocks;         // records in use
  uint32_t used_bytes;          // their bytes, headers included
  uint32_t quarantined_blocks;  // freed records waiting for reuse
  uint32_t quarantined_bytes;   // their bytes, headers included
};

// Figures of the heap as it stands (heap mutex taken).
HeapStats CurrentHeapStats();

// Checks every invariant of the heap; false with `problem` set when one
// fails (heap mutex taken).
bool CheckHeap(std::string* problem);

}  // namespace zel::ctrlblk

#endif  // ZEL_CTRLBLK_HEAP_H
