// How the client services hand a failure to the caller's error handle: the
// code and a text that says what went wrong and with which object. The text
// goes to the trace as well, for failures of calls without an error handle.
#ifndef ZEL_SERVICES_CONNECTION_ERROR_REPORT_H
#define ZEL_SERVICES_CONNECTION_ERROR_REPORT_H

#include <cstdint>
#include <string>

namespace zel::qlx {

// Records the failure for `error_handle` (0: no handle) and returns `code`,
// so that a failing path can end with `return Fail(...)`.
uint32_t Fail(uint32_t error_handle, uint32_t code, const std::string& text);

// The text of the calling thread's last Fail, for callers of functions that
// take no error handle (see qlxSV_GetLastFailText); empty when none.
const std::string& LastFailText();

}  // namespace zel::qlx

#endif  // ZEL_SERVICES_CONNECTION_ERROR_REPORT_H
