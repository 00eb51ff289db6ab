// Handles and the per-thread last error.
//
// Every object a process opens (mutexes, events, file mappings, pipe ends,
// threads, processes, modules, enumerations, and the objects of other
// libraries that register their own kinds) is reached through a 32-bit
// handle of this process's handle table. A handle carries a tag that is
// unique among the live processes of the instance, so a handle read from a
// shared record in another process is refused with ERROR_INVALID_HANDLE,
// never taken for a different object of that process. A closed handle is
// refused as well; its value returns only after some 65,000 later closes.
//
// The table is thread-safe: any thread may insert, look up and close. An
// object lives while a handle or a reference obtained by a look-up holds it,
// so closing a handle that another thread is waiting on lets that wait end
// normally.
//
// Failing functions set the calling thread's last error (GetLastError);
// successful ones leave it alone unless their comment says otherwise. No
// function of the platform throws: one that runs out of memory fails as its
// comment says with ERROR_NOT_ENOUGH_MEMORY, and any other exception inside
// gives that failure with ERROR_INTERNAL_ERROR.
#ifndef ZEL_PLATFORM_HANDLES_H
#define ZEL_PLATFORM_HANDLES_H

#include <memory>
#include <string>
#include <utility>

#include "platform/types.h"

namespace zel::platform {

// What kind of object a handle refers to. The platform's own kinds are
// fixed; other libraries obtain theirs from RegisterHandleKind.
enum class HandleKind : uint32_t {
  kNone = 0,
  kMutex = 1,
  kEvent = 2,
  kFileMapping = 3,
  kPipe = 4,
  kThread = 5,
  kProcess = 6,
  kModule = 7,
  kNetEnum = 8,
  kFirstUser = 256,  // first kind handed out by RegisterHandleKind
};

// Hands out a new kind for a library's own objects (connection system
// objects, data-queue handles, ...). `name` appears in traces only. Any
// thread; never fails.
ZEL_PLATFORM_EXPORT HandleKind RegisterHandleKind(const char* name) noexcept;

// Base of every object kept in the handle table. A library derives its own
// object type from it, with the kind it registered.
class ZEL_PLATFORM_EXPORT HandleObject {
 public:
  explicit HandleObject(HandleKind kind) noexcept : kind_(kind) {}
  virtual ~HandleObject();
  HandleObject(const HandleObject&) = delete;
  HandleObject& operator=(const HandleObject&) = delete;

  HandleKind kind() const noexcept { return kind_; }

  // WaitForSingleObject on a handle of this object: WAIT_OBJECT_0,
  // WAIT_ABANDONED, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
  // Objects that cannot be waited on keep this default, which fails with
  // ERROR_INVALID_HANDLE. Called by WaitForSingleObject only, which turns
  // an exception of an override into its own failure.
  virtual DWORD Wait(DWORD timeout_ms);

 private:
  const HandleKind kind_;
};

// Puts `object` into the table and returns its new handle. Returns 0 with
// ERROR_INVALID_PARAMETER for a null object, ERROR_NO_SYSTEM_RESOURCES when
// the table is full (16,384 handles). Any thread.
ZEL_PLATFORM_EXPORT HANDLE InsertHandle(std::shared_ptr<HandleObject> object) noexcept;

// The object behind `handle` when it is an open handle of this process and
// of `kind` (HandleKind::kNone: of any kind); null with ERROR_INVALID_HANDLE
// otherwise. The reference keeps the object alive after the handle is
// closed. Any thread.
ZEL_PLATFORM_EXPORT std::shared_ptr<HandleObject> ReferenceHandle(HANDLE handle,
                                                                  HandleKind kind) noexcept;

// ReferenceHandle for a derived type T whose objects are all of `kind`.
template <class T>
std::shared_ptr<T> ReferenceHandleAs(HANDLE handle, HandleKind kind) {
  return std::static_pointer_cast<T>(ReferenceHandle(handle, kind));
}

// Closes a handle of any kind. The object goes when its last handle and
// reference go; for a named object that is the last close in this process,
// and the object itself disappears with the last one in the instance.
// False with ERROR_INVALID_HANDLE for a handle that is not open here.
ZEL_PLATFORM_EXPORT bool CloseHandle(HANDLE handle) noexcept;

// CloseHandle that refuses, with ERROR_INVALID_HANDLE, a handle of another
// kind, so that a library's delete function never closes a stranger.
ZEL_PLATFORM_EXPORT bool CloseHandleOfKind(HANDLE handle, HandleKind kind) noexcept;

// Owns one handle of this process and closes it with `kClose` when it goes
// (CloseHandle for most kinds; module.h has one for FreeLibrary), so that
// every return path closes it. Move-only; 0 means none. Close() closes at
// once and returns the close call's result, for callers that check it; on
// an empty owner that is false with ERROR_INVALID_HANDLE. Not thread-safe:
// one owner belongs to one thread at a time.
template <bool (*kClose)(HANDLE) noexcept>
class UniqueHandleOf {
 public:
  UniqueHandleOf() noexcept = default;
  explicit UniqueHandleOf(HANDLE handle) noexcept : handle_(handle) {}
  UniqueHandleOf(UniqueHandleOf&& other) noexcept : handle_(other.Release()) {}
  UniqueHandleOf& operator=(UniqueHandleOf&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  ~UniqueHandleOf() { Reset(); }

  HANDLE get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != 0; }

