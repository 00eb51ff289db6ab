// Process creation and process handles (pidfds).
#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/handles.h"
#include "platform/posix/barrier.h"
#include "platform/posix/clock.h"
#include "platform/posix/instance.h"
#include "platform/posix/last_error.h"
#include "base/trace.h"

extern char** environ;

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

constexpr char kTag[] = "PL";
constexpr DWORD kKnownCreationFlags =
    CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS | NORMAL_PRIORITY_CLASS;

// A process handle. For a process this one started, the handle also gives
// the exit code and reaps the process when closed after it ended. It is
// made before the process is opened (or started), so that nothing can fail
// between the two.
class ProcessObject : public HandleObject {
 public:
  explicit ProcessObject(bool started_here)
      : HandleObject(HandleKind::kProcess), started_here_(started_here) {}

  ~ProcessObject() override {
    if (pidfd_ < 0) return;
    if (started_here_) {
      siginfo_t info{};
      waitid(P_PIDFD, static_cast<id_t>(pidfd_), &info, WEXITED | WNOHANG);
    }
    close(pidfd_);
  }

  // Opens the process `pid`, once; false with the last error set
  // (ERROR_INVALID_PARAMETER when there is no such process).
  bool Open(pid_t pid) {
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd_ < 0) return internal::FailErrno(errno == ESRCH ? EINVAL : errno);
    pid_ = pid;
    return true;
  }

  DWORD Wait(DWORD timeout_ms) override {
    internal::Deadline deadline = internal::Deadline::After(timeout_ms);
    for (;;) {
      pollfd ready{pidfd_, POLLIN, 0};
      int count = poll(&ready, 1, deadline.RemainingMs());
      if (count > 0) return WAIT_OBJECT_0;
      if (count == 0) return WAIT_TIMEOUT;
      if (errno != EINTR) {
        internal::SetErrorFromErrno(errno);
        return WAIT_FAILED;
      }
    }
  }

  DWORD ExitCode() const {
    if (!started_here_) return Ended() ? 0 : STILL_ACTIVE;
    siginfo_t info{};
    if (waitid(P_PIDFD, static_cast<id_t>(pidfd_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid == 0) {
      return STILL_ACTIVE;
    }
    if (info.si_code == CLD_EXITED) return static_cast<DWORD>(info.si_status);
    return 128 + static_cast<DWORD>(info.si_status);
  }

  pid_t pid() const { return pid_; }

 private:
  bool Ended() const {
    pollfd ready{pidfd_, POLLIN, 0};
    return poll(&ready, 1, 0) > 0;
  }

  pid_t pid_ = 0;
  int pidfd_ = -1;
  const bool started_here_;
};

// Opens the process `pid` into `object` and returns its new handle; 0 with
// the last error set.
HANDLE InsertProcess(std::shared_ptr<ProcessObject> object, pid_t pid) {
  if (!object->Open(pid)) return 0;
  return InsertHandle(std::move(object));
}

// Counts the backslashes from `position`.
size_t Backslashes(std::string_view text, size_t position) {
  size_t count = 0;
  while (position + count < text.size() && text[position + count] == '\\') ++count;
  return count;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Starts `program` with `argv` as `creation_flags` ask. Returns 0 or an
// errno value.
int Spawn(const std::string& program, std::vector<std::string>& argv, DWORD creation_flags,
          pid_t* pid) {
  bool detached = (creation_flags & DETACHED_PROCESS) != 0;
  std::vector<char*> pointers;
  for (std::string& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (detached) {
    // A session leader may not change its group: setsid alone gives one.
    flags |= POSIX_SPAWN_SETSID;
  } else if ((creation_flags & CREATE_NEW_PROCESS_GROUP) != 0) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  posix_spawnattr_setflags(&attributes, flags);
  // A writer blocks SIGPIPE around pipe writes; the child starts clean.
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigaddset(&signals, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &signals);

  // Only standard input, output and error reach the child, and a detached
  // one gets /dev/null in their place.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (detached) {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, STDERR_FILENO);
  }
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  bool search = program.find('/') == std::string::npos;
  int error =
      search ? posix_spawnp(pid, program.c_str(), &actions, &attributes, pointers.data(), environ)
             : posix_spawn(pid, program.c_str(), &actions, &attributes, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return error;
}

// CommandLineToArgv, with the exceptions left to the caller's barrier.
std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> arguments;
  size_t position = 0;
  for (;;) {
    while (position < line.size() && IsBlank(line[position])) ++position;
    if (position >= line.size()) return arguments;
    std::string argument;
    bool quoted = false;
    while (position < line.size()) {
      char c = line[position];
      if (IsBlank(c) && !quoted) break;
      if (c == '\\') {
        size_t count = Backslashes(line, position);
        position += count;
        if (position < line.size() && line[position] == '"') {
          argument.append(count / 2, '\\');
          if (count % 2 == 1) {
            argument += '"';
            ++position;
          }
        } else {
          argument.append(count, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && position + 1 < line.size() && line[position + 1] == '"') {
          argument += '"';
          position += 2;
          continue;
        }
        quoted = !quoted;
        ++position;
        continue;
      }
      argument += c;
      ++position;
    }
    arguments.push_back(std::move(argument));
  }
}

}  // namespace

std::vector<std::string> CommandLineToArgv(std::string_view line) noexcept try {
  return SplitCommandLine(line);
} catch (...) {
  return ZEL_PLATFORM_FAILURE(std::vector<std::string>());
}

bool CreateProcess(const char* application_name, const char* command_line, DWORD creation_flags,
                   PROCESS_INFORMATION* info) noexcept try {
  if (info == nullptr || (creation_flags & ~kKnownCreationFlags) != 0) {
    return internal::Fail(ERROR_INVALID_PARAMETER);
  }
  *info = PROCESS_INFORMATION{};
  std::vector<std::string> argv = SplitCommandLine(command_line != nullptr ? command_line : "");
  std::string program = application_name != nullptr ? application_name : "";
  if (program.empty() && !argv.empty()) program = argv.front();
  if (program.empty()) return internal::Fail(ERROR_INVALID_PARAMETER);
  if (argv.empty()) argv.push_back(program);

  trace::String(kTag, 30, "CreateProcess",
                command_line != nullptr ? command_line : program.c_str());
  // Made before the child starts: once it runs, a failure must end and reap
  // it, as below.
  auto object = std::make_shared<ProcessObject>(/*started_here=*/true);
  pid_t pid = -1;
  int error = Spawn(program, argv, creation_flags, &pid);
  if (error != 0) {
    static_cast<void>(ZEL_ERROR_POINT("PLAT_SPAWN"));
    trace::Rc(kTag, -30, "posix_spawn() error errno=", static_cast<uint32_t>(error));
    return internal::FailErrno(error == ENOEXEC ? EACCES : error);
  }
  HANDLE process = InsertProcess(std::move(object), pid);
  if (process == 0) {
    // Without a handle nobody could wait for the child or reap it.
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
  }
  info->hProcess = process;
  info->hThread = 0;
  info->dwProcessId = static_cast<DWORD>(pid);
  info->dwThreadId = static_cast<DWORD>(pid);
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

HANDLE OpenProcess(DWORD, bool, DWORD process_id) noexcept try {
  if (process_id == 0) {
    internal::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto object = std::make_shared<ProcessObject>(/*started_here=*/false);
  return InsertProcess(std::move(object), static_cast<pid_t>(process_id));
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

bool GetExitCodeProcess(HANDLE process, DWORD* exit_code) noexcept try {
  auto object = ReferenceHandleAs<ProcessObject>(process, HandleKind::kProcess);
  if (object == nullptr) return false;
  if (exit_code == nullptr) return internal::Fail(ERROR_INVALID_PARAMETER);
  *exit_code = object->ExitCode();
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

DWORD GetProcessId(HANDLE process) noexcept try {
  if (process == GetCurrentProcess()) return GetCurrentProcessId();
  auto object = ReferenceHandleAs<ProcessObject>(process, HandleKind::kProcess);
  if (object == nullptr) return 0;
  return static_cast<DWORD>(object->pid());
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

bool GetInstanceProcess(InstanceProcess* process) noexcept try {
  if (process == nullptr) return internal::Fail(ERROR_INVALID_PARAMETER);
  internal::Instance* instance = internal::Instance::Get();
  if (instance == nullptr) return false;
  *process = InstanceProcess{instance->slot(), instance->generation()};
  return true;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

bool InstanceProcessAlive(InstanceProcess process) noexcept try {
  internal::Instance* instance = internal::Instance::Get();
  if (instance == nullptr || process.slot >= internal::kMaxProcesses) return false;
  return instance->ProcessAlive(process.slot, process.generation);
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

}  // namespace zel::platform
