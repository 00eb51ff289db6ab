// Answers to applications' asynchronous requests: reassembled in their
// async-return record from the manager's entries, placed in a global block
// and posted to the window the application named. An answer that the
// window cannot take yet is kept and posted again by the answer keeper,
// which also drops the published names of requests no longer outstanding.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/heap_buffer.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "dataqueue/dataqueue.h"
#include "platform/handles.h"
#include "services/platform_calls.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcd0")

namespace zel::dataqueue {
namespace {

using ctrlblk::ListLock;
using ctrlblk::Serial;
using platform::UniqueHandle;
using services::Plat;

constexpr uint16_t kAwaitingAnswer = 40;
constexpr uint16_t kPostFailed = 41;
constexpr uint16_t kDataAnswer = 0;  // wParam of an answer with data
constexpr uint16_t kCodeAnswer = 1;  // wParam of a return-code answer
constexpr uint16_t kPurposeAsyncData = 2;
constexpr uint16_t kPurposeAsyncCode = 5;
constexpr uint32_t kPrefixLength = 27;
constexpr uint32_t kKeeperPeriodMs = 250;
constexpr size_t kKeeperStack = 64 * 1024;

static_assert(sizeof(AsyncRetPrefix) == kPrefixLength);

DQRetHeader HeaderOf(const void* entry) {
  DQRetHeader header;
  memcpy(&header, entry, sizeof header);
  return header;
}

// The record's abort flag: one 32-bit store by the abort. Only the manager
// deletes the record, so it is read without the list's lock; the abort
// takes the lock only to find the record and mark it in one step.
bool Aborted(const AsyncRetStruct* rec) { return rec->ulAborted == 1; }

// ---- The answer keeper ----

// Wakes the keeper early: an answer was just left in state 41.
platform::HANDLE g_keeper_wake = 0;

// Hands a kept answer to its window, or drops it when the window is gone or
// the request was aborted. True when the record is done with.
bool Redeliver(AsyncRetStruct* rec) {
  platform::HGLOBAL block = rec->pData;
  if (Aborted(rec) || !Plat().IsWindow(rec->hwndNotify)) {
    trace::Msg("CD", 100, "Kept answer dropped: window gone or request aborted");
    Plat().GlobalFree(block);
    return true;
  }
  bool posted = Plat().PostMessage(rec->hwndNotify, rec->usNotifyMsg, rec->usPostKind,
                                   reinterpret_cast<platform::LPARAM>(block));
  trace::Rc("CD", 100, "PostMessage() rc AsyncRet Msg", posted);
  return posted;
}

// The records in state 41, taken under the list's lock. Only the keeper
// deletes them: the dispatch leaves a record in state 41 alone.
std::vector<AsyncRetStruct*> KeptAnswers() {
  std::vector<AsyncRetStruct*> kept;
  ListLock lock(Serial::kAsyncRetList);
  if (!lock.acquired()) return kept;
  for (AsyncRetStruct* rec = ctrlblk::Anchor().pAsyncRetList; rec != nullptr; rec = rec->pNext) {
    if (rec->usPostState == kPostFailed) kept.push_back(rec);
  }
  return kept;
}

// Names whose request is no longer outstanding. A name is published only
// for a RID that a caller already holds, so its record existed then.
void DropStaleNames() {
  ListLock names(Serial::kAsyncNamesList);
  if (!names.acquired()) return;
  NamedAsyncStruct* rec = cbRetNextNamedAsync(nullptr);
  while (rec != nullptr) {
    NamedAsyncStruct* next = cbRetNextNamedAsync(rec);
    if (ctrlblk::cbRetAsyncRetFromRid(rec->achRID) == nullptr) {
      trace::String("CD", 100, "Published name dropped", rec->szName);
      cbDeleteNamedAsyncStruct(rec);
    }
    rec = next;
  }
}

platform::DWORD RunKeeper(void*) {
  for (;;) {
    Plat().WaitForSingleObject(g_keeper_wake, kKeeperPeriodMs);
    for (AsyncRetStruct* rec : KeptAnswers()) {
      if (Redeliver(rec)) cbDeleteAsyncRetStruct(rec);
    }
    DropStaleNames();
  }
}

}  // namespace

void StartAnswerKeeper() {
  // Called at each answer: once started, a look at a flag.
  static std::atomic<bool> started{false};
  static std::mutex start_mutex;
  if (started.load(std::memory_order_acquire)) return;
  std::lock_guard lock(start_mutex);
  if (started.load(std::memory_order_relaxed)) return;
  if (g_keeper_wake == 0) g_keeper_wake = Plat().CreateEvent(false, false, nullptr);
  UniqueHandle thread;
  if (g_keeper_wake != 0) {
    thread.Reset(Plat().CreateThread(kKeeperStack, RunKeeper, nullptr, nullptr));
  }
  if (!thread) {
    if (ZEL_ERROR_POINT("EXT_LAUNCH_KEEPER")) {
      trace::SysRc("CD", -100, "Answer keeper not started rc=", platform::GetLastError());
    }
    return;
  }
  started.store(true, std::memory_order_release);
}

namespace {

// ---- Delivery ----

// Posts the answer's block to the record's window. Done: the record is
// deleted, or, when the window is gone, the block freed and the record
// deleted. Otherwise the record keeps the block in state 41 for the
// keeper.
void Deliver(AsyncRetStruct* rec, void* block, uint16_t kind) {
  if (!Plat().IsWindow(rec->hwndNotify)) {
    trace::Rc("CD", 100, "Window gone, answer dropped", rec->hwndNotify);
    Plat().GlobalFree(block);
    cbDeleteAsyncRetStruct(rec);
    return;
  }
  bool posted = Plat().PostMessage(rec->hwndNotify, rec->usNotifyMsg, kind,
                                   reinterpret_cast<platform::LPARAM>(block));
  trace::Rc("CD", 100, "PostMessage() rc AsyncRet Msg", posted);
  if (posted) {
    cbDeleteAsyncRetStruct(rec);
    return;
  }
  rec->pData = block;
  rec->usPostKind = kind;
  rec->usPostState = kPostFailed;
  // Outside the manager there is no keeper: the caller posts it again.
  if (g_keeper_wake != 0) Plat().SetEvent(g_keeper_wake);
}

// A return-code answer: a 27-byte block whose first 16 bits hold the code.
void DeliverCode(AsyncRetStruct* rec, uint32_t value) {
  void* block = nullptr;
  uint32_t length = 0;
  uint16_t rc = cdConvRcvdDataBuffer(kPurposeAsyncCode, 0, &length, &block);
  if (rc != 0 && ZEL_ERROR_POINT("RCV_CONV_ERROR")) {
    trace::Rc("CD", -100, "Error csRcvDataBufferConv() rc = ", rc);
    return;
  }
  auto code = static_cast<uint16_t>(value);
  memcpy(block, &code, sizeof code);
  Deliver(rec, block, kCodeAnswer);
}

// The data answer is complete in the record's buffer: converted into a
// global block behind its prefix and delivered.
void DeliverData(AsyncRetStruct* rec) {
  uint32_t length = rec->ulTotalLen;
  // The conversion takes the reassembly buffer and gives the block back.
  void* holder = rec->pData;
  rec->pData = nullptr;
  uint16_t rc = cdConvRcvdDataBuffer(kPurposeAsyncData, rec->ulDataVersion, &length, &holder);
  if (rc != 0 && ZEL_ERROR_POINT("RCV_CONV_ERROR")) {
    trace::Rc("CD", -100, "Error csRcvDataBufferConv() rc = ", rc);
    // The data is lost; the application still learns how its request ended.
    DeliverCode(rec, rc);
    return;
  }
  auto* block = static_cast<uint8_t*>(holder);
  AsyncRetPrefix prefix{};
  memcpy(prefix.achRID, rec->achRID, ZEL_RID_LEN);
  prefix.ulValue = rec->ulValue;
  prefix.ulDataVersion = rec->ulDataVersion;
  prefix.ulDataAddr = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block + kPrefixLength));
  prefix.ulDataLen = length;
  memcpy(block, &prefix, sizeof prefix);
  trace::Dump("CD", 100, "AsyncRetPrefix", block, kPrefixLength);
  Deliver(rec, block, kDataAnswer);
}

