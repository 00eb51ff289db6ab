// Child processes of multi-process tests, and the child side of their pipes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"

extern char** environ;

namespace zel::test {
namespace {

// Where a child finds its two pipes.
constexpr int kResultFd = 3;
constexpr int kCommandFd = 4;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Moves a descriptor above the two fixed numbers so that the dup2 in the
// child always clears close-on-exec.
int HighFd(int fd) {
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 10);
  close(fd);
  return high;
}

enum class LineRead { kLine, kTimedOut, kEnded };

// Reads one line from `fd` into `line`, keeping what follows in `pending`.
LineRead ReadLineFrom(int fd, std::string& pending, std::string& line, Millis timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    size_t newline = pending.find('\n');
    if (newline != std::string::npos) {
      line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      return LineRead::kLine;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return LineRead::kTimedOut;
    if (ready < 0) return LineRead::kEnded;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return LineRead::kEnded;
    pending.append(buffer, static_cast<size_t>(n));
  }
}

// What waitpid's `status` says about how a child ended.
std::string DescribeExit(int status) {
  if (WIFEXITED(status)) return "ended with exit code " + std::to_string(WEXITSTATUS(status));
  int signal_number = WTERMSIG(status);
  const char* name = sigabbrev_np(signal_number);
  return "was killed by signal " + std::to_string(signal_number) + " (SIG" +
         (name != nullptr ? name : "?") + ")";
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::map<std::string, child::Body>& Commands() {
  static std::map<std::string, child::Body> commands;
  return commands;
}

std::string& ChildPending() {
  static std::string pending;
  return pending;
}

}  // namespace

ChildProcess ChildProcess::Start(std::string_view command, std::vector<std::string> args,
                                 Env env, std::string executable) {
  ChildProcess child;
  if (executable.empty()) executable = "/proc/self/exe";
  int result_pipe[2];
  int command_pipe[2];
  if (pipe2(result_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return child;
  }
  if (pipe2(command_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    close(result_pipe[0]);
    close(result_pipe[1]);
    return child;
  }
  int result_write = HighFd(result_pipe[1]);
  int command_read = HighFd(command_pipe[0]);

  std::vector<std::string> argv_text = {executable, "--child", std::string(command)};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  std::map<std::string, std::string> variables;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    size_t eq = entry.find('=');
    if (eq != std::string::npos) variables[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (auto& [name, value] : env) variables[name] = value;
  std::vector<std::string> env_text;
  for (auto& [name, value] : variables) env_text.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, result_write, kResultFd);
  posix_spawn_file_actions_adddup2(&actions, command_read, kCommandFd);
  pid_t pid = -1;
  int error = posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(result_write);
  close(command_read);
  if (error != 0) {
    ADD_FAILURE() << "cannot start " << executable << ": " << strerror(error);
    close(result_pipe[0]);
    close(command_pipe[1]);
    return child;
  }
  child.command_ = command;
  child.pid_ = pid;
  child.result_fd_ = result_pipe[0];
  child.command_fd_ = command_pipe[1];
  return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this == &other) return *this;
  Close();
  command_ = std::move(other.command_);
  pid_ = std::exchange(other.pid_, -1);
  reaped_ = std::exchange(other.reaped_, false);
  exit_code_ = other.exit_code_;
  raw_status_ = other.raw_status_;
  result_fd_ = std::exchange(other.result_fd_, -1);
  command_fd_ = std::exchange(other.command_fd_, -1);
  pending_ = std::move(other.pending_);
  return *this;
}

ChildProcess::~ChildProcess() { Close(); }

void ChildProcess::Close() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  if (result_fd_ >= 0) close(result_fd_);
  if (command_fd_ >= 0) close(command_fd_);
  result_fd_ = command_fd_ = -1;
}

bool ChildProcess::Send(std::string_view line) {
  if (command_fd_ < 0) return false;
  std::string text(line);
  text += '\n';
  if (WriteAll(command_fd_, text)) return true;
  // The command pipe has no reader: the child has ended, or is ending.
  ReportLost(true, "sent it \"" + std::string(line) + "\"");
  return false;
}

ChildProcess::ReadResult ChildProcess::Read(std::string& line, Millis timeout) {
  if (result_fd_ < 0) return ReadResult::kEnded;
  switch (ReadLineFrom(result_fd_, pending_, line, timeout)) {
    case LineRead::kLine:
      return ReadResult::kLine;
    case LineRead::kTimedOut:
      return ReadResult::kTimedOut;
    case LineRead::kEnded:
      return ReadResult::kEnded;
  }
  return ReadResult::kEnded;
}

std::optional<std::string> ChildProcess::ReadLine(Millis timeout) {
  std::string line;
  ReadResult result = Read(line, timeout);
  if (result == ReadResult::kLine) return line;
  ReportLost(result == ReadResult::kEnded,
             "waited " + std::to_string(timeout.count()) + " ms for a line");
  return std::nullopt;
}

std::optional<std::string> ChildProcess::ReadLineOrEnd(Millis timeout) {
  std::string line;
  ReadResult result = Read(line, timeout);
  if (result == ReadResult::kLine) return line;
  if (result == ReadResult::kTimedOut) {
    ReportLost(false, "waited " + std::to_string(timeout.count()) + " ms for a line");
  }
  return std::nullopt;
}

bool ChildProcess::Expect(std::string_view expected, Millis timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    std::string line;
    ReadResult result = Read(line, Millis(RemainingMs(deadline)));
    if (result == ReadResult::kLine) {
      if (line == expected) return true;
      continue;
    }
    ReportLost(result == ReadResult::kEnded, "waited " + std::to_string(timeout.count()) +
                                                 " ms for the line \"" + std::string(expected) +
                                                 "\"");
    return false;
  }
}

