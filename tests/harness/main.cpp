// Entry point of every test binary: isolation, child commands, GoogleTest.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/config.h"
#include "ctrlblk/object_names.h"
#include "tests/harness/rerun.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace child {
int Run(const std::string& name, Args args);
}

namespace {

// True when the process `pid` runs in the environment of `instance`.
bool InInstance(const std::string& pid, const std::string& instance) {
  std::ifstream file("/proc/" + pid + "/environ", std::ios::binary);
  std::string wanted = "ZEL_INSTANCE=" + instance;
  std::string entry;
  while (std::getline(file, entry, '\0')) {
    if (entry == wanted) return true;
  }
  return false;
}

// Daemons a test started (the manager, a host server) must not outlive it.
void KillLeftoverProcesses(const std::string& instance) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return;
  std::string self = std::to_string(getpid());
  while (dirent* entry = readdir(proc)) {
    std::string pid = entry->d_name;
    if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (pid == self || !InInstance(pid, instance)) continue;
    kill(std::stoi(pid), SIGKILL);
  }
  closedir(proc);
}

std::string UniqueInstance() {
  std::random_device random;
  char text[48];
  snprintf(text, sizeof text, "t%d_%08x", getpid(), random());
  return text;
}

// Runs this binary again with its own instance and directory, then cleans up
// after it, whatever way it ended.
int RunIsolated(char** argv) {
  char dir_template[] = "/tmp/zeltest.XXXXXX";
  if (mkdtemp(dir_template) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  std::string dir = dir_template;
  std::string instance = UniqueInstance();
  setenv("ZEL_TEST_DIR", dir.c_str(), 1);
  setenv("ZEL_INSTANCE", instance.c_str(), 1);
  // The manager's log and the drive links go with the test's directory.
  setenv("XDG_STATE_HOME", dir.c_str(), 1);

  int status = RunThisBinaryAgain(argv);
  KillLeftoverProcesses(instance);
  RemoveInstanceObjects(instance);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  if (status > 128) fprintf(stderr, "test process ended by signal %d\n", status - 128);
  return status;
}

}  // namespace

std::string TestDir() {
  const char* dir = getenv("ZEL_TEST_DIR");
  return dir ? dir : "/tmp";
}

std::string TestPath(std::string_view name) { return TestDir() + "/" + std::string(name); }

std::string Instance() {
  const char* instance = getenv("ZEL_INSTANCE");
  return instance ? instance : "";
}

}  // namespace zel::test

int main(int argc, char** argv) {
  // A test or helper writing to a process that died gets EPIPE, which the
  // harness reports with that process's exit status, not a silent death.
  signal(SIGPIPE, SIG_IGN);
  // Started as the communication manager by the component under test: run
  // the stand-in that the test named instead.
  const char* fake_manager = getenv("ZEL_TEST_FAKE_CPMGR");
  if (fake_manager != nullptr &&
      strcmp(basename(argv[0]), zel::ctrlblk::kManagerProgramName) == 0) {
    std::vector<std::string> args(argv + 1, argv + argc);
    int code = zel::test::child::Run(fake_manager, args);
    fflush(nullptr);
    return code;
  }
  if (argc >= 3 && strcmp(argv[1], "--child") == 0) {
    // A helper must not outlive the test that started it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::vector<std::string> args(argv + 3, argv + argc);
    int code = zel::test::child::Run(argv[2], args);
    fflush(nullptr);
    return code;
  }
  if (getenv("ZEL_TEST_DIR") == nullptr) return zel::test::RunIsolated(argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
