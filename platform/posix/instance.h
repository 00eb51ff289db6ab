// This process's membership of its instance (ZEL_INSTANCE): the mapped
// registry, the process slot, liveness of the other processes and the
// reaping of what dead processes left behind.
//
// A process attaches on first use of anything instance-wide and detaches
// when libzelplat unloads at exit. The first process to attach to an
// instance whose processes are all gone (or that never existed) builds a
// fresh registry and heap and removes any stale segment files; nothing left
// by dead processes is trusted. The last process to detach removes every
// file of the instance.
#ifndef ZEL_PLATFORM_POSIX_INSTANCE_H
#define ZEL_PLATFORM_POSIX_INSTANCE_H

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/registry.h"

namespace zel::platform::internal {

class Instance {
 public:
  // The instance this process is attached to, attaching on first use. Null
  // with the last error set when attaching fails; a later call tries again.
  // Any thread.
  static Instance* Get();

  // The instance when this process has attached, else null; never attaches.
  // A sequentially consistent load (see event.cpp).
  static Instance* Attached();

  // Leaves the instance: frees this process's holds, windows and global
  // blocks and, for the last process, removes the instance's files. Called
  // once, as libzelplat unloads.
  static void DetachAtExit();

  // Fork (the atfork handlers of library.cpp, in the forking thread). A
  // forked child is a process of the instance in its own right.
  // PrepareFork takes the attach lock and, when this process is attached,
  // reserves the child's place: a slot of its own, locked through a new
  // open file description of the registry that only the child keeps, a
  // new tag, and a hold of the child's on every object this process holds.
  // The registry lock stays taken until the fork is done, so that no hold
  // of this process changes in between. ParentAfterFork releases both
  // locks. ChildAfterFork makes the child the holder of the reserved place
  // (the registry lock stays the parent's to release), or leaves the child
  // outside the instance, every later use failing with
  // ERROR_INVALID_HANDLE, when no place could be reserved.
  static void PrepareFork();
  static void ParentAfterFork();
  static void ChildAfterFork();

  Registry& registry() const { return *registry_; }
  uint32_t slot() const { return slot_; }
  uint32_t generation() const { return generation_; }
  uint32_t tag() const { return tag_; }

  // "<private directory>/<instance>/<name>": the registry "reg", the global
  // heap "heap", the mapping segments "map.<n>" and the processes' message
  // sockets all live in this folder of mode 0700, where no other user can
  // make, replace or reach anything.
  std::string FilePath(std::string_view name) const;

  // The message socket of the process that took `slot` as `generation`.
  std::string SocketPath(uint32_t slot, uint32_t generation) const;

  // Opens the instance file `name` with `flags` (O_CREAT makes it with mode
  // 0600; links are never followed) and checks it before anything in it is
  // trusted: a regular file of this user that nobody else may read or
  // write. The descriptor (close-on-exec), or -1 with the last error set:
  // ERROR_ACCESS_DENIED for a file refused. Any thread.
  int OpenFile(std::string_view name, int flags) const;

  // Holds the registry lock. When the previous holder died mid-edit, the
  // tables are repaired before the lock is handed on.
  class Lock {
   public:
    explicit Lock(Instance& instance);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    Instance& instance_;
  };

  // True while the process in `slot` lives (always for this process's own).
  bool SlotAlive(uint32_t slot) const;

  // True while the process that took `slot` as `generation` lives; false
  // once it has died (reaped or not), detached, or the slot was taken again.
  // Any thread, without the registry lock.
  bool ProcessAlive(uint32_t slot, uint32_t generation) const;

  // Frees what processes that died still held: their holds on named
  // objects, their windows and their global blocks. ReapDeadLocked expects
  // the registry lock held; ReapDead takes it.
  void ReapDeadLocked();
  void ReapDead();

  // Finds the live object `name` (already normalised); null when there is
  // none. Registry lock held.
  ObjectEntry* FindLocked(std::string_view name);

