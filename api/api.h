// Internals of the client API.
#ifndef ZEL_API_API_H
#define ZEL_API_API_H

#include <cstdint>

#include "platform/types.h"

namespace zel::api {

// Raise and lower a count under `*phMutex` (created when 0). The add waits
// up to 30 s for the mutex: 1028 after a time-out, 1064 when the wait fails,
// 1026 when the release fails.
uint16_t caAddExitRoutine(platform::HANDLE* phMutex, uint16_t* pusCount);
uint16_t caRemoveExitRoutine(platform::HANDLE hMutex, uint16_t* pusCount);

}  // namespace zel::api

#endif  // ZEL_API_API_H
