// The control-block heap: the records of every shared list come from the
// area "CPMSHAREME", and their memory is reused.
//
// Each block has a 24-byte header in front of the record. A freed block is
// quarantined in a FIFO list of the blocks of its exact size (so a stale
// pointer can only ever meet a record of the same kind) and handed out
// again only when it is ripe:
//   - the manager's window has been idle since the free, so no message
//     posted before the free (messages 0x401 to 0x411 carry system records)
//     is still waiting to be handled;
//   - at least kQuarantineDepth later frees of its size have followed it,
//     unless the area is otherwise exhausted. An allocation right after a
//     free therefore gets a new address.
//
// Who may use a record once its list's mutex is released: the thread that
// will delete it (the manager's dispatch for async-return and host-request
// records, the holders counted by an outstanding record's use count), or
// anyone while the record is named by an issued conversation or a message
// to the manager (system records, which are deleted only when neither
// holds). Everyone else uses a record under its list's mutex.
//
// Crash safety: the headers are the truth and every change of a header
// commits with one store of its state; the size lists are an index that
// the next holder of the heap mutex rebuilds by walking the headers when a
// process died holding it.
#include "ctrlblk/heap.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/object_names.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/process.h"
#include "platform/window.h"
#include "services/platform_calls.h"

ZEL_MODULE("vqzmcb0")

using zel::services::Plat;

namespace zel::ctrlblk {
namespace {

using namespace zel::platform;

constexpr uint32_t kHeapMagic = 0x50454842;  // "BHEP"
constexpr uint32_t kAlign = 8;
constexpr uint32_t kMinData = 8;
constexpr uint32_t kClasses = 64;
constexpr uint32_t kQuarantineDepth = 32;
constexpr uint16_t kNoOwner = 0xFFFF;

// kReleased: freed by a process that could not take the heap mutex; the
// next holder of the mutex quarantines it, so that the block is not lost.
enum BlockState : uint8_t { kUsed = 0x55, kQuarantined = 0x51, kReleased = 0x52 };

// Who answers for a record in use: its allocator until it is linked
// (kUnpublished), the instance (kPublished), and the deleter between its
// unlink and its free (kDeleting). The owner fields name the allocator,
// then the deleter.
enum Publication : uint8_t { kUnpublished = 0, kPublished = 1, kDeleting = 2 };

// In front of every block. A freed record's own bytes stay as they were
// until the block is handed out again: a stale reader sees the record it
// knew.
struct BlockHeader {
  uint32_t size;              // the whole block, header included; a multiple of 8
  std::atomic<uint8_t> state; // kUsed, kQuarantined or kReleased: the commit of every change
  std::atomic<uint8_t> published;  // kUnpublished, kPublished or kDeleting
  uint16_t owner_slot;        // process slot of the allocator, kNoOwner when unknown
  uint32_t owner_generation;  // that slot's generation
  uint32_t next;              // kQuarantined: the next newer block of its size, 0 at the end
  uint32_t fence_window;      // kQuarantined: the manager's window at the free, 0 when none
  uint32_t fence_idle;        // kQuarantined: that window's idle count at the free
};
static_assert(sizeof(BlockHeader) == 24);

// The quarantine of one block size.
struct SizeClass {
  uint32_t size;   // block size, header included; 0 while the class is unused
  uint32_t head;   // oldest quarantined block, 0 when none
  uint32_t tail;   // newest quarantined block, 0 when none
  uint32_t count;  // quarantined blocks
};

// At the start of the area.
struct HeapHeader {
  uint32_t magic;  // kHeapMagic once the first block was made
  uint32_t frees;  // raised by every free (a figure for tools)
  uint32_t released;  // blocks marked kReleased since the last sweep; atomic
  SizeClass classes[kClasses];
};

constexpr uint32_t Round(uint32_t n) { return (n + kAlign - 1) / kAlign * kAlign; }
constexpr uint32_t kHeapStart = Round(sizeof(HeapHeader));

char* Base() { return static_cast<char*>(ControlBlockView()); }
HeapHeader& Header() { return *reinterpret_cast<HeapHeader*>(Base()); }
BlockHeader* At(uint32_t offset) { return reinterpret_cast<BlockHeader*>(Base() + offset); }
std::atomic_ref<uint32_t> HighWater() { return std::atomic_ref<uint32_t>(Shared()->ulHeapUsed); }

uint32_t OffsetOf(const BlockHeader* block) {
  return static_cast<uint32_t>(reinterpret_cast<const char*>(block) - Base());
}

// This process's handle to the heap mutex, made on first use. It is not one
// of the attach's serialization objects: the creating process allocates
// its first block before those exist. A failed make is tried again at the
// next use, so that one failure does not leave the process without its
// heap for good (every block it then freed would be lost).
HANDLE HeapMutex() {
  static std::atomic<HANDLE> handle{0};
  static std::mutex making;
  HANDLE made = handle.load(std::memory_order_acquire);
  if (made != 0) return made;
  std::lock_guard lock(making);
  made = handle.load(std::memory_order_relaxed);
  if (made == 0) {
    made = Plat().CreateMutex(false, kHeapMutexName);
    handle.store(made, std::memory_order_release);
  }
  return made;
}

void Rebuild();
void QuarantineReleased();

// Holds the heap mutex. A holder that died leaves the size lists to be
// rebuilt from the headers.
class HeapLock {
 public:
  HeapLock() : handle_(HeapMutex()) {
    DWORD wait = handle_ != 0 ? Plat().WaitForSingleObject(handle_, INFINITE) : WAIT_FAILED;
    held_ = wait != WAIT_FAILED;
    if (!held_ && ZEL_ERROR_POINT("CTRL_BLK_HEAP_SEM_ERROR")) {
      trace::SysRc("CB", -100, "WaitForSingleObject(heap) error rc=", GetLastError());
    }
    if (wait == WAIT_ABANDONED) Rebuild();
    if (held_) QuarantineReleased();
  }
  ~HeapLock() {
    if (held_) Plat().ReleaseMutex(handle_);
  }
  HeapLock(const HeapLock&) = delete;
  HeapLock& operator=(const HeapLock&) = delete;
  bool held() const { return held_; }

