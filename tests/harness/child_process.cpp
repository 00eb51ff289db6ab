// Child processes of multi-process tests, and the child side of their pipes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

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

// Reads one line from `fd` into `line`, keeping what follows in `pending`.
// False on time-out or end of file.
bool ReadLineFrom(int fd, std::string& pending, std::string& line, Millis timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    size_t newline = pending.find('\n');
    if (newline != std::string::npos) {
      line = pending.substr(0, newline);
      pending.erase(0, newline + 1);
      return true;
    }
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending.append(buffer, static_cast<size_t>(n));
  }
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
  child.pid_ = pid;
  child.result_fd_ = result_pipe[0];
  child.command_fd_ = command_pipe[1];
  return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this == &other) return *this;
  Close();
  pid_ = std::exchange(other.pid_, -1);
  reaped_ = std::exchange(other.reaped_, false);
  exit_code_ = other.exit_code_;
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
  return WriteAll(command_fd_, text);
}

std::optional<std::string> ChildProcess::ReadLine(Millis timeout) {
  std::string line;
  if (result_fd_ < 0 || !ReadLineFrom(result_fd_, pending_, line, timeout)) return std::nullopt;
  return line;
}

bool ChildProcess::Expect(std::string_view expected, Millis timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    std::optional<std::string> line = ReadLine(Millis(RemainingMs(deadline)));
    if (!line) return false;
    if (*line == expected) return true;
  }
}

int ChildProcess::Wait(Millis timeout) {
  if (pid_ <= 0) return -1;
  if (reaped_) return exit_code_;
  Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exit_code_;
    }
    if (done < 0 && errno != EINTR) return -1;
    if (Clock::now() >= deadline) {
      ADD_FAILURE() << "child " << pid_ << " did not end within " << timeout.count() << " ms";
      Kill(SIGKILL);
      waitpid(pid_, nullptr, 0);
      reaped_ = true;
      exit_code_ = -1;
      return -1;
    }
    usleep(2000);
  }
}

void ChildProcess::Kill(int signal_number) {
  if (running()) ::kill(pid_, signal_number);
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
  if (!ReadLineFrom(kCommandFd, ChildPending(), line, timeout)) return std::nullopt;
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