void ChildProcess::Reaped(int status) {
  reaped_ = true;
  raw_status_ = status;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ChildProcess::Ended() {
  if (pid_ <= 0 || reaped_) return pid_ > 0;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  Reaped(status);
  return true;
}

std::string ChildProcess::Status(Millis grace) {
  if (pid_ <= 0) return "never started";
  if (!Eventually([this] { return Ended(); }, grace, 2ms)) return "is still running";
  return DescribeExit(raw_status_);
}

void ChildProcess::ReportLost(bool ended, std::string_view was_doing) {
  // A child that closed its pipes is exiting; give it a moment to finish.
  std::string status = Status(ended ? Millis(5000) : Millis(0));
  ADD_FAILURE() << "child \"" << command_ << "\" (pid " << pid_ << ") " << status
                << (ended ? " (its pipe closed)" : "") << " while the test " << was_doing;
}

int ChildProcess::Wait(Millis timeout) {
  if (pid_ <= 0) return -1;
  if (reaped_) return exit_code_;
  bool lost = false;
  auto ended = [&] {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) Reaped(status);
    lost = done < 0 && errno != EINTR;
    return reaped_ || lost;
  };
  if (Eventually(ended, timeout, 2ms)) return lost ? -1 : exit_code_;
  ADD_FAILURE() << "child \"" << command_ << "\" (pid " << pid_ << ") did not end within "
                << timeout.count() << " ms";
  Kill(SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  Reaped(status);
  exit_code_ = -1;
  return -1;
}

void ChildProcess::Kill(int signal_number) {
  if (running()) ::kill(pid_, signal_number);
}

ForkedChild::ForkedChild(const std::function<int(ForkedChild&)>& body, End end) {
  int down[2];
  int up[2];
  if (pipe2(down, O_CLOEXEC) != 0) return;
  if (pipe2(up, O_CLOEXEC) != 0) {
    close(down[0]);
    close(down[1]);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    close(down[1]);
    close(up[0]);
    in_ = down[0];
    out_ = up[1];
    int code = body(*this);
    if (end == End::kAtOnce) _exit(code);
    exit(code);
  }
  close(down[0]);
  close(up[1]);
  in_ = up[0];
  out_ = down[1];
  if (pid_ > 0) pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
}

ForkedChild::~ForkedChild() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, pidfd_}) {
    if (fd >= 0) close(fd);
  }
}

void ForkedChild::Send(const std::string& line) {
  std::string text = line + "\n";
  EXPECT_TRUE(WriteAll(out_, text));
}

std::string ForkedChild::Receive(Millis timeout) {
  std::string line;
  Clock::time_point end = Clock::now() + timeout;
  for (char c = 0;;) {
    pollfd ready{in_, POLLIN, 0};
    int left = RemainingMs(end);
    if (left <= 0 || poll(&ready, 1, left) <= 0) return line;
    if (read(in_, &c, 1) != 1 || c == '\n') return line;
    line += c;
  }
}

int ForkedChild::Wait(Millis timeout) {
  pollfd ended{pidfd_, POLLIN, 0};
  if (poll(&ended, 1, static_cast<int>(timeout.count())) != 1) return -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  reaped_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void ForkedChild::Kill() { ::kill(pid_, SIGKILL); }

bool WaitUntilOtherThreadsSleep(Millis timeout) {
  std::string self = std::to_string(gettid());
  auto others_asleep = [&self] {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      if (task.path().filename() == self) continue;
      std::ifstream stat_file(task.path() / "stat");
      std::string stat;
      std::getline(stat_file, stat);
      size_t close = stat.rfind(')');
      if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'S') {
        return false;
      }
    }
    return true;
  };
  return Eventually(others_asleep, timeout, 1ms);
}

namespace child {

bool Register(const char* name, Body body) {
  Commands()[name] = body;
  return true;
}

void Report(std::string_view line) {
  std::string text(line);
  text += '\n';
  WriteAll(kResultFd, text);
}

std::optional<std::string> Receive(Millis timeout) {
  std::string line;
  if (ReadLineFrom(kCommandFd, ChildPending(), line, timeout) != LineRead::kLine) {
    return std::nullopt;
  }
  return line;
}

// Runs the registered command `name`; the result is the process exit code.
int Run(const std::string& name, Args args) {
  auto found = Commands().find(name);
  if (found == Commands().end()) {
    fprintf(stderr, "unknown child command: %s\n", name.c_str());
    return 125;
  }
  return found->second(args);
}

}  // namespace child
}  // namespace zel::test
