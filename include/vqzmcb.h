/*
 * Control-block records shared by every process that loads vqzmcsw and by
 * the communication manager (CPMgr).
 *
 * The records live in the control-block area "CPMSHAREME", which every
 * process maps at the same address, so a pointer field is a plain address
 * valid in all of them. Records are byte-packed: the CPMgr reads the same
 * bytes. Pointers are native (8 bytes); handles and window handles are
 * 32-bit and belong to the process that made them (a handle read by another
 * process is refused there as invalid).
 *
 * Records are allocated from the control-block heap without alignment, so a
 * field may be unaligned: C++ code reads and writes fields by value, never
 * through a reference or pointer to the field.
 */
#ifndef VQZMCB_H
#define VQZMCB_H

#include <stddef.h>
#include <stdint.h>

#include "vqzmrc.h"

#ifdef __cplusplus
#define VQZM_STATIC_ASSERT static_assert
extern "C" {
#else
#define VQZM_STATIC_ASSERT _Static_assert
#endif

typedef uint32_t ZELHANDLE; /* platform handle of one process; 0 is none */
typedef uint32_t ZELHWND;   /* window handle, valid instance-wide */

#define ZEL_RID_LEN 11  /* type, 4-digit sequence, PWS system ID, system ID */
#define ZEL_PRID_LEN 12 /* type byte followed by a RID */
#define ZEL_CONV_SLOTS 100

/* Comm states of a system (usCommState); its comm thread moves them on. */
typedef enum ZELCommState {
  ZEL_COMM_STOPPED = 1,          /* at record creation and at the end of every teardown */
  ZEL_COMM_STARTING = 2,         /* connect and send the start request */
  ZEL_COMM_START_SENT = 3,       /* receive the station information */
  ZEL_COMM_STATION_RECEIVED = 4, /* create and open the data queue, send the RRP start */
  ZEL_COMM_RRP_START_SENT = 5,   /* receive the RRP's started message */
  ZEL_COMM_ACTIVE = 6,           /* host requests and replies flow through the data queue */
  ZEL_COMM_TERM_REQUESTED = 7,   /* send the termination signal */
  ZEL_COMM_TERM_SENT = 8,        /* receive its acknowledgement */
  ZEL_COMM_TERM_ACKED = 9,       /* release everything */
  ZEL_COMM_ERROR = 10,           /* usCommRC holds the failing code; tell the CPMgr and the host */
  ZEL_COMM_ERROR_TERM_SENT = 11, /* receive the acknowledgement */
  ZEL_COMM_ERROR_TERM_ACKED = 12 /* release everything, report usCommRC */
} ZELCommState;

#pragma pack(push, 1)

/* One host system (head: anchor pSysList, newest first). */
typedef struct RZ700SysStruct {
  char szSysID[4];           /* three ASCII digits and a NUL; the last bytes of its RIDs */
  char szSysName[256];       /* host system name; the key of the name search */
  char szSysNameCopy[256];   /* copy of the name, written once at creation */
  uint32_t ulRRPStartValue;  /* 1; sent big-endian at the head of the RRP start buffer */
  char szDQLib[11];          /* data-queue library, from the station information */
  char szDQName[11];         /* data-queue name, from the station information */
  char szQualDQName[22];     /* "lib/name" blank-padded to 21 characters, NUL last */
  uint8_t abReserved1[50];   /* zero, not used */
  void* pDQBuf;              /* CPMgr: buffer of ulDQMaxRecLen bytes for data-queue reads */
  char szUserProfile[11];    /* user profile of the sign-on */
  char achPWSSysID[3];       /* PWS system ID "AAA".."ZZZ" from the RRP; no NUL */
  char achRIDSeq[4];         /* RID sequence, four ASCII digits; no NUL */
  uint8_t bDQAuthority;      /* 2 selects data-queue authority 2, else authority 1 */
  uint32_t ulDQMaxRecLen;    /* maximum data-queue entry length, 8320 */
  uint32_t ulConvCount;      /* conversation IDs issued and not released */
  uint32_t ulTermWndCount;   /* terminate windows of type 3 registered */
  uint16_t usCommState;      /* ZELCommState; ZEL_COMM_STOPPED at creation */
  uint8_t bTermMsgSent;      /* 1 once the termination entry was sent */
  uint16_t usCommRC;         /* return code of the comm step that failed */
  ZELHANDLE hSrvHandle;      /* CPMgr: host server handle */
  ZELHANDLE hSystem;         /* CPMgr: host system object, 0 when released */
  ZELHANDLE hConnSystem;     /* CPMgr: hSystem as it was after the connect */
  void* pHostBuf;            /* CPMgr: global block for host-server send and receive */
  uint16_t usHostBufSize;    /* size of that block, 32767 */
  uint32_t ulWaitingRC;      /* 1 while an application waits for a start/stop answer */
  uint32_t ulReserved2;      /* cleared when the connection is released */
  ZELHANDLE hCommStateSem;   /* comm-state mutex (per process; see the manager) */
  ZELHANDLE hevRetCode;      /* waiting application's "hevRetCodeSemName" event */
  uint16_t usRetCode;        /* return code handed back through that event */
  uint32_t ulAddedByAPI;     /* 1 when an application's start created the record */
  uint32_t ulRRPObtained;    /* 1 once the RRP was obtained through the CPMgr */
  uint32_t ulReserved3;      /* not used */
  struct TermWndStruct* pTermWndList; /* the system's terminate windows */
  uint32_t ulDQErrPending;   /* deferred data-queue error notice */
  char szReasonCode[8];      /* last host message ID or reason code, NUL-terminated */
  ZELHANDLE hDQ;             /* CPMgr: data-queue handle */
  struct RZ700SysStruct* pNext; /* next record, null at the tail */
} RZ700SysStruct;

/* One conversation slot. */
typedef struct ConvEntry {
  uint32_t ulInUse;          /* 1 while the ID is issued */
  uint32_t ulConvId;         /* the ID; left in place when the slot is released */
  RZ700SysStruct* pSystem;   /* the conversation's system */
} ConvEntry;

/* A block of conversation slots (head: anchor pConvBlk); blocks are never removed. */
typedef struct ConvBlock {
  struct ConvBlock* pNext;   /* next block, null at the end */
  ConvEntry aEntries[ZEL_CONV_SLOTS];
} ConvBlock;

/* An asynchronous request waiting for its answer (head: anchor pAsyncRetList). */
typedef struct AsyncRetStruct {
  char achRID[ZEL_RID_LEN];  /* RID of the request (type "A"); the key */
  ZELHWND hwndNotify;        /* window that receives the completion message */
  uint16_t usNotifyMsg;      /* message number posted to that window */
  void* pData;               /* reassembly buffer, then the converted block posted */
  uint32_t ulTotalLen;       /* total data length announced by the first entry */
  uint32_t ulRcvdLen;        /* data bytes received so far */
  uint32_t ulBytesLeft;      /* data bytes still to come */
  uint32_t ulValue;          /* value from the answer's header */
  uint32_t ulDataVersion;    /* data version from the answer's header */
  uint32_t ulConvId;         /* conversation ID of the request */
  uint32_t ulAborted;        /* 1 once the application aborted the request */
  struct AsyncRetStruct* pNext;
  uint16_t usPostState;      /* 40 waiting; 41 posting failed and the record is kept */
  uint16_t usReserved;       /* not used */
  uint16_t usPostKind;       /* wParam of the message that could not be posted */
} AsyncRetStruct;

/* A host-initiated request whose data arrives in several entries. */
typedef struct RZ700ReqStruct {
  char achRID[ZEL_RID_LEN];  /* the key */
  void* pData;               /* process-heap buffer of ulTotalLen bytes, or null */
  uint32_t ulTotalLen;
  uint32_t ulRcvdLen;
  uint32_t ulBytesLeft;
  uint32_t ulDataVersion;
  char szPgmName[22];        /* PWS program that serves the request, cut at its first blank */
  uint32_t ulValue;
  struct RZ700ReqStruct* pNext;
} RZ700ReqStruct;

/* A name and the RID of an asynchronous request. */
typedef struct NamedAsyncStruct {
  char szName[21];           /* the key */
  char achRID[ZEL_RID_LEN];
  struct NamedAsyncStruct* pNext;
} NamedAsyncStruct;

/* A program ID the CPMgr keeps (the system calls this record 3rdPartyStruct). */
typedef struct ThirdPartyStruct {
  char szPgmID[28];          /* the key */
  struct ThirdPartyStruct* pNext;
} ThirdPartyStruct;

/* A window registered to hear of a system's termination. */
typedef struct TermWndStruct {
  char szPgmID[22];          /* program ID, at most 21 characters; the key within its system */
  ZELHWND hwndTerm;          /* window to notify */
  uint16_t usTermMsg;        /* message number, 1024 or more */
  uint16_t usTermType;       /* 1, 2 or 3 */
  struct TermWndStruct* pNext;
} TermWndStruct;

/* A data-queue request handed over inside the CPMgr (head: anchor pOutstandingDQList). */
typedef struct OutstandingDQReqCB {
  uint16_t usUseCount;       /* holders: 2 when queued (requester and processing side) */
  RZ700SysStruct* pSystem;   /* the system of the request */
  uint16_t usReqType;        /* 1 obtain RRP, 2 send request, 3 send return, 4 retrieve data */
  void* pReqCB;              /* the request block of that type */
  uint32_t ulReturned;       /* 1 once the result was posted back to the requester */
  struct OutstandingDQReqCB* pNext;
} OutstandingDQReqCB;

/* What a request sends: its data, data version, key and target program. */
typedef struct ReqBufferDesc {
  void* pData;               /* the data to send */
  uint32_t ulDataLen;        /* its length (0 allowed) */
  uint32_t ulDataVersion;    /* 1: a packet converted to host form before sending */
  char achKey[13];           /* entry key: 12 ASCII characters and a NUL (a PRID) */
  char achProgram[22];       /* host program, blank-padded to 21 characters, NUL */
  uint32_t ulValue;          /* travels with the request in the header */
} ReqBufferDesc;

/* A return to the host, or a retrieval of a reply (the same layout). */
typedef struct RetBufferDesc {
  void* pData;               /* return: the data to send; retrieval: the data received */
  uint32_t ulDataLen;        /* its length */
  uint32_t ulDataVersion;    /* data version */
  char achKey[13];           /* entry key: 12 ASCII characters and a NUL */
  uint32_t ulValue;          /* value, or the return code of a return-code return */
  uint32_t ulTimeout;        /* retrieval: seconds to wait for the first entry; -1 no limit */
} RetBufferDesc;
typedef RetBufferDesc RtvDataDesc;

/* The fields every request block handed to the CPMgr's processing thread begins with. */
typedef struct DQReqBlockHeader {
  ZELHANDLE hevRet;          /* requester's event (valid in the requester's process only) */
  uint8_t bUnused;           /* not used */
  uint16_t usRC;             /* result code, written before the event is set */
  RZ700SysStruct* pSystem;   /* the system of the request */
} DQReqBlockHeader;

/* Obtain an RRP (request type 1). */
typedef struct ObtainRRPCB {
  DQReqBlockHeader hdr;
} ObtainRRPCB;

/* Send a request (type 2). */
typedef struct SendReqCB {
  DQReqBlockHeader hdr;
  ReqBufferDesc* pDesc;      /* shared copy of the caller's descriptor */
} SendReqCB;

/* Send a return (type 3). */
typedef struct SendRetCB {
  DQReqBlockHeader hdr;
  RetBufferDesc* pDesc;      /* shared copy of the caller's descriptor */
  uint16_t usRetKind;        /* 0 data return, 1 return-code return */
} SendRetCB;

/* Retrieve reply data (type 4). */
typedef struct RtvDataCB {
  DQReqBlockHeader hdr;
  RtvDataDesc* pDesc;        /* shared copy of the caller's descriptor */
  uint32_t ulRequesterPid;   /* filled in by the processing thread */
} RtvDataCB;

/* The anchor: heads every shared list and holds the CPMgr's identity. */
typedef struct ZELAnchorCB {
  uint16_t usCPMgrState;     /* CPMgr state; 21 after creation */
  uint32_t ulNextConvId;     /* next conversation ID; 1 after creation */
  char szNextSysID[4];       /* next system ID, three digits and a NUL */
  ConvBlock* pConvBlk;
  RZ700SysStruct* pSysList;
  RZ700SysStruct* pDefaultSys;
  AsyncRetStruct* pAsyncRetList;
  ThirdPartyStruct* p3rdPartyList;
  void* pSpareList;          /* zeroed at creation, not used */
  NamedAsyncStruct* pNamedAsyncList;
  RZ700ReqStruct* pRZ700ReqList;
  OutstandingDQReqCB* pOutstandingDQList;
  void* pSharedMem;          /* address of the control-block area */
  uint16_t usCPMgrRC;        /* return code last reported by the CPMgr */
  ZELHWND hwndCPMgr;         /* the CPMgr's window */
  ZELHANDLE hStartStopRead;  /* CPMgr: start/stop queue pipe */
  ZELHANDLE hStartStopWrite;
  ZELHANDLE hDQReqRead;      /* CPMgr: manager request queue pipe */
  ZELHANDLE hDQReqWrite;
  uint32_t ulCPMgrPid;       /* process ID of the CPMgr */
} ZELAnchorCB;

#pragma pack(pop)

/* Layouts are fixed: the CPMgr and the library read the same bytes. */
VQZM_STATIC_ASSERT(sizeof(void*) == 8, "native 8-byte pointers");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, szSysName) == 4, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, ulRRPStartValue) == 516, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, szQualDQName) == 542, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, pDQBuf) == 614, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, achPWSSysID) == 633, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, achRIDSeq) == 636, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, ulDQMaxRecLen) == 641, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, usCommState) == 653, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, hSrvHandle) == 658, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, pHostBuf) == 670, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, hCommStateSem) == 688, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, usRetCode) == 696, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, pTermWndList) == 710, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, szReasonCode) == 722, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, hDQ) == 730, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700SysStruct, pNext) == 734, "RZ700SysStruct layout");
VQZM_STATIC_ASSERT(sizeof(RZ700SysStruct) == 742, "RZ700SysStruct size");
VQZM_STATIC_ASSERT(sizeof(ConvEntry) == 16, "ConvEntry size");
VQZM_STATIC_ASSERT(offsetof(ConvBlock, aEntries) == 8, "ConvBlock layout");
VQZM_STATIC_ASSERT(sizeof(ConvBlock) == 1608, "ConvBlock size");
VQZM_STATIC_ASSERT(offsetof(AsyncRetStruct, hwndNotify) == 11, "AsyncRetStruct layout");
VQZM_STATIC_ASSERT(offsetof(AsyncRetStruct, pData) == 17, "AsyncRetStruct layout");
VQZM_STATIC_ASSERT(offsetof(AsyncRetStruct, ulConvId) == 45, "AsyncRetStruct layout");
VQZM_STATIC_ASSERT(offsetof(AsyncRetStruct, pNext) == 53, "AsyncRetStruct layout");
VQZM_STATIC_ASSERT(offsetof(AsyncRetStruct, usPostKind) == 65, "AsyncRetStruct layout");
VQZM_STATIC_ASSERT(sizeof(AsyncRetStruct) == 67, "AsyncRetStruct size");
VQZM_STATIC_ASSERT(offsetof(RZ700ReqStruct, szPgmName) == 35, "RZ700ReqStruct layout");
VQZM_STATIC_ASSERT(offsetof(RZ700ReqStruct, pNext) == 61, "RZ700ReqStruct layout");
VQZM_STATIC_ASSERT(sizeof(RZ700ReqStruct) == 69, "RZ700ReqStruct size");
VQZM_STATIC_ASSERT(offsetof(NamedAsyncStruct, achRID) == 21, "NamedAsyncStruct layout");
VQZM_STATIC_ASSERT(sizeof(NamedAsyncStruct) == 40, "NamedAsyncStruct size");
VQZM_STATIC_ASSERT(sizeof(ThirdPartyStruct) == 36, "ThirdPartyStruct size");
VQZM_STATIC_ASSERT(offsetof(TermWndStruct, hwndTerm) == 22, "TermWndStruct layout");
VQZM_STATIC_ASSERT(offsetof(TermWndStruct, usTermType) == 28, "TermWndStruct layout");
VQZM_STATIC_ASSERT(sizeof(TermWndStruct) == 38, "TermWndStruct size");
VQZM_STATIC_ASSERT(offsetof(OutstandingDQReqCB, pReqCB) == 12, "OutstandingDQReqCB layout");
VQZM_STATIC_ASSERT(offsetof(OutstandingDQReqCB, pNext) == 24, "OutstandingDQReqCB layout");
VQZM_STATIC_ASSERT(sizeof(OutstandingDQReqCB) == 32, "OutstandingDQReqCB size");
VQZM_STATIC_ASSERT(offsetof(ReqBufferDesc, achKey) == 16, "ReqBufferDesc layout");
VQZM_STATIC_ASSERT(offsetof(ReqBufferDesc, achProgram) == 29, "ReqBufferDesc layout");
VQZM_STATIC_ASSERT(sizeof(ReqBufferDesc) == 55, "ReqBufferDesc size");
VQZM_STATIC_ASSERT(offsetof(RetBufferDesc, ulValue) == 29, "RetBufferDesc layout");
VQZM_STATIC_ASSERT(sizeof(RetBufferDesc) == 37, "RetBufferDesc size");
VQZM_STATIC_ASSERT(offsetof(DQReqBlockHeader, usRC) == 5, "DQReqBlockHeader layout");
VQZM_STATIC_ASSERT(offsetof(DQReqBlockHeader, pSystem) == 7, "DQReqBlockHeader layout");
VQZM_STATIC_ASSERT(sizeof(ObtainRRPCB) == 15, "ObtainRRPCB size");
VQZM_STATIC_ASSERT(offsetof(SendReqCB, pDesc) == 15, "SendReqCB layout");
VQZM_STATIC_ASSERT(offsetof(SendRetCB, usRetKind) == 23, "SendRetCB layout");
VQZM_STATIC_ASSERT(offsetof(RtvDataCB, ulRequesterPid) == 23, "RtvDataCB layout");
VQZM_STATIC_ASSERT(offsetof(ZELAnchorCB, ulNextConvId) == 2, "ZELAnchorCB layout");
VQZM_STATIC_ASSERT(offsetof(ZELAnchorCB, pConvBlk) == 10, "ZELAnchorCB layout");
VQZM_STATIC_ASSERT(offsetof(ZELAnchorCB, pOutstandingDQList) == 74, "ZELAnchorCB layout");
VQZM_STATIC_ASSERT(offsetof(ZELAnchorCB, usCPMgrRC) == 90, "ZELAnchorCB layout");
VQZM_STATIC_ASSERT(offsetof(ZELAnchorCB, hwndCPMgr) == 92, "ZELAnchorCB layout");
VQZM_STATIC_ASSERT(offsetof(ZELAnchorCB, ulCPMgrPid) == 112, "ZELAnchorCB layout");
VQZM_STATIC_ASSERT(sizeof(ZELAnchorCB) == 116, "ZELAnchorCB size");

