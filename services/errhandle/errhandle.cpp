// Error handles: a per-process table of slots. A handle carries the low 16
// bits of the creating process's ID, the slot's generation and the slot
// index, so that a handle from another process or a deleted one is refused
// rather than taken for a live handle of this process.
#include "services/errhandle.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace zel::qlx {
namespace {

constexpr uint32_t kIndexBits = 10;
constexpr uint32_t kGenerationBits = 6;
constexpr uint32_t kIndexMask = (1u << kIndexBits) - 1;
constexpr uint32_t kGenerationMask = (1u << kGenerationBits) - 1;
static_assert((1u << kIndexBits) == QLXSV_MAX_HANDLES);

struct Slot {
  bool in_use = false;
  uint32_t generation = 0;  // 1..63 while in use, so that no handle is 0
  uint32_t number = 0;      // error number last recorded
  std::string text;         // "QLX<number>: <text>", at most 255 characters
};

class HandleTable {
 public:
  uint32_t Create(uint32_t* handle) {
    std::lock_guard lock(mutex_);
    for (uint32_t i = 0; i < slots_.size(); ++i) {
      uint32_t index = (next_ + i) % slots_.size();
      Slot& slot = slots_[index];
      if (slot.in_use) continue;
      slot = Slot{true, NextGeneration(slot.generation), 0, {}};
      next_ = index + 1;
      *handle = Encode(index, slot.generation);
      return QLXSV_OK;
    }
    return QLXSV_NO_MORE_HANDLES;
  }

  uint32_t Delete(uint32_t handle) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(handle);
    if (slot == nullptr) return QLXSV_INVALID_HANDLE;
    slot->in_use = false;
    slot->text.clear();
    return QLXSV_OK;
  }

  uint32_t Set(uint32_t handle, uint32_t number, std::string_view text) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(handle);
    if (slot == nullptr) return QLXSV_INVALID_HANDLE;
    slot->number = number;
    char prefix[24];
    snprintf(prefix, sizeof prefix, "QLX%04u: ", number);
    slot->text = prefix;
    slot->text.append(text.substr(0, QLXSV_MAX_TEXT - 1 - slot->text.size()));
    return QLXSV_OK;
  }

  uint32_t GetText(uint32_t handle, char* buffer, uint32_t size) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(handle);
    if (slot == nullptr) return QLXSV_INVALID_HANDLE;
    size_t n = std::min<size_t>(slot->text.size(), size - 1);
    memcpy(buffer, slot->text.data(), n);
    buffer[n] = '\0';
    return QLXSV_OK;
  }

  bool IsValid(uint32_t handle) {
    std::lock_guard lock(mutex_);
    return Find(handle) != nullptr;
  }

  uint32_t Number(uint32_t handle) {
    std::lock_guard lock(mutex_);
    Slot* slot = Find(handle);
    return slot ? slot->number : 0;
  }

 private:
  static uint32_t ProcessTag() { return static_cast<uint32_t>(getpid()) & 0xFFFF; }

  static uint32_t NextGeneration(uint32_t generation) {
    uint32_t next = (generation + 1) & kGenerationMask;
    return next == 0 ? 1 : next;
  }

  static uint32_t Encode(uint32_t index, uint32_t generation) {
    return ProcessTag() << 16 | generation << kIndexBits | index;
  }

  // The live slot `handle` names, or null. Caller holds mutex_.
  Slot* Find(uint32_t handle) {
    if (handle >> 16 != ProcessTag()) return nullptr;
    Slot& slot = slots_[handle & kIndexMask];
    uint32_t generation = (handle >> kIndexBits) & kGenerationMask;
    return slot.in_use && slot.generation == generation ? &slot : nullptr;
  }

  std::mutex mutex_;
  std::array<Slot, QLXSV_MAX_HANDLES> slots_;  // guarded by mutex_
  uint32_t next_ = 0;  // where the search for a free slot starts; guarded too
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // outlives every static destructor
  return *table;
}

}  // namespace

uint32_t SetError(uint32_t handle, uint32_t number, std::string_view text) {
  return Table().Set(handle, number, text);
}

bool IsValidErrHandle(uint32_t handle) { return Table().IsValid(handle); }

uint32_t ErrorNumber(uint32_t handle) { return Table().Number(handle); }

}  // namespace zel::qlx

extern "C" {

uint32_t qlxSV_CreateErrHandle(uint32_t* handle) {
  if (handle == nullptr) return QLXSV_INVALID_POINTER;
  *handle = 0;
  return zel::qlx::Table().Create(handle);
}

uint32_t qlxSV_DeleteErrHandle(uint32_t handle) { return zel::qlx::Table().Delete(handle); }

uint32_t qlxSV_GetErrText(uint32_t handle, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return QLXSV_INVALID_POINTER;
  buffer[0] = '\0';
  return zel::qlx::Table().GetText(handle, buffer, size);
}

}  // extern "C"
