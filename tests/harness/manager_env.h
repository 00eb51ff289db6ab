// What the end-to-end tests share about the communication manager of this
// build, and the command loop of their application processes.
#ifndef ZEL_TESTS_HARNESS_MANAGER_ENV_H
#define ZEL_TESTS_HARNESS_MANAGER_ENV_H

#include <cstdlib>
#include <optional>
#include <string>

#include "tests/harness/host_harness.h"
#include "tests/harness/zel_test.h"

namespace zel::test {

// The manager that an application of this test starts logs into the test's
// directory and ends 1 s after its last system went idle.
inline void UseTestManager() {
  setenv("ZEL_CPMGR_LOG", TestPath("cpmgr.log").c_str(), 1);
  setenv("ZEL_CPMGR_IDLE_SECONDS", "1", 1);
}

inline std::string ManagerLog() { return ReadFile(TestPath("cpmgr.log")); }

// The body of an application process that a test drives: reports "ready",
// then runs each line the test sends (`session.Run`) and reports its
// result, until "end", silence for 300 s, or `limit` lines.
template <class Session>
int ServeCommands(Session& session, int limit) {
  child::Report("ready");
  for (int commands = 0; commands < limit; ++commands) {
    std::optional<std::string> line = child::Receive(std::chrono::seconds(300));
    if (!line || *line == "end") return 0;
    child::Report(session.Run(*line));
  }
  return 0;
}

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_MANAGER_ENV_H
