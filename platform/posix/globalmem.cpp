// Global memory: one heap per instance at kGlobalHeapBase, shared by every
// process, with an allocator whose metadata survives a process killed at any
// instruction.
//
// After the heap's header, blocks tile the segment exactly. The one word at
// the start of each block's header (size and state) is all that defines the
// chain, and every change of the chain is a single store of such a word,
// made after everything it relies on is written. Everything else (bins of
// free blocks, previous sizes, blocks per slot) is derived: when a process
// dies holding the heap's lock, the next holder rebuilds it from one walk of
// the chain.
#include "platform/globalmem.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#ifdef __SANITIZE_THREAD__
#include <sanitizer/tsan_interface.h>
#endif

#include "platform/posix/address_space.h"
#include "platform/posix/barrier.h"
#include "platform/instance_view.h"
#include "platform/posix/heap.h"
#include "platform/posix/instance.h"
#include "platform/posix/last_error.h"
#include "platform/posix/robust_mutex.h"
#include "base/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace internal {
namespace {

constexpr char kTag[] = "PL";
constexpr uint64_t kHeapMagic = 0x32504145484c455aULL;  // "ZELHEAP2"
constexpr uint32_t kBlockMagic = 0x4b4c4247;            // "GBLK"
constexpr UINT kKnownFlags = 0x0002 | 0x0010 | 0x0020 | 0x0040 | 0x0100 | 0x1000 | 0x2000 | 0x4000;

// Every field of the heap is read and written under its lock; the atomics
// only make single stores explicit.
constexpr auto kRelaxed = std::memory_order_relaxed;

// A block's word: its size (header included, a multiple of 16) and state.
constexpr uint64_t kUsed = 1;
constexpr uint64_t kSizeMask = ~uint64_t{15};

// Free blocks sit in segregated bins: one per size below kExactLimit, then
// four per doubling up to the size of the heap.
constexpr uint64_t kExactLimit = 1024;
constexpr uint64_t kMinBlock = 64;  // a header and the bin links
constexpr uint32_t kExactBins = (kExactLimit - kMinBlock) / 16;
constexpr uint32_t kBins = kExactBins + 4 * (27 - 10);
static_assert(kGlobalHeapSize <= uint64_t{1} << 27, "the bins end at 128 MiB");

// At the start of the heap segment.
struct HeapHeader {
  uint64_t magic;                       // kHeapMagic once built
  pthread_mutex_t lock;                 // robust: guards everything below and every block
  uint64_t recoveries;                  // rebuilds after a process died holding the lock
  uint64_t repairs;                     // rebuilds that met a header that cannot be right
  uint64_t filled_bins[2];              // bit per bin, set while it holds a block (derived)
  uint64_t bins[kBins];                 // offset of each bin's first block, 0 if none (derived)
  uint32_t live_blocks[kMaxProcesses];  // used blocks per owner slot (derived)
};
static_assert(kBins <= 128, "filled_bins has a bit per bin");

constexpr uint64_t kFirstBlock = (sizeof(HeapHeader) + 63) / 64 * 64;

// In front of every block's data.
struct BlockHeader {
  std::atomic<uint64_t> word;   // size | kUsed: the only field that defines the chain
  uint64_t previous_size;       // size of the block before, 0 for the first (derived)
  uint32_t magic;               // kBlockMagic; cleared when a merge swallows the header
  std::atomic<uint32_t> owner;  // process slot that owns a used block
  uint32_t locks;               // GlobalLock count
  uint32_t flags;               // GlobalAlloc flags
  uint64_t requested;           // bytes asked for
  uint64_t self;                // offset of this header: a pointer into data is no block
};
static_assert(sizeof(BlockHeader) % 16 == 0, "block data stays 16-byte aligned");
static_assert(sizeof(BlockHeader) + 16 <= kMinBlock, "a free block holds its bin links");

// At the start of a free block's data: its place in its bin (derived).
struct BinLinks {
  uint64_t next;      // offset of the next block of the bin, 0 for the last
  uint64_t previous;  // offset of the previous block of the bin, 0 for the first
};

std::atomic<HeapHeader*> g_heap{nullptr};

// Test hook (KillAtGlobalHeapEdit): edits left before this process stops.
std::atomic<uint32_t> g_edits_to_kill{0};

char* Base() { return reinterpret_cast<char*>(kGlobalHeapBase); }

BlockHeader* At(uint64_t offset) { return reinterpret_cast<BlockHeader*>(Base() + offset); }

BinLinks* LinksOf(uint64_t offset) {
  return reinterpret_cast<BinLinks*>(Base() + offset + sizeof(BlockHeader));
}

uint64_t SizeOf(const BlockHeader* block) { return block->word.load(kRelaxed) & kSizeMask; }

bool IsUsed(const BlockHeader* block) { return (block->word.load(kRelaxed) & kUsed) != 0; }

uint64_t EndOf(uint64_t offset) { return offset + SizeOf(At(offset)); }

// Between two edits of heap metadata: where the armed test hook stops the
// process for good.
void EditPoint() {
  if (g_edits_to_kill.load(kRelaxed) == 0) return;
  if (g_edits_to_kill.fetch_sub(1) == 1) raise(SIGKILL);
}

// The store that changes the chain. The compiler fences keep the stores
// before it before it and the stores after it after it: a process killed at
// any instruction has made every edit that the commit relies on, and none
// that relies on the commit.
void Commit(BlockHeader* block, uint64_t word) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  block->word.store(word, std::memory_order_release);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  EditPoint();
}

