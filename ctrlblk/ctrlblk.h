// Internals of the shared control blocks: the shared data section, this
// process's view of the control-block area and its serialization objects,
// the control-block heap, and the operations that are not exported.
//
// The exported operations are declared in include/vqzmcb.h.
#ifndef ZEL_CTRLBLK_CTRLBLK_H
#define ZEL_CTRLBLK_CTRLBLK_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/process.h"
#include "platform/types.h"
#include "vqzmcb.h"

namespace zel::ctrlblk {

// Where the regions of the component live in every process of an instance.
inline constexpr uintptr_t kSharedDataAddress = 0x22000000;
inline constexpr uintptr_t kControlBlockAddress = 0x23000000;
inline constexpr uint32_t kControlBlockSize = 512000;
inline constexpr uint32_t kSharedDataSize = 4096;

// The library's shared data section: one copy for all processes of the
// instance, zero when first mapped. It lives while some live process of the
// instance has loaded the library.
struct SharedData {
  uint32_t ulAttachCount;     // raised each time a process creates or attaches the area
  uint32_t ulHeapUsed;        // high-water mark: bytes of the area ever handed out
  uint32_t ulSharedMemError;  // 1 once creating or attaching the area failed
  char szStartSystem[12];     // SetStartSystem's name; 11 blanks and a NUL at first
  char szInitUserID[20];      // user ID taken at caInitializeZELComm
  void* pMapBase;             // where the area is mapped in every process
  uint8_t abAnchorPad[6];     // places the anchor so that its pointers are 8-aligned
  ZELAnchorCB anchor;         // heads every shared list
};
static_assert(offsetof(SharedData, anchor) % 8 == 6,
              "the anchor's pointer fields (offset 10 + 8k) must be 8-aligned");
static_assert(sizeof(SharedData) <= kSharedDataSize);

// The shared data section, mapped when the library loads. Null when it
// could not be mapped (the library then refuses service).
SharedData* Shared();

// The anchor inside the shared data section.
ZELAnchorCB& Anchor();

// The named serialization objects, in the order the attach creates them;
// each process holds its own handles.
enum class Serial : int {
  kConvList = 0,       // "hmtxConvLstName"
  kSysList,            // "hmtxSysLstName"
  kAsyncRetList,       // "hmtxAsyncRetLstName"
  kPartyList,          // "hmtxPartylstName"
  kAsyncWndsList,      // "hmtxAsyncWndsLstName"
  kAsyncNamesList,     // "hmtxAsyncNamesLstName"
  kRZ700ReqList,       // "hmtxRZ700ReqLstName"
  kOutstandingDQList,  // "hmtxOutstandingDQReqName"
  kOutstandingClean,   // "hevOutstandingDQReqCleanName" (manual-reset event)
  kCount
};

// The object name of a serialization object.
const char* SerialName(Serial which);

// This process's handle to a serialization object; 0 when the attach could
// not create it.
platform::HANDLE SerialHandle(Serial which);

// Holds one list mutex for the length of one list operation. The wait has
// no limit; a mutex abandoned by a dead owner counts as acquired. When the
// wait fails, `acquired()` tells the caller, which takes its error path.
//
// Every list operation, reads included, takes its list's mutex: records
// come unaligned from the heap, so a pointer field can straddle a cache line
// and a reader in another process could see half of a store.
class ListLock {
 public:
  explicit ListLock(Serial which);
  ~ListLock();
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

  bool acquired() const { return acquired_; }
  platform::DWORD wait_result() const { return wait_result_; }

  // Releases the mutex now; false when the release failed (the last error
  // tells why). The destructor releases a lock not released here.
  bool Release();

