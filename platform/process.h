// Processes: starting a program from a command line, and process handles.
//
// The command line is split into arguments by the quoting rules of the
// original system (CommandLineToArgv). The new process inherits the
// environment (ZEL_INSTANCE included, so it joins the same instance) and
// the working directory; it reaches shared objects by name through the
// instance, never through an inherited descriptor. It inherits standard
// input, output and error (unless detached) and no other descriptor. A
// process handle can be waited on (signalled when the process has ended).
#ifndef ZEL_PLATFORM_PROCESS_H
#define ZEL_PLATFORM_PROCESS_H

#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace zel::platform {

// Creation flags of CreateProcess.
inline constexpr DWORD CREATE_NEW_PROCESS_GROUP = 0x00000200;
// A daemon's start: the process leads a session of its own (and so a
// process group, and has no controlling terminal), and its standard input,
// output and error are /dev/null, so that a reader of the starter's output
// (`app | cat`) sees the end once the starter has ended, however long the
// process runs. It must keep its own log.
inline constexpr DWORD DETACHED_PROCESS = 0x00000008;
inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;

struct PROCESS_INFORMATION {
  HANDLE hProcess;    // handle of the new process; close it when done
  HANDLE hThread;     // always 0: a thread of another process has no handle here
  DWORD dwProcessId;  // process id
  DWORD dwThreadId;   // id of its first thread (equal to the process id)
};

// Splits a command line as the original system's programs do: arguments
// are separated by blanks and tabs; double quotes group blanks into an
// argument and are removed; 2n backslashes before a quote give n
// backslashes and a quote that groups, 2n+1 give n backslashes and a
// literal quote; other backslashes are literal; "" inside a quoted
// argument gives a literal quote. No arguments, with the last error set,
// when there is no memory for them.
ZEL_PLATFORM_EXPORT std::vector<std::string> CommandLineToArgv(
    std::string_view command_line) noexcept;

// Starts the program named by `application_name`, or by the command line's
// first argument when that is null (searched on PATH when it contains no
// "/"), with the arguments of `command_line`. With CREATE_NEW_PROCESS_GROUP
// the process leads a new process group, so that signals to the caller's
// group do not reach it; with DETACHED_PROCESS it is detached as described
// there (its new session implies the new group). A detached process stays
// this one's child: its handle gives its exit code as any other's. Fills
// `info` and returns true; false with the last error set:
// ERROR_FILE_NOT_FOUND for a program that does not exist,
// ERROR_ACCESS_DENIED for one that cannot be run, ERROR_INVALID_PARAMETER
// for an empty command line or unknown flags. Any thread.
ZEL_PLATFORM_EXPORT bool CreateProcess(const char* application_name, const char* command_line,
                                       DWORD creation_flags, PROCESS_INFORMATION* info) noexcept;

// A handle to the running process `process_id` (this one included). 0 with
// ERROR_INVALID_PARAMETER when there is no such process. Access and
// inheritance as OpenMutex.
ZEL_PLATFORM_EXPORT HANDLE OpenProcess(DWORD desired_access, bool inherit_handle,
                                       DWORD process_id) noexcept;

// The process's exit code (128 + signal number for a process ended by a
// signal), STILL_ACTIVE while it runs. Only a process that this process
// started has an exit code to give; for others the result is 0 once they
// have ended. False with ERROR_INVALID_HANDLE for a handle that is not a
// process.
ZEL_PLATFORM_EXPORT bool GetExitCodeProcess(HANDLE process, DWORD* exit_code) noexcept;

// The process id behind a process handle, 0 with ERROR_INVALID_HANDLE.
ZEL_PLATFORM_EXPORT DWORD GetProcessId(HANDLE process) noexcept;

// True once the process has begun to exit (exit() or a return from main).
// A library's unload handler tells an ending process from an unload while
// the process goes on (dlclose) by it.
ZEL_PLATFORM_EXPORT bool ProcessIsEnding() noexcept;

// A process's place in its instance: the process slot it holds and that
// slot's generation. Shared records note it so that what a process left
// half-made can be told apart, and reclaimed, once it has gone.
struct InstanceProcess {
  uint32_t slot;        // process slot in the instance
  uint32_t generation;  // the slot's generation while this process holds it
};

// This process's place, attaching to the instance first. False with the
// last error set when it cannot attach, ERROR_INVALID_PARAMETER for a null
// `process`. Any thread.
ZEL_PLATFORM_EXPORT bool GetInstanceProcess(InstanceProcess* process) noexcept;

// True while the process that held `process` lives: false once it has
// died (whether or not the instance has reaped it yet) or detached, and
// for a slot that has since been freed or taken by another process. Never
// takes the registry lock. False also when this process cannot attach.
// Any thread.
ZEL_PLATFORM_EXPORT bool InstanceProcessAlive(InstanceProcess process) noexcept;

}  // namespace zel::platform

#endif  // ZEL_PLATFORM_PROCESS_H