// Whether the header at `offset` can be a block of the chain.
bool Sound(uint64_t offset) {
  const BlockHeader* block = At(offset);
  uint64_t word = block->word.load(kRelaxed);
  uint64_t size = word & kSizeMask;
  if ((word & ~kSizeMask & ~kUsed) != 0 || size < kMinBlock || size > kGlobalHeapSize - offset) {
    return false;
  }
  if (block->magic != kBlockMagic || block->self != offset) return false;
  return (word & kUsed) == 0 || block->owner.load(kRelaxed) < kMaxProcesses;
}

// Writes the whole header of a free block that is not yet in the chain.
void WriteFreeHeader(uint64_t offset, uint64_t size, uint64_t previous_size) {
  BlockHeader* block = At(offset);
  block->word.store(size, kRelaxed);
  block->previous_size = previous_size;
  block->magic = kBlockMagic;
  block->owner.store(0, kRelaxed);
  block->locks = 0;
  block->flags = 0;
  block->requested = 0;
  block->self = offset;
}

// Tells the block after the one at `offset`, if any, its previous size.
void LinkBackward(uint64_t offset) {
  uint64_t end = EndOf(offset);
  if (end < kGlobalHeapSize) At(end)->previous_size = end - offset;
}

uint32_t BinOf(uint64_t size) {
  if (size < kExactLimit) return static_cast<uint32_t>((size - kMinBlock) / 16);
  uint32_t log = static_cast<uint32_t>(std::bit_width(size)) - 1;
  uint32_t quarter = static_cast<uint32_t>(size >> (log - 2)) & 3;
  return kExactBins + (log - 10) * 4 + quarter;
}

bool BinFilled(const HeapHeader& heap, uint32_t bin) {
  return (heap.filled_bins[bin / 64] >> (bin % 64) & 1) != 0;
}

// The first bin from `from` on that holds a block; kBins when none does.
uint32_t FirstFilledBin(const HeapHeader& heap, uint32_t from) {
  for (uint32_t word = from / 64; word < 2; ++word) {
    uint64_t bits = heap.filled_bins[word];
    if (word == from / 64) bits &= ~uint64_t{0} << (from % 64);
    if (bits != 0) return word * 64 + static_cast<uint32_t>(std::countr_zero(bits));
  }
  return kBins;
}

void Bin(HeapHeader& heap, uint64_t offset) {
  uint32_t bin = BinOf(SizeOf(At(offset)));
  BinLinks* links = LinksOf(offset);
  links->next = heap.bins[bin];
  links->previous = 0;
  if (links->next != 0) LinksOf(links->next)->previous = offset;
  heap.bins[bin] = offset;
  heap.filled_bins[bin / 64] |= uint64_t{1} << (bin % 64);
  EditPoint();
}

