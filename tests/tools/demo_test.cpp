// The demonstration, as the README's first command runs it: it succeeds, and
// its trace shows no failure. The only error points are the look-ups that
// expect to find nothing (no running system, no record of the name yet).
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

std::string BinaryDir() {
  return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin";
}

ZEL_CHILD_COMMAND(run_demo) {
  std::string demo = BinaryDir() + "/zeldemo";
  std::string work = TestPath("demo");
  execl(demo.c_str(), demo.c_str(), work.c_str(), static_cast<char*>(nullptr));
  return 127;
}

TEST(Demonstration, RunsCleanlyAndTracesNoFailure) {
  std::filesystem::create_directories(TestPath("demo"));
  std::string trace = TestPath("demo/trace.log");
  ChildProcess demo = ChildProcess::Start("run_demo", {}, {{"ZEL_TRACE", trace}});
  ASSERT_EQ(demo.Wait(Millis(120'000)), 0);
  std::ifstream file(trace);
  std::set<std::string> points;
  size_t records = 0;
  for (std::string line; std::getline(file, line); ++records) {
    std::istringstream fields(line);
    std::string date, time, pid, tid, tag, number, op, label;
    fields >> date >> time >> pid >> tid >> tag >> number >> op >> label;
    EXPECT_NE(number, "-100") << line;
    if (tag == "ue") points.insert(label);
  }
  EXPECT_GT(records, 100u);
  std::set<std::string> expected_lookups = {"NOT_FOUND_ERROR", "SYS_NOT_FOUND"};
  for (const std::string& point : points) {
    EXPECT_TRUE(expected_lookups.count(point)) << "error point " << point;
  }
}

}  // namespace
}  // namespace zel::test
