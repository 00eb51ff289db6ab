// The error-point ring's slots and its file: writing, reading and telling a
// live process's file from one left behind.
#include "base/trace/error_ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/config.h"

namespace zel::trace {
namespace {

constexpr char kRingInfix[] = ".errors.";

}  // namespace

void WriteErrorPoint(ErrorRing& ring, const BtErrorPointRecord& record) noexcept {
  uint64_t n = ring.count.fetch_add(1, std::memory_order_relaxed);
  ErrorRingSlot& slot = ring.slots[n % kErrorRingSize];
  uint64_t words[kErrorRecordWords];
  memcpy(words, &record, sizeof words);
  slot.sequence.store(2 * n + 1, std::memory_order_relaxed);
  // Release stores rather than a fence: the odd number cannot be seen after
  // a word, and the thread sanitizer understands them (it has no fences).
  for (size_t i = 0; i < kErrorRecordWords; ++i) {
    slot.words[i].store(words[i], std::memory_order_release);
  }
  slot.sequence.store(2 * n + 2, std::memory_order_release);
}

uint32_t ReadErrorPoints(const ErrorRing& ring, BtErrorPointRecord* out, uint32_t max) noexcept {
  uint64_t count = ring.count.load(std::memory_order_acquire);
  uint64_t first = count > kErrorRingSize ? count - kErrorRingSize : 0;
  uint32_t copied = 0;
  // The newest `max` complete ones: walk back from the newest, then reverse.
  for (uint64_t n = count; n > first && copied < max; --n) {
    const ErrorRingSlot& slot = ring.slots[(n - 1) % kErrorRingSize];
    uint64_t before = slot.sequence.load(std::memory_order_acquire);
    uint64_t words[kErrorRecordWords];
    // Acquire loads: the second look at the number cannot come before a word.
    for (size_t i = 0; i < kErrorRecordWords; ++i) {
      words[i] = slot.words[i].load(std::memory_order_acquire);
    }
    uint64_t after = slot.sequence.load(std::memory_order_relaxed);
    if (before != 2 * n || after != before) continue;  // being written, or overwritten
    memcpy(&out[copied++], words, sizeof words);
  }
  for (uint32_t i = 0; i < copied / 2; ++i) std::swap(out[i], out[copied - 1 - i]);
  return copied;
}

uint64_t ProcessStartTime(pid_t pid) noexcept {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[1024];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  // The command name may hold blanks and parentheses: count fields from
  // after its closing one, which is field 2; the start time is field 22.
  const char* at = strrchr(text, ')');
  // A zombie has ended; only its parent has yet to hear of it.
  if (at == nullptr || at[1] == '\0' || at[2] == 'Z' || at[2] == 'X') return 0;
  for (int field = 2; field < 22 && at != nullptr; ++field) at = strchr(at + 1, ' ');
  if (at == nullptr) return 0;
  uint64_t start = 0;
  std::from_chars(at + 1, text + n, start);
  return start;
}

std::string ErrorRingPath(const std::string& private_dir, const std::string& instance,
                          uint32_t pid) {
  return private_dir + "/" + instance + kRingInfix + std::to_string(pid);
}

uint32_t ErrorRingPid(const std::string& name, const std::string& instance) {
  size_t infix = name.rfind(kRingInfix);
  if (infix == std::string::npos || infix == 0) return 0;
  if (!instance.empty() && name.compare(0, infix, instance) != 0) return 0;
  const char* digits = name.data() + infix + strlen(kRingInfix);
  const char* end = name.data() + name.size();
  uint32_t pid = 0;
  auto [stop, ec] = std::from_chars(digits, end, pid);
  return ec == std::errc() && stop == end && digits != end ? pid : 0;
}

RingFile ReadErrorRingFile(const std::string& path, std::vector<BtErrorPointRecord>* points,
                           uint32_t* pid, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) return RingFile::kMissing;
  if (fd < 0) {
    *error = path + ": " + strerror(errno);
    return RingFile::kRefused;
  }
  struct stat status;
  if (!config::CheckPrivateFile(fd, path, error) || fstat(fd, &status) != 0 ||
      status.st_size != static_cast<off_t>(sizeof(ErrorRing))) {
    if (error->empty()) *error = path + " is not an error-point file";
    close(fd);
    return RingFile::kRefused;
  }
  void* view = mmap(nullptr, sizeof(ErrorRing), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (view == MAP_FAILED) {
    *error = path + ": " + strerror(errno);
    return RingFile::kRefused;
  }
  const auto& ring = *static_cast<const ErrorRing*>(view);
  if (ring.magic != kErrorRingMagic || ring.version != kErrorRingVersion) {
    munmap(view, sizeof(ErrorRing));
    *error = path + " is not an error-point file of this version";
    return RingFile::kRefused;
  }
  points->resize(kErrorRingSize);
  points->resize(ReadErrorPoints(ring, points->data(), kErrorRingSize));
  *pid = ring.pid;
  bool live = ring.start_time != 0 && ProcessStartTime(static_cast<pid_t>(ring.pid)) ==
                                          ring.start_time;
  munmap(view, sizeof(ErrorRing));
  return live ? RingFile::kLive : RingFile::kStale;
}

}  // namespace zel::trace
