/*
 * What the communication manager (CPMgr, SHARED/VQZMCMW.EXE) uses of the
 * component vqzmcsw: the window messages it receives, the blocks that come
 * with them, and the exported manager-control functions it calls.
 *
 * Include vqzmcb.h for the control-block records and their operations.
 *
 * No function declared here ever throws (in C++ they are noexcept): a
 * failure inside returns 4 when memory ran out and 1026 otherwise, or, for
 * the functions that return a flag or nothing, 0 or nothing.
 *
 * A null pointer where a record, a name, a buffer or an out-parameter is
 * needed is refused before anything is locked, allocated or started, and
 * the call changes nothing: 1026, 0 from cmCkStartedByAPI, or no effect for
 * the thread entries, each with the error point EXT_NULL_PARAMETER
 * (ccCommThread: NULL_PTR_RCV; the process goes on). cmSendStartStop needs
 * a record for actions 1 to 3 only.
 */
#ifndef VQZMCM_H
#define VQZMCM_H

#include <stdint.h>

#include "vqzmcb.h"
#include "vqzmrc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Window messages posted (0x411: sent) to the CPMgr window. */
#define ZEL_MSG_COMM_STATE 0x401       /* wParam: state << 16 | rc; lParam: system record */
#define ZEL_MSG_START_SYSTEM 0x402     /* lParam: system record; answer with cmReturnCommRC */
#define ZEL_MSG_SYSTEM_ADDED 0x403     /* lParam: system record an application added */
#define ZEL_MSG_CONV_COUNT 0x405       /* lParam: system record whose ulConvCount changed */
#define ZEL_MSG_STOP_SYSTEM 0x407      /* lParam: system record; answer with cmReturnCommRC */
#define ZEL_MSG_STATUS_NOTICE 0x409    /* lParam: ZELStatusNotice, freed by the CPMgr */
#define ZEL_MSG_CPMGR_NOTICE 0x410     /* lParam: CPMgrNotice, freed by the CPMgr */
#define ZEL_MSG_ERROR_TEARDOWN 0x411   /* sent; lParam: system record whose teardown begins */
#define ZEL_MSG_START_STOP_ENDED 0x412 /* the start/stop thread has ended */
#define ZEL_MSG_START_RRP 0x413        /* lParam: active system record; an application's RRP
                                          obtain asks for a further RRP: run
                                          ccStartRZ700RRPThread for it */
#define ZEL_MSG_PUBLISH_ASYNC_ID 0x414 /* lParam: ZELAsyncIdName in a global block, freed by
                                         the CPMgr: publish a RID under a name */

/* Manager states (usCPMgrState). */
#define ZEL_CPMGR_NOT_RUNNING 21
#define ZEL_CPMGR_RUNNING 23
#define ZEL_CPMGR_STOPPING 24

/* Start/stop actions (cmSendStartStop). */
#define ZEL_ACTION_START_ANNOUNCED 1
#define ZEL_ACTION_START 2
#define ZEL_ACTION_STOP 3
#define ZEL_ACTION_STOP_CPMGR 4

/* Status types of a status notice. */
#define ZEL_STATUS_START 1009
#define ZEL_STATUS_SEMAPHORE 1011
#define ZEL_STATUS_STOP 1012
#define ZEL_STATUS_QUEUE 1019

/* usRC of a status notice that carries no return code. */
#define ZEL_STATUS_RC_ANNOUNCE 1     /* a start begins */
#define ZEL_STATUS_RC_QUEUE_FAILED 2 /* the start/stop queue could not be read */

/* Message numbers of the notices (usMsgNum, ulMsgNum1, ulMsgNum2): the texts
 * of the message library. The text of a return code has the code's number. */
#define ZEL_MSGNUM_DQ_READ_FAILED 1011 /* the manager's read of a data queue failed */
#define ZEL_MSGNUM_CPMGR_ENDED VQZM_RC_CPMGR_ENDED
#define ZEL_MSGNUM_NO_DEFAULT_SYSTEM VQZM_RC_NO_DEFAULT_SYSTEM
#define ZEL_MSGNUM_DQ_PIPE_READ 1077      /* the manager request queue could not be read, */
#define ZEL_MSGNUM_DQ_PIPE_READ_2 1078    /*   and its processing thread ended */
#define ZEL_MSGNUM_DQ_LAUNCH 1079         /* a worker of the manager request queue could not */
#define ZEL_MSGNUM_DQ_LAUNCH_2 1080       /*   be started, and the processing thread ended */
#define ZEL_MSGNUM_QUEUE_READ 1190          /* the start/stop queue could not be read */
#define ZEL_MSGNUM_INIT_COMM_STATE 1200     /* cmInitCommStateSem failed */
#define ZEL_MSGNUM_CTRL_COMM_STATE 1210     /* cmCtrlCommStateSem failed */
#define ZEL_MSGNUM_RELEASE_COMM_STATE 1220  /* cmReleaseCommStateSem failed */
#define ZEL_MSGNUM_CTRL_CPM_STATE 1240      /* cmCtrlCPMState failed */
#define ZEL_MSGNUM_RELEASE_CPM_STATE 1250   /* cmReleaseCPMState failed */
#define ZEL_MSGNUM_START_NO_MEMORY 1260     /* start result 4 */
#define ZEL_MSGNUM_START_CONVERSION 1270    /* start result 1063 */
#define ZEL_MSGNUM_START_MUTEX_WAIT 1280    /* start result 1028 */
#define ZEL_MSGNUM_START_FAILED 1290        /* any other start result */
#define ZEL_MSGNUM_STOP_NO_MEMORY 1310      /* stop result 4 */
#define ZEL_MSGNUM_STOP_CONVERSION 1320     /* stop result 1063 */
#define ZEL_MSGNUM_STOP_INTERNAL_ERROR 1330 /* stop result 1026 */
#define ZEL_MSGNUM_STOP_FAILED 1340         /* any other stop result */

