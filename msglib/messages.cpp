// VQZMCMRI.DLL: the numbered message texts the system shows and logs.
//
// The library publishes its table through one exported function; the
// platform's LoadString reads it like the string resources of a module.
// A text is keyed by the constant the component reports it under: a return
// code's text has the code's number.
#include <cstdint>

#include "vqzmcm.h"
#include "vqzmrc.h"

extern "C" __attribute__((visibility("default"))) const char* zelMessageText(uint32_t number);

namespace {

struct Message {
  uint32_t number;
  const char* text;
};

constexpr Message kMessages[] = {
    {ZEL_STATUS_START, "Start of host system communication"},
    {ZEL_MSGNUM_DQ_READ_FAILED, "Reading the host data queue failed"},
    {ZEL_STATUS_STOP, "Stop of host system communication"},
    {ZEL_STATUS_QUEUE, "The start/stop queue of the communication manager failed"},
    {VQZM_RC_NO_MEMORY, "Not enough memory, or the receiving buffer is too small"},
    {VQZM_RC_NAME_TOO_LONG, "The system name does not fit the buffer given"},
    {VQZM_RC_INTERNAL_ERROR, "An internal error occurred (a lock, event, pipe or message failed)"},
    {VQZM_RC_MUTEX_WAIT_FAILED, "Waiting for a lock failed"},
    {VQZM_RC_CPMGR_NOT_STARTED, "The communication manager could not be started"},
    {VQZM_RC_NO_SUCH_SYSTEM, "No such host system is configured or running"},
    {VQZM_RC_SYSTEM_NAME_DIFFERS, "A different host system of that name is running"},
    {VQZM_RC_NOT_ACTIVE, "Communication with the host system is not active"},
    {VQZM_RC_DATA_QUEUE_ERROR, "A host data-queue operation failed"},
    {VQZM_RC_CONNECTION_FAILED, "The connection to the host system failed or was lost"},
    {VQZM_RC_NO_RID_OR_WINDOW, "Neither a request ID nor a window was given"},
    {VQZM_RC_CONV_NOT_ISSUED, "The conversation ID was not issued"},
    {VQZM_RC_NO_ASYNC_FOR_RID, "No outstanding asynchronous request has this request ID"},
    {VQZM_RC_NO_ASYNC_FOR_WINDOW, "The window has no outstanding asynchronous request"},
    {VQZM_RC_BAD_PROGRAM_ID, "The program ID is missing or too long"},
    {VQZM_RC_BAD_MESSAGE_NUMBER, "The window message number is below 1024"},
    {VQZM_RC_BAD_INFO_ID, "The information ID is not between 1 and 5"},
    {ZEL_MSGNUM_CPMGR_ENDED, "The communication manager has ended"},
    {VQZM_RC_CONV_NOT_ACTIVE, "The conversation ID was not issued or has been released"},
    {VQZM_RC_NO_SYSTEM_FOR_RID, "No host system has this request ID"},
    {VQZM_RC_TIMED_OUT, "Nothing arrived within the wait time"},
    {VQZM_RC_UNSUPPORTED_FORMAT, "The packet data has an unsupported format"},
    {1062, "Host requests cannot be served: the host-request processor could not be loaded"},
    {VQZM_RC_CONVERSION_FAILED, "Converting data between workstation and host form failed"},
    {VQZM_RC_MANAGER_HANDOVER_FAILED, "Handing a request to the communication manager failed"},
    {VQZM_RC_PASSED_ON_1066, "The PC program for the host's request could not be started"},
    {VQZM_RC_NOTHING_TO_CLEAR, "Nothing was waiting to be cleared"},
    {VQZM_RC_HOST_MESSAGE, "The host system reported an error"},
    {ZEL_MSGNUM_NO_DEFAULT_SYSTEM, "No default host system is defined"},
    {1077, "The communication manager could not read its request queue"},
    {1078, "Requests to the host data queue are no longer processed"},
    {1079, "The communication manager could not start a worker thread"},
    {1080, "A request to the host data queue was not processed"},
    {ZEL_MSGNUM_QUEUE_READ,
     "The start/stop queue could not be read; systems can no longer be started or stopped"},
    {ZEL_MSGNUM_INIT_COMM_STATE, "The communication-state lock of the system could not be created"},
    {ZEL_MSGNUM_CTRL_COMM_STATE, "The communication-state lock of the system could not be taken"},
    {ZEL_MSGNUM_RELEASE_COMM_STATE,
     "The communication-state lock of the system could not be released"},
    {ZEL_MSGNUM_CTRL_CPM_STATE, "The manager-state lock could not be taken"},
    {ZEL_MSGNUM_RELEASE_CPM_STATE, "The manager-state lock could not be released"},
    {ZEL_MSGNUM_START_NO_MEMORY, "The system could not be started: not enough memory"},
    {ZEL_MSGNUM_START_CONVERSION, "The system could not be started: data conversion failed"},
    {ZEL_MSGNUM_START_MUTEX_WAIT, "The system could not be started: waiting for a lock failed"},
    {ZEL_MSGNUM_START_FAILED, "The system could not be started"},
    {ZEL_MSGNUM_STOP_NO_MEMORY, "The system could not be stopped: not enough memory"},
    {ZEL_MSGNUM_STOP_CONVERSION, "The system could not be stopped: data conversion failed"},
    {ZEL_MSGNUM_STOP_INTERNAL_ERROR, "The system could not be stopped: an internal error occurred"},
    {ZEL_MSGNUM_STOP_FAILED, "The system could not be stopped"},
    {VQZM_RC_NO_PWS_ID_BUFFER, "No buffer was given for the workstation's system ID"},
    {VQZM_RC_BAD_TERM_TYPE, "The terminate-window type is not 1, 2 or 3"},
    {VQZM_RC_PROGRAM_NOT_REGISTERED, "The program ID is not registered"},
    {VQZM_RC_PROGRAM_REGISTERED, "The program ID is already registered"},
    {1400, "obtaining a request processor on the host"},
    {1420, "sending to the host"},
    {1440, "receiving from the host"},
    {VQZM_RC_STARTED_NOT_OPENED, "The communication manager could not open its start signal"},
    {VQZM_RC_ALREADY_RUNNING, "The host system is already running"},
};

}  // namespace

// The text of message `number`, or null when there is none.
extern "C" const char* zelMessageText(uint32_t number) {
  for (const Message& message : kMessages) {
    if (message.number == number) return message.text;
  }
  return nullptr;
}
