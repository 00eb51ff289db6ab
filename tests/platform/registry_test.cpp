// The instance as a whole: isolation between instances, files created
// owner-only and removed with the last process, a fresh start after kill -9
// or a damaged registry, and processes killed at random moments.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/filemap.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/window.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

using namespace zel::platform;

std::string FilePrefix(const std::string& instance) {
  return "zel." + std::to_string(geteuid()) + "." + instance + ".";
}

// The /dev/shm files of `instance`.
std::vector<std::filesystem::path> InstanceFiles(const std::string& instance) {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    if (entry.path().filename().string().rfind(FilePrefix(instance), 0) == 0) {
      files.push_back(entry.path());
    }
  }
  return files;
}

ChildProcess StartIn(const std::string& instance, std::string_view command,
                     std::vector<std::string> args = {}) {
  return ChildProcess::Start(command, std::move(args), {{"ZEL_INSTANCE", instance}});
}

// ---- Child commands ---------------------------------------------------------

// Makes one object of every kind, checks that each is new, reports
// "ready", and ends on "exit" (or is killed).
ZEL_CHILD_COMMAND(make_everything) {
  HANDLE mutex = CreateMutex(true, "STATE");
  bool fresh = mutex != 0 && GetLastError() == 0;
  HANDLE event = CreateEvent(true, false, "RUNNING");
  fresh = fresh && event != 0 && GetLastError() == 0;
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 512000, "CPMSHAREME");
  fresh = fresh && mapping != 0 && GetLastError() == 0;
  auto* view = static_cast<char*>(
      MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, reinterpret_cast<void*>(0x23000000)));
  fresh = fresh && view != nullptr && view[0] == 0;
  if (view != nullptr) view[0] = 'x';
  fresh = fresh && GlobalAlloc(GMEM_SHARE, 1 << 20) != nullptr;
  fresh = fresh && CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; }) != 0;
  child::Report(fresh ? "ready" : "stale " + GetLastErrorText());
  child::Receive();
  return 0;
}

// Holds event "private" of its own instance and reports whether it can see
// the test's event "shared".
ZEL_CHILD_COMMAND(look_across) {
  HANDLE own = CreateEvent(true, false, "private");
  bool fresh = own != 0 && GetLastError() == 0;
  bool sees = OpenEvent(EVENT_ALL_ACCESS, false, "shared") != 0;
  child::Report(std::string(fresh ? "fresh" : "stale") + (sees ? " sees" : " blind"));
  child::Receive();
  return 0;
}

// Reports the error of creating an event (0 when it worked).
ZEL_CHILD_COMMAND(create_event) {
  HANDLE event = CreateEvent(true, false, "RUNNING");
  child::Report(std::to_string(event != 0 ? 0 : GetLastError()));
  return 0;
}

// Works on a small set of names at random until told to stop (or killed).
ZEL_CHILD_COMMAND(fuzz_worker) {
  std::mt19937 random(static_cast<unsigned>(std::stoul(args[0])));
  HWND parent = static_cast<HWND>(std::stoul(args[1]));
  std::vector<void*> blocks;
  auto name = [&](const char* kind) { return std::string(kind) + std::to_string(random() % 4); };
  for (int round = 0; round < 1'000'000; ++round) {
    if (round == 1) child::Report("ready");
    if (round % 64 == 0 && child::Receive(Millis(0)) == "stop") break;
    switch (random() % 7) {
      case 0: {
        HANDLE mutex = CreateMutex(false, name("fuzz.mutex").c_str());
        DWORD result = WaitForSingleObject(mutex, 50);
        if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) ReleaseMutex(mutex);
        CloseHandle(mutex);
        break;
      }
      case 1: {
        HANDLE event = CreateEvent(random() % 2 == 0, false, name("fuzz.event").c_str());
        if (random() % 2 == 0)
          SetEvent(event);
        else
          PulseEvent(event);
        WaitForSingleObject(event, 0);
        CloseHandle(event);
        break;
      }
      case 2: {
        HANDLE event = OpenEvent(EVENT_ALL_ACCESS, false, name("fuzz.event").c_str());
        if (event != 0) CloseHandle(event);
        break;
      }
      case 3:
        if (blocks.size() < 32) {
          if (void* block = GlobalAlloc(GMEM_SHARE, 1 + random() % 100000)) blocks.push_back(block);
        } else {
          GlobalFree(blocks.back());
          blocks.pop_back();
        }
        break;
      case 4: {
        HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 65536, name("fuzz.map").c_str());
        if (auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0))) {
          view[random() % 65536] = 1;
          UnmapViewOfFile(view);
        }
        CloseHandle(mapping);
        break;
      }
      case 5:
        PostMessage(parent, WM_USER, round, 0);
        break;
      default:
        DestroyWindow(CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; }));
        break;
    }
  }
  return 0;
}

// ---- Tests ------------------------------------------------------------------

TEST(Instances, TwoInstancesNeverSeeEachOthersObjects) {
  HANDLE shared = CreateEvent(true, false, "shared");
  ASSERT_NE(shared, 0u);
  ChildProcess other = StartIn(Instance() + "_other", "look_across");
  EXPECT_EQ(other.ReadLine(), "fresh blind");
  EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, "private"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ChildProcess same = ChildProcess::Start("look_across");
  EXPECT_EQ(same.ReadLine(), "fresh sees");
  other.Send("exit");
  same.Send("exit");
  EXPECT_EQ(other.Wait(), 0);
  EXPECT_EQ(same.Wait(), 0);
}