/* ---- Operations exported for the CPMgr ----
 *
 * None ever throws (in C++ they are noexcept): a failure inside returns 4
 * when memory ran out and 1026 otherwise; the functions that return a
 * record return null, cbFindBlank -1 and cbReturnCPMgrState 0.
 *
 * A null pointer where a record, a name or an out-parameter is needed is
 * refused before anything is locked or allocated, and the call changes
 * nothing: 1026, a null record, -1 from cbFindBlank, or no effect, each
 * with the error point EXT_NULL_PARAMETER (cbRetNextTermWndStruct:
 * EXT_INVALID_SYS). A null previous record for the cbRetNext* walks means
 * the head of the list, and cbAddRZ700SysDefault(NULL) clears the default.
 */

#ifndef VQZM_API
#define VQZM_API __attribute__((visibility("default")))
#endif

/* The anchor; null in a process whose control blocks could not be set up. */
VQZM_API ZELAnchorCB* GetZELAnchorCB(void) VQZM_NOEXCEPT;
VQZM_API void SetStartSystem(const char* pszName) VQZM_NOEXCEPT;
VQZM_API void GetStartSystem(char** ppszBuffer) VQZM_NOEXCEPT;
VQZM_API uint16_t cbGiveSharedMem(ZELHWND hwnd) VQZM_NOEXCEPT;

