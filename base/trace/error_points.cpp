// Error points and system error texts. Error points are kept in a small ring
// per process whether or not tracing is on, so that a failure can be
// explained after the fact, and are traced while tracing is on. From a
// process's first error point on, the ring lives in a file that other
// processes of the user can read (base/trace/error_ring.h); until then, or
// when no such file can be made, in this process's memory. The exported
// functions are barriers (base/barrier.h): what fails is dropped.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "base/config.h"
#include "base/trace/error_ring.h"
#include "base/trace/record_writer.h"

ZEL_MODULE("vqzmbtw")

namespace {

using zel::trace::ErrorRing;

// The ring in the file, once there is one; written without a lock.
std::atomic<ErrorRing*> g_shared{nullptr};

// Until then: the ring in memory and the one-time making of the file, both
// under the lock.
std::mutex g_local_mutex;
ErrorRing g_local{};
bool g_share_failed = false;  // no file can be made; stay in memory
char g_path[512] = "";        // the file, removed as this process exits
pid_t g_path_owner = 0;

std::atomic<BtSysErrorSource> g_error_source{nullptr};

void CopyTruncated(char* target, size_t size, const char* source) {
  if (source == nullptr) source = "";
  size_t n = strnlen(source, size - 1);
  memcpy(target, source, n);
  target[n] = '\0';
}

void CopyRing(const ErrorRing& from, ErrorRing& to) {
  BtErrorPointRecord points[zel::trace::kErrorRingSize];
  uint32_t n = zel::trace::ReadErrorPoints(from, points, zel::trace::kErrorRingSize);
  for (uint32_t i = 0; i < n; ++i) zel::trace::WriteErrorPoint(to, points[i]);
}

// Makes the ring file, starting it with what the memory ring holds. Lock
// held. Throws std::bad_alloc (the next error point tries again).
void ShareRing() {
  std::string private_dir = zel::config::PrivateDir(nullptr);
  if (private_dir.empty()) {
    g_share_failed = true;
    return;
  }
  pid_t pid = getpid();
  std::string path =
      zel::trace::ErrorRingPath(private_dir, zel::config::Instance(), static_cast<uint32_t>(pid));
  if (path.size() >= sizeof g_path) {
    g_share_failed = true;
    return;
  }
  // A file of this pid is one a dead process left (its pid now ours).
  unlink(path.c_str());
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    g_share_failed = true;
    return;
  }
  void* view = MAP_FAILED;
  if (ftruncate(fd, sizeof(ErrorRing)) == 0) {
    view = mmap(nullptr, sizeof(ErrorRing), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (view == MAP_FAILED) {
    unlink(path.c_str());
    g_share_failed = true;
    return;
  }
  auto* ring = static_cast<ErrorRing*>(view);
  ring->version = zel::trace::kErrorRingVersion;
  ring->pid = static_cast<uint32_t>(pid);
  ring->start_time = zel::trace::ProcessStartTime(pid);
  CopyRing(g_local, *ring);
  // A reader in another process trusts the header once it sees the magic.
  std::atomic_ref(ring->magic).store(zel::trace::kErrorRingMagic, std::memory_order_release);
  memcpy(g_path, path.c_str(), path.size() + 1);
  g_path_owner = pid;
  g_shared.store(ring, std::memory_order_release);
}

void Remember(int32_t line, const char* label, const char* module) {
  BtErrorPointRecord record{};
  record.time_us = zel::trace::NowMicros();
  record.tid = zel::trace::ThreadId();
  record.line = line;
  CopyTruncated(record.label, sizeof record.label, label);
  CopyTruncated(record.module, sizeof record.module, module);
  if (ErrorRing* ring = g_shared.load(std::memory_order_acquire)) {
    zel::trace::WriteErrorPoint(*ring, record);
    return;
  }
  std::lock_guard lock(g_local_mutex);
  if (g_shared.load() == nullptr && !g_share_failed) {
    try {
      ShareRing();
    } catch (const std::bad_alloc&) {
    }
  }
  zel::trace::WriteErrorPoint(g_shared.load() != nullptr ? *g_shared.load() : g_local, record);
}

// A forked child is a process of its own: it takes what its parent's ring
// held into memory, leaves the parent's file alone, and makes its own file
// at its own first error point. Its lock may have been held by a thread of
// the parent at the fork, so it takes a fresh one.
void TakeParentRingInChild() {
  std::construct_at(&g_local_mutex);
  if (ErrorRing* parent = g_shared.exchange(nullptr)) {
    g_local.count.store(0);
    CopyRing(*parent, g_local);
    munmap(parent, sizeof(ErrorRing));
  }
  g_share_failed = false;
  g_path[0] = '\0';
  g_path_owner = 0;
}

[[gnu::constructor]] void WatchForks() { pthread_atfork(nullptr, nullptr, TakeParentRingInChild); }

// The file goes with the process; the mapping stays, for threads that
// still raise error points while the process ends.
struct RingFileRemover {
  ~RingFileRemover() {
    if (g_path_owner == getpid() && g_path[0] != '\0') unlink(g_path);
  }
} g_remover;

}  // namespace

extern "C" {

int btErrorPoint(const char* tag, int32_t line, const char* label, const char* module) noexcept
    try {
  Remember(line, label, module);
  if (zel::trace::HasDestination()) {
    zel::trace::Emit(BtRecord{tag, line, "ErrorPoint", label, module, 0, 0, nullptr, 0});
  }
  return 1;
} catch (...) {
  return 1;
}

uint32_t btGetErrorPoints(BtErrorPointRecord* out, uint32_t max) noexcept try {
  if (out == nullptr) return 0;
  if (const ErrorRing* ring = g_shared.load(std::memory_order_acquire)) {
    return zel::trace::ReadErrorPoints(*ring, out, max);
  }
  std::lock_guard lock(g_local_mutex);
  const ErrorRing* ring = g_shared.load();
  return zel::trace::ReadErrorPoints(ring != nullptr ? *ring : g_local, out, max);
} catch (...) {
  return 0;
}

void btSetSysErrorSource(BtSysErrorSource source) noexcept { g_error_source.store(source); }

void btGetSysErrorText(char* buffer, uint32_t size) noexcept try {
  if (buffer == nullptr || size == 0) return;
  buffer[0] = '\0';
  if (BtSysErrorSource source = g_error_source.load()) {
    source(buffer, size);
    buffer[size - 1] = '\0';
    return;
  }
  int error = errno;
  char text[256];
  CopyTruncated(buffer, size, strerror_r(error, text, sizeof text));
} catch (...) {
}

}  // extern "C"
