#include "platform/posix/named_object.h"

#include <string>

#include "platform/handles.h"
#include "platform/posix/last_error.h"

namespace zel::platform::internal {
namespace {

// Takes a further hold on an entry found by name into `hold`. Registry lock
// held.
std::shared_ptr<EntryHold> HoldFound(Instance& instance, ObjectEntry& entry, ObjectType type,
                                     std::shared_ptr<EntryHold> hold) {
  if (entry.type != type) {
    SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!instance.AddHoldLocked(entry)) return nullptr;
  hold->Adopt(instance, entry);
  return hold;
}

}  // namespace

std::shared_ptr<EntryHold> CreateNamed(const char* name, ObjectType type,
                                       const Initialiser& initialise, bool* existed) {
  *existed = false;
  std::string normalised;
  if (!NormaliseObjectName(name, &normalised)) return nullptr;
  Instance* instance = Instance::Get();
  if (instance == nullptr) return nullptr;
  auto hold = std::make_shared<EntryHold>();
  Instance::Lock lock(*instance);
  // Holds of dead processes must not keep a name alive.
  instance->ReapDeadLocked();
  if (ObjectEntry* found = instance->FindLocked(normalised)) {
    *existed = true;
    return HoldFound(*instance, *found, type, std::move(hold));
  }
  ObjectEntry* entry = instance->AllocateLocked(normalised, type);
  if (entry == nullptr) return nullptr;
  if (!initialise(*instance, *entry)) {
    DWORD error = GetLastError();
    instance->DropHoldLocked(*entry);
    SetError(error);
    return nullptr;
  }
  RegistryEditPoint();
  Instance::Publish(*entry);
  RegistryEditPoint();
  hold->Adopt(*instance, *entry);
  return hold;
}

std::shared_ptr<EntryHold> OpenNamed(const char* name, ObjectType type) {
  if (name == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string normalised;
  if (!NormaliseObjectName(name, &normalised)) return nullptr;
  Instance* instance = Instance::Get();
  if (instance == nullptr) return nullptr;
  auto hold = std::make_shared<EntryHold>();
  Instance::Lock lock(*instance);
  instance->ReapDeadLocked();
  ObjectEntry* found = instance->FindLocked(normalised);
  if (found == nullptr) {
    SetError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return HoldFound(*instance, *found, type, std::move(hold));
}

}  // namespace zel::platform::internal
