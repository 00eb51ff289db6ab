// The instance as a whole: isolation between instances, files created
// owner-only and removed with the last process, a fresh start after kill -9
// or a damaged registry, and processes killed at random moments.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest-spi.h>

#include "platform/event.h"
#include "platform/filemap.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/posix/instance.h"
#include "platform/process.h"
#include "platform/window.h"
#include "tests/harness/zel_test.h"
#include "tests/platform/platform_test_util.h"

namespace zel::test {
namespace {

using namespace zel::platform;

// Makes the folder of `instance` as a process of it would.
void MakeInstanceFolder(const std::string& instance) {
  ASSERT_TRUE(mkdir(InstanceFolder(instance).c_str(), 0700) == 0 || errno == EEXIST);
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

// What the fuzz workers and the test share: the windows that workers make,
// for other workers to send to.
constexpr int kBoardSize = 8;
struct Board {
  std::atomic<uint32_t> windows[kBoardSize];
};
constexpr char kBoardName[] = "fuzz.board";
constexpr UINT kAsk = WM_USER + 1;  // answered with 2 * wParam + 1

LRESULT Answer(HWND, UINT message, WPARAM wParam, LPARAM) {
  return message == kAsk ? static_cast<LRESULT>(2 * wParam + 1) : 0;
}

// Events that workers wait on and set, held by the test for the whole run.
std::string WaitEventName(bool manual, uint32_t k) {
  return std::string(manual ? "fuzz.manual" : "fuzz.auto") + std::to_string(k);
}

// Exit codes of a worker that saw something wrong.
constexpr int kBadWait = 4;
constexpr int kBadSend = 5;
constexpr int kNoSetUp = 6;

// Works on a small set of names at random until told to stop (or killed):
// named objects made and closed, waits on events that others set and
// pulse, global blocks, mappings, and messages posted and sent to the
// test's window and to other workers' windows.
ZEL_CHILD_COMMAND(fuzz_worker) {
  std::mt19937 random(static_cast<unsigned>(std::stoul(args[0])));
  HWND parent = static_cast<HWND>(std::stoul(args[1]));
  HANDLE board_mapping = OpenFileMapping(FILE_MAP_ALL_ACCESS, false, kBoardName);
  auto* board = static_cast<Board*>(MapViewOfFile(board_mapping, FILE_MAP_ALL_ACCESS, 0, 0));
  HWND own = CreateMessageWindow(Answer);
  HANDLE events[2][2];
  for (bool manual : {false, true}) {
    for (uint32_t k = 0; k < 2; ++k) {
      events[manual][k] = OpenEvent(EVENT_ALL_ACCESS, false, WaitEventName(manual, k).c_str());
      if (events[manual][k] == 0) return kNoSetUp;
    }
  }
  if (board == nullptr || own == 0) return kNoSetUp;
  board->windows[random() % kBoardSize].store(own);
  std::vector<void*> blocks;
  auto name = [&](const char* kind) { return std::string(kind) + std::to_string(random() % 4); };
  for (int round = 0; round < 1'000'000; ++round) {
    if (round == 1) child::Report("ready");
    if (child::Receive(Millis(0)) == "stop") break;
    MSG msg;
    while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
    switch (random() % 10) {
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
      case 6:
        DestroyWindow(CreateMessageWindow(Answer));
        break;
      case 7: {
        // The test sets and pulses these often enough to end any wait.
        bool manual = random() % 2 == 0;
        DWORD timeouts[] = {0, 1 + static_cast<DWORD>(random() % 20), INFINITE};
        DWORD timeout = timeouts[random() % 3];
        DWORD result = WaitForSingleObject(events[manual][random() % 2], timeout);
        if (result != WAIT_OBJECT_0 && (result != WAIT_TIMEOUT || timeout == INFINITE)) {
          return kBadWait;
        }
        break;
      }
      case 8: {
        HANDLE event = events[random() % 2][random() % 2];
        switch (random() % 3) {
          case 0:
            SetEvent(event);
            break;
          case 1:
            PulseEvent(event);
            break;
          default:
            ResetEvent(event);
            break;
        }
        break;
      }
      default: {
        uint32_t pick = random() % (kBoardSize + 1);
        HWND target = pick == kBoardSize ? parent : board->windows[pick].load();
        if (target == 0) break;
        WPARAM question = random();
        LRESULT answer = SendMessage(target, kAsk, question, 0);
        DWORD error = GetLastError();
        bool answered = error == NO_ERROR && answer == static_cast<LRESULT>(2 * question + 1);
        if (!answered && error != ERROR_INVALID_WINDOW_HANDLE) return kBadSend;
        break;
      }
    }
  }
  return 0;
}

// Makes, opens, maps, waits on and closes the "sweep.*" objects and makes
// and destroys windows, reporting each window; reports "done" and ends on
// "exit". With args[0] > 0 it kills itself at that registry edit point, at
// exit's included.
ZEL_CHILD_COMMAND(registry_edits) {
  platform::internal::KillAtRegistryEdit(static_cast<uint32_t>(std::stoul(args[0])));
  HANDLE mutex = CreateMutex(true, "sweep.mutex");
  HANDLE event = CreateEvent(false, false, "sweep.event");
  // A waiter that is still counted when the process dies.
  std::thread([event] { WaitForSingleObject(event, INFINITE); }).detach();
  HANDLE again = OpenEvent(EVENT_ALL_ACCESS, false, "sweep.event");
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 4096, "sweep.map");
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0);
  for (int i = 0; i < 2; ++i) {
    HWND hwnd = CreateMessageWindow(Answer);
    child::Report("window " + std::to_string(hwnd));
    if (i == 0) DestroyWindow(hwnd);
  }
  CloseHandle(again);
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  ReleaseMutex(mutex);
  child::Report("done");
  child::Receive();
  return 0;
}

// Ends at once: by signal args[1] ("signal") or with exit code args[1].
ZEL_CHILD_COMMAND(die_by) {
  if (args[0] == "signal") raise(std::stoi(args[1]));
  _exit(std::stoi(args[1]));
}

// Reports its place in the instance, then whether the place args[0]
// args[1] is alive; ends on "exit" (or is killed).
ZEL_CHILD_COMMAND(report_place) {
  InstanceProcess place{};
  if (!GetInstanceProcess(&place)) return 1;
  child::Report(std::to_string(place.slot) + " " + std::to_string(place.generation));
  InstanceProcess other{static_cast<uint32_t>(std::stoul(args[0])),
                        static_cast<uint32_t>(std::stoul(args[1]))};
  child::Report(InstanceProcessAlive(other) ? "alive" : "ended");
  child::Receive();
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
  EXPECT_EQ(files.size(), 4u) << "registry, heap, one mapping, one message socket";
  struct stat status;
  ASSERT_EQ(lstat(InstanceFolder(instance).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  for (const auto& file : files) {
    ASSERT_EQ(lstat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << file;
    EXPECT_EQ(status.st_uid, geteuid());
  }
  maker.Send("exit");
  EXPECT_EQ(maker.Wait(), 0);
  EXPECT_FALSE(std::filesystem::exists(InstanceFolder(instance))) << "the folder goes too";
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
  std::string registry = InstanceFolder(instance) + "/reg";
  for (size_t size : {size_t{100}, size_t{2 << 20}}) {
    MakeInstanceFolder(instance);
    {
      std::ofstream garbage(registry, std::ios::binary | std::ios::trunc);
      std::mt19937 random(static_cast<unsigned>(size));
      for (size_t i = 0; i < size; ++i) garbage.put(static_cast<char>(random()));
    }
    chmod(registry.c_str(), 0600);
    std::ofstream((InstanceFolder(instance) + "/map.1").c_str()) << "stale segment";
    // Where the next process's message socket goes.
    std::ofstream((InstanceFolder(instance) + "/msg.0.1").c_str()) << "stale socket";
    ChildProcess maker = StartIn(instance, "make_everything");
    EXPECT_EQ(maker.ReadLine(), "ready") << "size " << size;
    maker.Send("exit");
    EXPECT_EQ(maker.Wait(), 0);
    EXPECT_TRUE(InstanceFiles(instance).empty());
  }
}

TEST(Instances, ARegistryOthersCanReadIsRefused) {
  std::string instance = Instance() + "_open";
  MakeInstanceFolder(instance);
  std::string registry = InstanceFolder(instance) + "/reg";
  std::ofstream(registry.c_str()) << "";
  chmod(registry.c_str(), 0644);
  ChildProcess creator = StartIn(instance, "create_event");
  EXPECT_EQ(creator.ReadLine(), std::to_string(ERROR_ACCESS_DENIED));
  EXPECT_EQ(creator.Wait(), 0);
  std::filesystem::remove_all(InstanceFolder(instance));
}

// The crash tests rely on this: a child that dies while the test waits for
// it fails the test, saying how it died.
TEST(ChildHarness, AChildThatDiesFailsTheTestWithItsExitStatus) {
  ChildProcess killed = ChildProcess::Start("die_by", {"signal", std::to_string(SIGTERM)});
  EXPECT_NONFATAL_FAILURE(killed.ReadLine(), "was killed by signal 15 (SIGTERM)");
  EXPECT_NONFATAL_FAILURE(killed.Send("more"), "was killed by signal 15 (SIGTERM)");
  ChildProcess ended = ChildProcess::Start("die_by", {"exit", "3"});
  EXPECT_NONFATAL_FAILURE(ended.Expect("ready"), "ended with exit code 3");
  EXPECT_EQ(ended.Wait(), 3);
}

TEST(InstanceProcesses, APlaceIsAliveUntilItsProcessEndsOrIsKilled) {
  InstanceProcess own{};
  ASSERT_TRUE(GetInstanceProcess(&own));
  EXPECT_TRUE(InstanceProcessAlive(own));
  EXPECT_FALSE(InstanceProcessAlive({own.slot, own.generation + 1})) << "a later holder";
  EXPECT_FALSE(InstanceProcessAlive({1u << 20, own.generation})) << "no such slot";
  EXPECT_FALSE(GetInstanceProcess(nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  auto start = [&](std::vector<ChildProcess>& children, InstanceProcess* place) {
    children.push_back(ChildProcess::Start(
        "report_place", {std::to_string(own.slot), std::to_string(own.generation)}));
    std::optional<std::string> line = children.back().ReadLine();
    ASSERT_TRUE(line.has_value());
    ASSERT_EQ(sscanf(line->c_str(), "%u %u", &place->slot, &place->generation), 2);
    EXPECT_EQ(children.back().ReadLine(), "alive") << "this process, seen from the child";
  };
  std::vector<ChildProcess> children;
  InstanceProcess killed{}, ended{}, later{};
  start(children, &killed);
  start(children, &ended);
  EXPECT_TRUE(InstanceProcessAlive(killed));
  EXPECT_TRUE(InstanceProcessAlive(ended));
  children[0].Kill(SIGKILL);
  children[0].Wait();
  EXPECT_FALSE(InstanceProcessAlive(killed)) << "dead, not yet reaped";
  children[1].Send("exit");
  EXPECT_EQ(children[1].Wait(), 0);
  EXPECT_FALSE(InstanceProcessAlive(ended));
  // The next process reaps the dead one and may take its slot again.
  start(children, &later);
  EXPECT_TRUE(InstanceProcessAlive(later));
  EXPECT_FALSE(InstanceProcessAlive(killed));
  EXPECT_FALSE(InstanceProcessAlive(ended));
  children[2].Send("exit");
  EXPECT_EQ(children[2].Wait(), 0);
}

// A forked child takes a place of its own with a hold of its own on all the
// parent held: the parent's closes leave the child's objects alive, and the
// child's exit frees those it held last and leaves the parent's alone. The
// parent's handles stay good in the child; its new ones carry its own tag.
TEST(InstanceProcesses, AForkedChildIsAProcessOfItsOwnWithHoldsOfItsOwn) {
  InstanceProcess parent{};
  ASSERT_TRUE(GetInstanceProcess(&parent));
  HANDLE shared = CreateEvent(true, false, "forked.shared");
  HANDLE kept = CreateEvent(true, false, "forked.kept");
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 4096, "forked.map");
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0);
  ASSERT_TRUE(shared != 0 && kept != 0 && view != nullptr);
  ForkedChild child([&](ForkedChild& self) {
    InstanceProcess own{};
    GetInstanceProcess(&own);
    self.Send(std::to_string(own.slot) + " " + std::to_string(own.generation));
    if (self.Receive() != "closed") return 1;
    HANDLE found = OpenEvent(EVENT_ALL_ACCESS, false, "forked.shared");
    bool mapped = OpenFileMapping(FILE_MAP_ALL_ACCESS, false, "forked.map") != 0;
    bool inherited = SetEvent(shared) && WaitForSingleObject(shared, 0) == WAIT_OBJECT_0;
    bool own_tag = found != 0 && found >> 20 != shared >> 20;
    self.Send(std::string(found != 0 && mapped ? "found" : "freed") +
              (inherited ? " inherited" : " refused") + (own_tag ? " own-tag" : " parent-tag"));
    return self.Receive() == "exit" ? 0 : 1;
  });
  ASSERT_TRUE(child.running());
  InstanceProcess place{};
  ASSERT_EQ(sscanf(child.Receive().c_str(), "%u %u", &place.slot, &place.generation), 2);
  EXPECT_NE(place.slot, parent.slot);
  EXPECT_TRUE(InstanceProcessAlive(place));
  UnmapViewOfFile(view);
  CloseHandle(mapping);
  CloseHandle(shared);
  child.Send("closed");
  EXPECT_EQ(child.Receive(), "found inherited own-tag");
  child.Send("exit");
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_FALSE(InstanceProcessAlive(place));
  EXPECT_TRUE(InstanceProcessAlive(parent));
  EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, "forked.shared"), 0u) << "freed with the last hold";
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenFileMapping(FILE_MAP_ALL_ACCESS, false, "forked.map"), 0u);
  HANDLE again = OpenEvent(EVENT_ALL_ACCESS, false, "forked.kept");
  EXPECT_NE(again, 0u) << "the child's exit took the parent's hold";
  CloseHandle(again);
  CloseHandle(kept);
}

// A forked child killed with SIGKILL is reaped like any dead process: its
// holds and its ownership of a mutex go, the parent's holds stay.
TEST(InstanceProcesses, AKilledForkedChildIsReapedWithoutTouchingTheParentsHolds) {
  HANDLE mutex = CreateMutex(false, "forked.mutex");
  ASSERT_NE(mutex, 0u);
  ForkedChild child([&](ForkedChild& self) {
    bool opened = OpenMutex(MUTEX_ALL_ACCESS, false, "forked.mutex") != 0;
    bool owned = WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0;
    self.Send(opened && owned ? "owned" : "refused");
    self.Receive();
    return 0;
  });
  ASSERT_EQ(child.Receive(), "owned");
  child.Kill();
  EXPECT_EQ(child.Wait(), 128 + SIGKILL);
  // The look-up reaps the child; the parent's hold keeps the mutex.
  HANDLE found = OpenMutex(MUTEX_ALL_ACCESS, false, "forked.mutex");
  EXPECT_NE(found, 0u) << "the parent's hold went with the child";
  EXPECT_EQ(WaitForSingleObject(mutex, 1000), WAIT_ABANDONED);
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(found);
  CloseHandle(mutex);
  EXPECT_EQ(OpenMutex(MUTEX_ALL_ACCESS, false, "forked.mutex"), 0u) << "a hold of the dead child";
}

// True when the "sweep.*" object `name` can be opened.
bool SweepObjectOpens(const std::string& name) {
  HANDLE handle;
  if (name == "sweep.mutex") {
    handle = OpenMutex(MUTEX_ALL_ACCESS, false, name.c_str());
  } else if (name == "sweep.event") {
    handle = OpenEvent(EVENT_ALL_ACCESS, false, name.c_str());
  } else {
    handle = OpenFileMapping(FILE_MAP_ALL_ACCESS, false, name.c_str());
  }
  if (handle == 0) return false;
  CloseHandle(handle);
  return true;
}

// Runs "registry_edits" killed at edit point 1, 2, ... until it runs to its
// end, checking after each kill that the tables hold nothing of the dead
// process: its objects open only while this process holds them too, its
// windows are gone, its mapping's file is removed. Returns the number of
// edit points passed by a whole run.
uint32_t SweepRegistryEdits(bool objects_held_here) {
  InstanceProcess self{};
  EXPECT_TRUE(GetInstanceProcess(&self)) << "attached, so that the files stay";
  std::vector<std::filesystem::path> files = InstanceFiles(Instance());
  std::vector<HWND> windows;
  for (uint32_t edit = 1; edit < 1000; ++edit) {
    ChildProcess child = ChildProcess::Start("registry_edits", {std::to_string(edit)});
    while (std::optional<std::string> line = child.ReadLineOrEnd()) {
      if (line->rfind("window ", 0) == 0) windows.push_back(std::stoul(line->substr(7)));
      if (*line == "done") child.Send("exit");
    }
    int code = child.Wait();
    if (code == 0) return edit - 1;
    EXPECT_EQ(code, 128 + SIGKILL) << "edit " << edit << ": " << child.Status();
    for (const char* name : {"sweep.mutex", "sweep.event", "sweep.map"}) {
      EXPECT_EQ(SweepObjectOpens(name), objects_held_here) << "edit " << edit << ": " << name;
    }
    for (HWND hwnd : windows) EXPECT_FALSE(IsWindow(hwnd)) << "edit " << edit;
    EXPECT_EQ(InstanceFiles(Instance()), files) << "edit " << edit;
  }
  ADD_FAILURE() << "the edits never ran to their end";
  return 0;
}

TEST(RegistryEdits, AProcessKilledAtAnyEditLeavesTablesThatHoldNothingOfIt) {
  uint32_t points = SweepRegistryEdits(/*objects_held_here=*/false);
  EXPECT_GT(points, 20u);
  RecordProperty("edit_points", std::to_string(points));
  HANDLE mutex = CreateMutex(false, "sweep.mutex");
  EXPECT_EQ(GetLastError(), 0u) << "a new mutex";
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  CloseHandle(mutex);
}

TEST(RegistryEdits, KillsAtAnyEditOfObjectsOthersHoldLeaveTheirCountsRight) {
  HANDLE mutex = CreateMutex(false, "sweep.mutex");
  HANDLE event = CreateEvent(false, false, "sweep.event");
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 4096, "sweep.map");
  ASSERT_NE(mapping, 0u);
  EXPECT_GT(SweepRegistryEdits(/*objects_held_here=*/true), 20u);
  // Dead owners abandoned the mutex; it can be had.
  DWORD result = WaitForSingleObject(mutex, 1000);
  EXPECT_TRUE(result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) << result;
  EXPECT_TRUE(ReleaseMutex(mutex));
  // No dead waiter is counted: a Set with nobody waiting only signals.
  ASSERT_TRUE(SetEvent(event));
  ASSERT_TRUE(ResetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  // No hold of the dead is left: the objects go with this process's.
  for (HANDLE handle : {mutex, event, mapping}) CloseHandle(handle);
  for (const char* name : {"sweep.mutex", "sweep.event", "sweep.map"}) {
    EXPECT_FALSE(SweepObjectOpens(name)) << name;
  }
}

// Sets and pulses the fuzz's wait events until stopped, so that no wait of
// a worker lasts long, INFINITE ones included.
class Ticker {
 public:
  explicit Ticker(const std::vector<HANDLE>& events) {
    thread_ = std::thread([this, events] {
      while (!stop_.load()) {
        for (HANDLE event : events) {
          SetEvent(event);
          PulseEvent(event);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~Ticker() {
    stop_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A window of the test that answers workers on its own thread.
class Answerer {
 public:
  Answerer() {
    std::promise<HWND> made;
    std::future<HWND> window = made.get_future();
    thread_ = std::thread([&made] {
      made.set_value(CreateMessageWindow([](HWND hwnd, UINT message, WPARAM wParam, LPARAM) {
        if (message == kEnd) PostQuitMessage(0);
        return Answer(hwnd, message, wParam, 0);
      }));
      MSG msg;
      while (GetMessage(&msg, 0, 0, 0) > 0) DispatchMessage(&msg);
    });
    if (window.wait_for(kChildTimeout) == std::future_status::ready) hwnd_ = window.get();
  }
  ~Answerer() {
    PostMessage(hwnd_, kEnd, 0, 0);
    thread_.join();
  }
  HWND hwnd() const { return hwnd_; }

 private:
  static constexpr UINT kEnd = WM_USER + 2;
  HWND hwnd_ = 0;
  std::thread thread_;
};

TEST(CrashFuzz, ProcessesKilledAtRandomMomentsLeaveNothingHeldAndNothingStuck) {
  constexpr int kWorkers = 4;
  constexpr int kKills = 30;
  HANDLE board_mapping = CreateFileMapping(PAGE_READWRITE, 4096, kBoardName);
  auto* board = static_cast<Board*>(MapViewOfFile(board_mapping, FILE_MAP_ALL_ACCESS, 0, 0));
  ASSERT_NE(board, nullptr);
  std::vector<HANDLE> wait_events;
  for (bool manual : {false, true}) {
    for (uint32_t k = 0; k < 2; ++k) {
      wait_events.push_back(CreateEvent(manual, false, WaitEventName(manual, k).c_str()));
      ASSERT_NE(wait_events.back(), 0u);
    }
  }
  std::mt19937 random(std::random_device{}());
  uint32_t seed = random();
  RecordProperty("seed", std::to_string(seed));
  random.seed(seed);
  std::vector<ChildProcess> workers;
  {
    Ticker ticker(wait_events);
    Answerer answerer;
    HWND hwnd = answerer.hwnd();
    ASSERT_NE(hwnd, 0u);
    auto start = [&] {
      workers.push_back(
          ChildProcess::Start("fuzz_worker", {std::to_string(random()), std::to_string(hwnd)}));
      ASSERT_TRUE(workers.back().Expect("ready")) << "seed " << seed;
    };
    for (int i = 0; i < kWorkers; ++i) start();
    for (int kill = 0; kill < kKills; ++kill) {
      for (ChildProcess& worker : workers) {
        ASSERT_FALSE(worker.Ended()) << "a survivor " << worker.Status() << ", seed " << seed;
      }
      // Let the workers run into the middle of something; when is random.
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
      size_t victim = random() % workers.size();
      workers[victim].Kill(SIGKILL);
      EXPECT_EQ(workers[victim].Wait(), 128 + SIGKILL)
          << "the victim " << workers[victim].Status() << " before the kill, seed " << seed;
      workers.erase(workers.begin() + static_cast<long>(victim));
      start();
    }
    for (ChildProcess& worker : workers) worker.Send("stop");
    for (ChildProcess& worker : workers) {
      EXPECT_EQ(worker.Wait(), 0) << "a survivor " << worker.Status() << ", seed " << seed;
    }
    EXPECT_EQ(SendMessage(hwnd, kAsk, 20, 0), 41) << "the test's window still answers";
  }

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
  for (const std::atomic<uint32_t>& window : board->windows) {
    EXPECT_FALSE(IsWindow(window.load())) << "a worker's window outlived it";
  }
  // No waiter of the dead is counted: a Set without waiters only signals,
  // and one waiter takes it.
  for (HANDLE event : wait_events) {
    ASSERT_TRUE(ResetEvent(event));
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "a Set kept for the dead";
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
  }
  for (bool manual : {false, true}) {
    EXPECT_EQ(OpenEvent(EVENT_ALL_ACCESS, false, WaitEventName(manual, 0).c_str()), 0u);
  }
  // The heap holds no block of the dead, and a kill inside its lock left
  // it whole.
  void* small = GlobalAlloc(GMEM_SHARE, 16);
  EXPECT_NE(small, nullptr) << "the heap is unusable after the kills";
  GlobalFree(small);
  void* block = GlobalAlloc(GMEM_SHARE, kGlobalHeapSize - (4 << 20));
  EXPECT_NE(block, nullptr) << "blocks of killed workers were reclaimed";
  GlobalFree(block);
}

}  // namespace
}  // namespace zel::test
