// The barrier at the edge of every C function the libraries export. A C
// caller cannot catch a C++ exception: one that unwound into it would end
// the process. So each exported function is noexcept and its body is a
// function-try-block whose handler turns whatever the body threw into the
// function's documented failure:
//
//   uint16_t caStopZELComm(uint32_t ulConvId) noexcept try {
//     ...
//   } catch (...) {
//     return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
//   }
//
// A function that returns a pointer fails with nullptr; one that returns
// nothing ends its handler with ZEL_C_REPORT(). Both raise the error point
// EXT_EXCEPTION of the file's module (ZEL_MODULE) and trace the function's
// name with the exception's text. The trace library's own functions have an
// empty handler instead: tracing never takes a process down, and it cannot
// report its own failure.
//
// State the body changed before it threw stays changed; the barrier only
// ends the call.
#ifndef ZEL_BASE_BARRIER_H
#define ZEL_BASE_BARRIER_H

#include <cstdint>
#include <exception>
#include <new>

#include "base/trace.h"

namespace zel::barrier {

// Reports the exception that the calling handler caught in the exported
// function `function`, as the error point EXT_EXCEPTION of `module` at
// `line` and a trace line naming the function and the exception's what().
// True for std::bad_alloc. Call only inside a handler, on any thread.
inline bool ReportException(const char* function, const char* module, int32_t line) noexcept {
  bool memory = false;
  const char* what = "exception of no standard type";
  try {
    throw;
  } catch (const std::bad_alloc& e) {
    memory = true;
    what = e.what();
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  // `what` stays valid: the caller's handler still holds the exception.
  trace::ErrorPoint("EXT_EXCEPTION", line, module);
  trace::String("ue", -100, function, what);
  return memory;
}

}  // namespace zel::barrier

// In the handler of an exported function: reports the exception and gives
// `on_memory` for std::bad_alloc, `on_other` for any other exception.
#define ZEL_C_FAILURE(on_memory, on_other) \
  (::zel::barrier::ReportException(__func__, kZelModule, __LINE__) ? (on_memory) : (on_other))

// In the handler of an exported function that returns nothing: reports the
// exception.
#define ZEL_C_REPORT() \
  static_cast<void>(::zel::barrier::ReportException(__func__, kZelModule, __LINE__))

#endif  // ZEL_BASE_BARRIER_H
