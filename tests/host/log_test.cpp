// zelhost's log: what a client sends never makes a line of its own, a flood
// of one line is counted rather than written, and the file is private.
#include "host/log.h"

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

// The log's lines without their timestamps.
std::vector<std::string> Lines(const std::string& path) {
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    lines.push_back(line.size() > 27 ? line.substr(27) : line);
  }
  return lines;
}

TEST(HostLog, ANameWithALineFeedStaysOnItsLine) {
  std::string path = TestPath("forged.log");
  {
    host::Log log;
    ASSERT_TRUE(log.Open(path));
    log.Write("start request (proposed queue '%s')", "Q\n2026-01-01 00:00:00.000000 stopped");
  }
  std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "start request (proposed queue 'Q\\n2026-01-01 00:00:00.000000 stopped')");
}

TEST(HostLog, ARunOfOneLineIsCountedAndTheCountWritten) {
  std::string path = TestPath("repeated.log");
  {
    host::Log log;
    ASSERT_TRUE(log.Open(path));
    for (int i = 0; i < 1000; ++i) log.Write("accept failed: %s", "Too many open files");
    log.Write("connection %d from 127.0.0.1:5000", 7);
    log.Write("stopping");
    log.Write("stopping");
    log.Write("stopping");
  }
  std::vector<std::string> expected = {
      "accept failed: Too many open files",
      "accept failed: Too many open files (repeated 999 times)",
      "connection 7 from 127.0.0.1:5000",
      "stopping",
      "stopping (repeated 2 times)",
  };
  EXPECT_EQ(Lines(path), expected);
}

TEST(HostLog, TheFileIsMadeForItsOwnerOnly) {
  std::string path = TestPath("private.log");
  mode_t old_mask = umask(022);
  {
    host::Log log;
    ASSERT_TRUE(log.Open(path));
    log.Write("listening");
  }
  umask(old_mask);
  struct stat status {};
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace zel::test
