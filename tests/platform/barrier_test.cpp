// The platform layer's edge: no exception ever leaves one of its functions.
// Each function that reaches an allocation, run with every allocation
// failing, returns its documented failure with ERROR_NOT_ENOUGH_MEMORY,
// raises EXT_EXCEPTION, leaves nothing behind, and works again afterwards.
#include <dlfcn.h>
#include <poll.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event.h"
#include "platform/filemap.h"
#include "platform/handles.h"
#include "platform/module.h"
#include "platform/mutex.h"
#include "platform/netdrive.h"
#include "platform/pipe.h"
#include "platform/posix/heap.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/user.h"
#include "platform/window.h"
#include "base/trace.h"
#include "tests/harness/failing_new.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"

ZEL_MODULE("pbarrier_test")

namespace zel::test {
namespace {

using namespace zel::platform;

constexpr DWORD kWaitMs = 30000;
constexpr size_t kTableCapacity = 16384;  // handles one process can hold (handles.h)
constexpr char kText[] = "a text too long to be kept inside a string";
const std::string kMark = "PLAT_TEST_MARK (pbarrier_test)";
const std::string kStopped = "EXT_EXCEPTION (zelplat)";

// What the cases prepare and later undo.
HANDLE g_handle = 0;
std::shared_ptr<HandleObject> g_object;
std::vector<HANDLE> g_handles;
size_t g_descriptors = 0;
HWND g_window = 0;

size_t OpenDescriptors() {
  auto entries = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

bool CloseAll(const std::vector<HANDLE>& handles) {
  return std::all_of(handles.begin(), handles.end(), [](HANDLE h) { return CloseHandle(h); });
}

// True when `name` is loaded in this process, whoever loaded it.
bool Loaded(const char* name) {
  void* library = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (library != nullptr) dlclose(library);
  return library != nullptr;
}

DWORD ExitWith7(void*) { return 7; }

LRESULT NoAnswer(HWND, UINT, WPARAM, LPARAM) { return 0; }

// An object whose wait needs memory.
class AllocatingWait : public HandleObject {
 public:
  AllocatingWait() : HandleObject(HandleKind::kFirstUser) {}
  DWORD Wait(DWORD) override { return static_cast<DWORD>(std::string(kText).size()); }
};

// One platform function that reaches an allocation.
struct Case {
  const char* name;
  std::function<void()> prepare;  // with memory, before the call
  std::function<bool()> fails;    // the call: true when it returned its failure value
  std::function<bool()> works;    // again with memory, undone: true when it succeeded
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

void Nothing() {}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"CreateEventUnnamed", Nothing, [] { return CreateEvent(true, false, nullptr) == 0; },
       [] {
         HANDLE event = CreateEvent(true, false, nullptr);
         bool ok = event != 0 && SetEvent(event) && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
         return CloseHandle(event) && ok;
       }},
      // The name is short enough to need no memory of its own: the failure
      // comes where the registry's hold is made. A fresh creation afterwards
      // shows that no hold was left behind.
      {"CreateEventNamed", Nothing, [] { return CreateEvent(false, false, "pb.event") == 0; },
       [] {
         HANDLE event = CreateEvent(false, false, "pb.event");
         bool fresh = GetLastError() == NO_ERROR;
         return CloseHandle(event) && fresh;
       }},
      {"OpenEvent", [] { g_handle = CreateEvent(false, false, "pb.open"); },
       [] { return OpenEvent(EVENT_ALL_ACCESS, false, "pb.open") == 0; },
       [] {
         HANDLE event = OpenEvent(EVENT_ALL_ACCESS, false, "pb.open");
         bool opened = CloseHandle(event);
         // With its last handle closed, the name is gone.
         bool gone = CloseHandle(g_handle) && OpenEvent(EVENT_ALL_ACCESS, false, "pb.open") == 0 &&
                     GetLastError() == ERROR_FILE_NOT_FOUND;
         return opened && gone;
       }},
      {"CreateMutexUnnamed", Nothing, [] { return CreateMutex(true, nullptr) == 0; },
       [] {
         HANDLE mutex = CreateMutex(true, nullptr);
         bool owned = ReleaseMutex(mutex);
         return CloseHandle(mutex) && owned;
       }},
      {"CreateMutexNamed", Nothing, [] { return CreateMutex(true, "pb.mutex") == 0; },
       [] {
         HANDLE mutex = CreateMutex(true, "pb.mutex");
         bool fresh = GetLastError() == NO_ERROR && ReleaseMutex(mutex);
         return CloseHandle(mutex) && fresh;
       }},
      {"OpenMutex", [] { g_handle = CreateMutex(false, "pb.opened"); },
       [] { return OpenMutex(MUTEX_ALL_ACCESS, false, "pb.opened") == 0; },
       [] {
         HANDLE mutex = OpenMutex(MUTEX_ALL_ACCESS, false, "pb.opened");
         bool opened = CloseHandle(mutex);
         bool gone = CloseHandle(g_handle) &&
                     OpenMutex(MUTEX_ALL_ACCESS, false, "pb.opened") == 0 &&
                     GetLastError() == ERROR_FILE_NOT_FOUND;
         return opened && gone;
       }},
      // The table needs memory only to grow: inserting until it must, which
      // the small table of a fresh process (each test runs in its own) does
      // within a few inserts.
      {"InsertHandle",
       [] {
         g_object = std::make_shared<HandleObject>(HandleKind::kFirstUser);
         g_handles.clear();
         g_handles.reserve(kTableCapacity);
       },
       [] {
         for (size_t i = 0; i < kTableCapacity; ++i) {
           HANDLE handle = InsertHandle(g_object);
           if (handle == 0) return true;
           g_handles.push_back(handle);
         }
         return false;
       },
       [] {
         bool closed = CloseAll(g_handles);
         HANDLE handle = InsertHandle(g_object);
         return closed && handle != 0 && CloseHandle(handle);
       }},
      {"WaitForSingleObject", [] { g_handle = InsertHandle(std::make_shared<AllocatingWait>()); },
       [] { return WaitForSingleObject(g_handle, 0) == WAIT_FAILED; },
       [] {
         bool waited = WaitForSingleObject(g_handle, 0) == sizeof kText - 1;
         return CloseHandle(g_handle) && waited;
       }},
      {"CreateThread", Nothing, [] { return CreateThread(0, ExitWith7, nullptr, nullptr) == 0; },
       [] {
         HANDLE thread = CreateThread(0, ExitWith7, nullptr, nullptr);
         DWORD code = 0;
         bool ran = WaitForSingleObject(thread, kWaitMs) == WAIT_OBJECT_0 &&
                    GetExitCodeThread(thread, &code) && code == 7;
         return CloseHandle(thread) && ran;
       }},
      // No descriptor of a pipe that got no handles stays open.
      {"CreatePipe", [] { g_descriptors = OpenDescriptors(); },
       [] {
         HANDLE read = 1, write = 1;
         return !CreatePipe(&read, &write, 0) && read == 0 && write == 0;
       },
       [] {
         bool none_left = OpenDescriptors() == g_descriptors;
         HANDLE read = 0, write = 0;
         char byte = 'x';
         DWORD count = 0;
         bool ok = CreatePipe(&read, &write, 0) && WriteFile(write, &byte, 1, &count) &&
                   ReadFile(read, &byte, 1, &count) && count == 1;
         return CloseHandle(read) && CloseHandle(write) && ok && none_left;
       }},
      // Nor does the library stay loaded.
      {"LoadLibrary", Nothing, [] { return LoadLibrary(ZEL_ORDINAL_MODULE) == 0; },
       [] {
         bool unloaded = !Loaded(ZEL_ORDINAL_MODULE);
         HMODULE module = LoadLibrary(ZEL_ORDINAL_MODULE);
         bool found = GetProcAddress(module, "zelOrdinalOne") != nullptr;
         return FreeLibrary(module) && found && unloaded && !Loaded(ZEL_ORDINAL_MODULE);
       }},
      {"GetModuleFileName", Nothing,
       [] {
         char path[4096];
         return GetModuleFileName(0, path, sizeof path) == 0;
       },
       [] {
         char path[4096];
         DWORD length = GetModuleFileName(0, path, sizeof path);
         return length > 0 && std::filesystem::read_symlink("/proc/self/exe") == path;
       }},
      {"CreateProcess", Nothing,
       [] {
         PROCESS_INFORMATION info;
         return !CreateProcess(nullptr, "/bin/true", 0, &info);
       },
       [] {
         PROCESS_INFORMATION info{};
         DWORD code = 1;
         bool ran = CreateProcess(nullptr, "/bin/true", 0, &info) &&
                    WaitForSingleObject(info.hProcess, kWaitMs) == WAIT_OBJECT_0 &&
                    GetExitCodeProcess(info.hProcess, &code) && code == 0;
         return CloseHandle(info.hProcess) && ran;
       }},
      {"OpenProcess", [] { g_descriptors = OpenDescriptors(); },
       [] { return OpenProcess(PROCESS_ALL_ACCESS, false, GetCurrentProcessId()) == 0; },
       [] {
         bool none_left = OpenDescriptors() == g_descriptors;
         HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, false, GetCurrentProcessId());
         bool ours = GetProcessId(process) == GetCurrentProcessId();
         return CloseHandle(process) && ours && none_left;
       }},
      {"CommandLineToArgv", Nothing, [] { return CommandLineToArgv("one two").empty(); },
       [] {
         return CommandLineToArgv("one two") == std::vector<std::string>{"one", "two"};
       }},
      {"WNetOpenEnum", Nothing,
       [] {
         HANDLE enumeration = 1;
         return WNetOpenEnum(RESOURCE_CONNECTED, RESOURCETYPE_DISK, 0, nullptr, &enumeration) ==
                    ERROR_NOT_ENOUGH_MEMORY &&
                enumeration == 0;
       },
       [] {
         HANDLE enumeration = 0;
         DWORD opened =
             WNetOpenEnum(RESOURCE_CONNECTED, RESOURCETYPE_DISK, 0, nullptr, &enumeration);
         return opened == NO_ERROR && WNetCloseEnum(enumeration) == NO_ERROR;
       }},
      // Reading the connections needs memory; C: is there all the same.
      {"GetLogicalDrives",
       [] {
         NETRESOURCE drive{0,
                           RESOURCETYPE_DISK,
                           0,
                           0,
                           const_cast<char*>("Q:"),
                           const_cast<char*>("/srv/share"),
                           nullptr,
                           nullptr};
         WNetAddConnection2(&drive, nullptr, nullptr, 0);
       },
       [] { return GetLogicalDrives() == 1u << 2; },
       [] {
         bool both = GetLogicalDrives() == (1u << 2 | 1u << 16);
         return WNetCancelConnection2("Q:", 0, false) == NO_ERROR && both;
       }},
      {"MessageBox", Nothing, [] { return MessageBox(0, kText, "pb", MB_OK) == 0; },
       [] {
         MessageBoxRecord record;
         return MessageBox(0, kText, "pb", MB_YESNO) == IDYES && GetLastMessageBox(&record) &&
                record.text == kText && record.style == MB_YESNO;
       }},
      {"GetLastMessageBox", [] { MessageBox(0, kText, "pb", MB_OK); },
       [] {
         MessageBoxRecord record;
         return !GetLastMessageBox(&record);
       },
       [] {
         MessageBoxRecord record;
         return GetLastMessageBox(&record) && record.text == kText;
       }},
      {"CreateFileMapping", Nothing,
       [] { return CreateFileMapping(PAGE_READWRITE, 4096, "pb.mapping") == 0; },
       [] {
         HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 4096, "pb.mapping");
         bool fresh = GetLastError() == NO_ERROR;
         return CloseHandle(mapping) && fresh;
       }},
      {"CreateMessageWindow", Nothing,
       [] { return CreateMessageWindow(NoAnswer) == 0; },
       [] {
         HWND window = CreateMessageWindow(NoAnswer);
         return window != 0 && DestroyWindow(window);
       }},
      // No descriptor is left made when its record could not be kept; the
      // one made afterwards sees the message queued before.
      {"GetWindowReadyFd",
       [] {
         g_window = CreateMessageWindow(NoAnswer);
         PostMessage(g_window, WM_USER, 0, 0);
         g_descriptors = OpenDescriptors();
       },
       [] { return GetWindowReadyFd(g_window) == -1; },
       [] {
         bool none_left = OpenDescriptors() == g_descriptors;
         pollfd ready{GetWindowReadyFd(g_window), POLLIN, 0};
         bool readable = poll(&ready, 1, 0) == 1;
         return DestroyWindow(g_window) && none_left && readable;
       }},
      {"FormatErrorMessage", Nothing,
       [] { return FormatErrorMessage(ERROR_ACCESS_DENIED).empty(); },
       [] { return FormatErrorMessage(ERROR_ACCESS_DENIED) == "Access is denied."; }},
      {"GetLastErrorText", Nothing, [] { return GetLastErrorText().empty(); },
       [] {
         SetLastError(ERROR_ACCESS_DENIED);
         return GetLastErrorText() == "Access is denied. (5)";
       }},
      {"CheckGlobalHeap", Nothing,
       [] {
         const char* problem = internal::CheckGlobalHeap().problem;
         return problem != nullptr && std::string_view(problem) == "the heap could not be checked";
       },
       [] { return internal::CheckGlobalHeap().problem == nullptr; }},
  };
  return cases;
}

