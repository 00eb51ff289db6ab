/*
 * The communication component vqzmcsw: the calls an application makes to
 * exchange requests and data with programs on a host system.
 *
 * Link with -lvqzmcsw. Every call returns a 16-bit return code, 0 for
 * success (vqzmrc.h). Calls may be made from any thread of any process. No
 * call ever throws (in C++ they are noexcept): a failure inside returns 4
 * when memory ran out, 1026 otherwise.
 *
 *   uint32_t conv = 0;
 *   uint16_t rc = caInitializeZELComm("HOSTA", 0, 0, 0, &conv, 0);
 *   ...
 *   caStopZELComm(conv);
 */
#ifndef VQZMCSW_H
#define VQZMCSW_H

#include <stdint.h>

#include "vqzmrc.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef VQZM_API
#define VQZM_API __attribute__((visibility("default")))
#endif

/* Starts communication with host system `pszSystemName` (null: the default
 * system), starting the communication manager first when it is not running,
 * and stores a new conversation ID in *pulConvId. `hSysHandle` is a system
 * handle of the caller's connection environment (its user ID is used for
 * the sign-on), or 0. `hwndNotify` and `usNotifyMsg` are kept for callers
 * that start on a thread of their own; `ulInternal` is only traced. A null
 * `pulConvId` is refused with 1026 before anything is started or issued. */
VQZM_API uint16_t caInitializeZELComm(const char* pszSystemName, uint32_t hwndNotify,
                                      uint32_t usNotifyMsg, uint32_t hSysHandle,
                                      uint32_t* pulConvId, uint32_t ulInternal) VQZM_NOEXCEPT;

/* Gives the conversation ID back. When it was the system's last
 * conversation, the manager stops the system after its idle time. */
VQZM_API uint16_t caStopZELComm(uint32_t ulConvId) VQZM_NOEXCEPT;

/* ---- Synchronous requests and data transfer ----
 *
 * The parameter blocks are byte-packed and allocated by the application;
 * each begins with a 16-bit field the library neither reads nor writes.
 * Reply data comes back as a global-memory block that the application
 * frees with zelFreeBlock (zelapp.h). A RID is 11 bytes: a type byte, a
 * 4-digit sequence, the PWS system ID and the 3-digit system ID. A null
 * block, or null data with a nonzero length, is refused with 1026. Fields
 * may be unaligned: read and write them by value, never through a pointer
 * or C++ reference to the field. */

#pragma pack(push, 1)

/* A request to a host program (caProcessSync). */
typedef struct ProcessRequest {
  uint16_t usReserved;
  uint32_t ulConvId;      /* from caInitializeZELComm */
  char szPgmName[22];     /* host program, NUL-terminated, at most 21 characters */
  uint32_t ulValue;       /* carried to the host in the request header */
  uint32_t ulDataVersion; /* 1: the data is packets, converted for the host */
  void* pData;            /* the request data */
  uint32_t ulDataLen;     /* its length; 0 allowed */
  uint32_t ulTimeout;     /* seconds to wait for the reply; 0xFFFFFFFF: no limit */
} ProcessRequest;

/* The reply of caProcessSync. */
typedef struct ProcessReply {
  uint16_t usReserved;
  char achRID[11];        /* RID of the request (type "S"), also after a failed retrieval */
  uint32_t ulValue;       /* from the reply header */
  uint32_t ulDataVersion; /* of the reply */
  void* pData;            /* the reply data (zelFreeBlock), null when there is none */
  uint32_t ulDataLen;     /* its length */
} ProcessReply;

/* The answer to a request that a host program started (caReturnData). */
typedef struct ReturnDataParms {
  uint16_t usReserved;
  const char* pRID;       /* the 11-byte RID delivered with the host's request */
  uint32_t ulValue;       /* carried in the return header */
  uint32_t ulDataVersion; /* as in ProcessRequest */
  void* pData;            /* the data to return */
  uint32_t ulDataLen;     /* its length; 0 allowed */
} ReturnDataParms;

/* What caRtvData fetches: the data of the host request with this RID. */
typedef struct RtvDataParms {
  uint16_t usReserved;
  const char* pRID;       /* the 11-byte RID */
  uint32_t ulTimeout;     /* seconds to wait for the first entry; 0xFFFFFFFF: no limit */
} RtvDataParms;

/* What caRtvData found. */
typedef struct RtvDataResult {
  uint16_t usReserved;
  uint32_t ulValue;
  uint32_t ulDataVersion;
  void* pData;            /* the data (zelFreeBlock); null after a failure */
  uint32_t ulDataLen;     /* 0 after a failure */
} RtvDataResult;

