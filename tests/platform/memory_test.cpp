// File mappings at fixed addresses and global memory, across processes.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/filemap.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "tests/harness/zel_test.h"
#include "tests/platform/platform_test_util.h"

namespace zel::test {
namespace {

using namespace zel::platform;

constexpr size_t kAreaSize = 512000;
void* const kAreaBase = reinterpret_cast<void*>(0x23000000);

std::string ToText(const void* address) {
  return std::to_string(reinterpret_cast<uintptr_t>(address));
}

void* FromText(const std::string& text) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(std::stoull(text)));
}

// Segment files of this test's instance.
int MappingFiles() {
  std::string start = "zel." + std::to_string(geteuid()) + "." + Instance() + ".map.";
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    if (entry.path().filename().string().rfind(start, 0) == 0) ++count;
  }
  return count;
}

// ---- Child commands ---------------------------------------------------------

// Opens mapping args[0], maps it at args[1], checks the parent's pattern,
// writes its own after it and reports.
ZEL_CHILD_COMMAND(map_and_answer) {
  HANDLE mapping = OpenFileMapping(FILE_MAP_ALL_ACCESS, false, args[0].c_str());
  if (mapping == 0) return 1;
  auto* view = static_cast<unsigned char*>(
      MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, FromText(args[1])));
  if (view == nullptr) return 2;
  for (size_t i = 0; i < 4096; ++i) {
    if (view[i] != static_cast<unsigned char>(i * 7)) return 3;
  }
  memcpy(view + kAreaSize - 6, "answer", 6);
  child::Report("written");
  child::Receive();
  return 0;
}

// Creates mapping args[0], maps it, closes the handle (the view keeps it),
// reports, and waits to be told to exit or to be killed.
ZEL_CHILD_COMMAND(hold_view) {
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 65536, args[0].c_str());
  void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0);
  if (view == nullptr || !CloseHandle(mapping)) return 1;
  child::Report("mapped");
  child::Receive();
  return 0;
}

// Reads, checks and frees the global block at args[0] of size args[1].
ZEL_CHILD_COMMAND(read_and_free_block) {
  void* block = FromText(args[0]);
  auto* data = static_cast<unsigned char*>(GlobalLock(block));
  if (data == nullptr) return 1;
  size_t size = GlobalSize(block);
  if (size != std::stoul(args[1])) return 2;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != static_cast<unsigned char>(i + 1)) return 3;
  }
  GlobalUnlock(block);
  if (GlobalFree(block) != nullptr) return 4;
  child::Report("freed");
  return 0;
}

// Allocates args[0] bytes of global memory, reports the block and waits to
// be killed.
ZEL_CHILD_COMMAND(hog_global_memory) {
  void* block = GlobalAlloc(GMEM_SHARE, std::stoul(args[0]));
  if (block == nullptr) return 1;
  child::Report(ToText(block));
  child::Receive();
  return 0;
}

// Reports the size of global block args[0] (0 when it is no block).
ZEL_CHILD_COMMAND(block_size) {
  child::Report(std::to_string(GlobalSize(FromText(args[0]))));
  return 0;
}

// ---- File mappings ------------------------------------------------------------

TEST(FileMapping, TwoProcessesMapOneRegionAtOneAddressAndSeeEachOthersWrites) {
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, kAreaSize, "CPMSHAREME");
  ASSERT_NE(mapping, 0u);
  EXPECT_EQ(GetLastError(), 0u);
  auto* view =
      static_cast<unsigned char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kAreaBase));
  ASSERT_EQ(view, kAreaBase);
  for (size_t i = 0; i < kAreaSize; i += 997) ASSERT_EQ(view[i], 0) << "zero-filled at " << i;
  for (size_t i = 0; i < 4096; ++i) view[i] = static_cast<unsigned char>(i * 7);

  ChildProcess child = ChildProcess::Start("map_and_answer", {"CPMSHAREME", ToText(kAreaBase)});
  ASSERT_TRUE(child.Expect("written"));
  EXPECT_EQ(memcmp(view + kAreaSize - 6, "answer", 6), 0);
  child.Send("exit");
  EXPECT_EQ(child.Wait(), 0);

  HANDLE again = CreateFileMapping(PAGE_READWRITE, 4096, "CPMSHAREME");
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(MapViewOfFile(again, FILE_MAP_ALL_ACCESS, kAreaSize, 0), nullptr)
      << "the existing size stands";
  void* whole = MapViewOfFile(again, FILE_MAP_READ, 0, 0);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(memcmp(static_cast<char*>(whole) + kAreaSize - 6, "answer", 6), 0);
}