// Takes a free block out of its bin; its size must still be the binned one.
void Unbin(HeapHeader& heap, uint64_t offset) {
  uint32_t bin = BinOf(SizeOf(At(offset)));
  const BinLinks* links = LinksOf(offset);
  if (links->previous != 0) {
    LinksOf(links->previous)->next = links->next;
  } else {
    heap.bins[bin] = links->next;
  }
  if (links->next != 0) LinksOf(links->next)->previous = links->previous;
  if (heap.bins[bin] == 0) heap.filled_bins[bin / 64] &= ~(uint64_t{1} << (bin % 64));
  EditPoint();
}

// Good fit: the first block that fits in the bin of `need`, else the first
// block of the next bin that holds any (all of them fit). 0 when none fits.
uint64_t FindFree(const HeapHeader& heap, uint64_t need) {
  uint32_t bin = BinOf(need);
  for (uint64_t offset = heap.bins[bin]; offset != 0; offset = LinksOf(offset)->next) {
    if (SizeOf(At(offset)) >= need) return offset;
  }
  uint32_t larger = FirstFilledBin(heap, bin + 1);
  return larger < kBins ? heap.bins[larger] : 0;
}

// Cuts the unbinned free block at `offset` to `keep` bytes; the rest
// becomes a free block of its own, binned.
void Split(HeapHeader& heap, uint64_t offset, uint64_t keep) {
  uint64_t rest = offset + keep;
  WriteFreeHeader(rest, SizeOf(At(offset)) - keep, keep);
  EditPoint();
  Commit(At(offset), keep);
  LinkBackward(rest);
  EditPoint();
  Bin(heap, rest);
}

// Grows the free block at `offset` over the free block after it, which is
// in no bin.
void Absorb(uint64_t offset) {
  uint64_t next = EndOf(offset);
  Commit(At(offset), SizeOf(At(offset)) + SizeOf(At(next)));
  At(next)->magic = 0;
  EditPoint();
  LinkBackward(offset);
  EditPoint();
}

// Merges the unbinned free block at `offset` with its free neighbours and
// returns where the merged block starts.
uint64_t MergeWithNeighbours(HeapHeader& heap, uint64_t offset) {
  uint64_t next = EndOf(offset);
  if (next < kGlobalHeapSize && !IsUsed(At(next))) {
    Unbin(heap, next);
    Absorb(offset);
  }
  uint64_t previous_size = At(offset)->previous_size;
  if (previous_size == 0 || IsUsed(At(offset - previous_size))) return offset;
  uint64_t previous = offset - previous_size;
  Unbin(heap, previous);
  Absorb(previous);
  return previous;
}

// Takes a block of `need` bytes for `slot`, splitting off what it does not
// need; returns its offset, or 0 when no free block is large enough.
uint64_t TakeBlock(HeapHeader& heap, uint64_t need, UINT flags, size_t bytes, uint32_t slot) {
  uint64_t offset = FindFree(heap, need);
  if (offset == 0) return 0;
  Unbin(heap, offset);
  if (SizeOf(At(offset)) - need >= kMinBlock) Split(heap, offset, need);
  BlockHeader* block = At(offset);
  block->owner.store(slot, kRelaxed);
  block->locks = 0;
  block->flags = flags;
  block->requested = bytes;
  EditPoint();
  Commit(block, SizeOf(block) | kUsed);
  ++heap.live_blocks[slot];
  EditPoint();
  return offset;
}

// Frees the used block at `offset`, merging it with free neighbours;
// returns where the free block that now holds its space starts.
uint64_t ReleaseBlock(HeapHeader& heap, uint64_t offset) {
  BlockHeader* block = At(offset);
  uint32_t owner = block->owner.load(kRelaxed);
  Commit(block, SizeOf(block));
  --heap.live_blocks[owner];
  EditPoint();
  offset = MergeWithNeighbours(heap, offset);
  Bin(heap, offset);
  return offset;
}

