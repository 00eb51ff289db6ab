// Test harness shared by every test binary of the tree.
//
// Isolation: each test binary's main re-runs itself in a child process with
// its own ZEL_INSTANCE and a fresh temporary directory (ZEL_TEST_DIR), so that
// libraries which attach to shared objects while loading already see them,
// and so that `ctest -j2` never lets two tests share an object. The outer
// process removes the directory and the instance's leftovers afterwards.
//
// Multi-process tests: a test binary is also its own helper executable. A
// test starts `ChildProcess::Start("name", args)`, which runs this binary as
// `--child name args...`; the body registered with ZEL_CHILD_COMMAND(name)
// runs there and talks to the test over two pipes. Every wait is bounded.
#ifndef ZEL_TESTS_HARNESS_ZEL_TEST_H
#define ZEL_TESTS_HARNESS_ZEL_TEST_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel::test {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// The default bound for a wait on a child; tests that need longer say so.
inline constexpr Millis kChildTimeout = 30s;

// A field of a shared record, copied: the records are byte-packed, so a
// field is compared through a copy, never bound to a reference at its
// (possibly unaligned) address.
template <class T>
T V(T value) {
  return value;
}

// This test process's temporary directory (removed after the run).
std::string TestDir();

// A path inside TestDir().
std::string TestPath(std::string_view name);

// The instance name this test process runs under.
std::string Instance();

// A child process running a registered child command of a test binary.
class ChildProcess {
 public:
  using Env = std::vector<std::pair<std::string, std::string>>;

  // Starts `executable --child command args...` (this binary when
  // `executable` is empty) with the current environment plus `env`. Fails
  // the test and returns a process that is not running if it cannot start.
  static ChildProcess Start(std::string_view command, std::vector<std::string> args = {},
                            Env env = {}, std::string executable = {});

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills and reaps a child that is still running.
  ~ChildProcess();

  // Sends one line to the child's command pipe (see child::Receive). A
  // child that has ended fails the test with its exit status.
  bool Send(std::string_view line);

  // The next line the child reported, or nothing when none came in time or
  // the child closed its result pipe; either fails the test, with the
  // child's exit status when it has ended.
  std::optional<std::string> ReadLine(Millis timeout = kChildTimeout);

  // As ReadLine, for a child that may be killed at any moment: nothing,
  // without a failure, once the child has closed its result pipe.
  std::optional<std::string> ReadLineOrEnd(Millis timeout = kChildTimeout);

  // Reads lines until one equals `expected`; false (and a failure, as
  // ReadLine) when it never comes.
  bool Expect(std::string_view expected, Millis timeout = kChildTimeout);

  // Waits for the child to end and returns its exit code (128 + signal for a
  // killed child). On time-out the child is killed and -1 returned.
  int Wait(Millis timeout = kChildTimeout);

  // Sends a signal now (default SIGKILL).
  void Kill(int signal_number = 9);

  // True once the child has ended (and reaps it); never waits.
  bool Ended();

  // How the child ended ("ended with exit code N", "was killed by signal N
  // (SIGNAME)"), or "is still running" when it has not ended within
  // `grace`. Reaps the child when it has ended.
  std::string Status(Millis grace = Millis(0));

  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0 && !reaped_; }

 private:
  enum class ReadResult { kLine, kTimedOut, kEnded };

  ChildProcess() = default;
  void Close();
  ReadResult Read(std::string& line, Millis timeout);
  // Records the exit of a reaped child.
  void Reaped(int status);
  // Fails the test: the child ended (`ended`) or stayed silent while the
  // test `was_doing` something with it.
  void ReportLost(bool ended, std::string_view was_doing);

  std::string command_;  // the child command, for messages
  pid_t pid_ = -1;
  bool reaped_ = false;
  int exit_code_ = -1;   // 128 + signal for a killed child
  int raw_status_ = 0;   // as waitpid gave it
  int result_fd_ = -1;   // read end: lines the child reports
  int command_fd_ = -1;  // write end: lines for the child
  std::string pending_;  // bytes read past the last returned line
};

// A child forked from this test process without exec, so that it starts
// from the parent's state at the fork, with a pipe each way. The child runs
// `body` and ends with its result. Every wait is bounded.
class ForkedChild {
 public:
  // How the child ends: through exit(), running the exit handlers (and a
  // sanitizer's leak check) as a process that ends normally does; or at
  // once, as the child of a process with other threads must under the leak
  // check, which would count what only those threads reach as lost.
  enum class End { kNormally, kAtOnce };

  explicit ForkedChild(const std::function<int(ForkedChild&)>& body, End end = End::kNormally);
  // Kills and reaps a child that is still running.
  ~ForkedChild();
  ForkedChild(const ForkedChild&) = delete;
  ForkedChild& operator=(const ForkedChild&) = delete;

  bool running() const { return pidfd_ >= 0 && !reaped_; }
  pid_t pid() const { return pid_; }

  // Either side: one line to the other.
  void Send(const std::string& line);

  // Either side: the other's next line; what came of it when none came
  // within `timeout`.
  std::string Receive(Millis timeout = kChildTimeout);

  // The parent: the child's exit code (128 + signal for a killed one), or -1
  // when it has not ended within `timeout`.
  int Wait(Millis timeout = kChildTimeout);

  void Kill();

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int in_ = -1;
  int out_ = -1;
  bool reaped_ = false;
};

// True once every thread of this process but the calling one sleeps, as the
// kernel reports it, so that none is inside anything (a sanitizer's
// allocator, say) that it could leave locked for a child forked now; false
// if that does not happen within `timeout`.
bool WaitUntilOtherThreadsSleep(Millis timeout = kChildTimeout);

namespace child {

// The arguments after the command name.
using Args = std::span<const std::string>;
using Body = int (*)(Args args);

bool Register(const char* name, Body body);

// Reports one line to the test (flushed at once).
void Report(std::string_view line);

// The next line the test sent, or nothing on time-out or when the test
// closed the pipe.
std::optional<std::string> Receive(Millis timeout = kChildTimeout);

}  // namespace child

}  // namespace zel::test

// A test binary started under the name VQZMCMW.EXE (a link to it in a test
// installation's SHARED/ folder) with ZEL_TEST_FAKE_CPMGR set runs the child
// command of that name instead: a stand-in communication manager. It has no
// pipes to the test (Report and Receive do nothing useful there).

// Defines the body of a child command; it returns the child's exit code.
#define ZEL_CHILD_COMMAND(name)                                                            \
  static int ZelChildBody_##name(::zel::test::child::Args args);                          \
  [[maybe_unused]] static const bool zel_child_registered_##name =                        \
      ::zel::test::child::Register(#name, ZelChildBody_##name);                           \
  static int ZelChildBody_##name([[maybe_unused]] ::zel::test::child::Args args)

#endif  // ZEL_TESTS_HARNESS_ZEL_TEST_H
