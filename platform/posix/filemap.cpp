// File mappings: a named mapping is a segment file "map.<n>" in the
// instance's folder with a registry entry; an unnamed one is a memfd. Views
// keep their mapping object, and so this process's hold on the name, alive.
#include "platform/filemap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>

#include "platform/handles.h"
#include "platform/posix/address_space.h"
#include "platform/posix/barrier.h"
#include "platform/posix/last_error.h"
#include "platform/posix/named_object.h"
#include "base/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

using internal::EntryHold;

class MappingObject : public HandleObject {
 public:
  MappingObject(std::shared_ptr<EntryHold> hold, int fd, uint64_t size, bool writable)
      : HandleObject(HandleKind::kFileMapping),
        hold_(std::move(hold)),
        fd_(fd),
        size_(size),
        writable_(writable) {}
  ~MappingObject() override { close(fd_); }

  int fd() const { return fd_; }
  uint64_t size() const { return size_; }
  bool writable() const { return writable_; }

 private:
  std::shared_ptr<EntryHold> hold_;  // null for a mapping of this process only
  const int fd_;
  const uint64_t size_;
  const bool writable_;
};

struct View {
  size_t length;
  std::shared_ptr<MappingObject> mapping;  // keeps the mapping alive
};

std::mutex g_views_mutex;
std::map<const void*, View>* g_views;  // guarded by g_views_mutex; never destroyed

std::map<const void*, View>& Views() {
  if (g_views == nullptr) g_views = new std::map<const void*, View>();
  return *g_views;
}

std::string SegmentName(uint64_t segment) { return "map." + std::to_string(segment); }

// Makes the segment file of a new named mapping and returns its descriptor
// through `fd`. Registry lock held.
bool CreateSegment(internal::Instance& instance, internal::ObjectEntry& entry, uint64_t size,
                   DWORD protect, int* fd) {
  entry.mapping_segment = instance.NextSegmentLocked();
  entry.mapping_size = size;
  entry.mapping_protect = protect;
  *fd = instance.OpenFile(SegmentName(entry.mapping_segment), O_RDWR | O_CREAT | O_EXCL);
  if (*fd < 0) return false;
  // Committed now, so that a full file system fails the creation cleanly
  // rather than a later store with SIGBUS.
  int error = posix_fallocate(*fd, 0, static_cast<off_t>(size));
  if (error == 0) return true;
  close(*fd);
  *fd = -1;
  unlink(instance.FilePath(SegmentName(entry.mapping_segment)).c_str());
  return internal::Fail(error == ENOSPC ? ERROR_NOT_ENOUGH_MEMORY
                                        : internal::ErrorFromErrno(error));
}

int OpenSegment(const EntryHold& hold) {
  const internal::ObjectEntry& entry = hold.entry();
  int flags = entry.mapping_protect == PAGE_READONLY ? O_RDONLY : O_RDWR;
  return hold.instance().OpenFile(SegmentName(entry.mapping_segment), flags);
}

HANDLE CreateLocal(uint64_t size, bool writable) {
  int fd = memfd_create("zel mapping", MFD_CLOEXEC);
  if (fd < 0) {
    internal::SetErrorFromErrno(errno);
    return 0;
  }
  int error = posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (error != 0) {
    close(fd);
    internal::SetError(error == ENOSPC ? ERROR_NOT_ENOUGH_MEMORY : internal::ErrorFromErrno(error));
    return 0;
  }
  HANDLE handle = InsertHandle(std::make_shared<MappingObject>(nullptr, fd, size, writable));
  if (handle != 0) internal::SetError(NO_ERROR);
  return handle;
}

}  // namespace

namespace internal {

void LockViewsForFork() { g_views_mutex.lock(); }

void UnlockViewsAfterFork() { g_views_mutex.unlock(); }

}  // namespace internal

HANDLE CreateFileMapping(DWORD protect, uint64_t size, const char* name) noexcept try {
  if (size == 0 || (protect != PAGE_READONLY && protect != PAGE_READWRITE)) {
    internal::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (internal::Unnamed(name)) return CreateLocal(size, protect == PAGE_READWRITE);
  int fd = -1;
  auto initialise = [&](internal::Instance& instance, internal::ObjectEntry& entry) {
    return CreateSegment(instance, entry, size, protect, &fd);
  };
  bool existed = false;
  auto hold = internal::CreateNamed(name, internal::ObjectType::kMapping, initialise, &existed);
  if (hold == nullptr) return 0;
  if (existed) fd = OpenSegment(*hold);
  if (fd < 0) return 0;
  uint64_t actual_size = hold->entry().mapping_size;
  bool writable = hold->entry().mapping_protect == PAGE_READWRITE;
  HANDLE handle =
      InsertHandle(std::make_shared<MappingObject>(std::move(hold), fd, actual_size, writable));
  if (handle != 0) internal::SetError(existed ? ERROR_ALREADY_EXISTS : NO_ERROR);
  return handle;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(HANDLE{0});
}

HANDLE OpenFileMapping(DWORD, bool, const char* name) noexcept try {
  auto hold = internal::OpenNamed(name, internal::ObjectType::kMapping);
  if (hold == nullptr) return 0;
  int fd = OpenSegment(*hold);
  if (fd < 0) return 0;
  uint64_t size = hold->entry().mapping_size;
  bool writable = hold->entry().mapping_protect == PAGE_READWRITE;
  return InsertHandle(std::make_shared<MappingObject>(std::move(hold), fd, size, writable));
} catch (...) {
  return ZEL_PLATFORM_FAILURE(HANDLE{0});
}

void* MapViewOfFileEx(HANDLE mapping, DWORD desired_access, uint64_t offset, size_t bytes,
                      void* base_address) noexcept try {
  auto object = ReferenceHandleAs<MappingObject>(mapping, HandleKind::kFileMapping);
  if (object == nullptr) return nullptr;
  bool write = (desired_access & FILE_MAP_WRITE) != 0;
  if (write && !object->writable()) {
    internal::SetError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  if (offset % page != 0 || offset >= object->size()) {
    internal::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (bytes == 0) bytes = object->size() - offset;
  if (bytes > object->size() - offset) {
    internal::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* view =
      internal::MapShared(base_address, bytes, write, object->fd(), static_cast<off_t>(offset));
  if (view == nullptr) {
    if (base_address != nullptr)
      trace::Rc("PL", -50, "MapViewOfFileEx() address in use: ",
                static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base_address)));
    return nullptr;
  }
  std::lock_guard guard(g_views_mutex);
  Views()[view] = View{bytes, std::move(object)};
  return view;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(nullptr);
}

void* MapViewOfFile(HANDLE mapping, DWORD desired_access, uint64_t offset, size_t bytes) noexcept {
  return MapViewOfFileEx(mapping, desired_access, offset, bytes, nullptr);
}

bool UnmapViewOfFile(const void* base_address) noexcept try {
  std::shared_ptr<MappingObject> mapping;  // released after the lock
  std::lock_guard guard(g_views_mutex);
  auto found = Views().find(base_address);
  if (found == Views().end()) return internal::Fail(ERROR_INVALID_ADDRESS);
  internal::UnmapShared(const_cast<void*>(base_address), found->second.length);
  mapping = std::move(found->second.mapping);
  Views().erase(found);
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

}  // namespace zel::platform
