// Attach, detach, liveness and reaping of the instance registry.
#include "platform/posix/instance.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#ifdef __SANITIZE_THREAD__
#include <sanitizer/tsan_interface.h>
#endif

#include "platform/handles.h"
#include "platform/posix/heap.h"
#include "platform/posix/last_error.h"
#include "platform/posix/robust_mutex.h"
#include "base/config.h"
#include "base/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform::internal {
namespace {

constexpr char kTag[] = "PL";
constexpr size_t kMaxInstanceLength = 64;
// Each attempt loses only to a last process that removed the registry file
// between our open and our lock; a handful always suffices.
constexpr int kAttachAttempts = 64;
constexpr uint32_t kMaxTag = 4094;

std::mutex g_attach_mutex;
std::atomic<uint32_t> g_edits_to_kill{0};  // see KillAtRegistryEdit
std::atomic<Instance*> g_instance{nullptr};
bool g_detached = false;        // guarded by g_attach_mutex
Instance* g_retired = nullptr;  // the detached instance, kept for late readers

// Takes (F_WRLCK, F_RDLCK) or drops (F_UNLCK) an open-file-description lock
// on one byte; `command` F_OFD_SETLKW waits, F_OFD_SETLK does not.
bool ByteLock(int fd, int command, short type, off_t byte) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  while (fcntl(fd, command, &lock) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool AllHoldersGone(const ObjectEntry& entry) {
  for (uint16_t count : entry.holders) {
    if (count != 0) return false;
  }
  return true;
}

// An entry that processes hold: a live one, or one being created.
bool Held(const ObjectEntry& entry) {
  uint32_t state = entry.state.load();
  return state == static_cast<uint32_t>(EntryState::kLive) ||
         state == static_cast<uint32_t>(EntryState::kCreating);
}

bool ValidInstanceName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxInstanceLength && name.find('/') == std::string::npos;
}

}  // namespace

Instance* Instance::Get() {
  if (Instance* instance = g_instance.load(std::memory_order_acquire)) return instance;
  std::lock_guard guard(g_attach_mutex);
  if (Instance* instance = g_instance.load(std::memory_order_acquire)) return instance;
  if (g_detached) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::unique_ptr<Instance> instance(new Instance());
  if (!instance->Attach()) return nullptr;
  g_instance.store(instance.get(), std::memory_order_release);
  return instance.release();
}

Instance* Instance::Attached() { return g_instance.load(); }

void Instance::DetachAtExit() {
  std::lock_guard guard(g_attach_mutex);
  g_detached = true;
  // The object stays allocated: threads still running at exit may hold it.
  g_retired = g_instance.exchange(nullptr);
  if (g_retired != nullptr) g_retired->Detach();
}

std::string Instance::FilePath(std::string_view name) const {
  std::string path = dir_ + "/";
  path += name;
  return path;
}

std::string Instance::SocketPath(uint32_t slot, uint32_t generation) const {
  return FilePath("msg." + std::to_string(slot) + "." + std::to_string(generation));
}

int Instance::OpenFile(std::string_view name, int flags) const {
  std::string path = FilePath(name);
  std::string why = path + " is a symbolic link; refused";
  int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0 && errno != ELOOP) {
    SetErrorFromErrno(errno);
    return -1;
  }
  if (fd >= 0 && config::CheckPrivateFile(fd, path, &why)) return fd;
  if (fd >= 0) close(fd);
  static_cast<void>(ZEL_ERROR_POINT("PLAT_FILE_REFUSED"));
  trace::String(kTag, -6, "instance file refused", why.c_str());
  SetError(ERROR_ACCESS_DENIED);
  return -1;
}

bool Instance::FindDirectory(const std::string& instance) {
  std::string why;
  std::string notice;
  std::string private_dir = config::PrivateDir(&why, &notice);
  if (!notice.empty()) trace::String(kTag, 5, "private directory", notice.c_str());
  if (private_dir.empty()) {
    static_cast<void>(ZEL_ERROR_POINT("PLAT_PRIVATE_DIR"));
    trace::String(kTag, -5, "no private directory", why.c_str());
    return Fail(ERROR_ACCESS_DENIED);
  }
  dir_ = private_dir + "/" + instance;
  registry_path_ = FilePath("reg");
  return MakeDirectory();
}