  // Gives the handle up without closing it.
  HANDLE Release() noexcept { return std::exchange(handle_, 0); }

  // Closes the handle held, if any, and holds `handle` instead.
  void Reset(HANDLE handle = 0) noexcept {
    HANDLE old = std::exchange(handle_, handle);
    if (old != 0) kClose(old);
  }

  bool Close() noexcept { return kClose(Release()); }

 private:
  HANDLE handle_ = 0;
};

using UniqueHandle = UniqueHandleOf<&CloseHandle>;

// How many handles this process has open, for leak checks in tests and in
// diagnosis; 0 with the last error set if the count fails. Any thread.
ZEL_PLATFORM_EXPORT size_t OpenHandleCount() noexcept;

// Waits for a mutex, event, process or thread (or a library object that
// overrides HandleObject::Wait) for up to `timeout_ms`, or without limit for
// INFINITE; 0 tests and returns at once. Returns WAIT_OBJECT_0 (mutex
// acquired, event signalled, process or thread ended), WAIT_ABANDONED (the
// mutex was acquired from an owner that died), WAIT_TIMEOUT, or WAIT_FAILED
// with the last error set (ERROR_INVALID_HANDLE for a bad handle).
ZEL_PLATFORM_EXPORT DWORD WaitForSingleObject(HANDLE handle, DWORD timeout_ms) noexcept;

// Options of DuplicateHandle.
inline constexpr DWORD DUPLICATE_CLOSE_SOURCE = 0x1;
inline constexpr DWORD DUPLICATE_SAME_ACCESS = 0x2;

// Pseudo-handle that names the calling process wherever a process handle is
// expected; it needs no closing.
ZEL_PLATFORM_EXPORT HANDLE GetCurrentProcess() noexcept;
ZEL_PLATFORM_EXPORT DWORD GetCurrentProcessId() noexcept;
ZEL_PLATFORM_EXPORT DWORD GetCurrentThreadId() noexcept;

// Makes a second handle of this process to the object of `source_handle`
// (both refer to one object; closing one leaves the other open). Both
// process handles must name the calling process (GetCurrentProcess, or an
// OpenProcess handle of it): handle values mean nothing in another process,
// so duplication into or out of one fails with ERROR_NOT_SUPPORTED.
// `desired_access` and `inherit_handle` are accepted for the callers' sake;
// a duplicate has all access and is never inherited. With
// DUPLICATE_CLOSE_SOURCE the source handle is closed. False with the last
// error set on failure, `*target_handle` then 0.
ZEL_PLATFORM_EXPORT bool DuplicateHandle(HANDLE source_process, HANDLE source_handle,
                                         HANDLE target_process, HANDLE* target_handle,
                                         DWORD desired_access, bool inherit_handle,
                                         DWORD options) noexcept;

// The calling thread's last error, as set by the last failing platform call
// (or SetLastError).
ZEL_PLATFORM_EXPORT DWORD GetLastError() noexcept;
ZEL_PLATFORM_EXPORT void SetLastError(DWORD error) noexcept;

// The text of an error number, for traces: "The handle is invalid." and
// the like; unknown numbers read "Error <n>". When the last error came from
// a failing system call, the text of the thread's last error also carries
// the call's errno text (GetLastErrorText). Empty, with the last error set,
// when there is no memory for the text.
ZEL_PLATFORM_EXPORT std::string FormatErrorMessage(DWORD error) noexcept;

// The calling thread's last error as text, with its number and, when a
// system call caused it, the system's own text. btGetSysErrorText shows
// this once libzelplat is loaded, without allocating. Empty, the last error
// then set to say why, when there is no memory for the text.
ZEL_PLATFORM_EXPORT std::string GetLastErrorText() noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_HANDLES_H
