// Command lines, processes, pipes, threads and modules.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/handles.h"
#include "platform/module.h"
#include "platform/pipe.h"
#include "platform/thread.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

using namespace zel::platform;

std::string ReadFileText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string Executable() {
  char path[4096];
  DWORD length = GetModuleFileName(0, path, sizeof path);
  return std::string(path, length);
}

// ---- Command lines ------------------------------------------------------------

TEST(CommandLine, SplitsByTheQuotingRulesOfTheOriginalSystem) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(CommandLineToArgv("/opt/zel/SHARED/VQZMCMW.EXE /API"),
            (Args{"/opt/zel/SHARED/VQZMCMW.EXE", "/API"}));
  EXPECT_EQ(CommandLineToArgv(" \t\"a b\"\tc  "), (Args{"a b", "c"}));
  EXPECT_EQ(CommandLineToArgv(R"(a\\"b c" d)"), (Args{R"(a\b c)", "d"}));
  EXPECT_EQ(CommandLineToArgv(R"(a\\\"b c)"), (Args{R"(a\"b)", "c"}));
  EXPECT_EQ(CommandLineToArgv(R"(a\\b "c\d")"), (Args{R"(a\\b)", R"(c\d)"}));
  EXPECT_EQ(CommandLineToArgv(R"("a""b" "" x"y"z)"), (Args{R"(a"b)", "", "xyz"}));
  EXPECT_EQ(CommandLineToArgv(R"(trailing\)"), (Args{R"(trailing\)"}));
  EXPECT_EQ(CommandLineToArgv("   "), Args{});
}

// ---- Processes ------------------------------------------------------------------

// Writes what a started process sees into file args[0] and ends with 7.
ZEL_CHILD_COMMAND(describe_self) {
  std::vector<std::string> open_fds;  // listed before the report file is opened
  DIR* fds = opendir("/proc/self/fd");
  while (dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(fds)) continue;
    open_fds.push_back(entry->d_name);
  }
  closedir(fds);
  std::ofstream out(args[0]);
  for (size_t i = 1; i < args.size(); ++i) out << "arg " << args[i] << "\n";
  out << "group_leader " << (getpgrp() == getpid()) << "\n";
  const char* mark = getenv("ZEL_TEST_MARK");
  out << "mark " << (mark != nullptr ? mark : "") << "\n";
  for (const std::string& fd : open_fds) out << "fd " << fd << "\n";
  return 7;
}

// Lingers until the test kills it (30 s at most).
ZEL_CHILD_COMMAND(linger) {
  sleep(30);
  return 0;
}

TEST(Processes, StartFromACommandLineInANewGroupWithTheEnvironmentAndNoStrayDescriptors) {
  std::string report = TestPath("self.txt");
  setenv("ZEL_TEST_MARK", "inherited", 1);
  int stray = open("/dev/null", O_RDONLY);  // not close-on-exec
  ASSERT_GE(stray, 3);
  std::string line = "\"" + Executable() + "\" --child describe_self " + report +
                     R"( plain "two words" back\\\"quote)";
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcess(nullptr, line.c_str(), CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS,
                            &info));
  EXPECT_GT(info.dwProcessId, 0u);
  EXPECT_EQ(info.dwThreadId, info.dwProcessId);
  EXPECT_EQ(info.hThread, 0u);
  EXPECT_EQ(GetProcessId(info.hProcess), info.dwProcessId);
  ASSERT_EQ(WaitForSingleObject(info.hProcess, 30000), WAIT_OBJECT_0);
  DWORD exit_code = 0;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &exit_code));
  EXPECT_EQ(exit_code, 7u);
  EXPECT_EQ(ReadFileText(report),
            "arg plain\narg two words\narg back\\\"quote\ngroup_leader 1\nmark inherited\n"
            "fd 0\nfd 1\nfd 2\n");
  EXPECT_TRUE(CloseHandle(info.hProcess));
  close(stray);
}

// Standard output and error of this process on a pipe, as `program | cat`
// gives them, until Restore(); the write end is also open, inheritable, at
// a descriptor above 2 meanwhile.
class OutputOnAPipe {
 public:
  OutputOnAPipe() {
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    read_end_ = ends[0];
    write_end_ = ends[1];
    saved_out_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    saved_err_ = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    dup2(write_end_, STDOUT_FILENO);
    dup2(write_end_, STDERR_FILENO);
  }
  ~OutputOnAPipe() {
    Restore();
    close(read_end_);
  }