VQZM_API uint16_t cbInitRZ700SysStruct(RZ700SysStruct** ppSystem) VQZM_NOEXCEPT;
VQZM_API uint16_t cbAddRZ700SysStruct(RZ700SysStruct* pSystem) VQZM_NOEXCEPT;
VQZM_API uint16_t cbAddRZ700SysDefault(RZ700SysStruct* pSystem) VQZM_NOEXCEPT;
VQZM_API RZ700SysStruct* cbRetNextRZ700SysStruct(RZ700SysStruct* pSystem) VQZM_NOEXCEPT;
VQZM_API RZ700SysStruct* cbRetDefaultRZ700SysStruct(void) VQZM_NOEXCEPT;
VQZM_API uint16_t cbFindRZ700SysByName(const char* pszName,
                                       RZ700SysStruct** ppSystem) VQZM_NOEXCEPT;
VQZM_API uint16_t cbFindRZ700SysByRID(const char* pRID, RZ700SysStruct** ppSystem) VQZM_NOEXCEPT;
VQZM_API uint16_t cbRemoveRZ700SysFromList(RZ700SysStruct* pSystem) VQZM_NOEXCEPT;
VQZM_API uint16_t cbDeleteRZ700SysStruct(RZ700SysStruct* pSystem) VQZM_NOEXCEPT;
VQZM_API int32_t cbFindBlank(const char* pch, int32_t iLen) VQZM_NOEXCEPT;