  // Takes a free entry for `name` and `type` and gives this process a hold
  // on it. The entry is not yet findable: the caller initialises the body,
  // then calls Publish. Null with ERROR_NO_SYSTEM_RESOURCES when the table
  // is full. Registry lock held.
  ObjectEntry* AllocateLocked(std::string_view name, ObjectType type);

  // Makes an allocated entry findable by name. Registry lock held.
  static void Publish(ObjectEntry& entry) {
    entry.state.store(static_cast<uint32_t>(EntryState::kLive));
  }

  // Adds a hold of this process; false with ERROR_NO_SYSTEM_RESOURCES when
  // this process holds it 65,535 times. Registry lock held.
  bool AddHoldLocked(ObjectEntry& entry);

  // Drops one hold of this process; the object is freed with the last hold
  // of the instance. DropHold takes the registry lock, DropHoldLocked
  // expects it held.
  void DropHold(ObjectEntry& entry);
  void DropHoldLocked(ObjectEntry& entry);

  // Takes the number of the next mapping segment file. Registry lock held.
  uint64_t NextSegmentLocked() { return registry_->header.next_segment++; }

  // The window entry for `hwnd`, or null when the handle is malformed.
  WindowEntry* WindowSlot(HWND hwnd) const;

 private:
  Instance() = default;
  bool Attach();
  bool OpenRegistry(bool* fresh);
  // Releases the attach lock that OpenRegistry took and, when the attach
  // failed, what it had mapped and opened.
  void EndAttach(bool attached);
  // Maps the registry file into registry_; false with the last error set.
  bool MapRegistry();
  bool MapExisting();
  bool InitialiseFresh();
  bool TakeSlot();
  // Takes a free slot for the process that keeps `fd`'s open file
  // description, locking the slot's byte through it; false when every slot
  // is taken. Registry lock held.
  bool ClaimSlotLocked(int fd, uint32_t* slot, uint32_t* generation, uint32_t* tag);
  // Takes and releases the registry lock (see Lock).
  void LockRegistry();
  void UnlockRegistry();
  // The halves of PrepareFork, ParentAfterFork and ChildAfterFork that
  // concern an attached process.
  void ReserveChildPlace();
  void EndForkInParent();
  void TakeChildPlace();
  void Detach();
  void ReleaseSlotLocked(uint32_t slot);
  void FreeEntryLocked(ObjectEntry& entry);
  void RepairLocked();
  uint32_t NextTagLocked();
  // Sets dir_ to the folder of `instance` in the user's private directory
  // and makes it (see MakeDirectory); false with the last error set.
  bool FindDirectory(const std::string& instance);
  // Makes dir_ when missing (the last process out removes it) and checks
  // it; false with the last error set.
  bool MakeDirectory() const;
  void RemoveInstanceFiles(bool keep_registry) const;

  std::string dir_;  // the instance's folder in the user's private directory
  std::string registry_path_;
  int fd_ = -1;
  Registry* registry_ = nullptr;
  uint32_t slot_ = 0;
  uint32_t generation_ = 0;
  uint32_t tag_ = 0;

  // The child's place while a fork is under way; fd is -1 when none.
  struct ChildPlace {
    int fd = -1;
    uint32_t slot = 0;
    uint32_t generation = 0;
    uint32_t tag = 0;
  };
  ChildPlace child_;
  bool fork_locked_ = false;  // PrepareFork took the registry lock
};

// The handle tag of this process: its slot's tag when it can attach, else
// one derived from its process id.
uint32_t ProcessHandleTag();

// Between two stores of an edit of the registry's tables: where the armed
// test hook below stops the process.
void RegistryEditPoint();

// Test hook: this process kills itself (SIGKILL) at the `edit`th registry
// edit point from now on, 1 being the next one; 0 disarms. Sweeping `edit`
// stops a process at each point where a crash can leave the tables.
ZEL_PLATFORM_EXPORT void KillAtRegistryEdit(uint32_t edit) noexcept;

// Names of the instance's objects without the "Global\" or "Local\"
// prefix. False with ERROR_FILENAME_EXCED_RANGE for a name that is too long.
bool NormaliseObjectName(const char* name, std::string* normalised);

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_INSTANCE_H
