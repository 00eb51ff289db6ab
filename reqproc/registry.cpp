// The table of registered programs and its records in the 3rd-party list.
#include "reqproc/registry.h"

#include <cctype>
#include <cstring>
#include <mutex>

#include "base/trace.h"
#include "platform/filemap.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "vqzmcb.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmctw")

namespace zel::reqproc {
namespace {

constexpr char kTableName[] = "ZELCRPROGRAMS";
constexpr char kLockName[] = "ZELCRPROGRAMSLOCK";

struct Slot {
  char name[kMaxNameLength + 1];  // empty: a free slot
  uint32_t hwnd;
  uint16_t msg;
};

struct Table {
  Slot slots[kMaxRegistered];
};

// This process's handles to the table; kept for the life of the process so
// that the table lives as long as a process that may register is there.
struct Shared {
  platform::HANDLE lock = 0;
  Table* table = nullptr;
};

Shared* Attach() {
  static std::mutex attach_mutex;
  static Shared shared;
  std::lock_guard guard(attach_mutex);
  if (shared.table != nullptr) return &shared;
  platform::HANDLE lock = platform::CreateMutex(false, kLockName);
  platform::HANDLE mapping =
      platform::CreateFileMapping(platform::PAGE_READWRITE, sizeof(Table), kTableName);
  void* view = mapping == 0 ? nullptr
                            : platform::MapViewOfFile(mapping, platform::FILE_MAP_ALL_ACCESS, 0, 0);
  if (lock == 0 || view == nullptr) {
    ZEL_ERROR_POINT("EXT_PROGRAM_TABLE");
    trace::Rc("CR", -100, "program table not reached, error", platform::GetLastError());
    if (lock != 0) platform::CloseHandle(lock);
    if (mapping != 0) platform::CloseHandle(mapping);
    return nullptr;
  }
  shared.lock = lock;
  shared.table = static_cast<Table*>(view);
  return &shared;
}

// The table under its lock for the life of the object; table() is null when
// it cannot be reached.
class Locked {
 public:
  Locked() : shared_(Attach()) {
    if (shared_ == nullptr) return;
    platform::DWORD wait = platform::WaitForSingleObject(shared_->lock, platform::INFINITE);
    if (wait != platform::WAIT_OBJECT_0 && wait != platform::WAIT_ABANDONED) shared_ = nullptr;
  }
  ~Locked() {
    if (shared_ != nullptr) platform::ReleaseMutex(shared_->lock);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  Table* table() const { return shared_ != nullptr ? shared_->table : nullptr; }

  Slot* Find(const std::string& name) const {
    for (Slot& slot : table()->slots) {
      if (name == slot.name) return &slot;
    }
    return nullptr;
  }

 private:
  Shared* shared_;
};

void AddThirdParty(const std::string& name) {
  ThirdPartyStruct* record = nullptr;
  if (cbInit3rdPartyStruct(&record) != 0 || record == nullptr) return;
  memcpy(record->szPgmID, name.c_str(), name.size() + 1);
  cbAdd3rdPartyStruct(record);
}

bool DeleteThirdParty(const std::string& name) {
  ThirdPartyStruct* record = cbRet3rdPartyFromPgmID(name.c_str());
  if (record == nullptr) return false;
  cbDelete3rdPartyStruct(record);
  return true;
}

}  // namespace

std::string UpperName(const char* name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

uint16_t Register(const std::string& name, uint32_t hwnd, uint16_t msg) {
  Locked locked;
  if (locked.table() == nullptr) return VQZM_RC_INTERNAL_ERROR;
  if (locked.Find(name) != nullptr) return VQZM_RC_PROGRAM_REGISTERED;
  Slot* free_slot = locked.Find("");
  if (free_slot == nullptr && ZEL_ERROR_POINT("PROGRAM_TABLE_FULL")) {
    trace::String("CR", -100, "no room to register", name.c_str());
    return VQZM_RC_NO_MEMORY;
  }
  memcpy(free_slot->name, name.c_str(), name.size() + 1);
  free_slot->hwnd = hwnd;
  free_slot->msg = msg;
  AddThirdParty(name);
  return 0;
}

uint16_t Unregister(const std::string& name) {
  Locked locked;
  if (locked.table() == nullptr) return VQZM_RC_INTERNAL_ERROR;
  Slot* slot = locked.Find(name);
  if (slot == nullptr) return VQZM_RC_PROGRAM_NOT_REGISTERED;
  *slot = Slot{};
  DeleteThirdParty(name);
  return 0;
}

std::optional<Registration> FindRegistration(const std::string& name) {
  Locked locked;
  if (locked.table() == nullptr || name.empty()) return std::nullopt;
  Slot* slot = locked.Find(name);
  if (slot == nullptr) return std::nullopt;
  return Registration{slot->hwnd, slot->msg};
}

void DropRegistration(const std::string& name, uint32_t hwnd) {
  Locked locked;
  if (locked.table() == nullptr) return;
  Slot* slot = locked.Find(name);
  if (slot == nullptr || slot->hwnd != hwnd) return;
  trace::String("CR", 100, "window gone, registration dropped", name.c_str());
  *slot = Slot{};
  DeleteThirdParty(name);
}

bool DropLeftOver(const std::string& name) {
  Locked locked;
  if (locked.table() == nullptr || locked.Find(name) != nullptr) return false;
  if (!DeleteThirdParty(name)) return false;
  trace::String("CR", 100, "registering process gone, name dropped", name.c_str());
  return true;
}

}  // namespace zel::reqproc