  // Puts the streams back: then only processes started meanwhile can hold
  // the write end.
  void Restore() {
    if (write_end_ < 0) return;
    dup2(saved_out_, STDOUT_FILENO);
    dup2(saved_err_, STDERR_FILENO);
    close(saved_out_);
    close(saved_err_);
    close(write_end_);
    write_end_ = -1;
  }

  // True when the read end is at its end now (whatever was written is
  // skipped); false while a process still holds the write end.
  bool AtEnd() {
    fcntl(read_end_, F_SETFL, O_NONBLOCK);
    char buffer[512];
    for (int reads = 0; reads < 1000; ++reads) {
      ssize_t count = read(read_end_, buffer, sizeof buffer);
      if (count == 0) return true;
      if (count < 0 && errno != EINTR) return false;
    }
    return false;
  }

 private:
  int read_end_ = -1;
  int write_end_ = -1;
  int saved_out_ = -1;
  int saved_err_ = -1;
};

// What descriptor `fd` of process `pid` refers to ("/dev/null", "pipe:[...]").
std::string DescriptorTarget(pid_t pid, int fd) {
  std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
  char target[256];
  ssize_t size = readlink(link.c_str(), target, sizeof target);
  return size > 0 ? std::string(target, static_cast<size_t>(size)) : std::string();
}

// A detached process has a session of its own and /dev/null for standard
// input, output and error, so a reader of the starter's output sees the end
// while it runs on; any other keeps the starter's session and streams.
TEST(Processes, ADetachedProcessLeadsItsOwnSessionAndHoldsNoneOfTheStartersOutput) {
  std::string line = Executable() + " --child linger";
  for (DWORD flags : {DWORD{0}, CREATE_NEW_PROCESS_GROUP, DETACHED_PROCESS,
                      CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS}) {
    SCOPED_TRACE("flags " + std::to_string(flags));
    bool detached = (flags & DETACHED_PROCESS) != 0;
    OutputOnAPipe output;
    PROCESS_INFORMATION info{};
    bool started = CreateProcess(nullptr, line.c_str(), flags, &info);
    output.Restore();
    ASSERT_TRUE(started) << GetLastErrorText();
    auto pid = static_cast<pid_t>(info.dwProcessId);

    EXPECT_EQ(output.AtEnd(), detached);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_TIMEOUT) << "it still runs";
    EXPECT_EQ(getsid(pid) == pid, detached);
    EXPECT_EQ(getsid(pid) == getsid(0), !detached);
    EXPECT_EQ(getpgid(pid) == pid, flags != 0);
    if (detached) {
      for (int fd : {0, 1, 2}) EXPECT_EQ(DescriptorTarget(pid, fd), "/dev/null") << "fd " << fd;
    } else {
      for (int fd : {1, 2}) EXPECT_EQ(DescriptorTarget(pid, fd).rfind("pipe:", 0), 0u);
    }

    kill(pid, SIGKILL);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 30000), WAIT_OBJECT_0);
    DWORD exit_code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &exit_code));
    EXPECT_EQ(exit_code, 128u + SIGKILL) << "a detached process is still this one's child";
    CloseHandle(info.hProcess);
  }
}

TEST(Processes, AHandleTellsRunningFromEndedAndGivesTheExitCode) {
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, 0));
  std::string line = Executable() + " --child linger";
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcess(nullptr, line.c_str(), 0, &info));
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_TIMEOUT);
  DWORD exit_code = 0;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &exit_code));
  EXPECT_EQ(exit_code, STILL_ACTIVE);
  HANDLE opened = OpenProcess(PROCESS_ALL_ACCESS, false, info.dwProcessId);
  ASSERT_NE(opened, 0u);
  kill(static_cast<pid_t>(info.dwProcessId), SIGKILL);
  EXPECT_EQ(WaitForSingleObject(opened, 30000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &exit_code));
  EXPECT_EQ(exit_code, 128u + SIGKILL);
  CloseHandle(opened);
  CloseHandle(info.hProcess);
  CloseHandle(read_end);
  CloseHandle(write_end);
}

