/*
 * Return codes of the communication component vqzmcsw: unsigned 16-bit
 * values, 0 for success. A number means the same thing in every function;
 * some operations also pass on a code that the host or an outside library
 * returned. The CPMgr's start/stop thread treats a few of those apart: they
 * are named VQZM_RC_PASSED_ON_ and their number.
 */
#ifndef VQZMRC_H
#define VQZMRC_H

/* Every public header includes this one: its functions are exception
 * barriers, noexcept for C++ callers. */
#ifndef VQZM_NOEXCEPT
#ifdef __cplusplus
#define VQZM_NOEXCEPT noexcept
#else
#define VQZM_NOEXCEPT
#endif
#endif

enum VqzmReturnCode {
  VQZM_RC_OK = 0,
  VQZM_RC_NO_MEMORY = 4,                  /* no memory; for a conversion, target too small */
  VQZM_RC_NAME_TOO_LONG = 111,            /* a system name does not fit the caller's buffer */
  VQZM_RC_INTERNAL_ERROR = 1026,          /* a mutex, event, pipe or post failed; bad state */
  VQZM_RC_MUTEX_WAIT_FAILED = 1028,       /* a wait for a mutex failed */
  VQZM_RC_CPMGR_NOT_STARTED = 1029,       /* the CPMgr process could not be started */
  VQZM_RC_NO_SUCH_SYSTEM = 1030,          /* no such system, or none not stopped */
  VQZM_RC_SYSTEM_NAME_DIFFERS = 1031,     /* a different system of that name is running */
  VQZM_RC_NOT_ACTIVE = 1032,              /* the CPMgr or the system is not active */
  VQZM_RC_DATA_QUEUE_ERROR = 1034,        /* a data-queue call failed; no default name */
  VQZM_RC_CONNECTION_FAILED = 1035,       /* the host connection failed or was lost */
  VQZM_RC_NO_RID_OR_WINDOW = 1036,        /* neither a RID nor a window handle was given */
  VQZM_RC_CONV_NOT_ISSUED = 1038,         /* the conversation ID is not issued */
  VQZM_RC_NO_ASYNC_FOR_RID = 1042,        /* no outstanding asynchronous request has the RID */
  VQZM_RC_NO_ASYNC_FOR_WINDOW = 1049,     /* none belongs to the window; invalid window */
  VQZM_RC_BAD_PROGRAM_ID = 1050,          /* a program ID is missing or too long */
  VQZM_RC_BAD_MESSAGE_NUMBER = 1051,      /* a window message number below 1024 */
  VQZM_RC_BAD_INFO_ID = 1053,             /* an information ID outside 1 to 5 */
  VQZM_RC_CPMGR_ENDED = 1056,             /* the CPMgr has ended */
  VQZM_RC_CONV_NOT_ACTIVE = 1057,         /* the conversation ID is not issued or released */
  VQZM_RC_NO_SYSTEM_FOR_RID = 1058,       /* no system has the RID */
  VQZM_RC_TIMED_OUT = 1059,               /* nothing arrived within the wait time */
  VQZM_RC_UNSUPPORTED_FORMAT = 1061,      /* unsupported packet format */
  VQZM_RC_CONVERSION_FAILED = 1063,       /* character or packet conversion failed */
  VQZM_RC_MANAGER_HANDOVER_FAILED = 1064, /* a pipe, event or hand-over in the CPMgr failed;
                                             also when the request pipe's write end cannot be
                                             duplicated for the requesting thread */
  VQZM_RC_PASSED_ON_1066 = 1066,         /* passed on by the request processor; host value 0x8412 */
  VQZM_RC_NOTHING_TO_CLEAR = 1067,        /* nothing was waiting to be cleared */
  VQZM_RC_PASSED_ON_1071 = 1071,          /* passed on by a start; reported without a message */
  VQZM_RC_PASSED_ON_1072 = 1072,          /* passed on by a start; reported without a message */
  VQZM_RC_HOST_MESSAGE = 1075,            /* a host message code that maps to it */
  VQZM_RC_NO_DEFAULT_SYSTEM = 1076,       /* no default system is defined */
  VQZM_RC_NO_PWS_ID_BUFFER = 1281,        /* a null buffer for the PWS system ID */
  VQZM_RC_BAD_TERM_TYPE = 1282,           /* a terminate-window type other than 1, 2 or 3 */
  VQZM_RC_PROGRAM_NOT_REGISTERED = 1286,  /* the program ID is not registered */
  VQZM_RC_PROGRAM_REGISTERED = 1287,      /* the program ID is already registered */
  VQZM_RC_PASSED_ON_1288 = 1288,          /* passed on by a stop; reported without a message */
  VQZM_RC_PASSED_ON_1289 = 1289,          /* passed on by a stop; the stop counts as done */
  VQZM_RC_PASSED_ON_1290 = 1290,          /* passed on by a stop; reported without a message */
  VQZM_RC_STARTED_NOT_OPENED = 65534,     /* the CPMgr could not open "STARTED" */
  VQZM_RC_ALREADY_RUNNING = 65535         /* the system is already running (a start result) */
};

#endif /* VQZMRC_H */
