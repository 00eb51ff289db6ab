// The ring of a process's last error points, kept in a small file of the
// user's private directory so that another process of the same user (the
// zel tool) can read it while the process runs. The file is
// "<private dir>/<instance>.errors.<pid>", mode 0600; its process removes it
// as it exits, and one left by a process that died is known by the process
// start time it records.
//
// Writers never lock: each slot carries a sequence number that is odd while
// the slot is being written, and a reader keeps only slots whose number
// says they hold the error point it expects there. A writer killed half-way
// leaves one slot that readers skip.
#ifndef ZEL_BASE_TRACE_ERROR_RING_H
#define ZEL_BASE_TRACE_ERROR_RING_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "base/trace.h"

namespace zel::trace {

inline constexpr uint64_t kErrorRingMagic = 0x31524550525a4c5aULL;  // "ZLZRPER1"
inline constexpr uint32_t kErrorRingVersion = 1;
inline constexpr uint32_t kErrorRingSize = 64;
inline constexpr size_t kErrorRecordWords = sizeof(BtErrorPointRecord) / sizeof(uint64_t);
static_assert(sizeof(BtErrorPointRecord) % sizeof(uint64_t) == 0);
static_assert(std::atomic<uint64_t>::is_always_lock_free);

struct ErrorRingSlot {
  // 2n+1 while error point n is written here, 2n+2 once it is complete.
  std::atomic<uint64_t> sequence;
  std::atomic<uint64_t> words[kErrorRecordWords];
};

struct ErrorRing {
  uint64_t magic;       // kErrorRingMagic once the header is written
  uint32_t version;     // kErrorRingVersion
  uint32_t pid;         // the writing process
  uint64_t start_time;  // its start time (ProcessStartTime), to tell a reused pid
  std::atomic<uint64_t> count;  // error points ever recorded
  ErrorRingSlot slots[kErrorRingSize];
};

// Records `record` as the next error point of `ring`.
void WriteErrorPoint(ErrorRing& ring, const BtErrorPointRecord& record) noexcept;

// Copies up to `max` of the most recent complete error points of `ring`,
// oldest first; how many were copied.
uint32_t ReadErrorPoints(const ErrorRing& ring, BtErrorPointRecord* out, uint32_t max) noexcept;

// The start time of process `pid` in clock ticks since boot (field 22 of
// /proc/<pid>/stat); 0 when there is no such process, or it has ended and
// waits to be reaped.
uint64_t ProcessStartTime(pid_t pid) noexcept;

// The ring file of process `pid` of `instance` in `private_dir`.
std::string ErrorRingPath(const std::string& private_dir, const std::string& instance,
                          uint32_t pid);

// The pid a ring file's name ends in, or 0 when `name` is not one of
// `instance` (any instance when `instance` is empty).
uint32_t ErrorRingPid(const std::string& name, const std::string& instance);

enum class RingFile {
  kLive,     // its process runs
  kStale,    // its process has ended (or the pid now belongs to another)
  kMissing,  // no such file
  kRefused,  // not a ring file this user can trust: `error` says why
};

// Reads the ring file at `path`: its error points (oldest first) and the
// pid it was written by.
RingFile ReadErrorRingFile(const std::string& path, std::vector<BtErrorPointRecord>* points,
                           uint32_t* pid, std::string* error);

}  // namespace zel::trace

#endif  // ZEL_BASE_TRACE_ERROR_RING_H
