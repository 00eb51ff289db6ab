// Layout of the instance registry: the file "reg" in the instance's private
// folder (see Instance::FilePath) that every process of an instance maps.
// It holds the process slots, the named objects with their synchronisation
// bodies and the window table.
//
// Edits of the tables take `RegistryHeader::lock` (a robust mutex, see
// Instance::Lock). Fields that other processes read without the lock
// (window entries, slot generations) are atomics and are published with a
// single store. Mutex waits, event operations and posts never take the lock.
#ifndef ZEL_PLATFORM_POSIX_REGISTRY_H
#define ZEL_PLATFORM_POSIX_REGISTRY_H

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/mutex.h"
#include "platform/types.h"

namespace zel::platform::internal {

inline constexpr uint64_t kRegistryMagic = 0x3147455254505a5aULL;  // "ZZPTREG1"
inline constexpr uint32_t kRegistryVersion = 3;

inline constexpr uint32_t kMaxProcesses = 128;
inline constexpr uint32_t kMaxObjects = 1024;
inline constexpr uint32_t kMaxWindows = 1024;
inline constexpr size_t kNameCapacity = kMaxObjectNameLength + 1;

enum class SlotState : uint32_t { kFree = 0, kLive = 1 };

// One attached process. The holder keeps byte kSlotLockBase + index of the
// registry file write-locked (an open-file-description lock) for as long as
// it lives; an unlocked byte under a live slot means the holder died.
struct ProcessSlot {
  std::atomic<uint32_t> state;       // SlotState
  std::atomic<uint32_t> generation;  // raised each time the slot is taken
  std::atomic<uint32_t> pid;         // process id of the holder
  std::atomic<uint32_t> tag;         // the holder's handle tag (handles.h)
};

enum class ObjectType : uint32_t { kNone = 0, kMutex = 1, kEvent = 2, kMapping = 3 };

// kCreating: taken by a creator that has not finished its body; it cannot
// be found by name, so a creator that dies half-way leaves nothing usable.
// kZombie: a mutex whose last handle closed while a thread still owned it;
// it cannot be found by name, and its entry is reused only once the kernel
// has cleared the owner, so that a robust-list update never hits a new
// object.
enum class EntryState : uint32_t { kFree = 0, kLive = 1, kZombie = 2, kCreating = 3 };

// One named object. `holders[slot]` counts the holds (handles and views)
// of the process in that slot; the object is freed when all are zero.
// `event_waiters[slot]` counts the threads of that process that wait on an
// auto-reset event, so that the reaper can take back what a dead process
// counted in the event's state word (see event.cpp).
struct ObjectEntry {
  std::atomic<uint32_t> state;  // EntryState
  ObjectType type;              // what the body below is
  uint32_t generation;          // raised each time the entry is freed
  uint32_t reserved;            // keeps the body 8-byte aligned
  char name[kNameCapacity];     // name without "Global\" or "Local\", NUL-terminated
  uint16_t holders[kMaxProcesses];
  pthread_mutex_t mutex;              // kMutex: robust, recursive, process-shared
  std::atomic<uint64_t> event_state;  // kEvent: the event's state word (see event.cpp)
  uint32_t manual_reset;              // kEvent: nonzero for manual reset
  // kEvent: auto-reset waiters per slot (see above).
  std::atomic<uint16_t> event_waiters[kMaxProcesses];
  uint32_t reserved3;        // alignment
  uint64_t mapping_size;     // kMapping: size in bytes
  uint64_t mapping_segment;  // kMapping: number of its segment file
  uint32_t mapping_protect;  // kMapping: PAGE_READONLY or PAGE_READWRITE
  uint32_t reserved2;        // alignment
};

// One window. `hwnd` is 0 while the entry is free and is stored last when
// the entry is taken, first when it is freed; readers load it, read the
// other fields and load it again.
//
// `posted` is raised by a poster before its message leaves, and lowered
// when the window's thread takes the message or drops it: a post that
// would make it exceed the queue's limit is refused to the poster, and the
// window's process never has to drop what was posted to it.
//
// `post_lock` (robust, process-shared, made once with the registry and
// never again, whatever window the entry holds) is held by a process that
// posts to the window around its send, and by the window's thread while it
// raises `idle_count`: no post can then be half-way between a sender and
// the window's queues when the thread finds them empty.
struct WindowEntry {
  std::atomic<uint32_t> hwnd;              // generation << 16 | (index + 1), 0 when free
  std::atomic<uint32_t> owner_slot;        // process slot of the owner
  std::atomic<uint32_t> owner_generation;  // that slot's generation when the window was made
  std::atomic<uint32_t> pid;               // owner's process id
  std::atomic<uint32_t> tid;               // owner's thread id
  std::atomic<uint32_t> generation;        // raised each time the entry is reused
  std::atomic<uint32_t> idle_count;        // see GetWindowIdleCount; 0 when made
  std::atomic<uint32_t> posted;            // posted messages queued or on their way; 0 when made
  pthread_mutex_t post_lock;               // see above
};

struct RegistryHeader {
  uint64_t magic;         // kRegistryMagic once initialised
  uint32_t version;       // kRegistryVersion
  uint32_t size;          // sizeof(Registry)
  pthread_mutex_t lock;   // robust, process-shared: guards every table edit
  uint32_t next_tag;      // next handle tag to try, 1 to 4094
  uint32_t reserved;      // alignment
  uint64_t next_segment;  // number of the next mapping segment file
};

struct Registry {
  RegistryHeader header;
  ProcessSlot slots[kMaxProcesses];
  ObjectEntry objects[kMaxObjects];
  WindowEntry windows[kMaxWindows];
};

// Byte locks of the registry file: attach and detach serialise on byte 0;
// every attached process read-locks byte 1 (whoever can write-lock it is
// alone); slot i's holder write-locks byte kSlotLockBase + i.
inline constexpr off_t kAttachLockByte = 0;
inline constexpr off_t kPresenceLockByte = 1;
inline constexpr off_t kSlotLockBase = 2;

// Takes back what the dead process in `slot` counted as waiting on the
// auto-reset event `entry` (event.cpp). Registry lock held.
void ForgetDeadWaiters(ObjectEntry& entry, uint32_t slot);

static_assert(std::atomic<uint16_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(sizeof(ObjectEntry) % 8 == 0);
static_assert(sizeof(Registry) < 1024 * 1024);

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_REGISTRY_H
