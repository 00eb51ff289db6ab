// A read-only look at an instance: its registry, regions and global heap,
// mapped without joining the instance (see instance_view.h).
#include "platform/instance_view.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/config.h"
#include "base/trace.h"
#include "platform/posix/heap.h"
#include "platform/posix/registry.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

using internal::EntryState;
using internal::ObjectEntry;
using internal::ObjectType;
using internal::ProcessSlot;
using internal::Registry;
using internal::SlotState;
using internal::WindowEntry;

constexpr size_t kMaxInstanceLength = 64;
constexpr size_t kMaxRegionSize = size_t{1} << 30;

// True when some process holds a lock on `byte` of the registry file that
// conflicts with a write lock: for byte 1 an attached process, for a
// slot's byte its live holder. A probe that fails counts as held, so that
// a live process is never taken for gone.
bool ByteHeld(int fd, off_t byte) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;
  return lock.l_type != F_UNLCK;
}

// Opens a file of the instance's folder for reading: never a link, and only
// a regular file of this user that no one else may read or write.
int OpenPrivate(const std::string& path, std::string* why) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != ENOENT) *why = path + ": " + strerror(errno);
    return -1;
  }
  if (config::CheckPrivateFile(fd, path, why)) return fd;
  close(fd);
  return -1;
}

}  // namespace

bool Copy(void* to, const void* from, size_t size) noexcept {
  // The kernel copies and reports a page that is gone as a short count,
  // where a plain copy would take SIGBUS.
  iovec local{to, size};
  iovec remote{const_cast<void*>(from), size};
  ssize_t copied = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
  if (copied < 0 && (errno == ENOSYS || errno == EPERM)) {
    // A sandbox that refuses the call: the plain copy is all there is.
    memcpy(to, from, size);
    return true;
  }
  return copied >= 0 && static_cast<size_t>(copied) == size;
}

InstanceView::~InstanceView() {
  for (const auto& [address, size] : maps_) munmap(const_cast<void*>(address), size);
  if (fd_ >= 0) close(fd_);
}

InstanceView::State InstanceView::Open() {
  name_ = config::Instance();
  if (name_.empty() || name_.size() > kMaxInstanceLength || name_.find('/') != std::string::npos) {
    why_ = "invalid ZEL_INSTANCE \"" + name_ + "\"";
    return State::kRefused;
  }
  std::string private_dir = config::PrivateDir(&why_);
  if (private_dir.empty()) return State::kRefused;
  dir_ = private_dir + "/" + name_;
  fd_ = OpenPrivate(dir_ + "/reg", &why_);
  if (fd_ < 0) return why_.empty() ? State::kAbsent : State::kRefused;
  // Whoever could take the presence byte for writing would be alone.
  if (!ByteHeld(fd_, internal::kPresenceLockByte)) return State::kDeserted;
  size_t size = 0;
  registry_ = MapFile("reg", &size);
  if (registry_ == nullptr || size != sizeof(Registry)) {
    why_ = "the registry of instance " + name_ + " is not one this build can read";
    return State::kRefused;
  }
  internal::RegistryHeader header;
  if (!Copy(&header, registry_, sizeof header) || header.magic != internal::kRegistryMagic ||
      header.version != internal::kRegistryVersion) {
    why_ = "the registry of instance " + name_ + " is not one this build can read";
    return State::kRefused;
  }
  return State::kLive;
}

