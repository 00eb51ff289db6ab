// The control-block heap: deferred reuse by record size, the manager
// window's fence, sustained traffic from two processes with a flat
// high-water mark, and what processes killed at any moment leave behind.
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/posix/heap.h"
#include "platform/window.h"
#include "services/call_faults.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

using namespace zel::ctrlblk;
using namespace zel::platform;
using platform::internal::CheckGlobalHeap;
using platform::internal::GlobalHeapReport;

// Blocks of one size that must be freed after a block before it comes back.
constexpr int kQuarantineDepth = 32;

#if defined(ZEL_SANITIZED)
constexpr int kMillionScale = 10;  // the sanitizers run the sustained test at a tenth
#else
constexpr int kMillionScale = 1;
#endif

void ExpectHeapSound() {
  std::string problem;
  EXPECT_TRUE(CheckHeap(&problem)) << problem;
}

// ---- Reuse ----

TEST(Heap, RecordsAreAlignedZeroedAndNeverOverlap) {
  std::vector<std::pair<char*, uint32_t>> blocks;
  for (uint32_t size : {1u, 10u, 20u, 742u, 1608u, 67u}) {
    auto* block = static_cast<char*>(cbAllocCtrlBlkMem(size));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
    EXPECT_EQ(std::string(block, size), std::string(size, '\0'));
    memset(block, 0xAB, size);
    blocks.emplace_back(block, size);
  }
  std::sort(blocks.begin(), blocks.end());
  for (size_t i = 1; i < blocks.size(); ++i) {
    EXPECT_GE(blocks[i].first, blocks[i - 1].first + blocks[i - 1].second);
  }
  ExpectHeapSound();
}

TEST(Heap, AFreedRecordComesBackOnlyAfterLaterFreesOfItsSizeAndZeroed) {
  auto* first = static_cast<char*>(cbAllocCtrlBlkMem(40));
  memset(first, 0x5A, 40);
  cbFreeCtrlBlkMem(first, 40);
  std::set<void*> handed;
  for (int i = 0; i < kQuarantineDepth; ++i) {
    void* block = cbAllocCtrlBlkMem(40);
    EXPECT_NE(block, first) << "reused after " << i << " later frees";
    handed.insert(block);
    EXPECT_NE(cbAllocCtrlBlkMem(36), first) << "a record of another size got it";
  }
  for (void* block : handed) cbFreeCtrlBlkMem(block, 40);
  auto* again = static_cast<char*>(cbAllocCtrlBlkMem(40));
  EXPECT_EQ(again, first) << "the oldest freed record of the size comes back first";
  EXPECT_EQ(std::string(again, 40), std::string(40, '\0'));
  ExpectHeapSound();
}

TEST(Heap, BadAndDoubleFreesAreRefusedAndChangeNothing) {
  auto* block = static_cast<char*>(cbAllocCtrlBlkMem(64));
  HeapStats before = CurrentHeapStats();
  TraceCapture capture;
  char outside[64];
  cbFreeCtrlBlkMem(outside, 64);
  cbFreeCtrlBlkMem(block + 8, 56);
  EXPECT_EQ(CurrentHeapStats().used_blocks, before.used_blocks);
  cbFreeCtrlBlkMem(block, 64);
  cbFreeCtrlBlkMem(block, 64);
  HeapStats after = CurrentHeapStats();
  EXPECT_EQ(after.used_blocks, before.used_blocks - 1);
  EXPECT_EQ(after.quarantined_blocks, before.quarantined_blocks + 1);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_HEAP_BAD_FREE", "vqzmcb0"));
  ExpectHeapSound();
}