TEST(Instances, FilesAreOwnerOnlyAndGoWithTheLastProcess) {
  std::string instance = Instance() + "_tidy";
  ChildProcess maker = StartIn(instance, "make_everything");
  ASSERT_EQ(maker.ReadLine(), "ready");
  std::vector<std::filesystem::path> files = InstanceFiles(instance);
  EXPECT_EQ(files.size(), 3u) << "registry, heap, one mapping";
  for (const auto& file : files) {
    struct stat status;
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << file;
    EXPECT_EQ(status.st_uid, geteuid());
  }
  maker.Send("exit");
  EXPECT_EQ(maker.Wait(), 0);
  EXPECT_TRUE(InstanceFiles(instance).empty());
}

TEST(Instances, TheNextStartAfterKillNineWorksWithFreshObjects) {
  std::string instance = Instance() + "_killed";
  for (int run = 0; run < 3; ++run) {
    ChildProcess maker = StartIn(instance, "make_everything");
    ASSERT_EQ(maker.ReadLine(), "ready") << "run " << run;
    maker.Kill(SIGKILL);
    maker.Wait();
    EXPECT_FALSE(InstanceFiles(instance).empty()) << "a killed process leaves its files";
  }
  ChildProcess last = StartIn(instance, "make_everything");
  ASSERT_EQ(last.ReadLine(), "ready");
  last.Send("exit");
  EXPECT_EQ(last.Wait(), 0);
  EXPECT_TRUE(InstanceFiles(instance).empty());
}

TEST(Instances, ADamagedRegistryLeftBehindIsRebuilt) {
  std::string instance = Instance() + "_damaged";
  std::string registry = "/dev/shm/" + FilePrefix(instance) + "reg";
  for (size_t size : {size_t{100}, size_t{2 << 20}}) {
    {
      std::ofstream garbage(registry, std::ios::binary | std::ios::trunc);
      std::mt19937 random(static_cast<unsigned>(size));
      for (size_t i = 0; i < size; ++i) garbage.put(static_cast<char>(random()));
    }
    chmod(registry.c_str(), 0600);
    std::ofstream(("/dev/shm/" + FilePrefix(instance) + "map.1").c_str()) << "stale segment";
    ChildProcess maker = StartIn(instance, "make_everything");
    EXPECT_EQ(maker.ReadLine(), "ready") << "size " << size;
    maker.Send("exit");
    EXPECT_EQ(maker.Wait(), 0);
    EXPECT_TRUE(InstanceFiles(instance).empty());
  }
}

TEST(Instances, ARegistryOthersCanReadIsRefused) {
  std::string instance = Instance() + "_open";
  std::string registry = "/dev/shm/" + FilePrefix(instance) + "reg";
  std::ofstream(registry.c_str()) << "";
  chmod(registry.c_str(), 0644);
  ChildProcess creator = StartIn(instance, "create_event");
  EXPECT_EQ(creator.ReadLine(), std::to_string(ERROR_ACCESS_DENIED));
  EXPECT_EQ(creator.Wait(), 0);
  std::filesystem::remove(registry);
}

TEST(CrashFuzz, ProcessesKilledAtRandomMomentsLeaveNothingHeldAndNothingStuck) {
  HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  ASSERT_NE(hwnd, 0u);
  std::mt19937 random(20261205);
  std::vector<ChildProcess> workers;
  auto start = [&] {
    workers.push_back(
        ChildProcess::Start("fuzz_worker", {std::to_string(random()), std::to_string(hwnd)}));
    ASSERT_TRUE(workers.back().Expect("ready"));
  };
  for (int i = 0; i < 3; ++i) start();
  for (int kill = 0; kill < 24; ++kill) {
    MSG msg;
    while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) {
    }
    // Let the workers run into the middle of something; when is random.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    size_t victim = random() % workers.size();
    workers[victim].Kill(SIGKILL);
    workers[victim].Wait();
    workers.erase(workers.begin() + static_cast<long>(victim));
    start();
  }
  for (ChildProcess& worker : workers) worker.Send("stop");
  for (ChildProcess& worker : workers) EXPECT_EQ(worker.Wait(), 0) << "a survivor got stuck";

  // Nothing of the workers is held any more, and every mutex can be had.
  for (int k = 0; k < 4; ++k) {
    std::string suffix = std::to_string(k);
    EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, ("fuzz.event" + suffix).c_str()), 0u);
    EXPECT_EQ(OpenFileMapping(FILE_MAP_ALL_ACCESS, false, ("fuzz.map" + suffix).c_str()), 0u);
    EXPECT_EQ(OpenMutex(MUTEX_ALL_ACCESS, false, ("fuzz.mutex" + suffix).c_str()), 0u);
    HANDLE mutex = CreateMutex(false, ("fuzz.mutex" + suffix).c_str());
    EXPECT_EQ(GetLastError(), 0u) << "a new mutex";
    EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_OBJECT_0);
  }
  // The heap holds no block of the dead. A kill inside the heap's lock may
  // have poisoned it (every allocation then fails), never damaged it
  // silently.
  void* small = GlobalAlloc(GMEM_SHARE, 16);
  if (small == nullptr) {
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    RecordProperty("heap", "poisoned by a kill inside its lock");
    return;
  }
  GlobalFree(small);
  void* block = GlobalAlloc(GMEM_SHARE, kGlobalHeapSize - (4 << 20));
  EXPECT_NE(block, nullptr) << "blocks of killed workers were reclaimed";
  GlobalFree(block);
}

}  // namespace
}  // namespace zel::test
