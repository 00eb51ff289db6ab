// The per-process handle table.
//
// A handle is tag << 20 | generation << 14 | index: the tag is unique among
// the live processes of the instance (1 to 4094, so a handle is never 0 or
// INVALID_HANDLE_VALUE), the generation changes each time a table slot is
// reused, and freed slots are reused oldest first and only once many are
// free. A forked child keeps the parent's handles, with the parent's tag,
// and gives its own new handles a tag of its own.
#include "platform/posix/handle_table.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/handles.h"
#include "platform/posix/barrier.h"
#include "platform/posix/instance.h"
#include "platform/posix/last_error.h"
#include "platform/process.h"
#include "base/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

constexpr uint32_t kIndexBits = 14;
constexpr uint32_t kGenerationBits = 6;
constexpr uint32_t kTagShift = kIndexBits + kGenerationBits;
constexpr uint32_t kCapacity = 1u << kIndexBits;
constexpr uint32_t kIndexMask = kCapacity - 1;
constexpr uint32_t kGenerationMask = (1u << kGenerationBits) - 1;
// A freed slot waits until this many others are free before it is reused,
// so a closed handle's value comes back only after 64 * 1,024 closes.
constexpr size_t kReuseDelay = 1024;
constexpr uint32_t kNoSlot = kCapacity;  // the end of the free list

class HandleTable {
 public:
  HANDLE Insert(std::shared_ptr<HandleObject> object) {
    std::lock_guard guard(mutex_);
    if (tag_ == 0) tag_ = internal::ProcessHandleTag();
    uint32_t index;
    if (slots_.size() < kCapacity && free_count_ < kReuseDelay) {
      index = static_cast<uint32_t>(slots_.size());
      slots_.emplace_back();
    } else if (free_count_ > 0) {
      index = TakeOldestFree();
    } else {
      internal::SetError(ERROR_NO_SYSTEM_RESOURCES);
      return 0;
    }
    Slot& slot = slots_[index];
    slot.object = std::move(object);
    slot.tag = tag_;
    return tag_ << kTagShift | slot.generation << kIndexBits | index;
  }

  std::shared_ptr<HandleObject> Reference(HANDLE handle, HandleKind kind) {
    std::lock_guard guard(mutex_);
    Slot* slot = Find(handle, kind);
    if (slot == nullptr) return nullptr;
    return slot->object;
  }

  // Takes the object out of the table; the caller lets it go outside the
  // table's lock, since destroying an object may take the registry lock.
  // Allocates nothing, so that a close never fails for want of memory.
  std::shared_ptr<HandleObject> Remove(HANDLE handle, HandleKind kind) {
    std::lock_guard guard(mutex_);
    Slot* slot = Find(handle, kind);
    if (slot == nullptr) return nullptr;
    std::shared_ptr<HandleObject> object = std::move(slot->object);
    slot->generation = (slot->generation + 1) & kGenerationMask;
    AddNewestFree(handle & kIndexMask);
    return object;
  }

  size_t OpenCount() {
    std::lock_guard guard(mutex_);
    return slots_.size() - free_count_;
  }

  // Fork: the lock is held across it, so that the child never finds the
  // table half-changed. In the child, the next insert fixes the child's
  // own tag.
  void LockForFork() { mutex_.lock(); }
  void UnlockInParent() { mutex_.unlock(); }
  void InheritInChild() {
    tag_ = 0;
    mutex_.unlock();
  }

 private:
  struct Slot {
    std::shared_ptr<HandleObject> object;  // null while free
    uint32_t generation = 0;
    uint32_t tag = 0;  // the tag of its handle: a forked child's parent's for inherited ones
    uint32_t next_free = kNoSlot;  // while free: the slot freed after this one
  };

  // The free list, oldest first, runs through the slots themselves. mutex_
  // held.
  void AddNewestFree(uint32_t index) {
    slots_[index].next_free = kNoSlot;
    if (newest_free_ == kNoSlot) {
      oldest_free_ = index;
    } else {
      slots_[newest_free_].next_free = index;
    }
    newest_free_ = index;
    ++free_count_;
  }

  uint32_t TakeOldestFree() {
    uint32_t index = oldest_free_;
    oldest_free_ = slots_[index].next_free;
    if (oldest_free_ == kNoSlot) newest_free_ = kNoSlot;
    --free_count_;
    return index;
  }

