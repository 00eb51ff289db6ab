// The handle table, handles of other processes, duplication and the last
// error.
#include "platform/handles.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/module.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "base/trace.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

using namespace zel::platform;

// A library's own object kind, counting its live objects.
std::atomic<int> g_live_objects{0};

class Counted : public HandleObject {
 public:
  explicit Counted(HandleKind kind, int value = 0) : HandleObject(kind), value(value) {
    ++g_live_objects;
  }
  ~Counted() override { --g_live_objects; }
  const int value;
};

HandleKind UserKind() {
  static HandleKind kind = RegisterHandleKind("test object");
  return kind;
}

TEST(HandleTable, UserKindsAreDistinctAndCheckedOnLookUpAndClose) {
  HandleKind other = RegisterHandleKind("other test object");
  EXPECT_NE(UserKind(), other);
  EXPECT_GE(static_cast<uint32_t>(other), static_cast<uint32_t>(HandleKind::kFirstUser));

  HANDLE handle = InsertHandle(std::make_shared<Counted>(UserKind(), 7));
  ASSERT_NE(handle, 0u);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  auto object = ReferenceHandleAs<Counted>(handle, UserKind());
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(object->value, 7);

  SetLastError(0);
  EXPECT_EQ(ReferenceHandle(handle, other), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandleOfKind(handle, HandleKind::kMutex));
  EXPECT_NE(ReferenceHandle(handle, HandleKind::kNone), nullptr) << "a refused close keeps it open";
  EXPECT_TRUE(CloseHandleOfKind(handle, UserKind()));
}

TEST(HandleTable, ClosedHandlesStayInvalidAfterTheirSlotIsReused) {
  HANDLE first = InsertHandle(std::make_shared<Counted>(UserKind()));
  ASSERT_TRUE(CloseHandle(first));
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  // Close many more handles: the old value never comes back to life.
  for (int i = 0; i < 20000; ++i) {
    HANDLE next = InsertHandle(std::make_shared<Counted>(UserKind()));
    ASSERT_NE(next, 0u);
    EXPECT_EQ(ReferenceHandle(first, HandleKind::kNone), nullptr) << "round " << i;
    ASSERT_TRUE(CloseHandle(next));
  }
  EXPECT_EQ(g_live_objects.load(), 0);
}

TEST(HandleTable, AReferenceOutlivesTheHandle) {
  HANDLE handle = InsertHandle(std::make_shared<Counted>(UserKind()));
  auto object = ReferenceHandle(handle, UserKind());
  ASSERT_TRUE(CloseHandle(handle));
  EXPECT_EQ(g_live_objects.load(), 1);
  object.reset();
  EXPECT_EQ(g_live_objects.load(), 0);
}

