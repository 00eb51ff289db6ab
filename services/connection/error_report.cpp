#include "services/connection/error_report.h"

#include "base/trace.h"
#include "services/errhandle.h"

namespace zel::qlx {

namespace {
thread_local std::string t_last_fail;
}  // namespace

uint32_t Fail(uint32_t error_handle, uint32_t code, const std::string& text) {
  zel::trace::Rc("QX", -100, text.c_str(), code);
  t_last_fail = text;
  if (error_handle != 0) SetError(error_handle, code, text);
  return code;
}

const std::string& LastFailText() { return t_last_fail; }

}  // namespace zel::qlx