// Takes one entry of a data answer into the record; false when the entry
// breaks the block sequence (the record is left as it was).
bool TakeBlock(AsyncRetStruct* rec, const DQRetHeader& header, const uint8_t* data) {
  bool first = uint64_t{header.ulBlockLen} + header.ulBytesLeft == header.ulTotalLen;
  if (first) {
    void* buffer = nullptr;
    if (header.ulTotalLen != 0) {
      buffer = AssemblyBuffer(header.ulTotalLen);
      if (buffer == nullptr && ZEL_ERROR_POINT("MALLOC_PBUFFER_ERROR")) {
        trace::Size("CD", -100, "malloc() Error size =", header.ulTotalLen);
        return false;
      }
      memcpy(buffer, data, header.ulBlockLen);
    }
    free(rec->pData);  // a first entry again: the earlier one's data is void
    rec->pData = buffer;
    rec->ulRcvdLen = header.ulBlockLen;
    rec->ulBytesLeft = header.ulBytesLeft;
    rec->ulTotalLen = header.ulTotalLen;
    rec->ulDataVersion = header.ulDataVersion;
    rec->ulValue = header.ulValue;
    return true;
  }
  if (!ContinuesAssembly(rec->ulTotalLen, rec->ulBytesLeft, header.ulTotalLen, header.ulBlockLen,
                         header.ulBytesLeft)) {
    return false;
  }
  memcpy(static_cast<uint8_t*>(rec->pData) + rec->ulRcvdLen, data, header.ulBlockLen);
  rec->ulRcvdLen += header.ulBlockLen;
  rec->ulBytesLeft = header.ulBytesLeft;
  return true;
}