 private:
  platform::HANDLE handle_;
  platform::DWORD wait_result_;
  bool acquired_;
  bool held_;
};

// Control-block heap (heap.cpp states how memory is reused): a zeroed
// record of `size` bytes from the area, 8-byte aligned, or null when the
// area is absent or has no room. A free returns 0 and quarantines the
// record; a pointer that is no record in use is refused with an error
// point. Any thread of any process; the caller may hold one list mutex.
void* cbAllocCtrlBlkMem(uint32_t size);
uint16_t cbFreeCtrlBlkMem(void* block, uint32_t size);

// This process's view of the area (null when it has none).
void* ControlBlockView();

// Creating, attaching and resetting (called by the attach handler and the
// manager).
uint16_t cbInitCtrlBlks();
uint16_t cbAttachCtrlBlk();
uint16_t cbInitCtrlBlkSharedMem(void** address, uint32_t size);
uint16_t cbResetCtrlBlks();
void cbDestroyCtrlBlks();
void InitializeSerialization();

// The attach and detach handler of the library (reasons 0 to 3); nonzero
// on success. `reserved` is non-null when the process is ending.
int INITTERM(platform::HMODULE module, uint32_t reason, void* reserved);

// System records: operations that are not exported.
void cbResetRZ700SysList();
void cbCreateRID(RZ700SysStruct* pSystem, uint8_t bType, char* pRID);
void cbCreatePRID(uint8_t bType, const char* pRID, char* pPRID);
void cbBlankPad(char* psz, uint32_t uiLen);

// The process that holds each issued conversation of a block; it follows
// the block in the block's own allocation.
struct ConvOwners {
  platform::InstanceProcess owner[ZEL_CONV_SLOTS];  // valid while the slot is in use
};
ConvOwners& OwnersOf(ConvBlock* block);

// Releases, as caStopZELComm would, every conversation that a process which
// has ended still held (the count of its system drops and the manager is
// told). Returns how many it released. Takes the conversation mutex.
uint32_t ReleaseConversationsOfEndedProcesses();

// Releases every conversation this process still holds; called as the
// process ends.
uint32_t ReleaseConversationsOfThisProcess();

// In the manager's process: a thread that releases what ended processes
// left (their conversations and half-made records) once a second, from
// the manager's registration until the process ends or the library
// unloads.
void StartWatchingEndedProcesses();
void StopWatchingEndedProcesses();

// Conversations: operations that are not exported.
// `pLink` is the address of the link field (in the anchor or the last
// block) that receives the new block; link fields may be unaligned.
uint16_t cbInitConvBlk(void* pLink);
void cbResetConvIds();
uint16_t cbAddConvId(uint32_t ulConvId, RZ700SysStruct* pSystem);
uint16_t cbDeallocConvId(uint32_t ulConvId);
uint16_t cbRemoveConvId(uint32_t ulConvId, RZ700SysStruct** ppSystem);
void cbRemoveConvIdsSystem(RZ700SysStruct* pSystem);
uint16_t cbRetSysFromConvId(uint32_t ulConvId, RZ700SysStruct** ppSystem);
ZELHWND cbRetCPMgrHwnd();

// Lists: operations that are not exported.
uint16_t cbInitAsyncRetStruct(AsyncRetStruct** ppRec);
// False when the list's lock failed and the record was not listed.
bool cbAddAsyncRetStruct(AsyncRetStruct* pRec);
AsyncRetStruct* cbRetAsyncRetFromRid(const char* pRID);
AsyncRetStruct* cbRetAsyncRetFromHwnd(ZELHWND hwnd);
AsyncRetStruct* cbRetNextAsyncRetFromHwnd(ZELHWND hwnd, AsyncRetStruct* pRec);
void cbResetAsyncRetList();
uint16_t cbInitRZ700ReqStruct(RZ700ReqStruct** ppRec);
void cbAddRZ700ReqStruct(RZ700ReqStruct* pRec);
RZ700ReqStruct* cbRetRZ700ReqFromRid(const char* pRID);
void cbDeleteRZ700ReqStruct(RZ700ReqStruct* pRec);
void cbResetRZ700ReqList();
void cbResetAsyncNamesList();
void cbReset3rdPartyList();
uint16_t cbInitTermWndStruct(TermWndStruct** ppRec);
uint16_t cbAddTermWndStruct(RZ700SysStruct* pSystem, TermWndStruct* pRec, uint16_t usTermType);
TermWndStruct* cbRetTermWndFromPgmID(RZ700SysStruct* pSystem, const char* pszPgmID);
void cbResetAsyncWndsList();

// Outstanding data-queue requests, of these types.
enum DQRequestType : uint16_t {
  DQ_REQ_OBTAIN_RRP = 1,    // ObtainRRPCB
  DQ_REQ_SEND_REQUEST = 2,  // SendReqCB
  DQ_REQ_SEND_RETURN = 3,   // SendRetCB
  DQ_REQ_RTV_DATA = 4,      // RtvDataCB
};
uint16_t cbCheckWithinCPMgr(uint32_t* pulWithin);
uint16_t cbInitOutstandingDQCB(OutstandingDQReqCB** ppRec);
uint16_t cbCtrlOutstandingDQCBList();
uint16_t cbRelOutstandingDQCBList();
void cbAddOutstandingDQCB(OutstandingDQReqCB* pRec);
void cbRemoveOutstandingDQCB(OutstandingDQReqCB* pRec);
uint32_t cbDeleteOutstandingDQCBAndLinkedMem(OutstandingDQReqCB* pRec);
// Frees the hand-overs of a manager that died; how many there were.
uint32_t cbResetOutstandingDQList();

// The request block of `rec` and its descriptor copy, where it has them
// (null entries otherwise).
std::array<const void*, 2> RequestBlocks(const OutstandingDQReqCB* rec);
// Frees a request block of a known type with its descriptor copy: what a
// record's last delete frees, for a block that never became a record.
void FreeRequestBlock(uint16_t type, void* block);
uint32_t cdChkOutstandingListReturnedFromCPMgr();

}  // namespace zel::ctrlblk

#endif  // ZEL_CTRLBLK_CTRLBLK_H