// Makes the rest of the heap from `offset`, where the walk met a header that
// cannot be right, free: a block of its own (true), or part of the block at
// `previous` when too small for one (false). Headers of the blocks dropped
// with it are unmarked, so that they no longer pass as blocks. Nothing the
// allocator does leads here; only a stray write into the heap does.
bool Repair(HeapHeader& heap, uint64_t previous, uint64_t offset) {
  static_cast<void>(ZEL_ERROR_POINT("PLAT_HEAP_DAMAGED"));
  trace::Rc(kTag, -10, "global heap: a damaged block header ends the chain, offset=",
            static_cast<uint32_t>(offset));
  ++heap.repairs;
  for (uint64_t stale = offset; stale + sizeof(BlockHeader) <= kGlobalHeapSize; stale += 16) {
    if (At(stale)->magic == kBlockMagic && At(stale)->self == stale) At(stale)->magic = 0;
  }
  uint64_t rest = kGlobalHeapSize - offset;
  if (rest >= kMinBlock) {
    WriteFreeHeader(offset, rest, 0);
    return true;
  }
  BlockHeader* last = At(previous);
  Commit(last, (kGlobalHeapSize - previous) | (last->word.load(kRelaxed) & kUsed));
  return false;
}

// After a process died holding the lock: rebuilds everything derived from
// one walk of the chain, merging free neighbours on the way.
void Rebuild(HeapHeader& heap) {
  ++heap.recoveries;
  std::fill(std::begin(heap.bins), std::end(heap.bins), 0);
  std::fill(std::begin(heap.filled_bins), std::end(heap.filled_bins), 0);
  std::fill(std::begin(heap.live_blocks), std::end(heap.live_blocks), 0);
  uint64_t previous = 0;
  for (uint64_t offset = kFirstBlock; offset < kGlobalHeapSize;) {
    if (!Sound(offset) && !Repair(heap, previous, offset)) break;
    BlockHeader* block = At(offset);
    bool previous_free = previous != 0 && !IsUsed(At(previous));
    if (previous_free && !IsUsed(block)) {
      Absorb(previous);
      offset = EndOf(previous);
      continue;
    }
    if (previous_free) Bin(heap, previous);
    block->previous_size = previous == 0 ? 0 : offset - previous;
    if (IsUsed(block)) ++heap.live_blocks[block->owner.load(kRelaxed)];
    previous = offset;
    offset = EndOf(offset);
  }
  if (!IsUsed(At(previous))) Bin(heap, previous);
  trace::Rc(kTag, 10, "global heap rebuilt after a process died in it, recoveries=",
            static_cast<uint32_t>(heap.recoveries));
}

// Holds the heap lock. When the previous holder died, everything derived is
// rebuilt before the lock is used.
class HeapLock {
 public:
  explicit HeapLock(HeapHeader& heap) : heap_(heap) {
    if (pthread_mutex_lock(&heap_.lock) != EOWNERDEAD) return;
    Rebuild(heap_);
    pthread_mutex_consistent(&heap_.lock);
  }
  ~HeapLock() { pthread_mutex_unlock(&heap_.lock); }
  HeapLock(const HeapLock&) = delete;
  HeapLock& operator=(const HeapLock&) = delete;

 private:
  HeapHeader& heap_;
};

// The header of the used block whose data is at `data`, or null when `data`
// is not the data address of a used block. Heap lock held.
BlockHeader* LiveBlock(const void* data) {
  uintptr_t address = reinterpret_cast<uintptr_t>(data);
  uintptr_t first_data = kGlobalHeapBase + kFirstBlock + sizeof(BlockHeader);
  if (address < first_data || address >= kGlobalHeapBase + kGlobalHeapSize || address % 16 != 0) {
    return nullptr;
  }
  uint64_t offset = address - kGlobalHeapBase - sizeof(BlockHeader);
  if (!Sound(offset) || !IsUsed(At(offset))) return nullptr;
  return At(offset);
}