// A free that cannot take the heap's mutex marks the block; the next
// holder of the mutex quarantines it, so that it is not lost.
TEST(Heap, ARecordFreedWithoutTheHeapMutexIsQuarantinedByItsNextHolder) {
  void* block = cbAllocCtrlBlkMem(48);
  HeapStats before = CurrentHeapStats();
  services::ArmCallFaults("WaitForSingleObject:1");
  cbFreeCtrlBlkMem(block, 48);
  services::ArmCallFaults("");
  HeapStats after = CurrentHeapStats();
  EXPECT_EQ(after.used_blocks, before.used_blocks - 1);
  EXPECT_EQ(after.quarantined_blocks, before.quarantined_blocks + 1);
  ExpectHeapSound();
}

TEST(Heap, TheAreaFillsUpAndFreedRecordsAreThenReusedAtOnce) {
  std::vector<void*> blocks;
  for (int i = 0; i < 100000; ++i) {
    void* block = cbAllocCtrlBlkMem(100);
    if (block == nullptr) break;
    blocks.push_back(block);
  }
  ASSERT_GT(blocks.size(), 3900u);
  EXPECT_GT(Shared()->ulHeapUsed, kControlBlockSize - 200);
  TraceCapture capture;
  RZ700SysStruct* system = nullptr;
  EXPECT_EQ(cbInitRZ700SysStruct(&system), VQZM_RC_NO_MEMORY);
  EXPECT_TRUE(capture.RaisedErrorPoint("ALLOC_MEM_FAILURE", "vqzmcb0"));
  cbFreeCtrlBlkMem(blocks.back(), 100);
  EXPECT_EQ(cbAllocCtrlBlkMem(100), blocks.back()) << "a full area reuses without waiting";
  ExpectHeapSound();
}