#pragma pack(pop)

/* Sends a request to the host program `szPgmName` over the conversation's
 * system and waits up to `ulTimeout` seconds for its reply. 0; 1038 for a
 * conversation ID not issued (or released); 1032 when the manager or the
 * system is not active; 1059 when no reply came in time (the late reply
 * stays queued: caRtvData with the reply's RID fetches it, caClearData
 * removes it); a nonzero return code that the host program answered with;
 * 1034, 1035 or 1026 when the host's data queue failed, the connection was
 * lost, or a reply arrived incomplete. */
VQZM_API uint16_t caProcessSync(const ProcessRequest* pReq, ProcessReply* pReply) VQZM_NOEXCEPT;

/* Fetches the data queued under the RID (`pParms->pRID`), waiting up to
 * `ulTimeout` seconds for the first entry. 0; 1058 when no system has the
 * RID; the codes of caProcessSync's retrieval otherwise. */
VQZM_API uint16_t caRtvData(const RtvDataParms* pParms, RtvDataResult* pResult) VQZM_NOEXCEPT;

/* Answers the host request with the RID `pParms->pRID`. Its entries are
 * keyed "X" + RID, or `*pbType` + RID when `ulUseType` is nonzero and
 * `pbType` not null. 0; 1058 when no system has the RID. */
VQZM_API uint16_t caReturnData(const ReturnDataParms* pParms, const uint8_t* pbType,
                               uint32_t ulUseType) VQZM_NOEXCEPT;

/* Removes every entry still queued under the RID without waiting. 0; 1067
 * when there was none; 1032 when no active system has the RID. */
VQZM_API uint16_t caClearData(const char* pRID) VQZM_NOEXCEPT;

/* ---- Asynchronous requests ----
 *
 * caProcessAsync returns once the request is on the host's queue; the
 * answer comes later as message `usNotifyMsg` posted to the window
 * `hwndNotify` (a window of zelapp.h):
 *   wParam 0: an answer with data. lParam is a block that begins with an
 *             AsyncRetPrefix; the data follows it (pData points there).
 *   wParam 1: an answer that is only a return code, in the block's first
 *             16 bits (read it with memcpy).
 * The block is the receiver's: free it with zelFreeBlock. An answer whose
 * window is gone when it completes is thrown away. When the window's queue
 * is full, the manager keeps the answer and posts it again every 250 ms
 * until the queue takes it or the window goes. */

#pragma pack(push, 1)

/* A request of caProcessAsync: a ProcessRequest's first seven fields, then
 * where the answer goes. */
typedef struct AsyncRequest {
  uint16_t usReserved;
  uint32_t ulConvId;      /* from caInitializeZELComm */
  char szPgmName[22];     /* host program, NUL-terminated, at most 21 characters */
  uint32_t ulValue;       /* carried to the host in the request header */
  uint32_t ulDataVersion; /* 1: the data is packets, converted for the host */
  void* pData;            /* the request data */
  uint32_t ulDataLen;     /* its length; 0 allowed */
  uint32_t hwndNotify;    /* window that receives the answer */
  uint16_t usNotifyMsg;   /* message number posted to it */
} AsyncRequest;

/* The 27 bytes at the start of a data answer's block (wParam 0). */
typedef struct AsyncRetPrefix {
  char achRID[11];        /* RID of the request, as caProcessAsync gave it */
  uint32_t ulValue;       /* from the answer's header */
  uint32_t ulDataVersion; /* of the answer */
  uint32_t ulDataAddr;    /* address of the data: the block's address + 27 */
  uint32_t ulDataLen;     /* length of the data, after conversion */
} AsyncRetPrefix;

#pragma pack(pop)

/* Sends the request and places its RID (type "A", 11 bytes) in pRID. 0;
 * 1038 for a conversation ID not issued; 1032 when the manager or the
 * system is not active (no RID is made then); 4 when the manager's records
 * are full; the send's codes otherwise (the request is then forgotten, and
 * pRID holds the RID that was made). */
VQZM_API uint16_t caProcessAsync(const AsyncRequest* pReq, char* pRID) VQZM_NOEXCEPT;

/* Withdraws interest in the request with the 11-byte RID pRID, or, with a
 * null pRID, in every outstanding request of window hwnd: their answers are
 * thrown away when they come. The host program still runs the request. 0;
 * 1032 when no active system has the RID; 1042 when no outstanding request
 * has the RID; 1036 for a null pRID and a null hwnd; 1049 when the window
 * has no request outstanding. */
VQZM_API uint16_t caAbortProcessAsync(const char* pRID, uint32_t hwnd) VQZM_NOEXCEPT;

