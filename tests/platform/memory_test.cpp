// File mappings at fixed addresses and global memory, across processes, and
// the global heap's recovery from processes killed inside it.
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/filemap.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/posix/heap.h"
#include "platform/window.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "tests/platform/platform_test_util.h"

namespace zel::test {
namespace {

using namespace zel::platform;
using platform::internal::CheckGlobalHeap;
using platform::internal::GlobalHeapReport;

constexpr size_t kAreaSize = 512000;
void* const kAreaBase = reinterpret_cast<void*>(0x23000000);
// What must fit once every block of the dead is reclaimed.
constexpr size_t kMostOfTheHeap = kGlobalHeapSize - (4 << 20);
constexpr char kKillEditVariable[] = "ZEL_HEAP_KILL_EDIT";
constexpr char kPostedMapping[] = "posted block";

std::string ToText(const void* address) {
  return std::to_string(reinterpret_cast<uintptr_t>(address));
}

void* FromText(const std::string& text) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(std::stoull(text)));
}

// Segment files of this test's instance.
int MappingFiles() {
  int count = 0;
  for (const auto& file : InstanceFiles(Instance())) {
    if (file.filename().string().rfind("map.", 0) == 0) ++count;
  }
  return count;
}

// Passes when the global heap keeps every invariant.
testing::AssertionResult HeapSound() {
  GlobalHeapReport report = CheckGlobalHeap();
  if (report.problem == nullptr) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "global heap: " << report.problem;
}

// Arms the heap's kill hook from the environment (unarmed when the variable
// is absent).
void ArmHeapKillFromEnvironment() {
  const char* edit = getenv(kKillEditVariable);
  if (edit != nullptr) platform::internal::KillAtGlobalHeapEdit(std::stoul(edit));
}

// A block a process allocated and filled with one byte value.
struct FilledBlock {
  unsigned char* data;
  size_t size;
  unsigned char fill;
};

FilledBlock AllocateFilled(size_t size, unsigned char fill) {
  auto* data = static_cast<unsigned char*>(GlobalAlloc(GMEM_SHARE, size));
  if (data != nullptr) memset(data, fill, size);
  return {data, size, fill};
}

// True while the block is live, of its size, and holds nothing but its fill
// (every byte equals the one after it).
bool Intact(const FilledBlock& block) {
  if (GlobalSize(block.data) != block.size || block.data[0] != block.fill) return false;
  return memcmp(block.data, block.data + 1, block.size - 1) == 0;
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

// Runs a fixed sequence of heap operations that takes every path of the
// allocator: splits, a whole-block take, frees that merge with no neighbour,
// with both, with the one before and with the one after, a block posted to
// window args[0] (its address first stored in the mapping kPostedMapping),
// and the reaping of a block left at exit. The kill hook, armed from the
// environment once the process has attached, counts the script's edits only.
ZEL_CHILD_COMMAND(heap_script) {
  HWND window = static_cast<HWND>(std::stoul(args[0]));
  HANDLE mapping = OpenFileMapping(FILE_MAP_ALL_ACCESS, false, kPostedMapping);
  auto* posted = static_cast<std::atomic<uintptr_t>*>(
      MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, sizeof(std::atomic<uintptr_t>)));
  if (posted == nullptr) return 4;
  ArmHeapKillFromEnvironment();
  void* big = GlobalAlloc(GMEM_SHARE, 8 << 20);
  void* blocks[6];
  for (size_t i = 0; i < std::size(blocks); ++i) blocks[i] = GlobalAlloc(GMEM_SHARE, 100 * (i + 1));
  GlobalFree(blocks[1]);
  blocks[1] = GlobalAlloc(GMEM_ZEROINIT, 200);
  GlobalFree(blocks[1]);
  GlobalFree(blocks[3]);
  GlobalFree(blocks[2]);
  GlobalFree(blocks[4]);
  GlobalFree(blocks[0]);
  posted->store(reinterpret_cast<uintptr_t>(blocks[5]));
  if (!PostMessage(window, WM_USER, 0, reinterpret_cast<LPARAM>(blocks[5]))) return 1;
  if (GlobalLock(big) != big || GlobalUnlock(big)) return 2;
  GlobalFree(big);
  return GlobalAlloc(GMEM_SHARE, 1000) != nullptr ? 0 : 3;
}

