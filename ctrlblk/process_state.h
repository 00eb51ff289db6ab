// What each process that loads the library keeps of the control blocks:
// its views of the shared regions and its own handles to the shared objects.
// Handles are per process and never stored where another process reads them.
#ifndef ZEL_CTRLBLK_PROCESS_STATE_H
#define ZEL_CTRLBLK_PROCESS_STATE_H

#include <array>

#include "ctrlblk/ctrlblk.h"

namespace zel::ctrlblk {

struct ProcessState {
  SharedData* shared_data = nullptr;         // view of the shared data section
  platform::HANDLE shared_data_mapping = 0;  // keeps that section alive for this process
  void* view = nullptr;                      // this process's view of the control-block area
  platform::HANDLE mapping = 0;              // kept by attaching processes, closed at detach
  std::array<platform::HANDLE, static_cast<size_t>(Serial::kCount)> serial{};  // nine objects
  platform::HMODULE message_library = 0;     // the message library, when it could be loaded
  platform::HMODULE request_processor = 0;   // the host-request processor, once loaded
  bool load_failed = false;                  // the attach failed: the library refuses service
  bool is_manager = false;                   // this process registered as the CPMgr (cbSetCPMgrHwnd)
};

// This process's state. Written by the attach and detach handler, and in a
// forked child by the fork handler, only.
ProcessState& ThisProcess();

// In a forked child (the fork handler, alone): the watcher of ended
// processes was a thread of the parent; the child has none.
void ForgetWatcherAfterFork();

// Maps the shared data section at its fixed address; false when it cannot.
bool MapSharedData();

}  // namespace zel::ctrlblk

#endif  // ZEL_CTRLBLK_PROCESS_STATE_H