bool Instance::MakeDirectory() const {
  std::string why;
  if (config::MakePrivateDirectory(dir_, &why)) return true;
  static_cast<void>(ZEL_ERROR_POINT("PLAT_PRIVATE_DIR"));
  trace::String(kTag, -5, "no private folder for the instance", why.c_str());
  return Fail(ERROR_ACCESS_DENIED);
}

bool Instance::Attach() {
  std::string instance = config::Instance();
  if (!ValidInstanceName(instance)) {
    static_cast<void>(ZEL_ERROR_POINT("PLAT_INSTANCE_NAME"));
    trace::String(kTag, -1, "invalid ZEL_INSTANCE", instance.c_str());
    SetError(ERROR_INVALID_NAME);
    return false;
  }
  if (!FindDirectory(instance)) return false;
  bool fresh = false;
  if (!OpenRegistry(&fresh)) return false;
  bool attached = false;
  try {
    // The heap is mapped before the slot is taken: taking it reaps the
    // processes that died, their global blocks included.
    AttachGlobalHeap(*this, fresh);
    attached = TakeSlot();
  } catch (...) {
    // Left held, the lock would keep every later attach waiting, this
    // process's own included.
    EndAttach(false);
    throw;
  }
  EndAttach(attached);
  if (!attached) return false;
  trace::Rc(kTag, 1, "attached to the instance registry, slot=", slot_);
  return true;
}

void Instance::EndAttach(bool attached) {
  ByteLock(fd_, F_OFD_SETLK, F_UNLCK, kAttachLockByte);
  if (attached) return;
  DetachGlobalHeap();
  munmap(registry_, sizeof(Registry));
  close(fd_);
}

// Opens the registry file and maps it, holding the attach lock (byte 0) and
// this process's presence lock (byte 1, shared) on return. `*fresh` tells
// whether this process found itself alone and built a new registry.
bool Instance::OpenRegistry(bool* fresh) {
  for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
    int fd = OpenFile("reg", O_RDWR | O_CREAT);
    // The last process of the instance removes the folder as it leaves.
    if (fd < 0 && GetLastError() == ERROR_FILE_NOT_FOUND && MakeDirectory()) continue;
    struct stat opened;
    if (fd < 0 || fstat(fd, &opened) != 0) {
      static_cast<void>(ZEL_ERROR_POINT("PLAT_REGISTRY_OPEN"));
      if (fd < 0) return false;
      int error = errno;
      close(fd);
      return FailErrno(error);
    }
    if (!ByteLock(fd, F_OFD_SETLKW, F_WRLCK, kAttachLockByte)) {
      int error = errno;
      close(fd);
      return FailErrno(error);
    }
    // The last process of the instance may have removed the file between
    // our open and our lock; then start again with a new file.
    struct stat current;
    if (stat(registry_path_.c_str(), &current) != 0 || current.st_ino != opened.st_ino ||
        current.st_dev != opened.st_dev) {
      close(fd);
      continue;
    }
    fd_ = fd;
    *fresh = ByteLock(fd, F_OFD_SETLK, F_WRLCK, kPresenceLockByte);
    bool ok = *fresh ? InitialiseFresh() : MapExisting();
    if (ok) ok = ByteLock(fd, F_OFD_SETLK, F_RDLCK, kPresenceLockByte);
    if (!ok) {
      close(fd);
      fd_ = -1;
      return false;
    }
    return true;
  }
  static_cast<void>(ZEL_ERROR_POINT("PLAT_REGISTRY_RACE"));
  return Fail(ERROR_GEN_FAILURE);
}