TEST(Processes, ReportsProgramsThatCannotBeStarted) {
  PROCESS_INFORMATION info{};
  EXPECT_FALSE(CreateProcess(nullptr, "/no/such/VQZMCMW.EXE /API", 0, &info));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CreateProcess(nullptr, "zel-no-such-program-on-path", 0, &info));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  std::string text_file = TestPath("not a program");
  std::ofstream(text_file) << "text";
  EXPECT_FALSE(CreateProcess(text_file.c_str(), "x", 0, &info));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(CreateProcess(nullptr, "  ", 0, &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(CreateProcess(nullptr, "/bin/true", 0x10, &info));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, false, 0), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---- Pipes ------------------------------------------------------------------------

TEST(Pipes, TheReaderSeesTheEndDespiteAProcessStartedMeanwhile) {
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, 65536));
  std::string line = Executable() + " --child linger";
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(CreateProcess(nullptr, line.c_str(), 0, &info));

  DWORD count = 0;
  ASSERT_TRUE(WriteFile(write_end, "twelve bytes", 12, &count));
  EXPECT_EQ(count, 12u);
  ASSERT_TRUE(CloseHandle(write_end));
  char buffer[32];
  ASSERT_TRUE(ReadFile(read_end, buffer, sizeof buffer, &count));
  EXPECT_EQ(std::string(buffer, count), "twelve bytes");
  EXPECT_FALSE(ReadFile(read_end, buffer, sizeof buffer, &count)) << "the child holds no write end";
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_EQ(count, 0u);

  kill(static_cast<pid_t>(info.dwProcessId), SIGKILL);
  WaitForSingleObject(info.hProcess, 30000);
  CloseHandle(info.hProcess);
  CloseHandle(read_end);
}

TEST(Pipes, WritingToAClosedReaderFailsWithoutASignalAndEndsAreChecked) {
  // The harness ignores SIGPIPE; here a raised one must be able to kill.
  struct DefaultSigpipe {
    DefaultSigpipe() { signal(SIGPIPE, SIG_DFL); }
    ~DefaultSigpipe() { signal(SIGPIPE, SIG_IGN); }
  } default_sigpipe;
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, 0));
  char byte = 'x';
  DWORD count = 5;
  EXPECT_FALSE(ReadFile(write_end, &byte, 1, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(WriteFile(read_end, &byte, 1, &count));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  ASSERT_TRUE(CloseHandle(read_end));
  EXPECT_FALSE(WriteFile(write_end, &byte, 1, &count));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  EXPECT_FALSE(WriteFile(write_end, &byte, 1, &count)) << "and the process is still here";
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "no SIGPIPE left pending";
  CloseHandle(write_end);
}

TEST(Pipes, TwelveByteMessagesOfConcurrentWritersNeverInterleave) {
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, 0));
  constexpr int kWriters = 4;
  constexpr int kMessages = 2000;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < kMessages; ++i) {
        char message[12];
        snprintf(message, sizeof message, "%d:%09d", w, i);
        message[11] = '\n';
        DWORD written = 0;
        if (!WriteFile(write_end, message, 12, &written)) ADD_FAILURE() << GetLastError();
      }
    });
  }
  std::thread closer([&] {
    for (std::thread& writer : writers) writer.join();
    CloseHandle(write_end);
  });
  std::string received;
  char buffer[4096];
  DWORD count = 0;
  while (ReadFile(read_end, buffer, sizeof buffer, &count)) received.append(buffer, count);
  closer.join();
  ASSERT_EQ(received.size(), size_t{12} * kWriters * kMessages);
  std::vector<int> next(kWriters, 0);
  for (size_t at = 0; at < received.size(); at += 12) {
    int writer = received[at] - '0';
    ASSERT_TRUE(writer >= 0 && writer < kWriters) << received.substr(at, 12);
    ASSERT_EQ(std::stoi(received.substr(at + 2, 9)), next[writer]++);
  }
  CloseHandle(read_end);
}

// ---- Threads ----------------------------------------------------------------------

struct StackProbe {
  size_t stack_size = 0;
  DWORD tid = 0;
};

DWORD ProbeStack(void* raw) {
  auto* probe = static_cast<StackProbe*>(raw);
  volatile char eight_kilobytes[8192];
  for (size_t i = 0; i < sizeof eight_kilobytes; i += 512) eight_kilobytes[i] = 1;
  pthread_attr_t attributes;
  pthread_getattr_np(pthread_self(), &attributes);
  pthread_attr_getstacksize(&attributes, &probe->stack_size);
  pthread_attr_destroy(&attributes);
  probe->tid = GetCurrentThreadId();
  return 12288;
}

