// Anonymous pipes and ReadFile/WriteFile on their handles.
#include "platform/pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/handles.h"
#include "platform/posix/barrier.h"
#include "platform/posix/last_error.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

// One end of a pipe; the descriptor closes with the last handle. Both ends
// are made before the pipe, so that nothing can fail while a descriptor has
// no owner.
class PipeEnd : public HandleObject {
 public:
  explicit PipeEnd(bool read_end) : HandleObject(HandleKind::kPipe), read_end_(read_end) {}
  ~PipeEnd() override {
    if (fd_ >= 0) close(fd_);
  }

  // Takes over the descriptor of this end, once.
  void Adopt(int fd) { fd_ = fd; }

  int fd() const { return fd_; }
  bool read_end() const { return read_end_; }

 private:
  int fd_ = -1;
  const bool read_end_;
};

std::shared_ptr<PipeEnd> End(HANDLE handle, bool read_end) {
  auto end = ReferenceHandleAs<PipeEnd>(handle, HandleKind::kPipe);
  if (end != nullptr && end->read_end() != read_end) {
    internal::SetError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return end;
}

// Blocks SIGPIPE on the calling thread for the duration of one write, and
// takes away a SIGPIPE that the write raised, so that a closed reader shows
// as ERROR_BROKEN_PIPE without touching the process's signal handling.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_, &saved_);
  }
  ~SigpipeGuard() {
    if (raised_ && !was_pending_) {
      timespec now{0, 0};
      sigtimedwait(&pipe_, nullptr, &now);
    }
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  void Raised() { raised_ = true; }

 private:
  sigset_t pipe_;
  sigset_t saved_;
  bool was_pending_ = false;
  bool raised_ = false;
};

}  // namespace

bool CreatePipe(HANDLE* read_handle, HANDLE* write_handle, DWORD size) noexcept try {
  if (read_handle == nullptr || write_handle == nullptr) {
    return internal::Fail(ERROR_INVALID_PARAMETER);
  }
  *read_handle = *write_handle = 0;
  auto reader = std::make_shared<PipeEnd>(true);
  auto writer = std::make_shared<PipeEnd>(false);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return internal::FailErrno(errno);
  reader->Adopt(fds[0]);
  writer->Adopt(fds[1]);
  // A size below the default is never applied: it could only lose atomicity.
  if (size > static_cast<DWORD>(fcntl(fds[1], F_GETPIPE_SZ))) {
    fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(size));
  }
  HANDLE read = InsertHandle(reader);
  HANDLE write = read != 0 ? InsertHandle(writer) : 0;
  if (write == 0) {
    if (read != 0) CloseHandle(read);
    return false;
  }
  *read_handle = read;
  *write_handle = write;
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

bool ReadFile(HANDLE handle, void* buffer, DWORD bytes_to_read, DWORD* bytes_read) noexcept try {
  if (bytes_read != nullptr) *bytes_read = 0;
  std::shared_ptr<PipeEnd> end = End(handle, true);
  if (end == nullptr) return false;
  if (buffer == nullptr && bytes_to_read != 0) return internal::Fail(ERROR_INVALID_PARAMETER);
  if (bytes_to_read == 0) return true;
  for (;;) {
    ssize_t count = read(end->fd(), buffer, bytes_to_read);
    if (count > 0) {
      if (bytes_read != nullptr) *bytes_read = static_cast<DWORD>(count);
      return true;
    }
    if (count == 0) return internal::Fail(ERROR_BROKEN_PIPE);
    if (errno != EINTR) return internal::FailErrno(errno);
  }
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

bool WriteFile(HANDLE handle, const void* buffer, DWORD bytes_to_write,
               DWORD* bytes_written) noexcept try {
  if (bytes_written != nullptr) *bytes_written = 0;
  std::shared_ptr<PipeEnd> end = End(handle, false);
  if (end == nullptr) return false;
  if (buffer == nullptr && bytes_to_write != 0) return internal::Fail(ERROR_INVALID_PARAMETER);
  SigpipeGuard guard;
  const char* data = static_cast<const char*>(buffer);
  DWORD written = 0;
  while (written < bytes_to_write) {
    ssize_t count = write(end->fd(), data + written, bytes_to_write - written);
    if (count > 0) {
      written += static_cast<DWORD>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EPIPE) guard.Raised();
    if (bytes_written != nullptr) *bytes_written = written;
    return internal::FailErrno(count < 0 ? errno : EIO);
  }
  if (bytes_written != nullptr) *bytes_written = written;
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

}  // namespace zel::platform
