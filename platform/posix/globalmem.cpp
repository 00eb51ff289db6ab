// Global memory: one heap per instance at kGlobalHeapBase, shared by every
// process, with a best-fit allocator behind a robust lock.
#include "platform/globalmem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/interprocess/mem_algo/rbtree_best_fit.hpp>
#include <boost/interprocess/sync/mutex_family.hpp>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/handles.h"
#include "platform/posix/address_space.h"
#include "platform/posix/heap.h"
#include "platform/posix/instance.h"
#include "platform/posix/last_error.h"
#include "platform/posix/robust_mutex.h"
#include "services/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace internal {
namespace {

constexpr char kTag[] = "PL";
constexpr uint64_t kHeapMagic = 0x31504145484c455aULL;  // "ZELHEAP1"
constexpr uint32_t kLiveBlock = 0x4b4c4247;             // "GBLK"
constexpr uint32_t kFreedBlock = 0x45455246;            // "FREE"
constexpr UINT kKnownFlags = 0x0002 | 0x0010 | 0x0020 | 0x0040 | 0x0100 | 0x1000 | 0x2000 | 0x4000;

// Raw pointers are right here: the heap lies at one address in every
// process. The allocator's own lock is a no-op; HeapHeader::lock guards it.
using Allocator =
    boost::interprocess::rbtree_best_fit<boost::interprocess::null_mutex_family, void*>;

// At the start of the heap segment.
struct HeapHeader {
  uint64_t magic;        // kHeapMagic once built
  pthread_mutex_t lock;  // robust: guards the allocator, the block list and block headers
  uint32_t poisoned;     // nonzero after a crash left the heap damaged: no more allocations
  uint32_t reserved;     // alignment
  uint64_t first_block;  // offset of the newest live block's header, 0 when none
  uint64_t live_blocks;  // number of live blocks
};

// In front of every block's data.
struct BlockHeader {
  uint32_t magic;               // kLiveBlock while allocated, kFreedBlock after
  std::atomic<uint32_t> owner;  // process slot that owns the block
  uint64_t size;                // bytes asked for
  uint32_t locks;               // GlobalLock count
  uint32_t flags;               // GlobalAlloc flags
  uint64_t self;                // offset of this header: a pointer into data is no block
  uint64_t previous;            // offset of the next newer live block, 0 for the newest
  uint64_t next;                // offset of the next older live block, 0 for the oldest
};
static_assert(sizeof(BlockHeader) % 16 == 0, "block data stays 16-byte aligned");

constexpr size_t kAllocatorOffset = (sizeof(HeapHeader) + 63) / 64 * 64;

std::atomic<HeapHeader*> g_heap{nullptr};

char* Base() { return reinterpret_cast<char*>(kGlobalHeapBase); }

Allocator& HeapAllocator() { return *reinterpret_cast<Allocator*>(Base() + kAllocatorOffset); }

BlockHeader* At(uint64_t offset) { return reinterpret_cast<BlockHeader*>(Base() + offset); }

uint64_t OffsetOf(const BlockHeader* block) {
  return static_cast<uint64_t>(reinterpret_cast<const char*>(block) - Base());
}

// Walks the live-block list, bounded by the recorded count, checking every
// link.
bool BlockListSound(const HeapHeader& heap) {
  uint64_t previous = 0;
  uint64_t offset = heap.first_block;
  for (uint64_t seen = 0; offset != 0; ++seen) {
    if (seen >= heap.live_blocks || offset < kAllocatorOffset || offset >= kGlobalHeapSize) {
      return false;
    }
    const BlockHeader* block = At(offset);
    if (block->magic != kLiveBlock || block->self != offset || block->previous != previous) {
      return false;
    }
    previous = offset;
    offset = block->next;
  }
  return true;
}

// Holds the heap lock. A holder that died may have left the allocator or
// the block list half-changed; if the checks fail, the heap is poisoned.
class HeapLock {
 public:
  explicit HeapLock(HeapHeader& heap) : heap_(heap) {
    int error = pthread_mutex_lock(&heap_.lock);
    if (error != EOWNERDEAD) return;
    if (!HeapAllocator().check_sanity() || !BlockListSound(heap_)) {
      static_cast<void>(ZEL_ERROR_POINT("PLAT_HEAP_DAMAGED"));
      trace::Msg(kTag, -10, "global heap damaged by a process that died in it; allocations stop");
      heap_.poisoned = 1;
    }
    pthread_mutex_consistent(&heap_.lock);
  }
  ~HeapLock() { pthread_mutex_unlock(&heap_.lock); }
  HeapLock(const HeapLock&) = delete;
  HeapLock& operator=(const HeapLock&) = delete;