/* Takes the RID that the manager published under pszName (see
 * ZEL_MSG_PUBLISH_ASYNC_ID in vqzmcm.h) into the 11-byte pRID, looking once a second for up
 * to lTimeout further seconds (-1: without limit; 0: looks once). A name
 * is handed out once. 0; 1059 when the name did not appear in time. */
VQZM_API uint16_t caRtvNamedAsyncID(const char* pszName, int32_t lTimeout,
                                    char* pRID) VQZM_NOEXCEPT;

/* Terminate windows: when the communication of the conversation's system
 * ends, the manager posts usMsgId (1024 or more) to hwnd with wParam saying
 * why (ZEL_TERM_BY_PWS, ZEL_TERM_BY_HOST, ZEL_TERM_BY_ERROR) and lParam the
 * return code (0 for a normal stop). usTermType: 1 hears of every end;
 * 2 only of ends the PWS did not ask for; 3 of every end, and the system is
 * not stopped for idleness while a type-3 window is registered. The
 * registration stays across stops and restarts of the system while the
 * manager runs; a window that is gone when its message is due is dropped.
 * 0; 1050 for a null program ID or one of 22 characters or more; 1049 for
 * hwnd 0; 1051 for a message below 1024; 1282 for another type; 1038 for a
 * conversation ID not issued; 1287 when pszPgmID is registered with the
 * system already; 4 when the manager's records are full. */
VQZM_API uint16_t caRegisterTermWnd(uint32_t ulConvId, uint32_t usTermType, uint32_t hwnd,
                                    uint32_t usMsgId, const char* pszPgmID) VQZM_NOEXCEPT;

/* Ends the registration of pszPgmID with the conversation's system. 0;
 * 1050 for a null program ID; 1038 for a conversation ID not issued; 1286
 * when it is not registered. */
VQZM_API uint16_t caUnRegisterTermWnd(uint32_t ulConvId, const char* pszPgmID) VQZM_NOEXCEPT;

/* Why a system's communication ended: wParam of a terminate window's
 * message. */
#define ZEL_TERM_BY_PWS 0u   /* stopped by this side: idle, caStopZELComm, the manager's end */
#define ZEL_TERM_BY_HOST 1u  /* the host asked to end it */
#define ZEL_TERM_BY_ERROR 2u /* an error ended it; lParam is the error */

/* Information IDs of caRtvZELCommInfo and the buffer each needs. */
#define ZEL_INFO_USER_PROFILE 1u  /* user profile, up to its first blank: 11 bytes */
#define ZEL_INFO_NETWORK_DRIVE 2u /* drive letter of the system's shared folder and a NUL: 3 */
#define ZEL_INFO_SYSTEM_NAME 3u   /* the system name: 256 bytes */
#define ZEL_INFO_LOCAL_LU 4u      /* eight characters of the data-queue name: 9 bytes */
#define ZEL_INFO_NETWORK_ID 5u    /* eight characters of the data-queue library: 9 bytes */

/* One item of information about the conversation's system, which must be
 * active, into pszBuf. The drive (ID 2) is the letter of the link
 * drives/<LETTER> (in $XDG_STATE_HOME/zel/<instance>/) to the folder that
 * the connection configuration names for the system (`share NAME /path`):
 * an existing link to it, else a new one on the first free letter from D.
 * The letter comes with 0 even when the link could not be made (no share
 * configured, say); an empty text when every letter is in use. IDs 4 and 5
 * give the eight characters that follow the first two of the data-queue
 * name and library, blank-padded. 0; 1038 for a conversation ID not
 * issued; 1032 when the system is not active; 1053 for another ID; 1026
 * for a null buffer. */
VQZM_API uint16_t caRtvZELCommInfo(uint32_t ulConvId, uint32_t usRtvInfoID,
                                   char* pszBuf) VQZM_NOEXCEPT;

/* The PWS system ID the host assigned (three characters and a NUL) into
 * the 4-byte pszPWSId; three NULs before the system first became active.
 * 0; 1281 for a null buffer; 1038 for a conversation ID not issued. */
VQZM_API uint16_t vqzmRtvPWSId(uint32_t ulConvId, char* pszPWSId) VQZM_NOEXCEPT;

/* A fresh RID of type "9" of the conversation's system into the 11-byte
 * pRID; each takes the system's next sequence number, shared with every
 * process's requests. 0; 1042 for a null buffer; 1038 for a conversation
 * ID not issued; 1032 when the system is not active. */
VQZM_API uint16_t vqzmRtvPwsRID(uint32_t ulConvId, char* pRID) VQZM_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VQZMCSW_H */