const void* InstanceView::MapFile(const std::string& file, size_t* size) const {
  std::string ignored;
  int fd = file == "reg" ? dup(fd_) : OpenPrivate(dir_ + "/" + file, &ignored);
  if (fd < 0) return nullptr;
  struct stat status {};
  void* mapped = MAP_FAILED;
  if (fstat(fd, &status) == 0 && status.st_size > 0 &&
      static_cast<size_t>(status.st_size) <= kMaxRegionSize) {
    *size = static_cast<size_t>(status.st_size);
    mapped = mmap(nullptr, *size, PROT_READ, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (mapped == MAP_FAILED) return nullptr;
  maps_.emplace_back(mapped, *size);
  return mapped;
}

uint32_t InstanceView::AttachedProcesses() const {
  if (registry_ == nullptr) return 0;
  const auto* registry = static_cast<const Registry*>(registry_);
  uint32_t count = 0;
  for (uint32_t index = 0; index < internal::kMaxProcesses; ++index) {
    uint32_t state = 0;
    if (!Copy(&state, &registry->slots[index].state, sizeof state)) return count;
    if (state != static_cast<uint32_t>(SlotState::kLive)) continue;
    if (ByteHeld(fd_, internal::kSlotLockBase + index)) ++count;
  }
  return count;
}

bool InstanceView::WindowAlive(HWND hwnd, DWORD* process_id) const {
  uint32_t index = (hwnd & 0xFFFF) - 1;
  if (registry_ == nullptr || (hwnd & 0xFFFF) == 0 || index >= internal::kMaxWindows) return false;
  const auto* registry = static_cast<const Registry*>(registry_);
  const WindowEntry& entry = registry->windows[index];
  uint32_t before = 0, owner_slot = 0, owner_generation = 0, pid = 0, after = 0;
  // As a process of the instance reads it: the handle, the fields, the
  // handle again (a window freed meanwhile changes it).
  if (!Copy(&before, &entry.hwnd, sizeof before) ||
      !Copy(&owner_slot, &entry.owner_slot, sizeof owner_slot) ||
      !Copy(&owner_generation, &entry.owner_generation, sizeof owner_generation) ||
      !Copy(&pid, &entry.pid, sizeof pid) || !Copy(&after, &entry.hwnd, sizeof after)) {
    return false;
  }
  if (before != hwnd || after != hwnd || owner_slot >= internal::kMaxProcesses) return false;
  // The probe comes before the slot's fields, as in Instance::ProcessAlive.
  if (!ByteHeld(fd_, internal::kSlotLockBase + owner_slot)) return false;
  const ProcessSlot& slot = registry->slots[owner_slot];
  uint32_t state = 0, generation = 0;
  if (!Copy(&state, &slot.state, sizeof state) ||
      !Copy(&generation, &slot.generation, sizeof generation)) {
    return false;
  }
  if (state != static_cast<uint32_t>(SlotState::kLive) || generation != owner_generation) {
    return false;
  }
  *process_id = pid;
  return true;
}

std::vector<char> InstanceView::CopyRegion(const char* name) const {
  if (registry_ == nullptr) return {};
  const auto* registry = static_cast<const Registry*>(registry_);
  uint64_t segment = 0;
  for (const ObjectEntry& entry : registry->objects) {
    uint32_t state = 0;
    ObjectType type = ObjectType::kNone;
    char entry_name[internal::kNameCapacity];
    if (!Copy(&state, &entry.state, sizeof state) || !Copy(&type, &entry.type, sizeof type) ||
        state != static_cast<uint32_t>(EntryState::kLive) || type != ObjectType::kMapping ||
        !Copy(entry_name, entry.name, sizeof entry_name)) {
      continue;
    }
    entry_name[sizeof entry_name - 1] = '\0';
    if (std::string_view(entry_name) != name) continue;
    if (Copy(&segment, &entry.mapping_segment, sizeof segment)) break;
  }
  if (segment == 0) return {};
  size_t size = 0;
  const void* mapped = MapFile("map." + std::to_string(segment), &size);
  if (mapped == nullptr) return {};
  std::vector<char> copy(size);
  if (!Copy(copy.data(), mapped, size)) return {};
  return copy;
}

bool InstanceView::MeasureGlobalHeap(GlobalHeapUse* use) const {
  if (registry_ == nullptr) return false;
  size_t size = 0;
  const void* mapped = MapFile("heap", &size);
  return mapped != nullptr && internal::MeasureGlobalHeapImage(mapped, size, use);
}

}  // namespace zel::platform