 private:
  HeapHeader& heap_;
};

void Unlink(HeapHeader& heap, BlockHeader* block) {
  if (block->previous != 0) {
    At(block->previous)->next = block->next;
  } else {
    heap.first_block = block->next;
  }
  if (block->next != 0) At(block->next)->previous = block->previous;
  --heap.live_blocks;
}

// Frees a live block. In a poisoned heap the block is only marked freed:
// neither the list nor the allocator can be trusted to take it back.
void Release(HeapHeader& heap, BlockHeader* block) {
  block->magic = kFreedBlock;
  if (heap.poisoned != 0) return;
  Unlink(heap, block);
  HeapAllocator().deallocate(block);
}

// The header of the block whose data is at `data`, or null when `data` is
// not the data address of a live block. Heap lock held.
BlockHeader* LiveBlock(const void* data) {
  uintptr_t address = reinterpret_cast<uintptr_t>(data);
  uintptr_t first_data = kGlobalHeapBase + kAllocatorOffset + sizeof(BlockHeader);
  if (address < first_data || address >= kGlobalHeapBase + kGlobalHeapSize || address % 16 != 0) {
    return nullptr;
  }
  auto* block = reinterpret_cast<BlockHeader*>(address - sizeof(BlockHeader));
  if (block->magic != kLiveBlock || block->self != OffsetOf(block)) return nullptr;
  return block;
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
  new (Base() + kAllocatorOffset) Allocator(kGlobalHeapSize - kAllocatorOffset, 0);
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

// Allocates and links a block owned by this process; null when the heap
// has no room or is poisoned.
void* AllocateBlock(HeapHeader& heap, UINT flags, size_t bytes) {
  HeapLock lock(heap);
  if (heap.poisoned != 0) return nullptr;
  void* raw = HeapAllocator().allocate(sizeof(BlockHeader) + (bytes != 0 ? bytes : 1));
  if (raw == nullptr) return nullptr;
  auto* block = static_cast<BlockHeader*>(raw);
  block->owner.store(Instance::Get()->slot());
  block->size = bytes;
  block->locks = 0;
  block->flags = flags;
  block->self = OffsetOf(block);
  block->previous = 0;
  block->next = heap.first_block;
  if (block->next != 0) At(block->next)->previous = block->self;
  heap.first_block = block->self;
  ++heap.live_blocks;
  block->magic = kLiveBlock;
  return raw;
}

}  // namespace

void AttachGlobalHeap(const Instance& instance, bool fresh) {
  std::string path = instance.FilePath("heap");
  int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (fresh ? O_CREAT | O_EXCL : 0);
  int fd = open(path.c_str(), flags, 0600);
  bool ok = fd >= 0 && (fresh ? BuildHeap(fd) : MapHeap(fd));
  if (fd < 0) SetErrorFromErrno(errno);
  if (fd >= 0) close(fd);
  if (ok) return;
  static_cast<void>(ZEL_ERROR_POINT("PLAT_HEAP_ATTACH"));
  trace::String(kTag, -11, "global heap not available in this process", path.c_str());
}

void DetachGlobalHeap() {
  if (g_heap.exchange(nullptr) != nullptr) UnmapShared(Base(), kGlobalHeapSize);
}

void ReapGlobalBlocks(uint32_t slot) {
  HeapHeader* heap = g_heap.load(std::memory_order_acquire);
  if (heap == nullptr) return;
  HeapLock lock(*heap);
  if (heap->poisoned != 0) return;
  uint64_t offset = heap->first_block;
  while (offset != 0) {
    BlockHeader* block = At(offset);
    offset = block->next;
    if (block->owner.load() == slot) Release(*heap, block);
  }
}

void TransferGlobalBlock(LPARAM address, uint32_t slot) {
  uintptr_t data = static_cast<uintptr_t>(address);
  if (data < kGlobalHeapBase || data >= kGlobalHeapBase + kGlobalHeapSize) return;
  HeapHeader* heap = g_heap.load(std::memory_order_acquire);
  if (heap == nullptr) return;
  HeapLock lock(*heap);
  if (BlockHeader* block = LiveBlock(reinterpret_cast<void*>(data))) block->owner.store(slot);
}

}  // namespace internal

using internal::BlockHeader;
using internal::HeapHeader;
using internal::HeapLock;
using internal::LiveBlock;

HGLOBAL GlobalAlloc(UINT flags, size_t bytes) {
  if ((flags & ~internal::kKnownFlags) != 0) {
    internal::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HeapHeader* heap = internal::Heap();
  if (heap == nullptr || bytes > kGlobalHeapSize) {
    internal::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* raw = internal::AllocateBlock(*heap, flags, bytes);
  if (raw == nullptr) {
    // Blocks of processes that died may be what fills the heap.
    internal::Instance::Get()->ReapDead();
    raw = internal::AllocateBlock(*heap, flags, bytes);
  }
  if (raw == nullptr) {
    internal::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* data = static_cast<char*>(raw) + sizeof(BlockHeader);
  if ((flags & GMEM_ZEROINIT) != 0) memset(data, 0, bytes);
  return data;
}

void* GlobalLock(HGLOBAL block) {
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
}

bool GlobalUnlock(HGLOBAL block) {
  HeapHeader* heap = internal::Heap();
  if (heap == nullptr) return internal::Fail(ERROR_INVALID_HANDLE);
  HeapLock lock(*heap);
  BlockHeader* header = LiveBlock(block);
  if (header == nullptr) return internal::Fail(ERROR_INVALID_HANDLE);
  if (header->locks == 0) return internal::Fail(ERROR_NOT_LOCKED);
  if (--header->locks > 0) return true;
  internal::SetError(NO_ERROR);
  return false;
}

HGLOBAL GlobalFree(HGLOBAL block) {
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
  internal::Release(*heap, header);
  return nullptr;
}

size_t GlobalSize(HGLOBAL block) {
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
  return header->size;
}

}  // namespace zel::platform
