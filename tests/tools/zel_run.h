// Runs bin/zel of this build as a user runs it: its standard output, error
// and exit code. Included by one test file per binary (it registers the
// child command that execs the tool).
#ifndef ZEL_TESTS_TOOLS_ZEL_RUN_H
#define ZEL_TESTS_TOOLS_ZEL_RUN_H

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/harness/host_harness.h"
#include "tests/harness/zel_test.h"

namespace zel::test {

inline std::string ZelBinary() {
  return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin" /
         "zel";
}

// args: the file for standard input, then the tool's arguments. Output
// goes to zel.out and zel.err in the test directory.
ZEL_CHILD_COMMAND(run_zel) {
  std::string zel = ZelBinary();
  std::vector<const char*> argv = {zel.c_str()};
  for (size_t i = 1; i < args.size(); ++i) argv.push_back(args[i].c_str());
  argv.push_back(nullptr);
  int in = open(args[0].c_str(), O_RDONLY);
  int out = open(TestPath("zel.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(TestPath("zel.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (in < 0 || out < 0 || err < 0 || dup2(in, STDIN_FILENO) < 0 ||
      dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
    return 126;
  }
  execv(zel.c_str(), const_cast<char* const*>(argv.data()));
  return 127;
}

struct ZelRun {
  int code = -1;
  std::string out;
  std::string err;
};

// Starts the tool with `input` as its standard input; the caller waits.
inline ChildProcess StartZel(const std::vector<std::string>& args, const std::string& input = "") {
  std::string in = TestPath("zel.in");
  std::ofstream(in, std::ios::binary | std::ios::trunc) << input;
  std::vector<std::string> child_args = {in};
  child_args.insert(child_args.end(), args.begin(), args.end());
  return ChildProcess::Start("run_zel", child_args);
}

inline ZelRun RunZel(const std::vector<std::string>& args, const std::string& input = "") {
  ChildProcess zel = StartZel(args, input);
  ZelRun run;
  run.code = zel.Wait(Millis(120'000));
  run.out = ReadFile(TestPath("zel.out"));
  run.err = ReadFile(TestPath("zel.err"));
  return run;
}

}  // namespace zel::test

#endif  // ZEL_TESTS_TOOLS_ZEL_RUN_H