TEST(Threads, GetAtLeastTheStackTheyAskForAndNeverLessThanTheFloor) {
  EXPECT_GE(ThreadStackSize(12288), size_t{256 * 1024});
  EXPECT_EQ(ThreadStackSize(8 << 20), size_t{8 << 20});
  for (size_t requested : {size_t{12288}, size_t{8 << 20}}) {
    StackProbe probe;
    DWORD tid = 0;
    HANDLE thread = CreateThread(requested, ProbeStack, &probe, &tid);
    ASSERT_NE(thread, 0u);
    ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
    EXPECT_GE(probe.stack_size, ThreadStackSize(requested));
    EXPECT_EQ(probe.tid, tid);
    DWORD exit_code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &exit_code));
    EXPECT_EQ(exit_code, 12288u);
    EXPECT_TRUE(CloseHandle(thread));
  }
  EXPECT_EQ(CreateThread(0, nullptr, nullptr, nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Threads, AHandleIsSignalledOnlyOnceTheThreadHasEnded) {
  std::atomic<bool> release{false};
  HANDLE thread = CreateThread(
      0,
      [](void* raw) -> DWORD {
        auto* flag = static_cast<std::atomic<bool>*>(raw);
        while (!flag->load()) std::this_thread::yield();
        return 0;
      },
      &release, nullptr);
  ASSERT_NE(thread, 0u);
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  DWORD exit_code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &exit_code));
  EXPECT_EQ(exit_code, STILL_ACTIVE);
  release = true;
  EXPECT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread, &exit_code));
  EXPECT_EQ(exit_code, 0u);
  CloseHandle(thread);
}

// ---- Modules ----------------------------------------------------------------------

TEST(Modules, FindFunctionsByNameAndByTheOrdinalTable) {
  HMODULE module = LoadLibrary(ZEL_ORDINAL_MODULE);
  ASSERT_NE(module, 0u) << GetLastErrorText();
  using Function = int (*)();
  auto one = reinterpret_cast<Function>(GetProcAddress(module, "zelOrdinalOne"));
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one(), 1);
  auto by_ordinal = reinterpret_cast<Function>(GetProcAddress(module, Ordinal{1}));
  EXPECT_EQ(by_ordinal, one);
  auto three = reinterpret_cast<Function>(GetProcAddress(module, Ordinal{3}));
  ASSERT_NE(three, nullptr);
  EXPECT_EQ(three(), 3);

  for (WORD empty : {0, 2, 5, 65535}) {
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(module, Ordinal{empty}), nullptr) << "ordinal " << empty;
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  }
  EXPECT_EQ(GetProcAddress(module, Ordinal{4}), nullptr) << "its function is not exported";
  EXPECT_EQ(GetProcAddress(module, "zelOrdinalHidden"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "malloc"), nullptr) << "a dependency's function is not its own";
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

  char path[4096];
  DWORD length = GetModuleFileName(module, path, sizeof path);
  EXPECT_EQ(std::string(path, length), ZEL_ORDINAL_MODULE);
  char small[6];
  EXPECT_EQ(GetModuleFileName(module, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(small), std::string(ZEL_ORDINAL_MODULE).substr(0, 5));

  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetProcAddress(module, Ordinal{1}), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LoadLibrary("/no/such/VQZMCTW.DLL"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Modules, TheOrdinalTableAddsNoExportedSymbol) {
  std::string command = "nm -D --defined-only " + std::string(ZEL_ORDINAL_MODULE);
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name &&
        (type == "T" || type == "D" || type == "B" || type == "R")) {
      exported.insert(name);
    }
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(exported, (std::set<std::string>{"zelOrdinalOne", "zelOrdinalThree"}));
}

TEST(Modules, TheExecutablesPathComesFromTheSystem) {
  char path[4096];
  DWORD length = GetModuleFileName(0, path, sizeof path);
  ASSERT_GT(length, 0u);
  char expected[4096];
  ssize_t size = readlink("/proc/self/exe", expected, sizeof expected);
  EXPECT_EQ(std::string(path, length), std::string(expected, static_cast<size_t>(size)));
  EXPECT_EQ(path[0], '/');
}

}  // namespace
}  // namespace zel::test