// The first broken invariant of the bins, given the chain's free blocks in
// order; null when there is none. Heap lock held.
const char* BinFault(const HeapHeader& heap, const std::vector<uint64_t>& free_blocks) {
  size_t binned = 0;
  for (uint32_t bin = 0; bin < kBins; ++bin) {
    if (BinFilled(heap, bin) != (heap.bins[bin] != 0)) return "a bin's bit is wrong";
    uint64_t previous = 0;
    for (uint64_t offset = heap.bins[bin]; offset != 0; offset = LinksOf(offset)->next) {
      if (++binned > free_blocks.size()) return "the bins hold more blocks than are free";
      if (!std::binary_search(free_blocks.begin(), free_blocks.end(), offset)) {
        return "a bin holds a block that is not free";
      }
      if (BinOf(SizeOf(At(offset))) != bin) return "a block is in the wrong bin";
      if (LinksOf(offset)->previous != previous) return "a bin's backward link is wrong";
      previous = offset;
    }
  }
  return binned == free_blocks.size() ? nullptr : "a free block is in no bin";
}

// The first broken invariant of the heap, null when there is none; counts
// the blocks into `report` on the way. Heap lock held.
const char* HeapFault(const HeapHeader& heap, GlobalHeapReport& report) {
  std::vector<uint64_t> free_blocks;
  uint32_t live[kMaxProcesses] = {};
  uint64_t previous = 0;
  for (uint64_t offset = kFirstBlock; offset < kGlobalHeapSize; offset = EndOf(offset)) {
    if (!Sound(offset)) return "a block header cannot be right";
    const BlockHeader* block = At(offset);
    if (block->previous_size != (previous == 0 ? 0 : offset - previous)) {
      return "a previous size is wrong";
    }
    if (IsUsed(block)) {
      ++live[block->owner.load(kRelaxed)];
      ++report.used_blocks;
    } else {
      if (previous != 0 && !IsUsed(At(previous))) return "two free blocks are neighbours";
      free_blocks.push_back(offset);
      report.free_bytes += SizeOf(block);
    }
    previous = offset;
  }
  report.free_blocks = free_blocks.size();
  if (!std::equal(std::begin(live), std::end(live), std::begin(heap.live_blocks))) {
    return "a slot's count of blocks is wrong";
  }
  return BinFault(heap, free_blocks);
}

// The mapped heap, attaching this process to the instance first.
HeapHeader* Heap() {
  if (Instance::Get() == nullptr) return nullptr;
  return g_heap.load(std::memory_order_acquire);
}

bool BuildHeap(int fd) {
  if (ftruncate(fd, kGlobalHeapSize) != 0) return FailErrno(errno);
  void* base = MapShared(Base(), kGlobalHeapSize, true, fd, 0);
  if (base == nullptr) return false;
  auto* heap = static_cast<HeapHeader*>(base);
  int error = InitSharedMutex(&heap->lock, /*recursive=*/false);
  if (error != 0) {
    UnmapShared(base, kGlobalHeapSize);
    return FailErrno(error);
  }
  WriteFreeHeader(kFirstBlock, kGlobalHeapSize - kFirstBlock, 0);
  Bin(*heap, kFirstBlock);
  heap->magic = kHeapMagic;
  g_heap.store(heap, std::memory_order_release);
  return true;
}

bool MapHeap(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || static_cast<size_t>(status.st_size) != kGlobalHeapSize) {
    return Fail(ERROR_INVALID_DATA);
  }
  void* base = MapShared(Base(), kGlobalHeapSize, true, fd, 0);
  if (base == nullptr) return false;
  auto* heap = static_cast<HeapHeader*>(base);
  if (heap->magic != kHeapMagic) {
    UnmapShared(base, kGlobalHeapSize);
    return Fail(ERROR_INVALID_DATA);
  }
  g_heap.store(heap, std::memory_order_release);
  return true;
}

// Allocates a block owned by this process and returns its data; null when
// the heap has no room.
void* AllocateBlock(HeapHeader& heap, UINT flags, size_t bytes) {
  uint64_t need = (sizeof(BlockHeader) + std::max<size_t>(bytes, 1) + 15) & kSizeMask;
  need = std::max(need, kMinBlock);
  if (need > kGlobalHeapSize - kFirstBlock) return nullptr;
  HeapLock lock(heap);
  uint64_t offset = TakeBlock(heap, need, flags, bytes, Instance::Get()->slot());
  return offset == 0 ? nullptr : Base() + offset + sizeof(BlockHeader);
}

}  // namespace