// While the manager's window has a message waiting, records freed since are
// not reused: the message may name one of them.
TEST(Heap, RecordsFreedWhileTheManagersWindowHasMessagesWaitAreNotReused) {
  HWND window = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return 0; });
  ASSERT_NE(window, 0u);
  ZELAnchorCB& anchor = Anchor();
  anchor.hwndCPMgr = window;
  ASSERT_TRUE(PostMessage(window, 0x401, 0, 0));
  std::vector<void*> freed;
  for (int i = 0; i <= kQuarantineDepth; ++i) freed.push_back(cbAllocCtrlBlkMem(48));
  for (void* block : freed) cbFreeCtrlBlkMem(block, 48);
  std::set<void*> freed_set(freed.begin(), freed.end());
  std::vector<void*> later;
  for (int i = 0; i < kQuarantineDepth; ++i) {
    later.push_back(cbAllocCtrlBlkMem(48));
    EXPECT_EQ(freed_set.count(later.back()), 0u) << "reused with a message unhandled";
  }
  MSG msg;
  while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
  EXPECT_FALSE(PeekMessage(&msg, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(cbAllocCtrlBlkMem(48), freed.front()) << "the window has been idle since";
  anchor.hwndCPMgr = 0;
  DestroyWindow(window);
}

// ---- Sustained traffic ----

// Creates, links and deletes `count` records, rotating through system,
// async-return, host-request and outstanding records.
ZEL_CHILD_COMMAND(churn_records) {
  int count = std::stoi(args[0]);
  child::Report("ready");
  if (child::Receive() != "go") return 2;
  for (int i = 0; i < count; ++i) {
    // Each record's data travels in a global block, as request data does.
    void* data = GlobalAlloc(GMEM_SHARE, 64 + static_cast<size_t>(i % 4096));
    if (data == nullptr || GlobalFree(data) != nullptr) return 11;
    switch (i % 4) {
      case 0: {
        RZ700SysStruct* system = nullptr;
        if (cbInitRZ700SysStruct(&system) != 0 || cbAddRZ700SysStruct(system) != 0) return 3;
        if (cbDeleteRZ700SysStruct(system) != 0) return 4;
        break;
      }
      case 1: {
        AsyncRetStruct* rec = nullptr;
        if (cbInitAsyncRetStruct(&rec) != 0) return 5;
        cbAddAsyncRetStruct(rec);
        cbDeleteAsyncRetStruct(rec);
        break;
      }
      case 2: {
        RZ700ReqStruct* rec = nullptr;
        if (cbInitRZ700ReqStruct(&rec) != 0) return 6;
        cbAddRZ700ReqStruct(rec);
        cbDeleteRZ700ReqStruct(rec);
        break;
      }
      default: {
        OutstandingDQReqCB* rec = nullptr;
        if (cbInitOutstandingDQCB(&rec) != 0) return 7;
        auto* block = static_cast<ObtainRRPCB*>(cbAllocCtrlBlkMem(sizeof(ObtainRRPCB)));
        if (block == nullptr) return 8;
        rec->usUseCount = 1;
        rec->usReqType = 1;
        rec->pReqCB = block;
        if (cbCtrlOutstandingDQCBList() != 0) return 9;
        cbAddOutstandingDQCB(rec);
        cbRelOutstandingDQCBList();
        if (cbDeleteOutstandingDQCBAndLinkedMem(rec) != 1) return 10;
        break;
      }
    }
  }
  child::Report("done");
  return 0;
}

TEST(HeapTraffic, AMillionRecordsFromTwoProcessesLeaveTheHighWaterMarkFlat) {
  constexpr int kPerProcess = 500'000 / kMillionScale;
  std::vector<ChildProcess> children;
  for (int i = 0; i < 2; ++i) {
    children.push_back(ChildProcess::Start("churn_records", {std::to_string(kPerProcess / 10)}));
    ASSERT_EQ(children.back().ReadLine(), "ready");
  }
  for (ChildProcess& child : children) child.Send("go");
  for (ChildProcess& child : children) {
    EXPECT_EQ(child.ReadLine(), "done");
    EXPECT_EQ(child.Wait(), 0);
  }
  uint32_t warmed_up = Shared()->ulHeapUsed;
  GlobalHeapReport global_before = CheckGlobalHeap();

  children.clear();
  for (int i = 0; i < 2; ++i) {
    children.push_back(ChildProcess::Start("churn_records", {std::to_string(kPerProcess)}));
    ASSERT_EQ(children.back().ReadLine(), "ready");
  }
  for (ChildProcess& child : children) child.Send("go");
  for (ChildProcess& child : children) {
    EXPECT_EQ(child.ReadLine(Millis(300'000)), "done");
    EXPECT_EQ(child.Wait(), 0);
  }
  HeapStats stats = CurrentHeapStats();
  EXPECT_EQ(Shared()->ulHeapUsed, warmed_up) << "the high-water mark grew under steady traffic";
  EXPECT_EQ(stats.high_water, warmed_up);
  RecordProperty("high_water", static_cast<int>(stats.high_water));
  RecordProperty("used_blocks", static_cast<int>(stats.used_blocks));
  RecordProperty("quarantined_blocks", static_cast<int>(stats.quarantined_blocks));
  ExpectHeapSound();
  GlobalHeapReport global = CheckGlobalHeap();
  EXPECT_EQ(global.problem, nullptr) << global.problem;
  EXPECT_EQ(global.used_blocks, global_before.used_blocks) << "global blocks were lost";
  EXPECT_EQ(global.free_bytes, global_before.free_bytes) << "global heap space was lost";
  RecordProperty("global_used_blocks", static_cast<int>(global.used_blocks));
  RecordProperty("global_free_blocks", static_cast<int>(global.free_blocks));
  RecordProperty("global_free_bytes", std::to_string(global.free_bytes));
}

// ---- Processes killed at any moment ----

// Works on the lists at random until killed: half-made records, links in
// progress and frees inside the heap's mutex are all left by the kills.
ZEL_CHILD_COMMAND(list_worker) {
  std::mt19937 random(static_cast<unsigned>(std::stoul(args[0])));
  std::vector<AsyncRetStruct*> mine;
  child::Report("ready");
  for (int round = 0; round < 10'000'000; ++round) {
    switch (random() % 5) {
      case 0:
        if (mine.size() < 64) {
          AsyncRetStruct* rec = nullptr;
          if (cbInitAsyncRetStruct(&rec) == 0) {
            rec->hwndNotify = static_cast<ZELHWND>(getpid());
            cbAddAsyncRetStruct(rec);
            mine.push_back(rec);
          }
        }
        break;
      case 1:
        if (!mine.empty()) {
          cbDeleteAsyncRetStruct(mine.back());
          mine.pop_back();
        }
        break;
      case 2: {
        NamedAsyncStruct* rec = nullptr;
        if (cbInitNamedAsyncStruct(&rec) == 0) {
          snprintf(rec->szName, sizeof rec->szName, "N%u", static_cast<unsigned>(random() % 8));
          cbAddNamedAsyncStruct(rec);
        }
        break;
      }
      case 3: {
        char name[21];
        snprintf(name, sizeof name, "N%u", static_cast<unsigned>(random() % 8));
        if (NamedAsyncStruct* rec = cbRetNamedAsyncFromName(name)) cbDeleteNamedAsyncStruct(rec);
        break;
      }
      default:
        // Allocated and never linked: only a kill can leave one behind.
        cbFreeCtrlBlkMem(cbAllocCtrlBlkMem(1 + random() % 100), 0);
        break;
    }
  }
  return 0;
}

// Every record in use is reachable from the anchor.
void ExpectNothingHalfMade() {
  ReclaimDeadProcessBlocks();
  std::vector<const void*> reachable = ReachableRecords();
  HeapStats stats = CurrentHeapStats();
  EXPECT_EQ(stats.used_blocks, reachable.size())
      << "records in use that no list reaches: lost space";
}

TEST(HeapCrash, ProcessesKilledInListAndHeapOperationsLeaveNothingHalfMade) {
  std::mt19937 random(20261206);
  std::vector<ChildProcess> workers;
  auto start = [&] {
    workers.push_back(ChildProcess::Start("list_worker", {std::to_string(random())}));
    ASSERT_EQ(workers.back().ReadLine(), "ready");
  };
  for (int i = 0; i < 3; ++i) start();
  for (int kill = 0; kill < 40; ++kill) {
    usleep(static_cast<useconds_t>(random() % 20000));
    size_t victim = random() % workers.size();
    workers[victim].Kill(SIGKILL);
    workers[victim].Wait();
    workers.erase(workers.begin() + static_cast<long>(victim));
    start();
  }
  for (ChildProcess& worker : workers) worker.Kill(SIGKILL);
  for (ChildProcess& worker : workers) worker.Wait();
  workers.clear();

  ExpectHeapSound();
  ExpectNothingHalfMade();
  // Every list mutex and the heap's can still be had, and the lists work.
  AsyncRetStruct* rec = nullptr;
  ASSERT_EQ(cbInitAsyncRetStruct(&rec), 0);
  rec->hwndNotify = 4242;
  cbAddAsyncRetStruct(rec);
  EXPECT_EQ(cbRetAsyncRetFromHwnd(4242), rec);
  cbDeleteAsyncRetStruct(rec);
  ExpectHeapSound();
}

// Allocates a record, lets the test try a delete through a stale pointer
// to it, then links it.
ZEL_CHILD_COMMAND(allocate_then_link) {
  NamedAsyncStruct* rec = nullptr;
  if (cbInitNamedAsyncStruct(&rec) != 0) return 2;
  snprintf(rec->szName, sizeof rec->szName, "LATE");
  child::Report(std::to_string(reinterpret_cast<uintptr_t>(rec)));
  if (child::Receive() != "link") return 3;
  cbAddNamedAsyncStruct(rec);
  child::Report("linked");
  return child::Receive() == "end" ? 0 : 4;
}

// A delete through a pointer that now names another process's fresh,
// not yet linked record (the memory was freed and reused since the pointer
// was found) must leave the record alone: freed, it would be linked while
// waiting for reuse, and then linked twice.
TEST(HeapCrash, ADeleteThroughAStalePointerLeavesAnotherProcesssFreshRecordAlone) {
  ChildProcess child = ChildProcess::Start("allocate_then_link");
  std::optional<std::string> address = child.ReadLine();
  ASSERT_TRUE(address.has_value());
  auto* stale = reinterpret_cast<NamedAsyncStruct*>(std::stoull(*address));
  cbDeleteNamedAsyncStruct(stale);
  ASSERT_TRUE(child.Send("link"));
  EXPECT_EQ(child.ReadLine(), "linked");
  EXPECT_EQ(cbRetNamedAsyncFromName("LATE"), stale);
  ExpectNothingHalfMade();
  ExpectHeapSound();
  ASSERT_TRUE(child.Send("end"));
  EXPECT_EQ(child.Wait(), 0);
  cbDeleteNamedAsyncStruct(stale);
}

// Takes the heap's mutex and dies holding it.
ZEL_CHILD_COMMAND(die_holding_heap_mutex) {
  HANDLE mutex = CreateMutex(false, "hmtxCtrlBlkHeapName");
  if (WaitForSingleObject(mutex, 5000) != WAIT_OBJECT_0) return 2;
  child::Report("held");
  raise(SIGKILL);
  return 3;
}

TEST(HeapCrash, AnAbandonedHeapMutexRebuildsTheSizeLists) {
  std::vector<void*> blocks;
  for (int i = 0; i <= kQuarantineDepth; ++i) blocks.push_back(cbAllocCtrlBlkMem(24));
  for (void* block : blocks) cbFreeCtrlBlkMem(block, 24);
  ChildProcess child = ChildProcess::Start("die_holding_heap_mutex");
  EXPECT_EQ(child.ReadLine(), "held");
  EXPECT_EQ(child.Wait(), 128 + SIGKILL);
  TraceCapture capture;
  uint32_t high_water = Shared()->ulHeapUsed;
  EXPECT_NE(cbAllocCtrlBlkMem(24), nullptr);
  EXPECT_TRUE(capture.Traced("rebuilding the size lists"));
  EXPECT_EQ(Shared()->ulHeapUsed, high_water) << "a quarantined block was reused";
  ExpectHeapSound();
}

// A record allocated by a process that died before linking it is taken
// back; one it linked stays.
ZEL_CHILD_COMMAND(allocate_and_die) {
  RZ700ReqStruct* linked = nullptr;
  RZ700ReqStruct* unlinked = nullptr;
  if (cbInitRZ700ReqStruct(&linked) != 0 || cbInitRZ700ReqStruct(&unlinked) != 0) return 2;
  memcpy(linked->achRID, "R0001AAA000", ZEL_RID_LEN);
  cbAddRZ700ReqStruct(linked);
  child::Report("made");
  raise(SIGKILL);
  return 3;
}

TEST(HeapCrash, RecordsADeadProcessNeverLinkedAreReclaimedAndLinkedOnesStay) {
  HeapStats before = CurrentHeapStats();
  ChildProcess child = ChildProcess::Start("allocate_and_die");
  EXPECT_EQ(child.ReadLine(), "made");
  EXPECT_EQ(child.Wait(), 128 + SIGKILL);
  EXPECT_EQ(CurrentHeapStats().used_blocks, before.used_blocks + 2);
  EXPECT_EQ(ReclaimDeadProcessBlocks(), 1u);
  EXPECT_EQ(CurrentHeapStats().used_blocks, before.used_blocks + 1);
  EXPECT_NE(cbRetRZ700ReqFromRid("R0001AAA000"), nullptr);
  EXPECT_EQ(ReclaimDeadProcessBlocks(), 0u) << "a linked record is published, never reclaimed";
  ExpectHeapSound();
}

}  // namespace
}  // namespace zel::test
