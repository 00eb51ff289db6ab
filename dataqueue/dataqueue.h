// Data-queue exchange: writing entries to a system's host data queue,
// reading them back, and dispatching what the host writes for the manager.
// Every function runs in its caller's thread and returns a 16-bit return
// code (vqzmrc.h).
//
// An entry is a 128-byte header, big-endian and EBCDIC on the queue,
// followed by its data; its key is 12 EBCDIC characters.
#ifndef ZEL_DATAQUEUE_DATAQUEUE_H
#define ZEL_DATAQUEUE_DATAQUEUE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "vqzmcb.h"
#include "vqzmcm.h"

namespace zel::dataqueue {

// Length of a data-queue key: 12 EBCDIC characters.
inline constexpr uint32_t kKeyLength = 12;

// Makes the data object of one read or write into *data: the entry's
// buffer and length, no conversion, the 12-byte key. 0, or 1034 after the
// failing call's error point (the caller deletes a data object it got).
uint16_t PrepareDataObject(uint32_t* data, void* buffer, uint32_t length, const char* key);

// Length of an entry header.
inline constexpr uint32_t kHeaderLength = 128;

// Message IDs of the entry headers.
inline constexpr char kRequestMsgId[] = "ZEL/700000";     // a request
inline constexpr char kDataReturnMsgId[] = "ZEL/700001";  // a return or reply with data
inline constexpr char kCodeReturnMsgId[] = "ZEL/700002";  // a return with a return code only
inline constexpr uint32_t kMsgIdLength = 10;

// Search orders of a keyed read.
inline constexpr uint16_t kSearchEqual = 1;         // replies, by their PRID
inline constexpr uint16_t kSearchGreaterEqual = 4;  // the manager's reader, from "Z" + blanks

// The wait of a read without limit (the manager's reader).
inline constexpr int32_t kWaitForever = -1;

// The host connection through which this process reaches `pSystem`'s host:
// in the manager the record's own hSystem; in any other process a
// connection of its own, made on first use and again after it was lost (the
// record's handles belong to the manager and are refused elsewhere). 0, or
// 1035 when there is no connection: the host cannot be reached, or the
// manager's own link was lost (the host ended the PWS's session with it, so
// a new connection cannot stand in for it). Any thread.
uint16_t HostSystemHandle(RZ700SysStruct* pSystem, uint32_t error_handle, uint32_t* phSystem);

// True while the connection behind a handle of HostSystemHandle stands.
bool HostLinkUp(uint32_t hSystem);

// ---- The manager's request queue (inside the CPMgr only) ----

// Who queues a request: the tag and module of its traces and error points.
struct Requester {
  const char* tag;
  const char* module;
};

// Hands one request of `type` (DQRequestType) to the processing thread and
// waits for its answer: a block of the type is made from `pDesc` (a
// ReqBufferDesc, RetBufferDesc or RtvDataDesc; null for an obtain), with a
// global copy of data to send. A retrieval gets the reply into `pDesc`.
// The worker's code; 4 without memory; 1064 when the event, the request or
// the wait failed; for a retrieval 1026 when no answer came in its time-out
// plus six minutes. Any thread of the CPMgr.
uint16_t QueueRequest(uint16_t type, RZ700SysStruct* pSystem, void* pDesc, const Requester& who,
                      uint16_t usRetKind = 0);

// The name of the requester's event of the request whose block is at
// `block`: one event per request, so that a post wakes its own requester
// only.
std::string RequestEventName(uint16_t type, const void* block);

// The processing side's result for `rec`: stored in its block unless the
// requester was released already, then posted (cdPostDQRequestRC), which
// drops the processing side's hold. A retrieval's `reply` is placed in the
// descriptor copy, or freed when nobody takes it. Worker threads only.
void PostRequestResult(OutstandingDQReqCB* rec, uint16_t rc, const RtvDataDesc* reply = nullptr);

// Drops one hold on `rec`; the last one frees the record, its block, its
// descriptor copy and the data the request owns (the data copy to send,
// reply data unless `data_taken`).
void DropHold(OutstandingDQReqCB* rec, bool data_taken);

// Checks a further entry of data being put together in a record that
// announced `total` bytes and waits for `left` more: true when the entry
// (its header's total, block and bytes left) goes on from there. Otherwise
// the break is traced with its error point, and false.
bool ContinuesAssembly(uint32_t total, uint32_t left, uint32_t entry_total, uint32_t block,
                       uint32_t entry_left);

// A buffer for data of `total` bytes being put together, null when it
// cannot be had. Received data reaches its taker in a global block, so a
// total larger than the global heap could never be handed on: it is
// refused before anything is reserved, as a failed allocation.
void* AssemblyBuffer(uint32_t total);

// Starts the CPMgr's answer keeper, once per process: it posts again the
// answers that a window could not take (state 41), drops them when the
// window is gone, and drops published names whose request is no longer
// outstanding. Called at start-up and at each answer; a failed start is
// traced and tried again at the next answer.
void StartAnswerKeeper();

// Posts a copy of `notice` to the CPMgr window (0x410); the window frees it
// and its insert. When it cannot be posted the insert is freed here.
void PostManagerNotice(const CPMgrNotice& notice, uint32_t wParam);

}  // namespace zel::dataqueue