TEST(FileMapping, ARangeInUseFailsAndKeepsItsContents) {
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, kAreaSize, "CPMSHAREME");
  auto* view = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kAreaBase));
  ASSERT_EQ(view, kAreaBase);
  strcpy(view, "kept");
  void* overlapping = static_cast<char*>(kAreaBase) + 65536;
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, overlapping), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kAreaBase), nullptr);
  EXPECT_STREQ(view, "kept");

  // Outside the fixed window: memory of someone else.
  size_t length = 4 * 4096;
  auto* taken = static_cast<char*>(
      mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(taken, MAP_FAILED);
  strcpy(taken + 4096, "theirs");
  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, taken), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  EXPECT_STREQ(taken + 4096, "theirs");
  munmap(taken, length);

  EXPECT_EQ(MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 0, view + 1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS) << "not page-aligned";

  // After unmapping, the address is free for a view again (and only for one).
  ASSERT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
  auto* remapped = static_cast<char*>(MapViewOfFileEx(mapping, FILE_MAP_READ, 0, 0, kAreaBase));
  ASSERT_EQ(remapped, kAreaBase);
  EXPECT_STREQ(remapped, "kept");
}

TEST(FileMapping, RefusesBadParameters) {
  EXPECT_EQ(CreateFileMapping(PAGE_READWRITE, 0, "empty"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateFileMapping(0x40, 4096, "executable"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OpenFileMapping(FILE_MAP_ALL_ACCESS, false, "never made"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 3 * 4096, nullptr);
  ASSERT_NE(mapping, 0u);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 100, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 4096, 3 * 4096), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_NE(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 4096, 2 * 4096), nullptr);

  HANDLE read_only = CreateFileMapping(PAGE_READONLY, 4096, "read only");
  ASSERT_NE(read_only, 0u);
  EXPECT_EQ(MapViewOfFile(read_only, FILE_MAP_ALL_ACCESS, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_NE(MapViewOfFile(read_only, FILE_MAP_READ, 0, 0), nullptr);
  EXPECT_EQ(MapViewOfFile(12345, FILE_MAP_READ, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(FileMapping, LivesWhileAHandleOrAViewOfALiveProcessHoldsIt) {
  // A view keeps the region after its handle is closed.
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 8192, "viewed");
  auto* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0));
  strcpy(view, "stale");
  ASSERT_TRUE(CloseHandle(mapping));
  HANDLE reopened = OpenFileMapping(FILE_MAP_ALL_ACCESS, false, "viewed");
  ASSERT_NE(reopened, 0u);
  CloseHandle(reopened);
  ASSERT_TRUE(UnmapViewOfFile(view));
  EXPECT_EQ(OpenFileMapping(FILE_MAP_ALL_ACCESS, false, "viewed"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE fresh = CreateFileMapping(PAGE_READWRITE, 8192, "viewed");
  EXPECT_EQ(GetLastError(), 0u);
  auto* fresh_view = static_cast<char*>(MapViewOfFile(fresh, FILE_MAP_READ, 0, 0));
  EXPECT_EQ(fresh_view[0], 0) << "a new region, never the old contents";
  CloseHandle(fresh);
  EXPECT_EQ(MappingFiles(), 1);
  UnmapViewOfFile(fresh_view);
  EXPECT_EQ(MappingFiles(), 0) << "the segment files go with the last holder";

  // Another process's view counts until that process dies.
  ChildProcess holder = ChildProcess::Start("hold_view", {"held elsewhere"});
  ASSERT_TRUE(holder.Expect("mapped"));
  HANDLE opened = OpenFileMapping(FILE_MAP_ALL_ACCESS, false, "held elsewhere");
  EXPECT_NE(opened, 0u);
  CloseHandle(opened);
  holder.Kill(SIGKILL);
  holder.Wait();
  EXPECT_EQ(OpenFileMapping(FILE_MAP_ALL_ACCESS, false, "held elsewhere"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(MappingFiles(), 0);
}

// ---- Global memory ------------------------------------------------------------

TEST(GlobalMemory, ABlockAllocatedHereIsReadAndFreedByAnotherProcess) {
  constexpr size_t kSize = 32767;
  auto* block = static_cast<unsigned char*>(GlobalAlloc(GMEM_SHARE | GMEM_ZEROINIT, kSize));
  ASSERT_NE(block, nullptr);
  uintptr_t address = reinterpret_cast<uintptr_t>(block);
  EXPECT_GE(address, kGlobalHeapBase);
  EXPECT_LT(address + kSize, kGlobalHeapBase + kGlobalHeapSize);
  EXPECT_EQ(GlobalSize(block), kSize);
  for (size_t i = 0; i < kSize; ++i) ASSERT_EQ(block[i], 0) << i;
  for (size_t i = 0; i < kSize; ++i) block[i] = static_cast<unsigned char>(i + 1);

  ChildProcess reader =
      ChildProcess::Start("read_and_free_block", {ToText(block), std::to_string(kSize)});
  EXPECT_TRUE(reader.Expect("freed"));
  EXPECT_EQ(reader.Wait(), 0);
  EXPECT_EQ(GlobalSize(block), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GlobalFree(block), block) << "freed already";
}

TEST(GlobalMemory, RefusesForeignPointersDoubleFreesAndBadFlags) {
  void* block = GlobalAlloc(GPTR, 100);
  ASSERT_NE(block, nullptr);
  void* heap_pointer = malloc(64);
  EXPECT_EQ(GlobalFree(heap_pointer), heap_pointer);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  free(heap_pointer);
  void* inside = static_cast<char*>(block) + 16;
  EXPECT_EQ(GlobalFree(inside), inside);
  EXPECT_EQ(GlobalLock(inside), nullptr);

  EXPECT_EQ(GlobalLock(block), block);
  EXPECT_EQ(GlobalLock(block), block);
  EXPECT_TRUE(GlobalUnlock(block));
  EXPECT_FALSE(GlobalUnlock(block));
  EXPECT_EQ(GetLastError(), 0u) << "now unlocked";
  EXPECT_FALSE(GlobalUnlock(block));
  EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);

  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_EQ(GlobalFree(block), block);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  EXPECT_EQ(GlobalAlloc(0x80000, 10), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GlobalAlloc(GMEM_SHARE, kGlobalHeapSize + 1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(GlobalMemory, ManyCyclesLeaveTheHeapAsTheyFoundIt) {
  constexpr size_t kLarge = kGlobalHeapSize - 1024 * 1024;
  void* large = GlobalAlloc(GMEM_SHARE, kLarge);
  ASSERT_NE(large, nullptr) << "an almost empty heap serves a block of nearly its size";
  ASSERT_EQ(GlobalFree(large), nullptr);

  std::vector<void*> live;
  for (int i = 0; i < 10000; ++i) {
    size_t size = 1 + (static_cast<size_t>(i) * 7919) % 70000;
    void* block = GlobalAlloc(GMEM_SHARE | GMEM_ZEROINIT, size);
    ASSERT_NE(block, nullptr) << "cycle " << i;
    static_cast<char*>(block)[size - 1] = 1;
    live.push_back(block);
    if (live.size() > 50) {
      ASSERT_EQ(GlobalFree(live[i % live.size()]), nullptr);
      live.erase(live.begin() + static_cast<long>(i % live.size()));
    }
  }
  for (void* block : live) ASSERT_EQ(GlobalFree(block), nullptr);

  large = GlobalAlloc(GMEM_SHARE, kLarge);
  EXPECT_NE(large, nullptr) << "nothing leaked, nothing fragmented";
  GlobalFree(large);
}

TEST(GlobalMemory, BlocksOfAProcessThatDiedAreReclaimed) {
  constexpr size_t kHog = kGlobalHeapSize / 4 * 3;
  ChildProcess hog = ChildProcess::Start("hog_global_memory", {std::to_string(kHog)});
  std::optional<std::string> line = hog.ReadLine();
  ASSERT_TRUE(line.has_value());
  void* hogged = FromText(*line);
  EXPECT_EQ(GlobalSize(hogged), kHog);
  EXPECT_EQ(GlobalAlloc(GMEM_SHARE, kHog), nullptr) << "the heap is three quarters full";
  hog.Kill(SIGKILL);
  hog.Wait();
  void* mine = GlobalAlloc(GMEM_SHARE, kHog);
  EXPECT_NE(mine, nullptr);
  EXPECT_EQ(GlobalSize(hogged), mine == hogged ? kHog : 0u);
}

TEST(GlobalMemory, AProcessThatAttachesReapsTheBlocksOfTheDead) {
  // This process keeps the instance (and the heap) alive throughout.
  ASSERT_NE(CreateEvent(true, false, "instance keeper"), 0u);
  ChildProcess hog = ChildProcess::Start("hog_global_memory", {"4096"});
  std::optional<std::string> block = hog.ReadLine();
  ASSERT_TRUE(block.has_value());
  hog.Kill(SIGKILL);
  hog.Wait();
  // The next process to attach finds the dead one and frees its block.
  ChildProcess next = ChildProcess::Start("block_size", {*block});
  EXPECT_EQ(next.ReadLine(), "0");
  EXPECT_EQ(next.Wait(), 0);
}

}  // namespace
}  // namespace zel::test