// An entry that failed its checks is dropped and the record kept, as a
// first entry may still start the answer again. The answer's last entry
// ends it, though: the answer can no longer be whole, and the window hears
// 1026 instead of waiting for ever.
void DropEntry(AsyncRetStruct* rec, const DQRetHeader& header) {
  if (header.ulBytesLeft != 0) return;
  trace::Dump("CD", -100, "Answer cannot be put together", rec->achRID, ZEL_RID_LEN);
  free(rec->pData);
  rec->pData = nullptr;
  DeliverCode(rec, VQZM_RC_INTERNAL_ERROR);
}

// True when the entry's header is sound for the entry read: a block that
// lies inside it.
bool BlockFits(const DQRetHeader& header, uint32_t entry_length) {
  return entry_length >= kHeaderLength && header.ulBlockLen <= entry_length - kHeaderLength;
}

void TraceSizes(const char* tag, const DQRetHeader& header) {
  trace::Size(tag, 100, "Total Data", header.ulTotalLen);
  trace::Size(tag, 100, "Bytes Left", header.ulBytesLeft);
  trace::Size(tag, 100, "Data Length", header.ulBlockLen);
}

}  // namespace
}  // namespace zel::dataqueue

using namespace zel::dataqueue;
namespace trace = zel::trace;

void cdHandleCancelledAsync(AsyncRetStruct* pRecord, DQReadItem* pItem) {
  ZEL_TRACE_FUNCTION("CD", "cdHandleCancelledAsync");
  // Read raw: a zero is zero in either byte order.
  uint32_t bytes_left = 0;
  if (pItem->ulLength >= kHeaderLength) {
    memcpy(&bytes_left,
           static_cast<const uint8_t*>(pItem->pBuffer) + offsetof(DQRetHeader, ulBytesLeft),
           sizeof bytes_left);
  }
  if (bytes_left != 0) return;
  free(pRecord->pData);
  cbDeleteAsyncRetStruct(pRecord);
}

void cdHandleAsyncReturn(DQReadItem* pItem) {
  ZEL_TRACE_FUNCTION("CD", "cdHandleAsyncReturn");
  StartAnswerKeeper();
  const char* rid = &pItem->achKey[1];
  AsyncRetStruct* rec = zel::ctrlblk::cbRetAsyncRetFromRid(rid);
  if (rec == nullptr) {
    ZEL_ERROR_POINT("EXT_FIND_ASYNC_RET");
    trace::Msg("CD", -100, "cbRetAsyncRetFromRid() Error");
    trace::Dump("CD", -100, "RID Searching for in hex", rid, ZEL_RID_LEN);
    if (cdProcRcvHeader(kDataReturnMsgId, pItem->pBuffer) == 0) {
      TraceSizes("CK", HeaderOf(pItem->pBuffer));
    }
    return;
  }
  if (rec->usPostState != kAwaitingAnswer) {
    // Its answer is complete and kept for the keeper: this entry is stray.
    trace::Dump("CD", -50, "Entry for an answer already complete", rid, ZEL_RID_LEN);
    return;
  }
  if (Aborted(rec)) {
    cdHandleCancelledAsync(rec, pItem);
    return;
  }
  uint16_t rc = cdProcRcvHeader(kDataReturnMsgId, pItem->pBuffer);
  if (rc != 0 && ZEL_ERROR_POINT("PROC_HEADER_ERROR")) {
    trace::Rc("CD", -100, "cdProcRcvHeader() Error rc =", rc);
    // The entry is lost, and with it the answer, which can no longer be
    // put together: the window hears the code now instead of waiting for
    // ever, and the answer's later entries find no record.
    free(rec->pData);
    rec->pData = nullptr;
    DeliverCode(rec, rc);
    return;
  }
  DQRetHeader header = HeaderOf(pItem->pBuffer);
  TraceSizes("CD", header);
  if (memcmp(header.achMsgId, kCodeReturnMsgId, kMsgIdLength) == 0) {
    DeliverCode(rec, header.ulValue);
    return;
  }
  if (!BlockFits(header, pItem->ulLength) && ZEL_ERROR_POINT("BUFFER_TOO_SMALL")) {
    trace::Msg("CD", -100, "Block size will overflow buffer originally allocated");
    DropEntry(rec, header);
    return;
  }
  const uint8_t* data = static_cast<const uint8_t*>(pItem->pBuffer) + kHeaderLength;
  if (!TakeBlock(rec, header, data)) {
    DropEntry(rec, header);
    return;
  }
  if (rec->ulBytesLeft == 0) DeliverData(rec);
}

