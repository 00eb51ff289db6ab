// Whether the RRP obtain mutex "OBTRRP" is free: no obtain, in any process
// of the instance, kept it on its way out.
#ifndef ZEL_TESTS_API_OBTAIN_MUTEX_H
#define ZEL_TESTS_API_OBTAIN_MUTEX_H

#include <future>

#include "ctrlblk/object_names.h"
#include "platform/handles.h"
#include "platform/mutex.h"

namespace zel::test {

// True when a thread of its own takes "OBTRRP" at once (the mutex is
// recursive, so the calling thread itself would always get it).
inline bool ObtainMutexFree() {
  using namespace zel::platform;
  return std::async(std::launch::async,
                    [] {
                      HANDLE mutex = CreateMutex(false, ctrlblk::kObtainRrpName);
                      bool free = WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0;
                      if (free) ReleaseMutex(mutex);
                      CloseHandle(mutex);
                      return free;
                    })
      .get();
}

}  // namespace zel::test

#endif  // ZEL_TESTS_API_OBTAIN_MUTEX_H