void AttachGlobalHeap(const Instance& instance, bool fresh) {
  int fd = instance.OpenFile("heap", O_RDWR | (fresh ? O_CREAT | O_EXCL : 0));
  bool ok = fd >= 0 && (fresh ? BuildHeap(fd) : MapHeap(fd));
  if (fd >= 0) close(fd);
  if (ok) return;
  static_cast<void>(ZEL_ERROR_POINT("PLAT_HEAP_ATTACH"));
  trace::String(kTag, -11, "global heap not available in this process",
                instance.FilePath("heap").c_str());
}

void DetachGlobalHeap() {
  if (g_heap.exchange(nullptr) != nullptr) UnmapShared(Base(), kGlobalHeapSize);
}

void ReapGlobalBlocks(uint32_t slot) {
  HeapHeader* heap = g_heap.load(std::memory_order_acquire);
  if (heap == nullptr || slot >= kMaxProcesses) return;
  HeapLock lock(*heap);
  for (uint64_t offset = kFirstBlock; offset < kGlobalHeapSize && heap->live_blocks[slot] != 0;
       offset = EndOf(offset)) {
    // Only a stray write into the heap breaks the chain: stop, never follow it.
    if (!Sound(offset)) return;
    const BlockHeader* block = At(offset);
    if (IsUsed(block) && block->owner.load(kRelaxed) == slot) offset = ReleaseBlock(*heap, offset);
  }
}

void TransferGlobalBlock(LPARAM address, uint32_t slot) {
  uintptr_t data = static_cast<uintptr_t>(address);
  if (data < kGlobalHeapBase || data >= kGlobalHeapBase + kGlobalHeapSize) return;
  HeapHeader* heap = g_heap.load(std::memory_order_acquire);
  if (heap == nullptr || slot >= kMaxProcesses) return;
  HeapLock lock(*heap);
  BlockHeader* block = LiveBlock(reinterpret_cast<void*>(data));
  if (block == nullptr) return;
  uint32_t from = block->owner.load(kRelaxed);
  block->owner.store(slot, kRelaxed);
  EditPoint();
  --heap->live_blocks[from];
  ++heap->live_blocks[slot];
  EditPoint();
}

void SeeGlobalBlockHandedOver([[maybe_unused]] LPARAM address) {
#ifdef __SANITIZE_THREAD__
  HeapHeader* heap = g_heap.load(std::memory_order_acquire);
  // As if this thread took the heap's lock after the hand-over: without it,
  // reading the block races with this process's last free of its memory.
  if (heap != nullptr && InGlobalHeap(address)) __tsan_acquire(&heap->lock);
#endif
}

bool InGlobalHeap(LPARAM address) {
  auto data = static_cast<uintptr_t>(address);
  return data >= kGlobalHeapBase && data < kGlobalHeapBase + kGlobalHeapSize;
}

void FreeOwnedGlobalBlock(LPARAM address, uint32_t slot) {
  if (!InGlobalHeap(address)) return;
  HeapHeader* heap = g_heap.load(std::memory_order_acquire);
  if (heap == nullptr) return;
  HeapLock lock(*heap);
  BlockHeader* block = LiveBlock(reinterpret_cast<void*>(address));
  if (block == nullptr || block->owner.load(kRelaxed) != slot) return;
  ReleaseBlock(*heap, block->self);
}

GlobalHeapReport CheckGlobalHeap() noexcept try {
  GlobalHeapReport report{};
  HeapHeader* heap = Heap();
  if (heap == nullptr) {
    report.problem = "the heap is not mapped";
    return report;
  }
  HeapLock lock(*heap);
  report.problem = HeapFault(*heap, report);
  report.recoveries = heap->recoveries;
  report.repairs = heap->repairs;
  return report;
} catch (...) {
  GlobalHeapReport report{};
  report.problem = "the heap could not be checked";
  return ZEL_PLATFORM_FAILURE(report);
}

void KillAtGlobalHeapEdit(uint32_t edit) noexcept { g_edits_to_kill.store(edit); }

