// Running this binary again in an instance of its own.
#include "tests/harness/rerun.h"

#include <signal.h>
#include <stdio.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "base/config.h"

namespace zel::test {
namespace {

pid_t g_inner = -1;

void Forward(int signal_number) {
  if (g_inner > 0) kill(g_inner, signal_number);
}

}  // namespace

int RunThisBinaryAgain(char** argv) {
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
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void RemoveInstanceObjects(const std::string& instance) {
  std::string dir = config::PrivateDir(nullptr);
  if (dir.empty()) return;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
    if (entry.path().filename().string().rfind(instance, 0) == 0) {
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }
}

}  // namespace zel::test
