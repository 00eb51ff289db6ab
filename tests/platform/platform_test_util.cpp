#include "tests/platform/platform_test_util.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "base/config.h"
#include "platform/filemap.h"
#include "platform/handles.h"
#include "tests/harness/waits.h"

namespace zel::test {

using namespace zel::platform;

std::string InstanceFolder(const std::string& instance) {
  std::string error;
  std::string dir = config::PrivateDir(&error);
  EXPECT_FALSE(dir.empty()) << error;
  return dir + "/" + instance;
}

std::vector<std::filesystem::path> InstanceFiles(const std::string& instance) {
  std::vector<std::filesystem::path> files;
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(InstanceFolder(instance), missing)) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool WaitUntilBlocked(pid_t pid, pid_t tid, Millis timeout) {
  std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid);
  return Eventually(
      [&] {
        std::ifstream stat_file(task + "/stat");
        std::string stat;
        std::getline(stat_file, stat);
        size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'S') {
          return false;
        }
        std::ifstream wchan_file(task + "/wchan");
        std::string wchan;
        std::getline(wchan_file, wchan);
        // Mutexes (priority-inheriting) sleep in rt_mutex code; thread-
        // sanitizer builds wait for them by trying and napping.
        return wchan.rfind("futex", 0) == 0 || wchan.rfind("rt_mutex", 0) == 0 ||
               wchan.find("nanosleep") != std::string::npos;
      },
      timeout, 200us);
}

SharedCounters* MapCounters(const char* name) {
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 4096, name);
  if (mapping == 0) return nullptr;
  return static_cast<SharedCounters*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0));
}

void CountReleases(HANDLE event, SharedCounters* counters) {
  for (;;) {
    if (WaitForSingleObject(event, 10000) != WAIT_OBJECT_0) {
      ++counters->timeouts;
      break;
    }
    ++counters->released;
    if (counters->done.load() != 0) break;
  }
  ++counters->exited;
}

}  // namespace zel::test