#pragma pack(push, 1)

// A request entry header (message ID "ZEL/700000") once cdProcRcvHeader has
// converted it: text in ASCII, numbers in the PC's byte order.
struct DQReqHeader {
  char achMsgId[10];    // "ZEL/700000"
  char achProgram[21];  // target program, blank padded
  uint8_t bZero;
  uint32_t ulValue;        // carried with the request
  uint32_t ulDataVersion;  // 0 raw data, 1 packets
  uint32_t ulTotalLen;     // length of the whole buffer
  uint32_t ulBlockLen;     // data bytes in this entry
  uint32_t ulBytesLeft;    // data bytes still to come after this entry
  uint8_t abZero[76];
};

// A return entry header ("ZEL/700001" or "ZEL/700002"), converted.
struct DQRetHeader {
  char achMsgId[10];  // "ZEL/700001" data, "ZEL/700002" return code
  uint8_t abZero1[2];
  uint32_t ulValue;  // for "ZEL/700002" the return code (its low 16 bits)
  uint32_t ulDataVersion;
  uint32_t ulTotalLen;
  uint32_t ulBlockLen;
  uint32_t ulBytesLeft;
  uint8_t abZero2[96];
};

#pragma pack(pop)

static_assert(sizeof(DQReqHeader) == zel::dataqueue::kHeaderLength);
static_assert(offsetof(DQReqHeader, ulValue) == 32 && offsetof(DQReqHeader, ulBytesLeft) == 48);
static_assert(sizeof(DQRetHeader) == zel::dataqueue::kHeaderLength);
static_assert(offsetof(DQRetHeader, ulValue) == 12 && offsetof(DQRetHeader, ulBytesLeft) == 28);

// What one write needs.
struct DQSendItem {
  void* pEntry;       // the entry: header and data
  uint32_t ulLength;  // entry length in bytes
  char achKey[13];    // 12 EBCDIC key characters and a NUL
};

// What one read needs, and what it found.
struct DQReadItem {
  void* pBuffer;           // receives the entry
  uint32_t ulLength;       // in: the buffer's size; out: the entry's length
  char achKey[13];         // in: 12 EBCDIC key characters; out: the entry's key in ASCII and a NUL
  uint16_t usSearchOrder;  // kSearchEqual or kSearchGreaterEqual
};

// Writes one entry to the system's data queue (opened and closed for this
// write alone, so concurrent writers need no lock). 0, 1034 when a
// data-queue call failed, 1035 when the host connection is not there.
uint16_t cdSendDQItem(RZ700SysStruct* pSystem, DQSendItem* pItem);

// Reads one entry into the item's buffer, waiting up to `lWait` seconds
// (kWaitForever: without limit, until the host connection is lost). 0;
// 1059 when nothing came in time (the item is then unchanged); 1034 when a
// data-queue call failed; 1035 when the host connection was not there or
// was lost during the wait; 1063 when the key cannot be converted.
uint16_t cdReadDataQueue(RZ700SysStruct* pSystem, DQReadItem* pItem, int32_t lWait);

// Checks an entry's message ID against the one expected (kDataReturnMsgId
// accepts either return) and converts its header in place. 1026 for an
// entry of another kind, or a conversion's code.
uint16_t cdProcRcvHeader(const char* pszMsgId, void* pEntry);

// Sends a request to a host program as entries keyed by the descriptor's
// key, the second and later ones with "B" as the first key character.
// Outside the CPMgr the work runs here (cdCPMgrSendReqBuffer); inside it,
// on a worker of the manager's request queue (QueueRequest's codes, and
// 1032 when the system is not active). 0; 4 without memory;
// 1034 or 1035 when a write failed (entries written stay on the queue);
// a conversion's code.
uint16_t cdSendReqBuffer(RZ700SysStruct* pSystem, ReqBufferDesc* pDesc);
uint16_t cdCPMgrSendReqBuffer(RZ700SysStruct* pSystem, ReqBufferDesc* pDesc);

// Sends a return to the host, every entry under the descriptor's key:
// `usRetKind` 0 with data ("ZEL/700001"), 1 a return code in ulValue
// ("ZEL/700002"). Codes as cdSendReqBuffer.
uint16_t cdSendRetBuffer(RZ700SysStruct* pSystem, RetBufferDesc* pDesc, uint16_t usRetKind);
uint16_t cdCPMgrSendRetBuffer(RZ700SysStruct* pSystem, RetBufferDesc* pDesc, uint16_t usRetKind);

// Tells the host that the request it started with the 11-character RID
// failed with `usRC` (a return-code return keyed "X" + RID). 0; 1058 when
// no system has the RID; the send's code.
uint16_t cdReturnError(const char* pRID, uint16_t usRC);