// Reads each header with Copy, never through a pointer: another process
// edits the chain meanwhile, and a header read half-way through a merge is
// told from a sound one by its magic and self-offset.
bool MeasureGlobalHeapImage(const void* image, size_t size, GlobalHeapUse* use) {
  *use = GlobalHeapUse{kGlobalHeapSize, 0, 0, 0, false};
  uint64_t magic = 0;
  if (size != kGlobalHeapSize || !Copy(&magic, image, sizeof magic) || magic != kHeapMagic) {
    return false;
  }
  const char* base = static_cast<const char*>(image);
  // Every block is at least kMinBlock long: the walk is bounded by the heap.
  for (uint64_t offset = kFirstBlock; offset < kGlobalHeapSize;) {
    uint64_t word = 0;
    uint32_t block_magic = 0;
    uint64_t self = 0;
    const auto* block = reinterpret_cast<const BlockHeader*>(base + offset);
    if (!Copy(&word, &block->word, sizeof word) ||
        !Copy(&block_magic, &block->magic, sizeof block_magic) ||
        !Copy(&self, &block->self, sizeof self)) {
      return true;
    }
    uint64_t block_size = word & kSizeMask;
    if (block_magic != kBlockMagic || self != offset || block_size < kMinBlock ||
        block_size > kGlobalHeapSize - offset) {
      return true;
    }
    if ((word & kUsed) != 0) {
      ++use->used_blocks;
      use->used_bytes += block_size;
    } else {
      use->free_bytes += block_size;
    }
    offset += block_size;
  }
  use->whole = true;
  return true;
}

}  // namespace internal

using internal::BlockHeader;
using internal::HeapHeader;
using internal::HeapLock;
using internal::LiveBlock;

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) noexcept try {
  if ((flags & ~internal::kKnownFlags) != 0) {
    internal::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HeapHeader* heap = internal::Heap();
  if (heap == nullptr || bytes > kGlobalHeapSize) {
    internal::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* data = internal::AllocateBlock(*heap, flags, bytes);
  if (data == nullptr) {
    // Blocks of processes that died may be what fills the heap.
    internal::Instance::Get()->ReapDead();
    data = internal::AllocateBlock(*heap, flags, bytes);
  }
  if (data == nullptr) {
    internal::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if ((flags & GMEM_ZEROINIT) != 0) memset(data, 0, bytes);
  return data;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(nullptr);
}

void* GlobalLock(HGLOBAL block) noexcept try {
  HeapHeader* heap = internal::Heap();
  if (heap == nullptr) {
    internal::SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  HeapLock lock(*heap);
  BlockHeader* header = LiveBlock(block);
  if (header == nullptr) {
    internal::SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++header->locks;
  return block;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(nullptr);
}

bool GlobalUnlock(HGLOBAL block) noexcept try {
  HeapHeader* heap = internal::Heap();
  if (heap == nullptr) return internal::Fail(ERROR_INVALID_HANDLE);
  HeapLock lock(*heap);
  BlockHeader* header = LiveBlock(block);
  if (header == nullptr) return internal::Fail(ERROR_INVALID_HANDLE);
  if (header->locks == 0) return internal::Fail(ERROR_NOT_LOCKED);
  if (--header->locks > 0) return true;
  internal::SetError(NO_ERROR);
  return false;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

HGLOBAL GlobalFree(HGLOBAL block) noexcept try {
  HeapHeader* heap = internal::Heap();
  if (heap == nullptr) {
    internal::SetError(ERROR_INVALID_HANDLE);
    return block;
  }
  HeapLock lock(*heap);
  BlockHeader* header = LiveBlock(block);
  if (header == nullptr) {
    internal::SetError(ERROR_INVALID_HANDLE);
    return block;
  }
  internal::ReleaseBlock(*heap, header->self);
  return nullptr;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(block);
}

size_t GlobalSize(HGLOBAL block) noexcept try {
  HeapHeader* heap = internal::Heap();
  if (heap == nullptr) {
    internal::SetError(ERROR_INVALID_HANDLE);
    return 0;
  }
  HeapLock lock(*heap);
  BlockHeader* header = LiveBlock(block);
  if (header == nullptr) {
    internal::SetError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return header->requested;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

}  // namespace zel::platform