#define ZEL_NOTICE_COUNT 5 /* usCount of every CPMgrNotice */

#pragma pack(push, 1)

/* The outcome of a start/stop action (message 0x409). */
typedef struct ZELStatusNotice {
  uint16_t usRC;               /* return code reported, or ZEL_STATUS_RC_* */
  uint16_t usMsgNum;           /* ZEL_MSGNUM_* the CPMgr shows; 0 for none */
  uint32_t ulStatusType;       /* ZEL_STATUS_* */
  RZ700SysStruct* pSys;        /* the system; null for ZEL_STATUS_QUEUE */
  RZ700SysStruct* pRunningSys; /* for 65535, the system found running */
  uint32_t ulFailure;          /* 1 for a failure */
} ZELStatusNotice;

/* An error for the CPMgr to report (message 0x410). */
typedef struct CPMgrNotice {
  uint32_t ulMsgNum1;          /* first message number (ZEL_MSGNUM_*) */
  uint32_t ulMsgNum2;          /* second message number (ZEL_MSGNUM_*) */
  char* pszSysName;            /* system name, or null */
  char* pszInsert;             /* 11-byte decimal text, or null */
  uint16_t usCount;            /* always ZEL_NOTICE_COUNT */
  RZ700SysStruct* pSystem;     /* the system, or null */
} CPMgrNotice;

/* What cmAsyncInitZELCommThread is started with; freed by the thread. */
typedef struct AsyncInitParms {
  char* pszSysName;            /* system name (malloc'ed by the starter), or null */
  ZELHWND hwndNotify;          /* window that receives the result */
  uint16_t usNotifyMsg;        /* message number posted there */
  uint32_t hSysHandle;         /* passed on to caInitializeZELComm */
} AsyncInitParms;

/* What cmAsyncInitZELCommThread posts (lParam), freed by the receiver. */
typedef struct AsyncInitResult {
  uint16_t usRC;               /* caInitializeZELComm's result */
  uint32_t ulConvId;           /* the conversation ID it issued */
} AsyncInitResult;

/* What ZEL_MSG_PUBLISH_ASYNC_ID carries: the CPMgr publishes the RID of an
 * outstanding asynchronous request under the name, for caRtvNamedAsyncID in
 * any process. Any process posts it with cbPostCPMgrMsg, in a block from
 * zelAllocBlock (zelapp.h). A name published again names the newer RID; a
 * RID with no outstanding request, or a name that is empty or longer than
 * 20 characters, is refused (the CPMgr traces why). A name is dropped when
 * it is handed out, and when its request's answer has been posted or
 * thrown away. */
typedef struct ZELAsyncIdName {
  char szName[21];             /* the name, NUL-terminated */
  char achRID[11];             /* RID of an outstanding asynchronous request */
} ZELAsyncIdName;

#pragma pack(pop)

VQZM_STATIC_ASSERT(sizeof(ZELAsyncIdName) == 32, "ZELAsyncIdName size");
VQZM_STATIC_ASSERT(sizeof(ZELStatusNotice) == 28, "ZELStatusNotice size");
VQZM_STATIC_ASSERT(sizeof(CPMgrNotice) == 34, "CPMgrNotice size");
VQZM_STATIC_ASSERT(offsetof(CPMgrNotice, pSystem) == 26, "CPMgrNotice layout");
VQZM_STATIC_ASSERT(sizeof(AsyncInitParms) == 18, "AsyncInitParms size");
VQZM_STATIC_ASSERT(sizeof(AsyncInitResult) == 6, "AsyncInitResult size");

/* ---- Manager control exported for the CPMgr ---- */