// Reads the reply keyed by the descriptor's key, waiting `ulTimeout`
// seconds for its first entry and kNextBlockWait for each further one,
// checks the block sequence and places the data in a global block (pData,
// null for an empty reply). 0; 1059 when nothing came in time; 1026 for
// an entry of another kind, a broken block sequence or a missing further
// block; 1034 when the data queue failed; 1035 when the host connection
// was lost; 1063 for a key that cannot be converted; 4 without memory; the
// low 16 bits of a return-code reply. Outside the CPMgr the work runs here
// (cdCPMgrRtvData); inside it, on a worker of the manager's request queue.
uint16_t cdRtvData(RZ700SysStruct* pSystem, RtvDataDesc* pDesc);
uint16_t cdCPMgrRtvData(RZ700SysStruct* pSystem, RtvDataDesc* pDesc);

// The manager's comm thread in state 6: waits for the next entry the host
// wrote for the manager and dispatches it. A failed read is reported to the
// CPMgr window (0x410), or for a lost connection (1035) left in
// ulDQErrPending for the teardown to report; its code is returned.
uint16_t cdProcDataQueue(RZ700SysStruct* pSystem);

// Dispatches one entry by the second character of its key; always 0.
uint16_t cdProcDQBuffer(RZ700SysStruct* pSystem, DQReadItem* pItem);

// An entry of the answer to an application's asynchronous request, keyed
// by the request's RID: taken into its async-return record and, with the
// last entry, posted to the application's window (wParam 0: a block with an
// AsyncRetPrefix and the data; 1: a block holding a return code). An
// answer whose window is gone is dropped; one the window cannot take yet
// stays in the record (state 41) and is posted again every 250 ms. Entries
// of an unknown RID, or that break the block sequence, are dropped.
void cdHandleAsyncReturn(DQReadItem* pItem);

// The system's communication has ended: the answers its applications still
// wait for will not come. Each is answered now with a return-code answer of
// `usRC` (an aborted one is just dropped): the error that ended the system,
// 1056 when the manager ends, 1032 when the system stopped.
void cdReleaseAsyncOfSystem(RZ700SysStruct* pSystem, uint16_t usRC);

// The manager is gone, so nothing more is posted for the requests it kept.
// Each request of a window of process `ulPid` (of every window when 0) is
// answered now: a kept answer is posted again, a waiting one gets a
// return-code answer of `usRC`. Runs in any process, under the list's lock,
// and frees no reassembly buffer: those were the dead manager's. Returns
// how many of those requests remain (answers their windows cannot take yet).
size_t cdReleaseAsyncOfDeadManager(uint16_t usRC, uint32_t ulPid);

// How many asynchronous requests of the windows of process `ulPid` are
// outstanding.
size_t cdCountAsyncOfProcess(uint32_t ulPid);

// An entry of a request that a host program started towards the PWS,
// keyed by its RID: taken into its host-request record and, with the last
// entry, handed to the host-request processor (SHARED/VQZMCTW.DLL, loaded
// on first use); the record and its data go when the processor returns.
// Every failure, and a request the processor does not accept, is answered
// to the host with an error return (cdReturnError).
void cdHandleRZ700Request(DQReadItem* pItem, RZ700SysStruct* pSystem);

// Maps a host message code ("5067", "KVX...") to a return code and keeps
// it in the system's szReasonCode: 1035, 1059 or 1075 for the codes that
// name a lost connection, a time-out or a host condition; 1034 otherwise.
uint16_t cdGetDKTReasonCode(const char* pszMsg, RZ700SysStruct* pSystem);

// An entry for a request the application aborted: dropped unread; with the
// last one the record and its buffer go.
void cdHandleCancelledAsync(AsyncRetStruct* pRecord, DQReadItem* pItem);

// The manager's request queue. The processing thread: reads requests from
// the pipe and starts a worker for each; ends, after a notice to the CPMgr
// window (1077/1078), when a read fails, or (1079/1080) when a worker
// cannot be started.
void cdDQProcThread();

// Queues a request whose block and event the caller made: *ppOutstanding
// gets the record, held by the caller and the processing side. 0; 1064 when
// the pipe's write end cannot be duplicated or the write fails; 1026 for an
// unknown type; the list's codes. Whenever *ppOutstanding is set the
// caller drops its hold (DropHold), also after a failure.
uint16_t cdSendDQRequest(RZ700SysStruct* pSystem, void* pReqCB, uint16_t usReqType,
                         OutstandingDQReqCB** ppOutstanding);

// Signals the requester of *ppOutstanding unless it was released already,
// drops the processing side's hold and clears *ppOutstanding. 0; 1064 when
// the event cannot be opened or set (the requester gave up); 1026 for an
// unknown type; the list's codes.
uint16_t cdPostDQRequestRC(OutstandingDQReqCB** ppOutstanding);

// Releases every requester still waiting with `usRC` (1056 as the CPMgr
// ends). The processing side keeps its holds: a worker still running posts
// later, finds its requester released and frees the rest.
void cdClearOutstandingDQReqList(uint16_t usRC);

// Waits up to 45 s until no request is unanswered: 0; 1059 on time-out;
// 1064 when the wait fails.
uint16_t cdWaitOutstandingDQCBList(RZ700SysStruct* pSystem);

#endif  // ZEL_DATAQUEUE_DATAQUEUE_H