// Allocates args[0] bytes with the kill hook armed from the environment.
ZEL_CHILD_COMMAND(allocate) {
  GlobalSize(nullptr);
  ArmHeapKillFromEnvironment();
  return GlobalAlloc(GMEM_SHARE, std::stoul(args[0])) != nullptr ? 0 : 1;
}

// Takes the heap lock (rebuilding the heap if its last holder died, maybe
// while attaching) with the kill hook armed from the environment.
ZEL_CHILD_COMMAND(check_heap) {
  ArmHeapKillFromEnvironment();
  return CheckGlobalHeap().problem == nullptr ? 0 : 1;
}

// Allocates, fills, checks and frees blocks at random (seed args[0]) until
// told to stop, leaving some for the reaping at exit. With args[1] nonzero
// the kill hook stops it at that edit. Exits nonzero when a block of its own
// was damaged, the heap refused a call, or no stop came in time.
ZEL_CHILD_COMMAND(heap_worker) {
  std::mt19937 random(static_cast<unsigned>(std::stoul(args[0])));
  std::vector<FilledBlock> held;
  GlobalSize(nullptr);
  child::Report("ready");
  platform::internal::KillAtGlobalHeapEdit(std::stoul(args[1]));
  auto deadline = std::chrono::steady_clock::now() + kChildTimeout;
  for (uint64_t round = 0;; ++round) {
    if (round % 256 == 0 && child::Receive(Millis(0)) == "stop") break;
    if (round % 256 == 0 && std::chrono::steady_clock::now() > deadline) return 4;
    if (held.size() < 40 && (held.empty() || random() % 2 == 0)) {
      size_t size = 1 + random() % (size_t{1} << (random() % 15));
      held.push_back(AllocateFilled(size, static_cast<unsigned char>(random())));
      if (held.back().data == nullptr) return 1;
      continue;
    }
    size_t index = random() % held.size();
    if (!Intact(held[index])) return 2;
    if (GlobalFree(held[index].data) != nullptr) return 3;
    held.erase(held.begin() + static_cast<long>(index));
  }
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

TEST(GlobalMemory, RefusesForeignPointersDoubleFreesAndBadFlagsWithoutHarm) {
  FilledBlock before = AllocateFilled(100, 0x11);
  void* block = GlobalAlloc(GPTR, 5000);
  FilledBlock after = AllocateFilled(300, 0x33);
  ASSERT_NE(after.data, nullptr);
  void* heap_pointer = malloc(64);
  EXPECT_EQ(GlobalFree(heap_pointer), heap_pointer);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  free(heap_pointer);
  // The heap's own header, its end, and pointers into a block or its header.
  auto* base = reinterpret_cast<unsigned char*>(kGlobalHeapBase);
  auto* data = static_cast<unsigned char*>(block);
  for (void* bad : {base, base + 4096, base + kGlobalHeapSize - 16, base + kGlobalHeapSize,
                    data + 1, data + 16, data + 4096, data - 16}) {
    EXPECT_EQ(GlobalFree(bad), bad);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GlobalSize(bad), 0u);
    EXPECT_EQ(GlobalLock(bad), nullptr);
  }

  EXPECT_EQ(GlobalLock(block), block);
  EXPECT_EQ(GlobalLock(block), block);
  EXPECT_TRUE(GlobalUnlock(block));
  EXPECT_FALSE(GlobalUnlock(block));
  EXPECT_EQ(GetLastError(), 0u) << "now unlocked";
  EXPECT_FALSE(GlobalUnlock(block));
  EXPECT_EQ(GetLastError(), ERROR_NOT_LOCKED);

  // Freed twice: a block that heads a free block, and one merged into it.
  EXPECT_EQ(GlobalFree(block), nullptr);
  EXPECT_EQ(GlobalFree(after.data), nullptr);
  for (void* freed : {block, static_cast<void*>(after.data)}) {
    EXPECT_EQ(GlobalFree(freed), freed);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GlobalUnlock(freed));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  }
  EXPECT_TRUE(Intact(before));
  EXPECT_TRUE(HeapSound());
  EXPECT_EQ(GlobalFree(before.data), nullptr);
  EXPECT_EQ(CheckGlobalHeap().free_blocks, 1u);

  EXPECT_EQ(GlobalAlloc(0x80000, 10), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GlobalAlloc(GMEM_SHARE, kGlobalHeapSize + 1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(GlobalMemory, SplitsAndMergesWithEitherNeighbourUntilOneFreeBlockIsLeft) {
  GlobalHeapReport empty = CheckGlobalHeap();
  ASSERT_EQ(empty.problem, nullptr);
  ASSERT_EQ(empty.used_blocks, 0u);
  ASSERT_EQ(empty.free_blocks, 1u);
  // Sizes on both sides of 16-byte steps and size-class edges.
  const size_t sizes[] = {1, 15, 16, 17, 100, 975, 976, 5000, 70000, 1 << 20, 24 << 20};
  std::vector<FilledBlock> blocks;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    blocks.push_back(AllocateFilled(sizes[i], static_cast<unsigned char>(i + 1)));
    ASSERT_NE(blocks.back().data, nullptr) << sizes[i];
    EXPECT_EQ(reinterpret_cast<uintptr_t>(blocks.back().data) % 16, 0u) << sizes[i];
  }
  EXPECT_EQ(CheckGlobalHeap().free_blocks, 1u) << "each block was split off the free rest";

  // {index to free, free blocks afterwards}: no merge, merge with the block
  // before, with both, with the one after, and so on until all are free.
  const std::pair<size_t, uint64_t> steps[] = {
      {1, 2},   // between used blocks
      {2, 2},   // merges with 1 before it
      {4, 3},   // between used blocks
      {3, 2},   // merges with 1-2 before and 4 after
      {7, 3},   // between used blocks
      {6, 3},   // merges with 7 after it
      {10, 3},  // merges with the free rest after it
      {0, 3},   // the first block: merges with 1-4 after it
      {5, 2},   // merges with 0-4 and 6-7
      {8, 2},   // merges with 0-7 before it
      {9, 1},   // merges with both, the whole heap
  };
  std::vector<bool> freed(blocks.size());
  for (auto [index, free_blocks] : steps) {
    ASSERT_EQ(GlobalFree(blocks[index].data), nullptr) << index;
    freed[index] = true;
    GlobalHeapReport report = CheckGlobalHeap();
    ASSERT_EQ(report.problem, nullptr) << "after freeing " << index;
    EXPECT_EQ(report.free_blocks, free_blocks) << "after freeing " << index;
    for (size_t i = 0; i < blocks.size(); ++i) {
      EXPECT_TRUE(freed[i] || Intact(blocks[i])) << i << " after freeing " << index;
    }
  }
  GlobalHeapReport report = CheckGlobalHeap();
  EXPECT_EQ(report.used_blocks, 0u);
  EXPECT_EQ(report.free_bytes, empty.free_bytes);
}

TEST(GlobalMemory, AnAllocationTakesTheSmallestHoleThatHoldsIt) {
  // Holes of about 100, 5,000 and 70,000 bytes, kept apart by small blocks.
  std::vector<void*> guards;
  std::vector<unsigned char*> holes;
  for (size_t size : {70000, 5000, 100}) {
    holes.push_back(static_cast<unsigned char*>(GlobalAlloc(GMEM_SHARE, size)));
    guards.push_back(GlobalAlloc(GMEM_SHARE, 16));
  }
  for (unsigned char* hole : holes) ASSERT_EQ(GlobalFree(hole), nullptr);

  EXPECT_EQ(GlobalAlloc(GMEM_SHARE, 90), holes[2]) << "the 100-byte hole, whole";
  auto* part = static_cast<unsigned char*>(GlobalAlloc(GMEM_SHARE, 4000));
  EXPECT_EQ(part, holes[1]) << "the 5,000-byte hole, split";
  auto* rest = static_cast<unsigned char*>(GlobalAlloc(GMEM_SHARE, 900));
  EXPECT_GT(rest, holes[1]) << "what the split left of the 5,000-byte hole";
  EXPECT_LT(rest, holes[1] + 5000);
  EXPECT_EQ(GlobalAlloc(GMEM_SHARE, 60000), holes[0]);
  EXPECT_TRUE(HeapSound());

  for (void* block : {static_cast<void*>(holes[2]), static_cast<void*>(part),
                      static_cast<void*>(rest), static_cast<void*>(holes[0])}) {
    ASSERT_EQ(GlobalFree(block), nullptr);
  }
  for (void* guard : guards) ASSERT_EQ(GlobalFree(guard), nullptr);
  EXPECT_EQ(CheckGlobalHeap().free_blocks, 1u);
}

TEST(GlobalMemory, ManyCyclesLeaveTheHeapAsTheyFoundIt) {
  constexpr size_t kLarge = kGlobalHeapSize - 64 * 1024;
  void* large = GlobalAlloc(GMEM_SHARE, kLarge);
  ASSERT_NE(large, nullptr) << "an empty heap serves a block of nearly its size";
  void* byte = GlobalAlloc(GMEM_SHARE, 1);
  EXPECT_NE(byte, nullptr) << "and a small one beside it";
  EXPECT_EQ(GlobalAlloc(GMEM_SHARE, 128 * 1024), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  ASSERT_EQ(GlobalFree(large), nullptr);
  ASSERT_EQ(GlobalFree(byte), nullptr);

  std::mt19937 random(20270114);
  std::vector<FilledBlock> live;
  for (int i = 0; i < 10000; ++i) {
    if (live.size() < 64 && (live.empty() || random() % 3 != 0)) {
      size_t size = 1 + random() % (size_t{1} << (random() % 21));
      live.push_back(AllocateFilled(size, static_cast<unsigned char>(i)));
      ASSERT_NE(live.back().data, nullptr) << "cycle " << i;
    } else {
      size_t index = random() % live.size();
      ASSERT_TRUE(Intact(live[index])) << "cycle " << i;
      ASSERT_EQ(GlobalFree(live[index].data), nullptr);
      live.erase(live.begin() + static_cast<long>(index));
    }
    ASSERT_TRUE(i % 500 != 0 || HeapSound()) << "cycle " << i;
  }
  for (const FilledBlock& block : live) ASSERT_EQ(GlobalFree(block.data), nullptr);

  GlobalHeapReport report = CheckGlobalHeap();
  EXPECT_EQ(report.problem, nullptr);
  EXPECT_EQ(report.used_blocks, 0u);
  EXPECT_EQ(report.free_blocks, 1u) << "nothing leaked, nothing fragmented";
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
  GlobalFree(mine);
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

// ---- Global heap: processes killed inside it -------------------------------

TEST(GlobalHeapCrash, AKillBetweenAnyTwoEditsOfTheAllocatorLosesNothing) {
  HWND window = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  ASSERT_NE(window, 0u);
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 4096, kPostedMapping);
  auto* posted = static_cast<std::atomic<uintptr_t>*>(
      MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, sizeof(std::atomic<uintptr_t>)));
  ASSERT_NE(posted, nullptr);
  GlobalHeapReport before = CheckGlobalHeap();
  uint64_t kills = 0;
  bool finished = false;
  for (uint32_t edit = 1; edit <= 500 && !finished; ++edit) {
    posted->store(0);
    ChildProcess script = ChildProcess::Start("heap_script", {std::to_string(window)},
                                              {{kKillEditVariable, std::to_string(edit)}});
    int code = script.Wait();
    finished = code == 0;
    if (!finished) {
      ASSERT_EQ(code, 128 + SIGKILL) << "edit " << edit;
      ++kills;
      // The next holder of the lock dies too, inside the rebuild.
      ChildProcess checker = ChildProcess::Start("check_heap", {}, {{kKillEditVariable, "1"}});
      ASSERT_EQ(checker.Wait(), 128 + SIGKILL) << "edit " << edit;
    }
    ASSERT_TRUE(HeapSound()) << "after a kill at edit " << edit;
    // The posted block is this process's once posted, the dead one's before.
    if (posted->load() != 0) GlobalFree(reinterpret_cast<void*>(posted->load()));
    void* most = GlobalAlloc(GMEM_SHARE, kMostOfTheHeap);
    ASSERT_NE(most, nullptr) << "blocks left by a kill at edit " << edit;
    GlobalFree(most);
  }
  EXPECT_TRUE(finished) << "the script makes more edits than the sweep covers";
  GlobalHeapReport report = CheckGlobalHeap();
  EXPECT_EQ(report.problem, nullptr);
  EXPECT_EQ(report.used_blocks, 0u);
  EXPECT_EQ(report.free_blocks, 1u);
  EXPECT_GT(kills, 40u) << "the script takes every path";
  EXPECT_EQ(report.recoveries - before.recoveries, 2 * kills)
      << "each kill, and each kill of the rebuild after it, was recovered from once";
  EXPECT_EQ(report.repairs, before.repairs) << "a rebuild never needs to drop part of the chain";
  RecordProperty("kill_points", std::to_string(kills));
}

TEST(GlobalHeapCrash, WorkersKilledAtRandomMomentsLeaveASoundHeapAndSurvivorsCarryOn) {
  std::mt19937 random(20270115);
  GlobalHeapReport before = CheckGlobalHeap();
  struct Worker {
    ChildProcess process;
    bool armed;  // the kill hook may stop it on its own, inside the lock
  };
  std::vector<Worker> workers;
  auto start = [&] {
    bool armed = random() % 2 == 0;
    std::string edit = std::to_string(armed ? 1 + random() % 2000 : 0);
    workers.push_back(
        {ChildProcess::Start("heap_worker", {std::to_string(random()), edit}), armed});
    ASSERT_TRUE(workers.back().process.Expect("ready"));
  };
  for (int i = 0; i < 3; ++i) start();
  for (int kill = 0; kill < 40; ++kill) {
    // When the kill lands, and so what it interrupts, is random.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
    size_t victim = random() % workers.size();
    workers[victim].process.Kill(SIGKILL);
    ASSERT_EQ(workers[victim].process.Wait(), 128 + SIGKILL) << "a worker failed";
    workers.erase(workers.begin() + static_cast<long>(victim));
    start();
  }
  for (Worker& worker : workers) {
    if (worker.armed) worker.process.Kill(SIGKILL);
    if (!worker.armed) worker.process.Send("stop");
  }
  for (Worker& worker : workers) {
    EXPECT_EQ(worker.process.Wait(), worker.armed ? 128 + SIGKILL : 0) << "a survivor failed";
  }
  // A process that attaches reaps the dead ones.
  EXPECT_EQ(ChildProcess::Start("check_heap").Wait(), 0);

  GlobalHeapReport report = CheckGlobalHeap();
  EXPECT_EQ(report.problem, nullptr);
  EXPECT_EQ(report.repairs, before.repairs);
  EXPECT_EQ(report.used_blocks, 0u) << "blocks of the killed and of the survivors reclaimed";
  EXPECT_EQ(report.free_blocks, 1u);
  void* most = GlobalAlloc(GMEM_SHARE, kMostOfTheHeap);
  EXPECT_NE(most, nullptr);
  GlobalFree(most);
  RecordProperty("kills_inside_the_heap_lock",
                 std::to_string(report.recoveries - before.recoveries));
}

TEST(GlobalHeapCrash, ADamagedHeaderMakesTheRestOfTheHeapFreeInsteadOfStoppingIt) {
  TraceCapture capture;
  FilledBlock kept = AllocateFilled(1000, 0x5a);
  void* damaged = GlobalAlloc(GMEM_SHARE, 1000);
  void* after = GlobalAlloc(GMEM_SHARE, 1000);
  ASSERT_NE(after, nullptr);
  uint64_t repairs = CheckGlobalHeap().repairs;
  // A stray write over the end of the second block's header...
  memset(static_cast<unsigned char*>(damaged) - 16, 0xab, 16);
  // ...is met only by a rebuild, after a process died holding the lock.
  ChildProcess dying = ChildProcess::Start("allocate", {"100"}, {{kKillEditVariable, "1"}});
  ASSERT_EQ(dying.Wait(), 128 + SIGKILL);

  GlobalHeapReport report = CheckGlobalHeap();
  EXPECT_EQ(report.problem, nullptr);
  EXPECT_EQ(report.repairs, repairs + 1);
  EXPECT_TRUE(capture.RaisedErrorPoint("PLAT_HEAP_DAMAGED"));
  EXPECT_EQ(report.used_blocks, 1u) << "the block before the damage stays";
  EXPECT_EQ(report.free_blocks, 1u) << "everything from the damage on is one free block";
  EXPECT_TRUE(Intact(kept));
  EXPECT_EQ(GlobalSize(after), 0u);
  void* most = GlobalAlloc(GMEM_SHARE, kMostOfTheHeap);
  EXPECT_NE(most, nullptr);
  GlobalFree(most);
  GlobalFree(kept.data);
}

}  // namespace
}  // namespace zel::test
