#include "services/connection/error_report.h"

#include <string_view>

#include "base/trace.h"

namespace zel::qlx {

// The error-handle service's recorder, when it is part of the library; a
// weak reference so that the connection and data-queue services build and
// run on their own, tracing the failure only.
__attribute__((weak)) uint32_t SetError(uint32_t handle, uint32_t number, std::string_view text);

namespace {
thread_local std::string t_last_fail;
}  // namespace

uint32_t Fail(uint32_t error_handle, uint32_t code, const std::string& text) {
  zel::trace::Rc("QX", -100, text.c_str(), code);
  t_last_fail = text;
  if (error_handle != 0 && SetError != nullptr) SetError(error_handle, code, text);
  return code;
}

const std::string& LastFailText() { return t_last_fail; }

}  // namespace zel::qlx
