// The processor's own thread: it starts the configured programs, posts
// requests to registered windows, and watches each request until it is
// answered; one it gives up on is answered to the host with a CR_RC_* code.
// crPwsRRP hands work over and returns at once.
#ifndef ZEL_REQPROC_PROCESSOR_H
#define ZEL_REQPROC_PROCESSOR_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "reqproc/registry.h"

namespace zel::reqproc {

// What the processor keeps of a host request.
struct HostRequest {
  std::string rid;      // 11 characters
  std::string program;  // upper case
  uint32_t value = 0;
  uint32_t data_version = 0;
  uint32_t length = 0;
  std::chrono::seconds timeout{60};  // to answer
};

// Starts `argv` for the request. 0, or 4 when the work cannot be handed to
// the processor's thread. Any thread; never blocks.
uint16_t StartProgram(HostRequest request, std::vector<std::string> argv);

// Posts the request to the registered window. As StartProgram.
uint16_t PostToWindow(HostRequest request, Registration window);

// True when `program` names a file that can be run (searched on PATH when it
// holds no "/").
bool Executable(const std::string& program);

}  // namespace zel::reqproc

#endif  // ZEL_REQPROC_PROCESSOR_H