VQZM_API uint16_t cbReturnNewConvId(uint32_t* pConvId, RZ700SysStruct* pSystem,
                                    uint32_t ulNoCount) VQZM_NOEXCEPT;
VQZM_API uint16_t cbReturnCPMgrState(void) VQZM_NOEXCEPT;
VQZM_API void cbSetCPMgrState(uint16_t usState) VQZM_NOEXCEPT;
VQZM_API void cbSetCPMgrHwnd(ZELHWND hwnd) VQZM_NOEXCEPT;
VQZM_API uint16_t cbPostCPMgrMsg(uint32_t ulMsg, uint32_t wParam, void* lParam) VQZM_NOEXCEPT;

VQZM_API void cbDeleteAsyncRetStruct(AsyncRetStruct* pRec) VQZM_NOEXCEPT;
VQZM_API uint16_t cbInitNamedAsyncStruct(NamedAsyncStruct** ppRec) VQZM_NOEXCEPT;
VQZM_API void cbAddNamedAsyncStruct(NamedAsyncStruct* pRec) VQZM_NOEXCEPT;
VQZM_API NamedAsyncStruct* cbRetNamedAsyncFromName(const char* pszName) VQZM_NOEXCEPT;
VQZM_API NamedAsyncStruct* cbRetNextNamedAsync(NamedAsyncStruct* pRec) VQZM_NOEXCEPT;
VQZM_API void cbDeleteNamedAsyncStruct(NamedAsyncStruct* pRec) VQZM_NOEXCEPT;
VQZM_API uint16_t cbInit3rdPartyStruct(ThirdPartyStruct** ppRec) VQZM_NOEXCEPT;
VQZM_API void cbAdd3rdPartyStruct(ThirdPartyStruct* pRec) VQZM_NOEXCEPT;
VQZM_API ThirdPartyStruct* cbRet3rdPartyFromPgmID(const char* pszPgmID) VQZM_NOEXCEPT;
VQZM_API ThirdPartyStruct* cbRetNext3rdPartyStruct(ThirdPartyStruct* pRec) VQZM_NOEXCEPT;
VQZM_API void cbDelete3rdPartyStruct(ThirdPartyStruct* pRec) VQZM_NOEXCEPT;
VQZM_API TermWndStruct* cbRetNextTermWndStruct(RZ700SysStruct* pSystem,
                                               TermWndStruct* pRec) VQZM_NOEXCEPT;
VQZM_API void cbDeleteTermWndStruct(RZ700SysStruct* pSystem, TermWndStruct* pRec) VQZM_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VQZMCB_H */
