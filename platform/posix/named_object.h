// Creating and opening the named objects of the instance registry (mutexes,
// events, file mappings), and the hold that a process keeps on one.
#ifndef ZEL_PLATFORM_POSIX_NAMED_OBJECT_H
#define ZEL_PLATFORM_POSIX_NAMED_OBJECT_H

#include <functional>
#include <memory>

#include "platform/posix/instance.h"

namespace zel::platform::internal {

// One hold of this process on a registry entry. The entry's body stays at
// its address while any hold exists; the object is freed with the last hold
// of the instance. It is made empty before the registry lock is taken, so
// that nothing can fail between taking a hold and handing it over. Once it
// holds an entry it must not be destroyed with the registry lock held.
class EntryHold {
 public:
  EntryHold() = default;
  ~EntryHold() {
    if (entry_ != nullptr) instance_->DropHold(*entry_);
  }
  EntryHold(const EntryHold&) = delete;
  EntryHold& operator=(const EntryHold&) = delete;

  // Takes over the hold this process has just taken on `entry`, once.
  // Registry lock held.
  void Adopt(Instance& instance, ObjectEntry& entry) {
    instance_ = &instance;
    entry_ = &entry;
  }

  // The entry and its instance; only for a hold that CreateNamed or
  // OpenNamed returned.
  ObjectEntry& entry() const { return *entry_; }
  Instance& instance() const { return *instance_; }

 private:
  Instance* instance_ = nullptr;
  ObjectEntry* entry_ = nullptr;  // null until a hold is adopted
};

// Fills the body of a new entry with the registry lock held; false (with
// the last error set) abandons the creation.
using Initialiser = std::function<bool(Instance& instance, ObjectEntry& entry)>;

// Opens the object `name` of `type`, or creates it with `initialise` when it
// does not exist. `*existed` tells which. Null with the last error set:
// ERROR_INVALID_HANDLE when the name belongs to another type, the name
// errors of NormaliseObjectName, ERROR_NO_SYSTEM_RESOURCES when the table is
// full, or the error of attaching or of `initialise`.
std::shared_ptr<EntryHold> CreateNamed(const char* name, ObjectType type,
                                       const Initialiser& initialise, bool* existed);

// Opens the existing object `name` of `type`. Null with ERROR_FILE_NOT_FOUND
// when no live process holds it, ERROR_INVALID_HANDLE when the name belongs
// to another type, ERROR_INVALID_PARAMETER for a null name.
std::shared_ptr<EntryHold> OpenNamed(const char* name, ObjectType type);

// True for a name that makes an object only this process can reach.
inline bool Unnamed(const char* name) { return name == nullptr || name[0] == '\0'; }

}  // namespace zel::platform::internal

#endif  // ZEL_PLATFORM_POSIX_NAMED_OBJECT_H