// Maps the registry that live processes of the instance use.
bool Instance::MapRegistry() {
  void* base = mmap(nullptr, sizeof(Registry), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (base == MAP_FAILED) {
    int error = errno;
    static_cast<void>(ZEL_ERROR_POINT("PLAT_REGISTRY_MAP"));
    return FailErrno(error);
  }
  registry_ = static_cast<Registry*>(base);
  return true;
}

bool Instance::MapExisting() {
  struct stat status;
  if (fstat(fd_, &status) != 0 || status.st_size != sizeof(Registry)) {
    // Live processes use a registry this build cannot read; it cannot be
    // rebuilt under them.
    static_cast<void>(ZEL_ERROR_POINT("PLAT_REGISTRY_FOREIGN"));
    return Fail(ERROR_INVALID_DATA);
  }
  if (!MapRegistry()) return false;
  const RegistryHeader& header = registry_->header;
  if (header.magic == kRegistryMagic && header.version == kRegistryVersion &&
      header.size == sizeof(Registry)) {
    return true;
  }
  static_cast<void>(ZEL_ERROR_POINT("PLAT_REGISTRY_FOREIGN"));
  munmap(registry_, sizeof(Registry));
  registry_ = nullptr;
  return Fail(ERROR_INVALID_DATA);
}

// This process is alone in the instance: whatever the files hold was left
// by processes that died and is rebuilt from nothing.
bool Instance::InitialiseFresh() {
  RemoveInstanceFiles(/*keep_registry=*/true);
  if (ftruncate(fd_, 0) != 0 || ftruncate(fd_, sizeof(Registry)) != 0) {
    int error = errno;
    static_cast<void>(ZEL_ERROR_POINT("PLAT_REGISTRY_SIZE"));
    return FailErrno(error);
  }
  if (!MapRegistry()) return false;
  RegistryHeader& header = registry_->header;
  int error = InitSharedMutex(&header.lock, /*recursive=*/false);
  for (WindowEntry& window : registry_->windows) {
    if (error == 0) error = InitSharedMutex(&window.post_lock, /*recursive=*/false);
  }
  if (error != 0) {
    static_cast<void>(ZEL_ERROR_POINT("PLAT_REGISTRY_LOCK"));
    munmap(registry_, sizeof(Registry));
    registry_ = nullptr;
    return FailErrno(error);
  }
  header.next_tag = 1;
  header.next_segment = 1;
  header.version = kRegistryVersion;
  header.size = sizeof(Registry);
  header.magic = kRegistryMagic;
  trace::String(kTag, 2, "built a fresh instance registry", registry_path_.c_str());
  return true;
}

bool Instance::TakeSlot() {
  Lock lock(*this);
  ReapDeadLocked();
  if (ClaimSlotLocked(fd_, &slot_, &generation_, &tag_)) return true;
  static_cast<void>(ZEL_ERROR_POINT("PLAT_NO_PROCESS_SLOT"));
  trace::Rc(kTag, -3, "no free process slot in the instance, slots=", kMaxProcesses);
  return Fail(ERROR_NO_SYSTEM_RESOURCES);
}

bool Instance::ClaimSlotLocked(int fd, uint32_t* taken, uint32_t* generation, uint32_t* tag) {
  for (uint32_t index = 0; index < kMaxProcesses; ++index) {
    ProcessSlot& slot = registry_->slots[index];
    if (slot.state.load() != static_cast<uint32_t>(SlotState::kFree)) continue;
    // A slot whose byte is still locked belongs to a process in the middle
    // of detaching.
    if (!ByteLock(fd, F_OFD_SETLK, F_WRLCK, kSlotLockBase + index)) continue;
    *taken = index;
    *generation = slot.generation.load() + 1;
    if (*generation == 0) *generation = 1;
    *tag = NextTagLocked();
    RegistryEditPoint();
    slot.generation.store(*generation);
    RegistryEditPoint();
    // A forked child's slot names the parent until the child runs.
    slot.pid.store(static_cast<uint32_t>(getpid()));
    slot.tag.store(*tag);
    RegistryEditPoint();
    slot.state.store(static_cast<uint32_t>(SlotState::kLive), std::memory_order_release);
    RegistryEditPoint();
    return true;
  }
  return false;
}

uint32_t Instance::NextTagLocked() {
  RegistryHeader& header = registry_->header;
  for (uint32_t attempt = 0; attempt < kMaxTag; ++attempt) {
    uint32_t tag = header.next_tag;
    if (tag == 0 || tag > kMaxTag) tag = 1;
    header.next_tag = tag % kMaxTag + 1;
    bool in_use = false;
    for (const ProcessSlot& slot : registry_->slots) {
      if (slot.state.load() == static_cast<uint32_t>(SlotState::kLive) && slot.tag.load() == tag) {
        in_use = true;
        break;
      }
    }
    if (!in_use) return tag;
  }
  return 1;  // unreachable: there are far fewer slots than tags
}

void Instance::PrepareFork() {
  g_attach_mutex.lock();
  if (Instance* instance = g_instance.load()) instance->ReserveChildPlace();
}

void Instance::ParentAfterFork() {
  if (Instance* instance = g_instance.load()) instance->EndForkInParent();
  g_attach_mutex.unlock();
}

void Instance::ChildAfterFork() {
  if (Instance* instance = g_instance.load()) instance->TakeChildPlace();
  g_attach_mutex.unlock();
}

// The child's open file description of the registry keeps the presence
// byte, so the instance outlives this process for the child's sake, and
// the child's slot byte. Without one the child is left outside.
void Instance::ReserveChildPlace() {
  int fd = open(registry_path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  struct stat ours, opened;
  bool same = fd >= 0 && fstat(fd_, &ours) == 0 && fstat(fd, &opened) == 0 &&
              ours.st_ino == opened.st_ino && ours.st_dev == opened.st_dev;
  if (!same || !ByteLock(fd, F_OFD_SETLK, F_RDLCK, kPresenceLockByte)) {
    static_cast<void>(ZEL_ERROR_POINT("PLAT_FORK_REGISTRY"));
    trace::String(kTag, -7, "no registry for a forked child", registry_path_.c_str());
    if (fd >= 0) close(fd);
    return;
  }
  LockRegistry();
  fork_locked_ = true;
  ReapDeadLocked();
  if (!ClaimSlotLocked(fd, &child_.slot, &child_.generation, &child_.tag)) {
    static_cast<void>(ZEL_ERROR_POINT("PLAT_NO_PROCESS_SLOT"));
    trace::Rc(kTag, -3, "no free process slot for a forked child, slots=", kMaxProcesses);
    close(fd);
    return;
  }
  child_.fd = fd;
  // The child starts with a copy of every handle and view of this
  // process, so with as many holds.
  for (ObjectEntry& entry : registry_->objects) {
    if (Held(entry) && entry.holders[slot_] != 0) {
      entry.holders[child_.slot] = entry.holders[slot_];
      RegistryEditPoint();
    }
  }
}

// A fork that failed leaves the reserved slot without a holder; the next
// reaping frees it.
void Instance::EndForkInParent() {
  if (child_.fd >= 0) close(child_.fd);
  child_ = ChildPlace{};
  if (fork_locked_) UnlockRegistry();
  fork_locked_ = false;
}

// Runs alone in the child. The parent's open file description stays the
// parent's, and so does the registry lock its thread holds.
void Instance::TakeChildPlace() {
#ifdef __SANITIZE_THREAD__
  // The thread sanitizer copied the parent's thread with the registry lock
  // held; this process never holds it, and its later locks are not taken
  // under it.
  if (fork_locked_) {
    __tsan_mutex_pre_unlock(&registry_->header.lock, 0);
    __tsan_mutex_post_unlock(&registry_->header.lock, 0);
  }
#endif
  fork_locked_ = false;
  close(fd_);
  if (child_.fd < 0) {
    g_detached = true;
    g_retired = g_instance.exchange(nullptr);
    return;
  }
  fd_ = child_.fd;
  slot_ = child_.slot;
  generation_ = child_.generation;
  tag_ = child_.tag;
  child_ = ChildPlace{};
  registry_->slots[slot_].pid.store(static_cast<uint32_t>(getpid()));
}

void Instance::Detach() {
  ByteLock(fd_, F_OFD_SETLKW, F_WRLCK, kAttachLockByte);
  {
    Lock lock(*this);
    ReleaseSlotLocked(slot_);
  }
  ByteLock(fd_, F_OFD_SETLK, F_UNLCK, kSlotLockBase + slot_);
  // Whoever can take the presence byte exclusively is the last one out.
  if (ByteLock(fd_, F_OFD_SETLK, F_WRLCK, kPresenceLockByte)) {
    RemoveInstanceFiles(/*keep_registry=*/false);
  }
  // The registry stays mapped: threads still running at exit may read it.
  close(fd_);
}

// Called holding the attach lock on the file named "reg". The registry goes
// last: until its name is gone, a process coming to attach opens it and
// waits for that lock, rather than building a new instance among files
// still being removed. Nothing else ever unlinks it, so the name still
// stands for the file locked.
void Instance::RemoveInstanceFiles(bool keep_registry) const {
  DIR* dir = opendir(dir_.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == ".." || name == "reg") continue;
    unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
  if (keep_registry) return;
  unlink(registry_path_.c_str());
  rmdir(dir_.c_str());
}

Instance::Lock::Lock(Instance& instance) : instance_(instance) { instance_.LockRegistry(); }

Instance::Lock::~Lock() { instance_.UnlockRegistry(); }

void Instance::LockRegistry() {
  pthread_mutex_t* mutex = &registry_->header.lock;
  int error = pthread_mutex_lock(mutex);
  if (error == EOWNERDEAD) {
    trace::Msg(kTag, 3, "registry lock holder died; repairing the tables");
    RepairLocked();
    pthread_mutex_consistent(mutex);
  } else if (error != 0) {
    // Only a holder that unlocked without repairing leaves this; edits go
    // on unserialised rather than hanging every process of the instance.
    static_cast<void>(ZEL_ERROR_POINT("PLAT_REGISTRY_LOCK_LOST"));
  }
}

void Instance::UnlockRegistry() { pthread_mutex_unlock(&registry_->header.lock); }

bool Instance::SlotAlive(uint32_t slot) const {
  if (slot == slot_) return true;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kSlotLockBase + slot;
  lock.l_len = 1;
  // When the probe itself fails, count the process as alive: reaping a
  // live process would be far worse than keeping a dead one a while longer.
  if (fcntl(fd_, F_OFD_GETLK, &lock) != 0) return true;
  return lock.l_type != F_UNLCK;
}

bool Instance::ProcessAlive(uint32_t slot, uint32_t generation) const {
  // The probe comes first. A holder takes the slot's byte before it stores
  // the new generation and only then marks the slot live, so a live state
  // and the old generation read after a successful probe mean that the
  // byte was locked by the process asked about.
  if (!SlotAlive(slot)) return false;
  const ProcessSlot& entry = registry_->slots[slot];
  return entry.state.load() == static_cast<uint32_t>(SlotState::kLive) &&
         entry.generation.load() == generation;
}

void Instance::ReapDeadLocked() {
  for (uint32_t index = 0; index < kMaxProcesses; ++index) {
    const ProcessSlot& slot = registry_->slots[index];
    if (index == slot_ || slot.state.load() != static_cast<uint32_t>(SlotState::kLive)) continue;
    if (SlotAlive(index)) continue;
    trace::Rc(kTag, 4, "reaping what a dead process held, pid=", slot.pid.load());
    ReleaseSlotLocked(index);
  }
  for (ObjectEntry& entry : registry_->objects) {
    if (entry.state.load() == static_cast<uint32_t>(EntryState::kZombie) &&
        KernelOwnerTid(entry.mutex) == 0) {
      FreeEntryLocked(entry);
    }
  }
}

void Instance::ReapDead() {
  Lock lock(*this);
  ReapDeadLocked();
}

// The kernel hands the lock on as the holder dies, before it has closed the
// holder's files: its slot may still look alive, so what it was creating
// stays hidden (kCreating) until the slot is reaped.
void Instance::RepairLocked() {
  ReapDeadLocked();
  // An entry without holders is one whose closer died between its edits.
  for (ObjectEntry& entry : registry_->objects) {
    if (Held(entry) && AllHoldersGone(entry)) FreeEntryLocked(entry);
  }
}

void Instance::ReleaseSlotLocked(uint32_t slot) {
  for (ObjectEntry& entry : registry_->objects) {
    if (!Held(entry)) continue;
    // The waits of a dead process, or of one that detaches as it exits,
    // count no more.
    if (entry.type == ObjectType::kEvent) ForgetDeadWaiters(entry, slot);
    if (entry.holders[slot] == 0) continue;
    entry.holders[slot] = 0;
    RegistryEditPoint();
    if (AllHoldersGone(entry)) FreeEntryLocked(entry);
  }
  for (WindowEntry& window : registry_->windows) {
    if (window.hwnd.load() != 0 && window.owner_slot.load() == slot) {
      window.hwnd.store(0);
      RegistryEditPoint();
    }
  }
  ReapGlobalBlocks(slot);
  RegistryEditPoint();
  unlink(SocketPath(slot, registry_->slots[slot].generation.load()).c_str());
  registry_->slots[slot].state.store(static_cast<uint32_t>(SlotState::kFree));
  RegistryEditPoint();
}

void Instance::FreeEntryLocked(ObjectEntry& entry) {
  if (entry.type == ObjectType::kMutex && KernelOwnerTid(entry.mutex) != 0) {
    entry.name[0] = '\0';
    RegistryEditPoint();
    entry.state.store(static_cast<uint32_t>(EntryState::kZombie));
    RegistryEditPoint();
    return;
  }
  if (entry.type == ObjectType::kMapping) {
    unlink(FilePath("map." + std::to_string(entry.mapping_segment)).c_str());
    RegistryEditPoint();
  }
  entry.name[0] = '\0';
  entry.type = ObjectType::kNone;
  RegistryEditPoint();
  ++entry.generation;
  entry.state.store(static_cast<uint32_t>(EntryState::kFree));
  RegistryEditPoint();
}

ObjectEntry* Instance::FindLocked(std::string_view name) {
  for (ObjectEntry& entry : registry_->objects) {
    if (entry.state.load() == static_cast<uint32_t>(EntryState::kLive) &&
        std::string_view(entry.name) == name) {
      return &entry;
    }
  }
  return nullptr;
}

ObjectEntry* Instance::AllocateLocked(std::string_view name, ObjectType type) {
  for (ObjectEntry& entry : registry_->objects) {
    if (entry.state.load() != static_cast<uint32_t>(EntryState::kFree)) continue;
    entry.type = type;
    memcpy(entry.name, name.data(), name.size());
    entry.name[name.size()] = '\0';
    memset(entry.holders, 0, sizeof entry.holders);
    entry.holders[slot_] = 1;
    memset(&entry.mutex, 0, sizeof entry.mutex);
    entry.event_state.store(0);
    for (std::atomic<uint16_t>& waiters : entry.event_waiters) waiters.store(0);
    entry.manual_reset = 0;
    entry.mapping_size = 0;
    entry.mapping_segment = 0;
    entry.mapping_protect = 0;
    entry.state.store(static_cast<uint32_t>(EntryState::kCreating));
    RegistryEditPoint();
    return &entry;
  }
  static_cast<void>(ZEL_ERROR_POINT("PLAT_OBJECT_TABLE_FULL"));
  trace::Rc(kTag, -4, "the instance's object table is full, objects=", kMaxObjects);
  SetError(ERROR_NO_SYSTEM_RESOURCES);
  return nullptr;
}

bool Instance::AddHoldLocked(ObjectEntry& entry) {
  if (entry.holders[slot_] == UINT16_MAX) return Fail(ERROR_NO_SYSTEM_RESOURCES);
  if (entry.holders[slot_] == 0 && entry.type == ObjectType::kMutex) {
    RenewMutexIdentity(&entry.mutex, /*recursive=*/true);
  }
  ++entry.holders[slot_];
  RegistryEditPoint();
  return true;
}

void Instance::DropHold(ObjectEntry& entry) {
  Lock lock(*this);
  DropHoldLocked(entry);
}

void Instance::DropHoldLocked(ObjectEntry& entry) {
  // After detaching, this slot may already serve another process.
  if (Attached() != this) return;
  if (entry.holders[slot_] == 0) return;
  --entry.holders[slot_];
  RegistryEditPoint();
  if (AllHoldersGone(entry)) FreeEntryLocked(entry);
}

WindowEntry* Instance::WindowSlot(HWND hwnd) const {
  uint32_t index = (hwnd & 0xFFFF) - 1;
  if ((hwnd & 0xFFFF) == 0 || index >= kMaxWindows) return nullptr;
  return &registry_->windows[index];
}

void RegistryEditPoint() {
  if (g_edits_to_kill.load(std::memory_order_relaxed) == 0) return;
  if (g_edits_to_kill.fetch_sub(1) == 1) raise(SIGKILL);
}

void KillAtRegistryEdit(uint32_t edit) noexcept { g_edits_to_kill.store(edit); }

uint32_t ProcessHandleTag() {
  DWORD saved = GetLastError();
  Instance* instance = Instance::Get();
  SetLastError(saved);
  if (instance != nullptr) return instance->tag();
  return 1 + static_cast<uint32_t>(getpid()) % kMaxTag;
}

bool NormaliseObjectName(const char* name, std::string* normalised) {
  std::string_view text = name;
  for (std::string_view prefix : {"Global\\", "Local\\"}) {
    if (text.substr(0, prefix.size()) == prefix) {
      text.remove_prefix(prefix.size());
      break;
    }
  }
  if (text.empty()) return Fail(ERROR_INVALID_NAME);
  if (text.size() > kMaxObjectNameLength) return Fail(ERROR_FILENAME_EXCED_RANGE);
  *normalised = std::string(text);
  return true;
}

}  // namespace zel::platform::internal
