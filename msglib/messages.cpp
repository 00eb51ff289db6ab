// VQZMCMRI.DLL: the numbered message texts the system shows and logs.
//
// The library publishes its table through one exported function; the
// platform's LoadString reads it like the string resources of a module.
#include <cstdint>

extern "C" __attribute__((visibility("default"))) const char* zelMessageText(uint32_t number);

namespace {

struct Message {
  uint32_t number;
  const char* text;
};

constexpr Message kMessages[] = {
    {1009, "Start of host system communication"},
    {1011, "Reading the host data queue failed"},
    {1012, "Stop of host system communication"},
    {1019, "The start/stop queue of the communication manager failed"},
    {1026, "An internal error occurred (a lock, event, pipe or message failed)"},
    {1028, "Waiting for a lock failed"},
    {1032, "Communication with the host system is not active"},
    {1034, "A host data-queue operation failed"},
    {1035, "The connection to the host system failed or was lost"},
    {1056, "The communication manager has ended"},
    {1062, "Host requests cannot be served: the host-request processor could not be loaded"},
    {1063, "Converting data between workstation and host form failed"},
    {1064, "Handing a request to the communication manager failed"},
    {1075, "The host system reported an error"},
    {1076, "No default host system is defined"},
    {1077, "The communication manager could not read its request queue"},
    {1078, "Requests to the host data queue are no longer processed"},
    {1079, "The communication manager could not start a worker thread"},
    {1080, "A request to the host data queue was not processed"},
    {1190, "The start/stop queue could not be read; systems can no longer be started or stopped"},
    {1200, "The communication-state lock of the system could not be created"},
    {1210, "The communication-state lock of the system could not be taken"},
    {1220, "The communication-state lock of the system could not be released"},
    {1240, "The manager-state lock could not be taken"},
    {1250, "The manager-state lock could not be released"},
    {1260, "The system could not be started: not enough memory"},
    {1270, "The system could not be started: data conversion failed"},
    {1280, "The system could not be started: waiting for a lock failed"},
    {1290, "The system could not be started"},
    {1310, "The system could not be stopped: not enough memory"},
    {1320, "The system could not be stopped: data conversion failed"},
    {1330, "The system could not be stopped: an internal error occurred"},
    {1340, "The system could not be stopped"},
    {1400, "obtaining a request processor on the host"},
    {1420, "sending to the host"},
    {1440, "receiving from the host"},
};

}  // namespace

// The text of message `number`, or null when there is none.
extern "C" const char* zelMessageText(uint32_t number) {
  for (const Message& message : kMessages) {
    if (message.number == number) return message.text;
  }
  return nullptr;
}