TEST(HandleTable, RefusesNullObjectsAndReportsAFullTable) {
  EXPECT_EQ(InsertHandle(nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  std::vector<HANDLE> handles;
  HANDLE handle;
  while ((handle = InsertHandle(std::make_shared<Counted>(UserKind()))) != 0) {
    handles.push_back(handle);
    ASSERT_LE(handles.size(), 20000u) << "the table never filled";
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
  EXPECT_EQ(handles.size(), 16384u);
  for (HANDLE h : handles) ASSERT_TRUE(CloseHandle(h));
  EXPECT_EQ(g_live_objects.load(), 0);
  EXPECT_NE(InsertHandle(std::make_shared<Counted>(UserKind())), 0u);
}

TEST(HandleTable, WaitOnAnObjectThatCannotBeWaitedOnFails) {
  HANDLE handle = InsertHandle(std::make_shared<Counted>(UserKind()));
  EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(0, 0), WAIT_FAILED);
  EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
}

// Makes handles until one has the index `index`, and reports its value.
ZEL_CHILD_COMMAND(report_handles) {
  for (int i = 0; i < 64; ++i) {
    HANDLE handle = InsertHandle(std::make_shared<Counted>(UserKind()));
    child::Report(std::to_string(handle));
  }
  child::Receive();
  return 0;
}

TEST(HandleTable, HandlesOfAnotherProcessAreRefusedEvenWhereTheIndexIsInUseHere) {
  std::vector<HANDLE> own;
  for (int i = 0; i < 64; ++i) own.push_back(InsertHandle(std::make_shared<Counted>(UserKind())));
  ChildProcess child = ChildProcess::Start("report_handles");
  for (int i = 0; i < 64; ++i) {
    std::optional<std::string> line = child.ReadLine();
    ASSERT_TRUE(line.has_value());
    HANDLE foreign = static_cast<HANDLE>(std::stoul(*line));
    EXPECT_NE(foreign, own[i]);
    EXPECT_EQ(foreign & 0xFFFFF, own[i] & 0xFFFFF) << "same index and generation, other tag";
    EXPECT_EQ(ReferenceHandle(foreign, HandleKind::kNone), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(foreign));
  }
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
  for (HANDLE h : own) EXPECT_TRUE(CloseHandle(h));
}

TEST(HandleTable, ThreadsInsertLookUpAndCloseConcurrently) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        HANDLE handle = InsertHandle(std::make_shared<Counted>(UserKind(), t * kRounds + i));
        auto object = ReferenceHandleAs<Counted>(handle, UserKind());
        if (object == nullptr || object->value != t * kRounds + i) ++failures;
        if (!CloseHandle(handle)) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(g_live_objects.load(), 0);
}

TEST(UniqueHandle, ClosesExactlyOnceWhateverWayTheHandleLeaves) {
  size_t open_before = OpenHandleCount();
  int live_before = g_live_objects.load();
  {
    UniqueHandle first(InsertHandle(std::make_shared<Counted>(UserKind())));
    UniqueHandle second(InsertHandle(std::make_shared<Counted>(UserKind())));
    EXPECT_EQ(OpenHandleCount(), open_before + 2);
    HANDLE moved_value = first.get();
    UniqueHandle moved(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(moved.get(), moved_value);
    moved = std::move(second);  // closes what `moved` held
    EXPECT_EQ(g_live_objects.load(), live_before + 1);
    EXPECT_TRUE(moved.Close());
    EXPECT_FALSE(moved);
    SetLastError(0);
    EXPECT_FALSE(moved.Close()) << "an empty owner has nothing to close";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(g_live_objects.load(), live_before);
  EXPECT_EQ(OpenHandleCount(), open_before);

  HANDLE kept = 0;
  { kept = UniqueHandle(InsertHandle(std::make_shared<Counted>(UserKind()))).Release(); }
  EXPECT_EQ(g_live_objects.load(), live_before + 1) << "a released handle stays open";
  EXPECT_TRUE(CloseHandle(kept));
}

TEST(UniqueHandle, AModuleOwnerClosesModulesOnly) {
  HANDLE object = InsertHandle(std::make_shared<Counted>(UserKind()));
  UniqueModule module(object);
  EXPECT_FALSE(module.Close());
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_TRUE(CloseHandle(object)) << "FreeLibrary refused it, so it is still open";
}

TEST(Duplicate, ADuplicateRefersToTheSameObjectAndOutlivesTheSource) {
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, 0));
  HANDLE copy = 0;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), write_end, GetCurrentProcess(), &copy, 0, true,
                              DUPLICATE_SAME_ACCESS));
  EXPECT_NE(copy, write_end);
  ASSERT_TRUE(CloseHandle(write_end));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(copy, "abc", 3, &written));
  char buffer[8];
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(read_end, buffer, sizeof buffer, &read));
  EXPECT_EQ(std::string(buffer, read), "abc");

  // With DUPLICATE_CLOSE_SOURCE through a process handle of this process.
  HANDLE self = OpenProcess(PROCESS_ALL_ACCESS, false, GetCurrentProcessId());
  ASSERT_NE(self, 0u);
  HANDLE moved = 0;
  ASSERT_TRUE(
      DuplicateHandle(self, copy, GetCurrentProcess(), &moved, 0, false, DUPLICATE_CLOSE_SOURCE));
  EXPECT_FALSE(CloseHandle(copy));
  ASSERT_TRUE(CloseHandle(moved));
  // Every write handle is closed now: the reader sees the end.
  EXPECT_FALSE(ReadFile(read_end, buffer, sizeof buffer, &read));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  CloseHandle(self);
  CloseHandle(read_end);
}

ZEL_CHILD_COMMAND(wait_for_line) {
  child::Receive();
  return 0;
}

TEST(Duplicate, IntoOrOutOfAnotherProcessIsRefused) {
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, 0));
  ChildProcess child = ChildProcess::Start("wait_for_line");
  HANDLE other = OpenProcess(PROCESS_DUP_HANDLE, false, static_cast<DWORD>(child.pid()));
  ASSERT_NE(other, 0u);
  HANDLE copy = 1;
  EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), write_end, other, &copy, 0, false,
                               DUPLICATE_SAME_ACCESS));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(copy, 0u);
  EXPECT_FALSE(DuplicateHandle(other, write_end, GetCurrentProcess(), &copy, 0, false, 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(
      DuplicateHandle(GetCurrentProcess(), 12345, GetCurrentProcess(), &copy, 0, false, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  child.Send("done");
  EXPECT_EQ(child.Wait(), 0);
  CloseHandle(other);
  CloseHandle(read_end);
  CloseHandle(write_end);
}

TEST(LastError, IsPerThreadAndItsTextCarriesTheNumberAndTheSystemCause) {
  SetLastError(ERROR_NOT_OWNER);
  std::thread other([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(ERROR_TIMEOUT);
  });
  other.join();
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  EXPECT_EQ(GetLastErrorText(), "Attempt to release mutex not owned by caller. (288)");
  EXPECT_EQ(FormatErrorMessage(99999), "Error 99999.");

  // A failing system call leaves its own text behind as well: writing to
  // a pipe whose reader is gone.
  HANDLE read_end, write_end;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, 0));
  CloseHandle(read_end);
  EXPECT_FALSE(WriteFile(write_end, "x", 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  std::string text = GetLastErrorText();
  EXPECT_NE(text.find("The pipe has been ended. (109)"), std::string::npos) << text;
  EXPECT_NE(text.find("errno 32"), std::string::npos) << text;

  // The trace service reports the platform's last error.
  char buffer[256];
  btGetSysErrorText(buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer), text);
  btGetSysErrorText(buffer, 10);
  EXPECT_EQ(std::string(buffer), text.substr(0, 9));
  CloseHandle(write_end);
}

}  // namespace
}  // namespace zel::test
