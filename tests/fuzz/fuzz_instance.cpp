// Runs a fuzz target that links the component in an instance of its own,
// with an installation directory of its own (empty: no request processor
// library to load), and removes what the instance left behind when the
// target ends, however it ends.
//
// The component attaches to its instance while it loads, so the choice is
// made before that: this constructor runs ahead of the component's, re-runs
// the binary with the instance set, and leaves with the inner run's status.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "tests/harness/rerun.h"

namespace {

constexpr char kInnerMark[] = "ZEL_FUZZ_INNER";

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
  int status = zel::test::RunThisBinaryAgain(argv);
  zel::test::RemoveInstanceObjects(instance);
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  _exit(status);
}

}  // namespace