class StarvedPlatformCall : public ::testing::TestWithParam<Case> {
 protected:
  // Attached beforehand, so that the call meets its own allocation rather
  // than the instance's.
  void SetUp() override {
    InstanceProcess process;
    ASSERT_TRUE(GetInstanceProcess(&process));
  }
};

TEST_P(StarvedPlatformCall, GivesItsFailureAndThenWorksAgain) {
  const Case& c = GetParam();
  c.prepare();
  static_cast<void>(ZEL_ERROR_POINT("PLAT_TEST_MARK"));
  SetLastError(NO_ERROR);
  auto starved = CallStarved([&] { return c.fails(); });
  DWORD error = GetLastError();

  EXPECT_TRUE(starved.value);
  EXPECT_GT(starved.refused, 0u);
  EXPECT_EQ(error, ERROR_NOT_ENOUGH_MEMORY);
  // Exactly one barrier stopped the exception.
  EXPECT_EQ(RecentErrorPoints(2), (std::vector<std::string>{kMark, kStopped}));
  EXPECT_TRUE(c.works());
}

INSTANTIATE_TEST_SUITE_P(Functions, StarvedPlatformCall, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A close gives memory back and never needs any, so even a process out of
// memory can always close what it holds.
TEST(PlatformBarrierTest, ClosingNeedsNoMemory) {
  auto object = std::make_shared<HandleObject>(HandleKind::kFirstUser);
  std::vector<HANDLE> handles;
  for (int i = 0; i < 3000; ++i) handles.push_back(InsertHandle(object));
  ASSERT_EQ(std::count(handles.begin(), handles.end(), 0u), 0);

  auto closed = CallStarved([&] { return CloseAll(handles); });

  EXPECT_TRUE(closed.value);
  EXPECT_EQ(closed.refused, 0u);
  EXPECT_EQ(WaitForSingleObject(handles.front(), 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A library's object whose wait throws: the wait fails with an internal
// error, and the trace names the function and the exception.
TEST(PlatformBarrierTest, AnExceptionOfAnotherKindIsAnInternalError) {
  class ThrowingWait : public HandleObject {
   public:
    ThrowingWait() : HandleObject(HandleKind::kFirstUser) {}
    DWORD Wait(DWORD) override { throw std::runtime_error("the wait broke"); }
  };
  HANDLE handle = InsertHandle(std::make_shared<ThrowingWait>());
  ASSERT_NE(handle, 0u);
  TraceCapture capture;

  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INTERNAL_ERROR);
  EXPECT_EQ(FormatErrorMessage(ERROR_INTERNAL_ERROR), "An internal error occurred.");
  EXPECT_EQ(capture.ErrorPoints(), std::vector<std::string>{kStopped});
  bool traced = false;
  for (const CapturedRecord& r : capture.Records()) {
    traced |= r.text == "WaitForSingleObject" && r.string == "the wait broke";
  }
  EXPECT_TRUE(traced);
  EXPECT_TRUE(CloseHandle(handle));
}

}  // namespace
}  // namespace zel::test
