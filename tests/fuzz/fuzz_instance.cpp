// Runs a fuzz target that links the component in an instance of its own,
// with an installation directory of its own (empty: no request processor
// library to load), and removes what the instance left behind when the
// target ends, however it ends.
//
// The component attaches to its instance while it loads, so the choice is
// made before that: this constructor runs ahead of the component's, re-runs
// the binary with the instance set, and leaves with the inner run's status.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <string>

#include "base/config.h"

namespace {

constexpr char kInnerMark[] = "ZEL_FUZZ_INNER";

pid_t g_inner = -1;

void Forward(int signal_number) {
  if (g_inner > 0) kill(g_inner, signal_number);
}

// The instance's folders in the user's private directory.
void RemoveInstanceObjects(const std::string& instance) {
  std::string dir = zel::config::PrivateDir(nullptr);
  if (dir.empty()) return;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
    if (entry.path().filename().string().rfind(instance, 0) == 0) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }
}

int RunInner(char** argv, const std::string& instance, const std::string& home) {
  pid_t parent = getpid();
  g_inner = fork();
  if (g_inner < 0) {
    perror("fork");
    return 1;
  }
  if (g_inner == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    execv("/proc/self/exe", argv);
    perror("execv");
    _exit(127);
  }
  for (int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, Forward);
  int status = 0;
  while (waitpid(g_inner, &status, 0) < 0 && errno == EINTR) {
  }
  RemoveInstanceObjects(instance);
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

__attribute__((constructor(101))) void IsolateInstance(int, char** argv, char**) {
  if (getenv(kInnerMark) != nullptr) return;
  char home[] = "/tmp/zelfuzz.XXXXXX";
  if (mkdtemp(home) == nullptr) {
    perror("mkdtemp");
    _exit(1);
  }
  char instance[48];
  snprintf(instance, sizeof instance, "fz%d_%08x", getpid(), std::random_device{}());
  setenv(kInnerMark, "1", 1);
  setenv("ZEL_INSTANCE", instance, 1);
  setenv("ZEL_HOME", home, 1);
  setenv("XDG_STATE_HOME", home, 1);
  unsetenv("ZEL_TRACE");
  _exit(RunInner(argv, instance, home));
}

}  // namespace