VQZM_API uint16_t cmInitCPMStateSem(void) VQZM_NOEXCEPT;
VQZM_API uint16_t cmCtrlCPMState(uint32_t ulTimeout) VQZM_NOEXCEPT;
VQZM_API uint16_t cmReleaseCPMState(void) VQZM_NOEXCEPT;
VQZM_API uint16_t cmCloseCPMStateSem(void) VQZM_NOEXCEPT;
VQZM_API uint16_t cmInitRunningSem(void) VQZM_NOEXCEPT;

VQZM_API uint32_t cmCkStartedByAPI(int argc, char** argv) VQZM_NOEXCEPT;
VQZM_API void cmSetStartedAPIFlag(uint32_t ulFlag) VQZM_NOEXCEPT;
VQZM_API uint32_t cmQryStartedByAPI(void) VQZM_NOEXCEPT;
VQZM_API uint16_t cmReturnCPMgrRCDuringInit(uint16_t usRC) VQZM_NOEXCEPT;
VQZM_API uint16_t cmReturnCPMgrRC(uint16_t usRC) VQZM_NOEXCEPT;
VQZM_API uint16_t cmReturnCommRC(RZ700SysStruct* pSystem, uint16_t usRC) VQZM_NOEXCEPT;
VQZM_API uint16_t cmWaitCPMgrReturn(ZELHANDLE hev) VQZM_NOEXCEPT;

VQZM_API uint16_t cmFindCommNotStopped(RZ700SysStruct** ppSystem) VQZM_NOEXCEPT;
VQZM_API uint16_t cmFindCommNotStoppedEx(RZ700SysStruct** ppSystem,
                                         const char* pszSysName) VQZM_NOEXCEPT;
VQZM_API uint16_t cmAddSystemByName(const char* pszSysName,
                                    RZ700SysStruct** ppSystem) VQZM_NOEXCEPT;
VQZM_API uint16_t cmRetDefaultRouterSys(char* pszBuffer) VQZM_NOEXCEPT;
VQZM_API uint16_t cmStopAndWaitComm(RZ700SysStruct* pSystem) VQZM_NOEXCEPT;
VQZM_API uint16_t cmDetermineSysConnectedDKT(const char* pszSysName) VQZM_NOEXCEPT;

/* ---- Host link ---- */

/* The communication thread of one system; its argument is the record. It
 * takes the system through comm states 2 to 6 and, after a stop or a
 * failure, back to 1, and reports every change to the CPMgr window. */
VQZM_API void ccCommThread(void* pSystem) VQZM_NOEXCEPT;

/* Starts a further remote request processor on the host for an active
 * system; a thread entry whose argument is the record. */
VQZM_API void ccStartRZ700RRPThread(void* pSystem) VQZM_NOEXCEPT;

/* The next configured system name of a list of the connection service
 * (qlxCO_CreateSysList), empty names skipped, into `pszName` of `ulSize`
 * bytes. 0; 111 with the size needed in *pulNeeded when the name does not
 * fit; the service's own code at the end of the list. A buffer below 256
 * bytes gets nothing (result 0). */
VQZM_API uint16_t ccGetNextSysName(uint32_t hList, char* pszName, uint32_t ulSize,
                                   uint32_t* pulNeeded) VQZM_NOEXCEPT;

/* ---- Data-queue exchange ---- */

/* Places reassembled data for its consumer. *(void**)pHolder points at the
 * data (process heap), which is taken over, and on return at the placed
 * data, or is null on failure. usPurpose: 1 a global block of the data, 2 a
 * global block with 27 bytes in front, 3 the process heap (data version 0:
 * the buffer itself), 4 a global block with 51 bytes in front, 5 a global
 * block of 27 bytes without data. Data version 1 converts packets to the PC
 * form and updates *pulLength. 0, 4 without memory, 1026 for an unknown
 * purpose or version, or the conversion's code. */
VQZM_API uint16_t cdConvRcvdDataBuffer(uint16_t usPurpose, uint32_t ulDataVersion,
                                       uint32_t* pulLength, void* pHolder) VQZM_NOEXCEPT;

/* Creates the manager request queue (a pipe whose ends go to the anchor)
 * and starts its processing thread; called once by the CPMgr at start-up.
 * Inside the CPMgr, requests of its own threads (RRP obtain, sending a
 * request or a return, retrieving a reply) are then handed to a worker
 * thread each. 0; 1064 when the pipe cannot be created; 1026 when the
 * thread cannot be started. */
VQZM_API uint16_t cdInitDQProcThread(void) VQZM_NOEXCEPT;

VQZM_API uint16_t cmInitStartStop(void) VQZM_NOEXCEPT;
VQZM_API uint16_t cmSendStartStop(uint32_t ulAction, RZ700SysStruct* pSys) VQZM_NOEXCEPT;
VQZM_API void cmAsyncInitZELCommThread(void* pParms) VQZM_NOEXCEPT;
VQZM_API void cmExitListRoutine(void) VQZM_NOEXCEPT;
VQZM_API uint16_t cmSendTermMsg(RZ700SysStruct* pSystem) VQZM_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VQZMCM_H */