  // The open slot of `handle` whose object is of `kind` (kNone: any), or
  // null with ERROR_INVALID_HANDLE. mutex_ held.
  Slot* Find(HANDLE handle, HandleKind kind) {
    uint32_t index = handle & kIndexMask;
    uint32_t generation = (handle >> kIndexBits) & kGenerationMask;
    if (index >= slots_.size()) {
      internal::SetError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    Slot& slot = slots_[index];
    if (slot.object == nullptr || handle >> kTagShift != slot.tag ||
        slot.generation != generation ||
        (kind != HandleKind::kNone && slot.object->kind() != kind)) {
      internal::SetError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    return &slot;
  }

  std::mutex mutex_;
  uint32_t tag_ = 0;         // this process's tag, fixed at the first insert after start or fork
  std::vector<Slot> slots_;  // indexed by the handle's low bits
  uint32_t oldest_free_ = kNoSlot;  // the free list's ends (see AddNewestFree)
  uint32_t newest_free_ = kNoSlot;
  size_t free_count_ = 0;
};

// Never destroyed: other libraries close handles from their own exit code.
HandleTable& Table() {
  static HandleTable* table = new HandleTable();
  return *table;
}

std::atomic<uint32_t> g_next_kind{static_cast<uint32_t>(HandleKind::kFirstUser)};

bool NamesThisProcess(HANDLE process) { return GetProcessId(process) == GetCurrentProcessId(); }

// getpid is a system call, and the services ask for the process on every
// handle they look up: it is asked once, and again in a forked child.
std::atomic<DWORD> g_process_id{0};

}  // namespace

namespace internal {

void LockHandleTableForFork() { Table().LockForFork(); }
void UnlockHandleTableInParent() { Table().UnlockInParent(); }
void InheritHandleTableInChild() { Table().InheritInChild(); }
void ForgetProcessIdInChild() { g_process_id.store(0, std::memory_order_relaxed); }

}  // namespace internal

HandleObject::~HandleObject() = default;

DWORD HandleObject::Wait(DWORD) {
  internal::SetError(ERROR_INVALID_HANDLE);
  return WAIT_FAILED;
}

HandleKind RegisterHandleKind(const char* name) noexcept {
  HandleKind kind = static_cast<HandleKind>(g_next_kind.fetch_add(1));
  trace::String("PL", 20, "handle kind registered", name != nullptr ? name : "");
  return kind;
}

HANDLE InsertHandle(std::shared_ptr<HandleObject> object) noexcept try {
  if (object == nullptr) {
    internal::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Table().Insert(std::move(object));
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

std::shared_ptr<HandleObject> ReferenceHandle(HANDLE handle, HandleKind kind) noexcept try {
  return Table().Reference(handle, kind);
} catch (...) {
  return ZEL_PLATFORM_FAILURE(nullptr);
}

bool CloseHandle(HANDLE handle) noexcept try {
  return CloseHandleOfKind(handle, HandleKind::kNone);
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

bool CloseHandleOfKind(HANDLE handle, HandleKind kind) noexcept try {
  std::shared_ptr<HandleObject> object = Table().Remove(handle, kind);
  return object != nullptr;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

size_t OpenHandleCount() noexcept try { return Table().OpenCount(); } catch (...) {
  return ZEL_PLATFORM_FAILURE(size_t{0});
}

DWORD WaitForSingleObject(HANDLE handle, DWORD timeout_ms) noexcept try {
  std::shared_ptr<HandleObject> object = Table().Reference(handle, HandleKind::kNone);
  if (object == nullptr) return WAIT_FAILED;
  return object->Wait(timeout_ms);
} catch (...) {
  return ZEL_PLATFORM_FAILURE(WAIT_FAILED);
}

HANDLE GetCurrentProcess() noexcept { return INVALID_HANDLE_VALUE; }

DWORD GetCurrentProcessId() noexcept {
  DWORD id = g_process_id.load(std::memory_order_relaxed);
  if (id != 0) return id;
  id = static_cast<DWORD>(getpid());
  g_process_id.store(id, std::memory_order_relaxed);
  return id;
}

DWORD GetCurrentThreadId() noexcept { return static_cast<DWORD>(syscall(SYS_gettid)); }

bool DuplicateHandle(HANDLE source_process, HANDLE source_handle, HANDLE target_process,
                     HANDLE* target_handle, DWORD, bool, DWORD options) noexcept try {
  if (target_handle == nullptr) return internal::Fail(ERROR_INVALID_PARAMETER);
  *target_handle = 0;
  if (!NamesThisProcess(source_process) || !NamesThisProcess(target_process)) {
    // A handle naming no process keeps ERROR_INVALID_HANDLE from the look-up.
    if (GetProcessId(source_process) != 0 && GetProcessId(target_process) != 0) {
      internal::SetError(ERROR_NOT_SUPPORTED);
    }
    return false;
  }
  std::shared_ptr<HandleObject> object = ReferenceHandle(source_handle, HandleKind::kNone);
  if (object == nullptr) return false;
  HANDLE duplicate = InsertHandle(object);
  if (duplicate == 0) return false;
  if ((options & DUPLICATE_CLOSE_SOURCE) != 0) CloseHandle(source_handle);
  *target_handle = duplicate;
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

}  // namespace zel::platform
