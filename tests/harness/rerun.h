// Running this binary again in an instance of its own, and clearing up
// what the instance left behind: the test binaries and the fuzz targets
// that link the component isolate themselves this way. Needs no GoogleTest.
#ifndef ZEL_TESTS_HARNESS_RERUN_H
#define ZEL_TESTS_HARNESS_RERUN_H

#include <string>

namespace zel::test {

// Runs this binary again with `argv` and the environment as it now is, as
// a child that dies with this process; SIGINT, SIGTERM and SIGHUP are
// passed on to it. Its exit status, 128 + the signal's number when a
// signal ended it, 1 when it could not be started.
int RunThisBinaryAgain(char** argv);

// Removes the folders of `instance` (and of the instances named after it)
// from the user's private directory.
void RemoveInstanceObjects(const std::string& instance);

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_RERUN_H