void cdReleaseAsyncOfSystem(RZ700SysStruct* pSystem, uint16_t usRC) {
  ZEL_TRACE_FUNCTION("CD", "cdReleaseAsyncOfSystem");
  // The RIDs first, then their systems: the system list's lock is never
  // taken inside the async-return list's.
  std::vector<AsyncRetStruct*> waiting;
  {
    ListLock lock(Serial::kAsyncRetList);
    if (!lock.acquired()) return;
    for (AsyncRetStruct* rec = zel::ctrlblk::Anchor().pAsyncRetList; rec != nullptr;
         rec = rec->pNext) {
      if (rec->usPostState == kAwaitingAnswer) waiting.push_back(rec);
    }
  }
  for (AsyncRetStruct* rec : waiting) {
    RZ700SysStruct* system = nullptr;
    if (cbFindRZ700SysByRID(rec->achRID, &system) != 0 || system != pSystem) continue;
    trace::Dump("CD", 100, "Answer will not come, released", rec->achRID, ZEL_RID_LEN);
    free(rec->pData);
    rec->pData = nullptr;
    if (Aborted(rec)) {
      cbDeleteAsyncRetStruct(rec);
    } else {
      DeliverCode(rec, usRC);
    }
  }
}

namespace zel::dataqueue {
namespace {

// True when the record's window belongs to process `pid` (any window when 0).
bool OfProcess(const AsyncRetStruct* rec, uint32_t pid) {
  if (pid == 0) return true;
  platform::DWORD owner = 0;
  Plat().GetWindowThreadProcessId(rec->hwndNotify, &owner);
  return owner == pid;
}

// Answers one request of a dead manager; true when its record is done with.
bool ReleaseOfDeadManager(AsyncRetStruct* rec, uint16_t rc) {
  if (rec->usPostState == kPostFailed) {
    if (!Redeliver(rec)) return false;
    cbDeleteAsyncRetStruct(rec);
    return true;
  }
  // A partial answer was reassembled in the dead manager's own memory.
  rec->pData = nullptr;
  if (Aborted(rec)) {
    cbDeleteAsyncRetStruct(rec);
    return true;
  }
  DeliverCode(rec, rc);
  return rec->usPostState != kPostFailed;
}

}  // namespace
}  // namespace zel::dataqueue

size_t cdReleaseAsyncOfDeadManager(uint16_t usRC, uint32_t ulPid) {
  ZEL_TRACE_FUNCTION("CD", "cdReleaseAsyncOfDeadManager");
  // Under the lock throughout: the watch of every application and a
  // restarting process may release at once, and each answer goes once.
  ListLock lock(Serial::kAsyncRetList);
  if (!lock.acquired()) return 0;
  std::vector<AsyncRetStruct*> mine;
  for (AsyncRetStruct* rec = zel::ctrlblk::Anchor().pAsyncRetList; rec != nullptr;
       rec = rec->pNext) {
    if (OfProcess(rec, ulPid)) mine.push_back(rec);
  }
  size_t left = 0;
  for (AsyncRetStruct* rec : mine) {
    trace::Dump("CD", 100, "Manager gone, answer released", rec->achRID, ZEL_RID_LEN);
    if (!ReleaseOfDeadManager(rec, usRC)) ++left;
  }
  return left;
}

size_t cdCountAsyncOfProcess(uint32_t ulPid) {
  ListLock lock(Serial::kAsyncRetList);
  if (!lock.acquired()) return 0;
  size_t count = 0;
  for (AsyncRetStruct* rec = zel::ctrlblk::Anchor().pAsyncRetList; rec != nullptr;
       rec = rec->pNext) {
    if (OfProcess(rec, ulPid)) ++count;
  }
  return count;
}
