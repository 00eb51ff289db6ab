// The manager's request queue. Inside the CPMgr, data-queue work that one of
// its own threads asks for is not done in that thread: it is written into a
// pipe, read by one processing thread, and done by a worker thread (one
// that waits from an earlier request, or one started for it), which posts
// the result back to the requester's own event.
//
// Who holds a request record: the requester and the processing side, one
// hold each (usUseCount 2). Each drops its own hold exactly once, so
// whichever lets go last frees the record, its block, its descriptor copy
// and the data copy. A requester that gave up has dropped its hold and
// closed its event: the late post finds no event, writes nothing the
// requester still reads, and frees what is left.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/object_names.h"
#include "dataqueue/dataqueue.h"
#include "hostlink/hostlink.h"
#include "platform/event.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/pipe.h"
#include "platform/process.h"
#include "services/platform_calls.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcd1")

using zel::services::Plat;

namespace zel::dataqueue {
namespace {

using namespace zel::platform;
using namespace zel::ctrlblk;

constexpr uint32_t kThreadStack = 12288;
// How long a requester waits for its answer, beyond any wait of its own.
constexpr DWORD kAnswerWaitMs = 360000;
// How long cdWaitOutstandingDQCBList waits in all, and in one slice.
constexpr DWORD kCleanWaitMs = 45000;
constexpr DWORD kCleanSliceMs = 100;

#pragma pack(push, 1)
// One message of the request pipe, written and read whole.
struct IPCQueueMsg {
  uint32_t ulSenderPid;              // process ID of the writer
  uint32_t ulReqType;                // DQRequestType, widened
  OutstandingDQReqCB* pOutstanding;  // the request's record
};
#pragma pack(pop)
static_assert(sizeof(IPCQueueMsg) == 16);

void SendReqBufferThread(void* pOutstanding);
void SendRetBufferThread(void* pOutstanding);
void RtvDataThread(void* pOutstanding);

// What the processing thread does for each request type.
struct WorkerKind {
  void (*worker)(void*);
  bool own_thread;           // started as a plain thread (CreateThread), not btLaunchThread
  const char* launch_label;  // error point of a failed start
  uint32_t notice_insert;    // insert of the launch failure notice
};
constexpr WorkerKind kWorkers[] = {
    {hostlink::ccObtainRZ700RRPThread, true, "EXT_LAUNCH_OBTAINRZ700RRP_PROC", 1400},
    {SendReqBufferThread, false, "EXT_LAUNCH_SENDREQUEST_PROC", 1420},
    {SendRetBufferThread, false, "EXT_LAUNCH_SENDREQUEST_PROC", 1420},
    {RtvDataThread, false, "EXT_LAUNCH_RTVDATA_PROC", 1440},
};

bool KnownType(uint32_t type) { return type >= DQ_REQ_OBTAIN_RRP && type <= DQ_REQ_RTV_DATA; }

// True while some request on the list is unanswered, or when the list
// cannot be looked at (the wait then goes on).
bool AnyUnanswered() {
  if (cbCtrlOutstandingDQCBList() != 0) return true;
  uint32_t unanswered = cdChkOutstandingListReturnedFromCPMgr();
  cbRelOutstandingDQCBList();
  return unanswered != 0;
}

DQReqBlockHeader* BlockOf(const OutstandingDQReqCB* rec) {
  return static_cast<DQReqBlockHeader*>(rec->pReqCB);
}

// The descriptor copy of a block of type 2 to 4 (all begin with pData and
// ulDataLen).
RetBufferDesc* DescOf(uint16_t type, void* block) {
  switch (type) {
    case DQ_REQ_SEND_REQUEST:
      return reinterpret_cast<RetBufferDesc*>(static_cast<SendReqCB*>(block)->pDesc);
    case DQ_REQ_SEND_RETURN:
      return static_cast<SendRetCB*>(block)->pDesc;
    case DQ_REQ_RTV_DATA:
      return static_cast<RtvDataCB*>(block)->pDesc;
    default:
      return nullptr;
  }
}

// The global block a request owns once nobody takes it: the copy of the
// data to send, or reply data that no requester took.
void* OwnedData(uint16_t type, void* block, bool taken) {
  RetBufferDesc* desc = DescOf(type, block);
  if (desc == nullptr || desc->ulDataLen == 0) return nullptr;
  if (type == DQ_REQ_RTV_DATA && taken) return nullptr;
  return desc->pData;
}

// Frees a block that never became a record, with its data copy.
void FreeUnqueued(uint16_t type, void* block) {
  if (void* data = OwnedData(type, block, false); data != nullptr) Plat().GlobalFree(data);
  FreeRequestBlock(type, block);
}

void PostNotice(uint32_t first, uint32_t second, uint32_t insert) {
  char* text = static_cast<char*>(malloc(11));
  if (text != nullptr) snprintf(text, 11, "%ld", static_cast<long>(insert));
  PostManagerNotice(CPMgrNotice{first, second, nullptr, text, ZEL_NOTICE_COUNT, nullptr}, 1);
}

// Marks `rec` returned and opens its requester's event; the list lock is
// held. An empty handle when the event cannot be opened: *rc is then 1064
// (the record counts as returned all the same: nobody waits on it any more).
UniqueHandle OpenRequesterEvent(OutstandingDQReqCB* rec, uint16_t* rc) {
  std::string name = RequestEventName(rec->usReqType, rec->pReqCB);
  rec->ulReturned = 1;
  UniqueHandle event(Plat().OpenEvent(EVENT_ALL_ACCESS, false, name.c_str()));
  if (!event && ZEL_ERROR_POINT("EXT_OPEN_EVENT_SEM")) {
    trace::Msg("CD", -100, "OpenEvent() Error");
    trace::SysErrorText("CD");
    trace::String("CD", -100, "event name", name.c_str());
    *rc = VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  return event;
}

// Sets and closes a requester's event: 0, or 1064 when it cannot be set.
uint16_t SetRequesterEvent(UniqueHandle event) {
  if (!Plat().SetEvent(event.get()) && ZEL_ERROR_POINT("EXT_POST_SEM_ERROR")) {
    trace::SysRc("CD", -100, "DosPostEventSem() rc=", GetLastError());
    trace::Rc("CD", -100, "DosCloseEventSem() rc=", event.Close() ? 0 : GetLastError());
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  if (!event.Close() && ZEL_ERROR_POINT("EXT_CLOSE_SEM_ERROR")) {
    trace::SysRc("CD", -100, "DosCloseEventSem() rc=", GetLastError());
  }
  return 0;
}

// Signals the requester of `rec` and marks it returned; the list lock is
// held. 0, or 1064 when the event cannot be opened or set.
uint16_t SignalRequester(OutstandingDQReqCB* rec) {
  uint16_t rc = 0;
  UniqueHandle event = OpenRequesterEvent(rec, &rc);
  return event ? SetRequesterEvent(std::move(event)) : rc;
}

// The data-queue work of a worker, on a descriptor of its own: the shared
// copy is the requester's until the result is posted.
void SendReqBufferThread(void* pOutstanding) {
  ZEL_TRACE_FUNCTION("CD", "cdSendReqBufferThread");
  auto* rec = static_cast<OutstandingDQReqCB*>(pOutstanding);
  auto* block = static_cast<SendReqCB*>(rec->pReqCB);
  PostRequestResult(rec, cdCPMgrSendReqBuffer(block->hdr.pSystem, block->pDesc));
}

void SendRetBufferThread(void* pOutstanding) {
  ZEL_TRACE_FUNCTION("CD", "cdSendRetBufferThread");
  auto* rec = static_cast<OutstandingDQReqCB*>(pOutstanding);
  auto* block = static_cast<SendRetCB*>(rec->pReqCB);
  PostRequestResult(rec, cdCPMgrSendRetBuffer(block->hdr.pSystem, block->pDesc, block->usRetKind));
}

void RtvDataThread(void* pOutstanding) {
  ZEL_TRACE_FUNCTION("CD", "cdRtvDataThread");
  auto* rec = static_cast<OutstandingDQReqCB*>(pOutstanding);
  auto* block = static_cast<RtvDataCB*>(rec->pReqCB);
  RtvDataDesc reply = *block->pDesc;
  uint16_t rc = cdCPMgrRtvData(block->hdr.pSystem, &reply);
  if (rc != 0) reply = RtvDataDesc{};
  PostRequestResult(rec, rc, &reply);
}

// Workers that have done their request wait a while for the next one
// before they end: a thread started per request costs its start, and a
// thread that has only just started is the last to get a processor back
// when it waits on the host while the machine is busy.
thread_local bool t_worker = false;        // this thread is a worker
thread_local bool t_counted_idle = false;  // and counts among the waiting ones

class IdleWorkers {
 public:
  // Hands `rec` to a waiting worker; false when none waits.
  bool Hand(OutstandingDQReqCB* rec) {
    std::lock_guard lock(mutex_);
    if (idle_ == 0) return false;
    --idle_;
    requests_.push_back(rec);
    ready_.notify_one();
    return true;
  }

  // Counts the calling worker among the waiting ones, once per request. A
  // worker does so before it posts its result, so that the request its
  // requester queues next finds it.
  void CountIdle() {
    if (t_counted_idle) return;
    std::lock_guard lock(mutex_);
    ++idle_;
    t_counted_idle = true;
  }

  // The next request handed to this worker, or null once it waited
  // kIdleLife for one in vain.
  OutstandingDQReqCB* Next() {
    CountIdle();
    std::unique_lock lock(mutex_);
    t_counted_idle = false;
    if (!ready_.wait_for(lock, kIdleLife, [this] { return !requests_.empty(); })) {
      --idle_;
      return nullptr;
    }
    OutstandingDQReqCB* rec = requests_.front();
    requests_.pop_front();
    return rec;
  }

 private:
  static constexpr std::chrono::seconds kIdleLife{30};

  std::mutex mutex_;
  std::condition_variable ready_;
  size_t idle_ = 0;                             // waiting workers not yet handed a request
  std::deque<OutstandingDQReqCB*> requests_;  // handed, not yet taken
};

// Never destroyed: workers may still wait in it as the process ends.
IdleWorkers& Idle() {
  static auto* idle = new IdleWorkers;
  return *idle;
}

// A worker: its first request, then each one handed to it while it waits.
void RunWorker(void* first) {
  t_worker = true;
  for (auto* rec = static_cast<OutstandingDQReqCB*>(first); rec != nullptr; rec = Idle().Next()) {
    kWorkers[rec->usReqType - 1].worker(rec);
  }
}

DWORD RunThreadEntry(void* first) {
  RunWorker(first);
  return 0;
}

DWORD RunProcessingThread(void*) {
  cdDQProcThread();
  return 0;
}

// Hands a request to a waiting worker or starts one for it; false when it
// cannot be started.
bool LaunchWorker(const WorkerKind& kind, OutstandingDQReqCB* rec) {
  if (Idle().Hand(rec)) return true;
  if (!kind.own_thread) return Plat().btLaunchThread(RunWorker, kThreadStack, rec) != -1;
  UniqueHandle thread(Plat().CreateThread(kThreadStack, RunThreadEntry, rec, nullptr));
  return static_cast<bool>(thread);
}

// Reads one whole message; false with the last error set when the read
// fails.
bool ReadMessage(HANDLE pipe, IPCQueueMsg* msg) {
  auto* bytes = reinterpret_cast<char*>(msg);
  DWORD got = 0;
  while (got < sizeof *msg) {
    DWORD read = 0;
    if (!Plat().ReadFile(pipe, bytes + got, sizeof *msg - got, &read)) return false;
    got += read;
  }
  return true;
}

// One message: answered at once when the system is not active, else handed
// to a worker. False when the thread must end.
bool Dispatch(const IPCQueueMsg& msg) {
  trace::Rc("CD", 100, "IPC Q Data", msg.ulReqType);
  if (!KnownType(msg.ulReqType)) {
    trace::Rc("CD", 100, "Default Situation,IPC Q Data", msg.ulReqType);
    return true;
  }
  OutstandingDQReqCB* rec = msg.pOutstanding;
  if (msg.ulReqType == DQ_REQ_RTV_DATA) {
    static_cast<RtvDataCB*>(rec->pReqCB)->ulRequesterPid = msg.ulSenderPid;
  }
  if (rec->pSystem->usCommState != ZEL_COMM_ACTIVE) {
    if (msg.ulReqType == DQ_REQ_SEND_RETURN) {
      trace::Rc("CD", 100, "Return Value set for instance shutdown", VQZM_RC_NOT_ACTIVE);
    }
    PostRequestResult(rec, VQZM_RC_NOT_ACTIVE);
    return true;
  }
  const WorkerKind& kind = kWorkers[msg.ulReqType - 1];
  if (!LaunchWorker(kind, rec)) {
    DWORD error = GetLastError();
    trace::ErrorPoint(kind.launch_label, __LINE__, kZelModule);
    trace::SysRc("CD", -100, "Launch thread error", error);
    PostNotice(ZEL_MSGNUM_DQ_LAUNCH, ZEL_MSGNUM_DQ_LAUNCH_2, kind.notice_insert);
    return false;
  }
  if (msg.ulReqType == DQ_REQ_SEND_RETURN) trace::Msg("CD", 100, "Send Return Thread started");
  return true;
}

// The pipe's write end for this thread: a duplicate of the CPMgr's handle,
// closed when the request is written.
UniqueHandle DuplicateWriteEnd() {
  const ZELAnchorCB& anchor = Anchor();
  UniqueHandle manager(Plat().OpenProcess(PROCESS_ALL_ACCESS, true, anchor.ulCPMgrPid));
  HANDLE write_end = 0;
  if (!manager || !Plat().DuplicateHandle(manager.get(), anchor.hDQReqWrite, GetCurrentProcess(),
                                          &write_end, 0, true, DUPLICATE_SAME_ACCESS)) {
    return UniqueHandle();
  }
  return UniqueHandle(write_end);
}

// Size of each type's block and descriptor copy.
struct BlockLayout {
  uint32_t block;
  uint32_t desc;
};
constexpr BlockLayout kLayouts[] = {{sizeof(ObtainRRPCB), 0},
                                    {sizeof(SendReqCB), sizeof(ReqBufferDesc)},
                                    {sizeof(SendRetCB), sizeof(RetBufferDesc)},
                                    {sizeof(RtvDataCB), sizeof(RtvDataDesc)}};

// The block of a request with its shared descriptor copy and, for data to
// send, a global copy of the data: all of it outlives the caller's wait
// when the caller gives up. Null after the error point when memory ran out.
void* NewRequestBlock(uint16_t type, RZ700SysStruct* pSystem, const void* pDesc,
                      const Requester& who, uint16_t usRetKind) {
  const BlockLayout& layout = kLayouts[type - 1];
  auto* block = static_cast<uint8_t*>(cbAllocCtrlBlkMem(layout.block));
  if (block == nullptr) {
    trace::ErrorPoint("ALLOC_MEM_FAILURE", __LINE__, who.module);
    trace::Size(who.tag, -100, "CB allocate from Shared Memory heap failed size =", layout.block);
    return nullptr;
  }
  memset(block, 0, layout.block);
  reinterpret_cast<DQReqBlockHeader*>(block)->pSystem = pSystem;
  if (type == DQ_REQ_OBTAIN_RRP) return block;
  void* desc = cbAllocCtrlBlkMem(layout.desc);
  if (desc == nullptr) {
    trace::ErrorPoint("ALLOC_MEM_FAILURE_2", __LINE__, who.module);
    trace::Size(who.tag, -100, "CB allocate from Shared Memory heap failed size =", layout.desc);
    cbFreeCtrlBlkMem(block, layout.block);
    return nullptr;
  }
  memcpy(desc, pDesc, layout.desc);
  // Each type's descriptor pointer follows the common header.
  memcpy(block + sizeof(DQReqBlockHeader), &desc, sizeof desc);
  if (type == DQ_REQ_SEND_RETURN)
    static_cast<SendRetCB*>(static_cast<void*>(block))->usRetKind = usRetKind;
  auto* copy = static_cast<RetBufferDesc*>(desc);
  if (type == DQ_REQ_RTV_DATA) {
    copy->pData = nullptr;
    copy->ulDataLen = 0;
    return block;
  }
  if (copy->ulDataLen == 0) return block;
  void* data = Plat().GlobalAlloc(GMEM_SHARE | GMEM_ZEROINIT, copy->ulDataLen);
  if (data == nullptr) {
    trace::ErrorPoint("EXT_ALLOC_SHARED_MEM", __LINE__, who.module);
    trace::SysRc(who.tag, -100, "DosAllocSharedMem() rc =", GetLastError());
    copy->ulDataLen = 0;
    FreeRequestBlock(type, block);
    return nullptr;
  }
  memcpy(data, copy->pData, copy->ulDataLen);
  copy->pData = data;
  return block;
}

}  // namespace

std::string RequestEventName(uint16_t type, const void* block) {
  static constexpr const char* kNames[] = {"", "hevRetSemObRRPName", "hevRetSemSendReqName",
                                           "hevRetSemSendRetName", "hevRetSemRtvName"};
  char name[64];
  snprintf(name, sizeof name, "%s.%p", KnownType(type) ? kNames[type] : "", block);
  return name;
}

// The processing side's result: stored for the requester unless it was
// released already (by the clear at exit), then posted. A clear that comes
// in between stores its own code over this one and releases the requester,
// which then takes no reply: the reply goes with the last hold. A reply
// that no requester will take is freed here.
void PostRequestResult(OutstandingDQReqCB* rec, uint16_t rc, const RtvDataDesc* reply) {
  if (t_worker) Idle().CountIdle();
  uint16_t locked = cbCtrlOutstandingDQCBList();
  if (locked == 0 && rec->ulReturned == 0) {
    BlockOf(rec)->usRC = rc;
    if (reply != nullptr) *DescOf(DQ_REQ_RTV_DATA, rec->pReqCB) = *reply;
  } else if (reply != nullptr && reply->pData != nullptr) {
    Plat().GlobalFree(reply->pData);
  }
  if (locked == 0) cbRelOutstandingDQCBList();
  trace::Rc("CD", 100, "cdPostDQRequestRC() rc=", cdPostDQRequestRC(&rec));
}

void PostManagerNotice(const CPMgrNotice& notice, uint32_t wParam) {
  auto* posted = static_cast<CPMgrNotice*>(malloc(sizeof(CPMgrNotice)));
  if (posted == nullptr) {
    free(notice.pszInsert);
    return;
  }
  *posted = notice;
  if (cbPostCPMgrMsg(ZEL_MSG_CPMGR_NOTICE, wParam, posted) == 0) return;
  free(posted->pszInsert);
  free(posted);
}

void DropHold(OutstandingDQReqCB* rec, bool data_taken) {
  uint16_t locked = cbCtrlOutstandingDQCBList();
  uint16_t type = rec->usReqType;
  void* data = KnownType(type) ? OwnedData(type, rec->pReqCB, data_taken) : nullptr;
  uint32_t freed = cbDeleteOutstandingDQCBAndLinkedMem(rec);
  trace::Rc("CD", 100, "cbDeleteOutstandingDQCBAndLinkedMem() rc = ", freed);
  if (locked == 0) cbRelOutstandingDQCBList();
  if (freed == 1 && data != nullptr) Plat().GlobalFree(data);
}

uint16_t QueueRequest(uint16_t type, RZ700SysStruct* pSystem, void* pDesc, const Requester& who,
                      uint16_t usRetKind) {
  void* block = NewRequestBlock(type, pSystem, pDesc, who, usRetKind);
  if (block == nullptr) return VQZM_RC_NO_MEMORY;
  auto* header = static_cast<DQReqBlockHeader*>(block);
  std::string name = RequestEventName(type, block);
  UniqueHandle event(Plat().CreateEvent(true, false, name.c_str()));
  if (!event) {
    trace::ErrorPoint("EXT_CREATE_EVENT_SEM", __LINE__, who.module);
    trace::SysRc(who.tag, -100, "DosCreateEventSem() rc=", GetLastError());
    FreeUnqueued(type, block);
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  header->hevRet = event.get();
  OutstandingDQReqCB* rec = nullptr;
  uint16_t rc = cdSendDQRequest(pSystem, block, type, &rec);
  if (rc != 0) {
    trace::ErrorPoint("ERR_SEND_DQ_REQUEST", __LINE__, who.module);
    trace::Rc(who.tag, -100, "cdSendDQRequest() rc=", rc);
    if (rec != nullptr) {
      DropHold(rec, false);
    } else {
      FreeUnqueued(type, block);
    }
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  // A retrieval waits its own time on top; without limit when it has none.
  auto* answer = type == DQ_REQ_RTV_DATA ? static_cast<RtvDataDesc*>(pDesc) : nullptr;
  DWORD wait_ms = kAnswerWaitMs;
  if (answer != nullptr) {
    wait_ms =
        answer->ulTimeout == 0xFFFFFFFFu ? INFINITE : answer->ulTimeout * 1000 + kAnswerWaitMs;
  }
  DWORD wait = Plat().WaitForSingleObject(event.get(), wait_ms);
  event.Reset();
  if (wait != WAIT_OBJECT_0) {
    trace::ErrorPoint(answer == nullptr ? "EXT_WAIT_EVENT_SEM" : "EXT_NO_RESPONSE", __LINE__,
                      who.module);
    trace::SysRc(who.tag, -100, "DosWaitEventSem() rc=", wait);
    DropHold(rec, false);
    return answer == nullptr ? VQZM_RC_MANAGER_HANDOVER_FAILED : VQZM_RC_INTERNAL_ERROR;
  }
  rc = header->usRC;
  if (answer != nullptr && rc == 0) {
    const RtvDataDesc& reply = *DescOf(DQ_REQ_RTV_DATA, block);
    answer->pData = reply.ulDataLen == 0 ? nullptr : reply.pData;
    answer->ulDataLen = reply.ulDataLen;
    answer->ulDataVersion = reply.ulDataVersion;
    answer->ulValue = reply.ulValue;
  }
  DropHold(rec, answer != nullptr && rc == 0);
  return rc;
}

}  // namespace zel::dataqueue

using namespace zel::dataqueue;
using namespace zel::ctrlblk;
using namespace zel::platform;
namespace trace = zel::trace;

void cdDQProcThread() {
  ZEL_TRACE_FUNCTION("CD", "cdDQProcThread");
  IPCQueueMsg msg{};
  for (;;) {
    if (!ReadMessage(Anchor().hDQReqRead, &msg)) {
      DWORD error = GetLastError();
      ZEL_ERROR_POINT("EXT_READ_QUEUE");
      trace::SysRc("CD", -100, "VX/9 Queue Error", error);
      PostNotice(ZEL_MSGNUM_DQ_PIPE_READ, ZEL_MSGNUM_DQ_PIPE_READ_2, error);
      return;
    }
    if (!Dispatch(msg)) return;
  }
}

uint16_t cdInitDQProcThread(void) noexcept try {
  ZEL_TRACE_FUNCTION("CD", "cdInitDQProcThread");
  HANDLE read_end = 0;
  HANDLE write_end = 0;
  if (!Plat().CreatePipe(&read_end, &write_end, 0) && ZEL_ERROR_POINT("EXT_CREATE_QUEUE")) {
    trace::SysRc("CD", -100, "DosCreateQueue() error rc=", GetLastError());
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  ZELAnchorCB& anchor = Anchor();
  anchor.hDQReqRead = read_end;
  anchor.hDQReqWrite = write_end;
  UniqueHandle thread(Plat().CreateThread(kThreadStack, RunProcessingThread, nullptr, nullptr));
  if (!thread && ZEL_ERROR_POINT("EXT_LAUNCH_DQ_PROC")) {
    trace::SysRc("CD", -100, "btLaunchThread() error rc=", GetLastError());
    return VQZM_RC_INTERNAL_ERROR;
  }
  StartAnswerKeeper();
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cdSendDQRequest(RZ700SysStruct* pSystem, void* pReqCB, uint16_t usReqType,
                         OutstandingDQReqCB** ppOutstanding) {
  ZEL_TRACE_FUNCTION("CD", "cdSendDQRequest");
  *ppOutstanding = nullptr;
  UniqueHandle write_end = DuplicateWriteEnd();
  if (!write_end && ZEL_ERROR_POINT("ERR_DUP_HANDLE")) {
    trace::Msg("CD", -100, "DuplicateHandleError");
    trace::SysErrorText("CD");
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  OutstandingDQReqCB* rec = nullptr;
  uint16_t rc = cbInitOutstandingDQCB(&rec);
  if (rc != 0 && ZEL_ERROR_POINT("ERR_INIT_OUTSTANDING_DQ_CB")) {
    trace::Rc("CD", -100, "cbInitOutstandingDQCB() rc=", rc);
    return rc;
  }
  rec->usUseCount = 2;
  rec->usReqType = usReqType;
  if (!KnownType(usReqType) && ZEL_ERROR_POINT("ERR_INVALID_REQ_TYPE")) {
    trace::Rc("CD", -100, "Invalid request type =", usReqType);
    trace::Rc("CD", 100,
              "cbFreeCtrlBlkMem(pOutstanding) rc = ", cbFreeCtrlBlkMem(rec, sizeof *rec));
    return VQZM_RC_INTERNAL_ERROR;
  }
  rec->pReqCB = pReqCB;
  rec->pSystem = pSystem;
  rc = cbCtrlOutstandingDQCBList();
  if (rc != 0 && ZEL_ERROR_POINT("ERR_CTRL_OUTSTANDING_DQ_CB")) {
    trace::Rc("CD", -100, "cbCtrlOutstandingDQCBList() rc=", rc);
    cbFreeCtrlBlkMem(rec, sizeof *rec);
    return rc;
  }
  cbAddOutstandingDQCB(rec);
  IPCQueueMsg msg{GetCurrentProcessId(), usReqType, rec};
  DWORD written = 0;
  if (!Plat().WriteFile(write_end.get(), &msg, sizeof msg, &written) &&
      ZEL_ERROR_POINT("EXT_Q_WRITE")) {
    trace::SysRc("CD", -100, "WriteQueue() rc=", GetLastError());
    trace::SysErrorText("CD");
    // No processing side will ever hold it: the caller's hold is the only
    // one, and dropping it frees the record with its block.
    rec->usUseCount = 1;
    *ppOutstanding = rec;
    trace::Rc("CD", -100, "cbRelOutstandingDQCBList() rc=", cbRelOutstandingDQCBList());
    return VQZM_RC_MANAGER_HANDOVER_FAILED;
  }
  // The message is in the pipe: from here on the record is the processing
  // side's too, and goes to the caller even when the release fails.
  *ppOutstanding = rec;
  rc = cbRelOutstandingDQCBList();
  if (rc != 0 && ZEL_ERROR_POINT("ERR_REL_OUTSTANDING_DQ_CB")) {
    trace::Rc("CD", -100, "cbRelOutstandingDQCBList() rc=", rc);
  }
  return rc;
}

uint16_t cdPostDQRequestRC(OutstandingDQReqCB** ppOutstanding) {
  ZEL_TRACE_FUNCTION("CD", "cdPostDQRequestRC");
  OutstandingDQReqCB* rec = *ppOutstanding;
  *ppOutstanding = nullptr;
  uint16_t rc = cbCtrlOutstandingDQCBList();
  if (rc != 0 && ZEL_ERROR_POINT("ERR_CTRL_OUTSTANDING_DQ_CB")) {
    trace::Rc("CD", -100, "cbCtrlOutstandingDQCBList() rc=", rc);
    DropHold(rec, false);
    return rc;
  }
  // Released already (by the clear at exit): nothing is signalled again,
  // and the processing side's hold goes as always.
  UniqueHandle event;
  if (rec->ulReturned == 0) {
    if (!KnownType(rec->usReqType) && ZEL_ERROR_POINT("ERR_INVALID_REQ_TYPE")) {
      trace::Rc("CD", -100, "Invalid request type =", rec->usReqType);
      rec->ulReturned = 1;
      rc = VQZM_RC_INTERNAL_ERROR;
    } else {
      event = OpenRequesterEvent(rec, &rc);
    }
  }
  DropHold(rec, false);
  uint16_t released = cbRelOutstandingDQCBList();
  if (released != 0 && ZEL_ERROR_POINT("ERR_REL_OUTSTANDING_DQ_CB_AFTER_POST")) {
    trace::Rc("CD", -100, "cbRelOutstandingDQCBList() rc=", released);
  }
  // Set once the lock is free: the requester takes the lock first thing
  // as it wakes, and would otherwise wake only to wait for it. The record
  // is marked returned, so no clear signals it again meanwhile.
  if (event) rc = SetRequesterEvent(std::move(event));
  return rc != 0 ? rc : released;
}

void cdClearOutstandingDQReqList(uint16_t usRC) {
  ZEL_TRACE_FUNCTION("CD", "cdClearOutstandingDQReqList");
  uint16_t rc = cbCtrlOutstandingDQCBList();
  if (rc != 0 && ZEL_ERROR_POINT("ERR_CTRL_OUTSTANDING_DQ_CB")) {
    trace::Rc("CD", -100, "cbCtrlOutstandingDQCBList() rc=", rc);
    return;
  }
  // Each requester is released; the processing side keeps its hold, for a
  // worker that may still be running, and drops it when that worker posts.
  for (OutstandingDQReqCB* rec = Anchor().pOutstandingDQList; rec != nullptr;) {
    OutstandingDQReqCB* next = rec->pNext;
    if (rec->ulReturned == 0 && KnownType(rec->usReqType)) {
      BlockOf(rec)->usRC = usRC;
      trace::Rc("CD", 100, "cdPostDQRequestRC() rc=", SignalRequester(rec));
    } else if (rec->ulReturned == 0) {
      trace::Rc("CD", -100, "Invalid Request Type", rec->usReqType);
    }
    rec = next;
  }
  rc = cbRelOutstandingDQCBList();
  if (rc != 0 && ZEL_ERROR_POINT("ERR_REL_OUTSTANDING_DQ_CB")) {
    trace::Rc("CD", -100, "cbRelOutstandingDQCBList() rc=", rc);
  }
}

uint16_t cdWaitOutstandingDQCBList(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CD", "cdWaitOutstandingDQCBList");
  trace::String("CD", 100, "system Name", pSystem->szSysName);
  // The clean event is pulsed, and a pulse reaches only a thread that waits
  // at that moment: one that comes between a look at the list and the wait
  // is lost. So the list is looked at again after every slice, and the
  // slices add up to the whole wait.
  DWORD wait = WAIT_TIMEOUT;
  for (DWORD waited = 0; wait == WAIT_TIMEOUT; waited += kCleanSliceMs) {
    if (!AnyUnanswered()) return 0;
    if (waited >= kCleanWaitMs) break;
    wait = Plat().WaitForSingleObject(SerialHandle(Serial::kOutstandingClean),
                                      std::min(kCleanSliceMs, kCleanWaitMs - waited));
  }
  if (wait == WAIT_OBJECT_0) return 0;
  ZEL_ERROR_POINT("ERR_DOS_WAIT_EVENT");
  trace::SysRc("CD", -100, "DosWaitEventSem() rc=", wait);
  return wait == WAIT_TIMEOUT ? VQZM_RC_TIMED_OUT : VQZM_RC_MANAGER_HANDOVER_FAILED;
}
