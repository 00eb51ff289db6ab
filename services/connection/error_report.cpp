#include "services/connection/error_report.h"

#include "services/trace.h"

namespace zel::qlx {

uint32_t Fail(uint32_t error_handle, uint32_t code, const std::string& text) {
  zel::trace::Rc("QX", -100, text.c_str(), code);
  (void)error_handle;
  return code;
}

}  // namespace zel::qlx
