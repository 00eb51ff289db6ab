#include "services/connection/handles.h"

#include <unistd.h>

#include <mutex>
#include <random>
#include <unordered_map>

namespace zel::qlx {
namespace {

constexpr uint32_t kSlotBits = 20;
constexpr uint32_t kSlotMask = (1u << kSlotBits) - 1;

struct Slot {
  HandleKind kind;
  std::shared_ptr<void> object;
};

struct Table {
  std::mutex mutex;
  pid_t pid = 0;
  uint32_t tag = 0;
  uint32_t next = 1;
  std::unordered_map<uint32_t, Slot>* slots = nullptr;

  // Called with the mutex held: a new process gets a new tag and table.
  void ForThisProcess() {
    pid_t now = getpid();
    if (pid == now) return;
    // A forked child leaves its parent's objects alone: destroying them
    // would join threads that do not exist here.
    slots = new std::unordered_map<uint32_t, Slot>();
    std::random_device random;
    uint32_t drawn = (random() ^ static_cast<uint32_t>(now) * 2654435761u) & 0xFFF;
    tag = drawn == 0 ? 1 : drawn;
    pid = now;
    next = 1;
  }
};

Table& TheTable() {
  static Table* table = new Table();  // outlives every static destructor
  return *table;
}

}  // namespace

uint32_t AddHandle(HandleKind kind, std::shared_ptr<void> object) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  table.ForThisProcess();
  for (uint32_t tries = 0; tries < kSlotMask; ++tries) {
    uint32_t slot = table.next;
    table.next = table.next == kSlotMask ? 1 : table.next + 1;
    uint32_t handle = table.tag << kSlotBits | slot;
    if (table.slots->count(handle) != 0) continue;
    table.slots->emplace(handle, Slot{kind, std::move(object)});
    return handle;
  }
  return 0;
}

std::shared_ptr<void> FindHandle(uint32_t handle, HandleKind kind) {
  Table& table = TheTable();
  std::lock_guard lock(table.mutex);
  table.ForThisProcess();
  auto it = table.slots->find(handle);
  if (it == table.slots->end() || it->second.kind != kind) return nullptr;
  return it->second.object;
}

std::shared_ptr<void> RemoveHandle(uint32_t handle, HandleKind kind) {
  std::shared_ptr<void> object;
  {
    Table& table = TheTable();
    std::lock_guard lock(table.mutex);
    table.ForThisProcess();
    auto it = table.slots->find(handle);
    if (it == table.slots->end() || it->second.kind != kind) return nullptr;
    object = std::move(it->second.object);
    table.slots->erase(it);
  }
  return object;  // destroyed by the caller, outside the lock
}

}  // namespace zel::qlx
