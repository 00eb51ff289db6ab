// Internals of the client API.
#ifndef ZEL_API_API_H
#define ZEL_API_API_H

#include <cstdint>

#include "platform/types.h"
#include "vqzmcb.h"

namespace zel::api {

// Raise and lower a count under `*phMutex` (created when 0). The add waits
// up to 30 s for the mutex: 1028 after a time-out, 1064 when the wait fails,
// 1026 when the release fails.
uint16_t caAddExitRoutine(platform::HANDLE* phMutex, uint16_t* pusCount);
uint16_t caRemoveExitRoutine(platform::HANDLE hMutex, uint16_t* pusCount);

// What a request to a host program carries, taken from the application's
// block (ProcessRequest, AsyncRequest).
struct RequestToHost {
  const char* program;  // NUL-terminated, at most 21 characters
  uint32_t value;
  uint32_t data_version;
  void* data;
  uint32_t length;
};

// The system of conversation `conv_id`, when it and the manager are active:
// 0; the conversation's code when it is not issued (1038); 1032 otherwise.
uint16_t ActiveSystemOf(uint32_t conv_id, RZ700SysStruct** system);

// Sends the request under the key "A" + `rid`.
uint16_t SendToHost(RZ700SysStruct* system, const RequestToHost& request, const char* rid);

// Watches the manager while requests of this process's windows are
// outstanding (a thread, started when none runs): if the manager dies,
// each gets a return-code answer of 1056.
void WatchManager();

// When the manager is dead, answers every outstanding request of every
// window with 1056, before its control blocks are reset for a new start.
void ReleaseAnswersOfDeadManager();

}  // namespace zel::api

#endif  // ZEL_API_API_H