 private:
  HANDLE handle_;
  bool held_ = false;
};

// The class of blocks of `size` bytes, claiming a free entry for a new
// size; null when the table is full.
SizeClass* ClassOf(uint32_t size, bool claim) {
  for (SizeClass& entry : Header().classes) {
    if (entry.size == size) return &entry;
    if (entry.size == 0) {
      if (!claim) return nullptr;
      entry.size = size;
      return &entry;
    }
  }
  return nullptr;
}

bool FenceOpen(const BlockHeader& block) {
  if (block.fence_window == 0) return true;
  DWORD idle = 0;
  return !GetWindowIdleCount(block.fence_window, &idle) || idle != block.fence_idle;
}

// Takes the oldest block of `entry` when it is ripe: its fence is open and
// more than `depth` blocks wait behind it.
BlockHeader* TakeRipe(SizeClass& entry, uint32_t depth) {
  if (entry.head == 0 || entry.count <= depth) return nullptr;
  BlockHeader* block = At(entry.head);
  if (!FenceOpen(*block)) return nullptr;
  entry.head = block->next;
  if (entry.head == 0) entry.tail = 0;
  --entry.count;
  return block;
}

// Cuts a new block of `size` bytes from the untouched rest of the area.
BlockHeader* TakeFresh(uint32_t size) {
  uint32_t used = std::max(HighWater().load(), kHeapStart);
  if (size > kControlBlockSize - used) return nullptr;
  BlockHeader* block = At(used);
  block->size = size;
  block->next = 0;
  block->fence_window = 0;
  block->state.store(kQuarantined);
  HighWater().store(used + size);
  return block;
}

void SetOwnerToThisProcess(BlockHeader* block) {
  InstanceProcess self{kNoOwner, 0};
  if (!Plat().GetInstanceProcess(&self)) self.slot = kNoOwner;
  block->owner_slot = static_cast<uint16_t>(self.slot);
  block->owner_generation = self.generation;
}

bool OwnedByThisProcess(const BlockHeader* block) {
  InstanceProcess self{kNoOwner, 0};
  if (!Plat().GetInstanceProcess(&self)) self.slot = kNoOwner;
  return block->owner_slot == static_cast<uint16_t>(self.slot) &&
         block->owner_generation == self.generation;
}

// Hands `block` to this process as a zeroed record.
void* Hand(BlockHeader* block) {
  SetOwnerToThisProcess(block);
  block->published.store(kUnpublished);
  block->next = 0;
  memset(static_cast<void*>(block + 1), 0, block->size - sizeof(BlockHeader));
  block->state.store(kUsed, std::memory_order_release);
  return block + 1;
}

BlockHeader* TakeLocked(uint32_t size) {
  SizeClass* entry = ClassOf(size, true);
  if (entry != nullptr) {
    if (BlockHeader* block = TakeRipe(*entry, kQuarantineDepth)) return block;
  }
  if (BlockHeader* block = TakeFresh(size)) return block;
  return entry != nullptr ? TakeRipe(*entry, 0) : nullptr;
}

// Puts `block` (its next link cleared) at the tail of its size's FIFO.
void Append(SizeClass& entry, BlockHeader* block) {
  if (entry.tail != 0) {
    At(entry.tail)->next = OffsetOf(block);
  } else {
    entry.head = OffsetOf(block);
  }
  entry.tail = OffsetOf(block);
  ++entry.count;
}

void QuarantineLocked(BlockHeader* block) {
  HeapHeader& heap = Header();
  ++heap.frees;
  block->fence_window = Anchor().hwndCPMgr;
  block->fence_idle = 0;
  if (block->fence_window != 0 && !GetWindowIdleCount(block->fence_window, &block->fence_idle)) {
    block->fence_window = 0;
  }
  block->next = 0;
  block->state.store(kQuarantined, std::memory_order_release);
  SizeClass* entry = ClassOf(block->size, true);
  if (entry == nullptr && ZEL_ERROR_POINT("EXT_HEAP_CLASSES_FULL")) {
    trace::Size("CB", -100, "No size class left for a freed block of size", block->size);
    return;
  }
  Append(*entry, block);
}

// The header of the block whose record is at `record`, or null when
// `record` is no record of the area.
BlockHeader* BlockOf(const void* record) {
  char* base = Base();
  auto* data = static_cast<const char*>(record);
  if (base == nullptr || data < base + kHeapStart + sizeof(BlockHeader) ||
      data >= base + HighWater().load() || (data - base) % kAlign != 0) {
    return nullptr;
  }
  auto* block = reinterpret_cast<BlockHeader*>(const_cast<char*>(data)) - 1;
  if (block->size < sizeof(BlockHeader) + kMinData || block->size % kAlign != 0 ||
      block->size > HighWater().load() - OffsetOf(block)) {
    return nullptr;
  }
  return block;
}

// Calls `visit` for each block below the high-water mark, in address order;
// stops at a header that cannot be right (traced).
template <class Visit>
void Walk(Visit visit) {
  uint32_t end = HighWater().load();
  for (uint32_t offset = kHeapStart; offset < end;) {
    BlockHeader* block = At(offset);
    uint8_t state = block->state.load();
    if (block->size < sizeof(BlockHeader) + kMinData || block->size % kAlign != 0 ||
        block->size > end - offset ||
        (state != kUsed && state != kQuarantined && state != kReleased)) {
      static_cast<void>(ZEL_ERROR_POINT("EXT_HEAP_DAMAGED"));
      trace::Size("CB", -100, "Control block heap: bad block header at offset", offset);
      return;
    }
    visit(block);
    offset += block->size;
  }
}

// Rebuilds the size lists from the headers after a process died holding
// the heap mutex. The quarantine's order is lost: blocks queue up in
// address order, behind a full quarantine's depth as before.
void Rebuild() {
  trace::Msg("CB", 100, "Control block heap mutex abandoned; rebuilding the size lists");
  HeapHeader& heap = Header();
  std::vector<BlockHeader*> quarantined;
  Walk([&](BlockHeader* block) {
    if (block->state.load() == kQuarantined) quarantined.push_back(block);
  });
  for (SizeClass& entry : heap.classes) entry.head = entry.tail = entry.count = 0;
  for (BlockHeader* block : quarantined) {
    SizeClass* entry = ClassOf(block->size, true);
    if (entry == nullptr) continue;
    block->next = 0;
    Append(*entry, block);
  }
}

std::atomic_ref<uint32_t> Released() { return std::atomic_ref<uint32_t>(Header().released); }

// A free without the heap mutex: the block is only marked, for the next
// holder of the mutex to quarantine.
void ReleaseUnlocked(BlockHeader* block) {
  block->state.store(kReleased, std::memory_order_release);
  Released().fetch_add(1);
}

// Under the heap mutex: quarantines the blocks freed without it. A block
// marked while the walk runs has its count raised after the count was
// taken, so the next holder finds it. Every holder looks, so the usual case
// is one read.
void QuarantineReleased() {
  if (Released().load() == 0 || Released().exchange(0) == 0) return;
  Walk([](BlockHeader* block) {
    if (block->state.load(std::memory_order_acquire) == kReleased) QuarantineLocked(block);
  });
}

void* AllocateOnce(uint32_t size) {
  HeapLock lock;
  if (!lock.held()) return nullptr;
  if (Header().magic != kHeapMagic) Header().magic = kHeapMagic;
  BlockHeader* block = TakeLocked(size);
  return block != nullptr ? Hand(block) : nullptr;
}

}  // namespace

void* cbAllocCtrlBlkMem(uint32_t size) {
  if (Base() == nullptr || size > kControlBlockSize) return nullptr;
  uint32_t block_size = Round(std::max(size, kMinData)) + sizeof(BlockHeader);
  if (void* record = AllocateOnce(block_size)) return record;
  // Records that processes which died left half-made may be what fills it.
  if (ReclaimDeadProcessBlocks() == 0) return nullptr;
  return AllocateOnce(block_size);
}

uint16_t cbFreeCtrlBlkMem(void* block, uint32_t) {
  if (block == nullptr || Base() == nullptr) return 0;
  HeapLock lock;
  BlockHeader* header = BlockOf(block);
  if ((header == nullptr || header->state.load() != kUsed) &&
      ZEL_ERROR_POINT("EXT_HEAP_BAD_FREE")) {
    trace::Msg("CB", -100, "Free of a block that is not a record in use");
    return 0;
  }
  if (lock.held()) {
    QuarantineLocked(header);
  } else {
    ReleaseUnlocked(header);
  }
  return 0;
}

void Publish(const void* record) {
  if (BlockHeader* block = BlockOf(record)) block->published.store(kPublished);
}

DeleteClaim MarkDeleting(const void* record) {
  BlockHeader* block = BlockOf(record);
  if (block == nullptr || block->state.load() != kUsed) return DeleteClaim::kNotOurs;
  bool published = block->published.load() != kUnpublished;
  if (!published && !OwnedByThisProcess(block)) return DeleteClaim::kNotOurs;
  SetOwnerToThisProcess(block);
  block->published.store(kDeleting, std::memory_order_release);
  return published ? DeleteClaim::kPublished : DeleteClaim::kOwnUnpublished;
}

std::vector<DeadOwnedBlock> UnpublishedBlocksOfTheDead() {
  std::vector<DeadOwnedBlock> found;
  HeapLock lock;
  if (!lock.held()) return found;
  Walk([&](BlockHeader* block) {
    if (block->state.load() != kUsed || block->published.load(std::memory_order_acquire) == kPublished ||
        block->owner_slot == kNoOwner) {
      return;
    }
    InstanceProcess owner{block->owner_slot, block->owner_generation};
    if (!InstanceProcessAlive(owner)) {
      found.push_back({static_cast<void*>(block + 1), block->owner_slot, block->owner_generation});
    }
  });
  return found;
}

uint32_t SettleDeadOwnedBlocks(const std::vector<DeadOwnedBlock>& blocks,
                               const std::vector<const void*>& reachable) {
  HeapLock lock;
  if (!lock.held()) return 0;
  uint32_t freed = 0;
  for (const DeadOwnedBlock& dead : blocks) {
    BlockHeader* block = BlockOf(dead.record);
    if (block == nullptr || block->state.load() != kUsed || block->published.load() == kPublished ||
        block->owner_slot != dead.owner_slot || block->owner_generation != dead.owner_generation) {
      continue;
    }
    if (std::binary_search(reachable.begin(), reachable.end(), dead.record)) {
      block->published.store(kPublished);
      continue;
    }
    QuarantineLocked(block);
    ++freed;
  }
  return freed;
}

HeapStats CurrentHeapStats() {
  HeapStats stats{};
  if (Base() == nullptr) return stats;
  HeapLock lock;
  stats.high_water = HighWater().load();
  Walk([&](BlockHeader* block) {
    bool used = block->state.load() == kUsed;
    (used ? stats.used_blocks : stats.quarantined_blocks) += 1;
    (used ? stats.used_bytes : stats.quarantined_bytes) += block->size;
  });
  return stats;
}

bool CheckHeap(std::string* problem) {
  if (Base() == nullptr) return true;
  HeapLock lock;
  uint32_t walked_to = kHeapStart;
  uint32_t quarantined = 0;
  Walk([&](BlockHeader* block) {
    walked_to = OffsetOf(block) + block->size;
    if (block->state.load() == kQuarantined) ++quarantined;
  });
  if (walked_to < std::max(HighWater().load(), kHeapStart)) {
    *problem = "the headers do not reach the high-water mark";
    return false;
  }
  uint32_t listed = 0;
  for (const SizeClass& entry : Header().classes) {
    uint32_t count = 0;
    uint32_t last = 0;
    for (uint32_t offset = entry.head; offset != 0 && count <= quarantined; offset = At(offset)->next) {
      BlockHeader* block = BlockOf(At(offset) + 1);
      if (block == nullptr || block->state.load() != kQuarantined || block->size != entry.size) {
        *problem = "a size list holds a block that is not quarantined at its size";
        return false;
      }
      last = offset;
      ++count;
    }
    if (count != entry.count || last != entry.tail) {
      *problem = "a size list's count or tail is wrong";
      return false;
    }
    listed += count;
  }
  if (listed != quarantined) {
    *problem = "quarantined blocks missing from the size lists";
    return false;
  }
  return true;
}

}  // namespace zel::ctrlblk
