#include "platform/posix/address_space.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/filemap.h"
#include "platform/posix/last_error.h"

namespace zel::platform::internal {
namespace {

std::mutex g_mutex;
bool g_reserved = false;                // the window is reserved; set once at load
std::map<uintptr_t, size_t>* g_in_use;  // window ranges mapped by MapShared; guarded by g_mutex

constexpr int kReserveFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

size_t RoundUp(size_t length) {
  size_t page = PageSize();
  return (length + page - 1) / page * page;
}

bool InWindow(uintptr_t start, size_t length) {
  return start >= kFixedWindowBase && start + length <= kFixedWindowBase + kFixedWindowSize;
}

std::map<uintptr_t, size_t>& InUse() {
  if (g_in_use == nullptr) g_in_use = new std::map<uintptr_t, size_t>();
  return *g_in_use;
}

bool OverlapsInUse(uintptr_t start, size_t length) {
  std::map<uintptr_t, size_t>& in_use = InUse();
  auto next = in_use.lower_bound(start);
  if (next != in_use.end() && next->first < start + length) return true;
  if (next == in_use.begin()) return false;
  auto previous = std::prev(next);
  return previous->first + previous->second > start;
}

}  // namespace

void ReserveFixedWindow() {
  void* wanted = reinterpret_cast<void*>(kFixedWindowBase);
  void* got = mmap(wanted, kFixedWindowSize, PROT_NONE, kReserveFlags | MAP_FIXED_NOREPLACE, -1, 0);
  if (got == MAP_FAILED) return;
  if (got != wanted) {
    // A kernel that takes the flag as a hint placed it elsewhere.
    munmap(got, kFixedWindowSize);
    return;
  }
  std::lock_guard guard(g_mutex);
  g_reserved = true;
}

void* MapShared(void* address, size_t length, bool writable, int fd, off_t offset) {
  int protection = PROT_READ | (writable ? PROT_WRITE : 0);
  if (address == nullptr) {
    void* mapped = mmap(nullptr, length, protection, MAP_SHARED, fd, offset);
    if (mapped == MAP_FAILED) {
      SetErrorFromErrno(errno);
      return nullptr;
    }
    return mapped;
  }
  uintptr_t start = reinterpret_cast<uintptr_t>(address);
  size_t span = RoundUp(length);
  if (start % PageSize() != 0) {
    SetError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  std::lock_guard guard(g_mutex);
  bool reserved_range = g_reserved && InWindow(start, span);
  if (reserved_range && OverlapsInUse(start, span)) {
    SetError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  // A range in the window is noted before it is mapped: were the note to
  // fail afterwards, a later mapping could replace this one.
  if (reserved_range) InUse()[start] = span;
  // Inside the window only our own reservation is replaced; elsewhere
  // nothing is replaced at all.
  int placement = reserved_range ? MAP_FIXED : MAP_FIXED_NOREPLACE;
  void* mapped = mmap(address, length, protection, MAP_SHARED | placement, fd, offset);
  if (mapped == address) return mapped;
  int error = errno;
  if (reserved_range) InUse().erase(start);
  if (mapped == MAP_FAILED && error != EEXIST) {
    SetErrorFromErrno(error);
    return nullptr;
  }
  // In use already, or placed elsewhere by a kernel that takes the flag as
  // a hint.
  if (mapped != MAP_FAILED) munmap(mapped, length);
  SetError(ERROR_INVALID_ADDRESS);
  return nullptr;
}

void UnmapShared(void* address, size_t length) {
  uintptr_t start = reinterpret_cast<uintptr_t>(address);
  size_t span = RoundUp(length);
  std::lock_guard guard(g_mutex);
  if (g_reserved && InWindow(start, span)) {
    mmap(address, span, PROT_NONE, kReserveFlags | MAP_FIXED, -1, 0);
    InUse().erase(start);
    return;
  }
  munmap(address, span);
}

void LockFixedWindowForFork() { g_mutex.lock(); }

void UnlockFixedWindowAfterFork() { g_mutex.unlock(); }

}  // namespace zel::platform::internal
