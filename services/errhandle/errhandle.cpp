// Error handles: objects of the platform's handle table under a kind of
// their own; the table refuses handles of other processes, closed ones and
// those of other kinds.
#include "services/errhandle.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "base/barrier.h"
#include "services/connection/error_report.h"
#include "services/connection/service_object.h"

ZEL_MODULE("QlxSv")

namespace zel::qlx {
namespace {

HandleKind ErrorKind() {
  static const HandleKind kind = platform::RegisterHandleKind("qlx error handle");
  return kind;
}

// This process's error handles against QLXSV_MAX_HANDLES. A forked child
// starts from none: it can neither use nor delete its parent's.
class Quota {
 public:
  bool Take() {
    std::lock_guard lock(mutex_);
    ForThisProcess();
    if (live_ == QLXSV_MAX_HANDLES) return false;
    ++live_;
    return true;
  }

  void Give() {
    std::lock_guard lock(mutex_);
    ForThisProcess();
    if (live_ > 0) --live_;
  }

 private:
  void ForThisProcess() {
    platform::DWORD now = platform::GetCurrentProcessId();
    if (pid_ == now) return;
    pid_ = now;
    live_ = 0;
  }

  std::mutex mutex_;
  platform::DWORD pid_ = 0;  // the process `live_` counts for; guarded by mutex_
  int live_ = 0;   // its error handles that exist; guarded by mutex_
};

Quota& TheQuota() {
  static Quota* quota = new Quota;  // outlives every static destructor
  return *quota;
}

// A forked child's quota gets a fresh lock: a thread of the parent may have
// held the old one at the fork. (Its count starts over at first use.)
void FreshQuotaInChild() { std::construct_at(&TheQuota()); }

[[gnu::constructor]] void WatchForks() { pthread_atfork(nullptr, nullptr, FreshQuotaInChild); }

// Made only with a share of the quota, which it gives back as it goes.
struct ErrorObject : ServiceObject {
  ErrorObject() : ServiceObject(ErrorKind()) {}
  ~ErrorObject() override {
    if (MadeHere()) TheQuota().Give();
  }

  std::mutex mutex;     // guards the fields below
  uint32_t number = 0;  // error number last recorded
  std::string text;     // "QLX<number>: <text>", at most 255 characters
};

std::shared_ptr<ErrorObject> Find(uint32_t handle) {
  return Reference<ErrorObject>(handle, ErrorKind());
}

}  // namespace

uint32_t SetError(uint32_t handle, uint32_t number, std::string_view text) {
  std::shared_ptr<ErrorObject> error = Find(handle);
  if (error == nullptr) return QLXSV_INVALID_HANDLE;
  char prefix[24];
  snprintf(prefix, sizeof prefix, "QLX%04u: ", number);
  std::string full = prefix;
  full.append(text.substr(0, QLXSV_MAX_TEXT - 1 - full.size()));
  std::lock_guard lock(error->mutex);
  error->number = number;
  error->text = std::move(full);
  return QLXSV_OK;
}

bool IsValidErrHandle(uint32_t handle) { return Find(handle) != nullptr; }

uint32_t ErrorNumber(uint32_t handle) {
  std::shared_ptr<ErrorObject> error = Find(handle);
  if (error == nullptr) return 0;
  std::lock_guard lock(error->mutex);
  return error->number;
}

}  // namespace zel::qlx

using namespace zel::qlx;

extern "C" {

uint32_t qlxSV_CreateErrHandle(uint32_t* handle) noexcept try {
  if (handle == nullptr) return QLXSV_INVALID_POINTER;
  *handle = 0;
  if (!TheQuota().Take()) return QLXSV_NO_MORE_HANDLES;
  // From here the object holds the share: it gives it back if the insert fails.
  *handle = Insert(std::make_shared<ErrorObject>());
  return *handle != 0 ? QLXSV_OK : QLXSV_NO_MORE_HANDLES;
} catch (...) {
  return ZEL_C_FAILURE(QLXSV_NO_MEMORY, QLXSV_INTERNAL_ERROR);
}

uint32_t qlxSV_DeleteErrHandle(uint32_t handle) noexcept try {
  return Close<ErrorObject>(handle, ErrorKind()) ? QLXSV_OK : QLXSV_INVALID_HANDLE;
} catch (...) {
  return ZEL_C_FAILURE(QLXSV_NO_MEMORY, QLXSV_INTERNAL_ERROR);
}

uint32_t qlxSV_GetErrText(uint32_t handle, char* buffer, uint32_t size) noexcept try {
  if (buffer == nullptr || size == 0) return QLXSV_INVALID_POINTER;
  buffer[0] = '\0';
  std::shared_ptr<ErrorObject> error = Find(handle);
  if (error == nullptr) return QLXSV_INVALID_HANDLE;
  std::lock_guard lock(error->mutex);
  size_t n = std::min<size_t>(error->text.size(), size - 1);
  memcpy(buffer, error->text.data(), n);
  buffer[n] = '\0';
  return QLXSV_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXSV_NO_MEMORY, QLXSV_INTERNAL_ERROR);
}

uint32_t qlxSV_GetLastFailText(char* buffer, uint32_t size) noexcept try {
  if (buffer == nullptr || size == 0) return QLXSV_INVALID_POINTER;
  const std::string& text = LastFailText();
  size_t n = std::min<size_t>(text.size(), size - 1);
  memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return QLXSV_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXSV_NO_MEMORY, QLXSV_INTERNAL_ERROR);
}

}  // extern "C"
