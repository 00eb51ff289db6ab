// The language library: which language is installed. Loaded by file name
// when a message box may need right-to-left reading.
#include <cstring>

#include "base/barrier.h"
#include "base/config.h"
#include "services/language.h"

ZEL_MODULE("qlxnl1")

namespace {

// Feature numbers of the installed language, four digits each.
const char* LanguageFeature(uint32_t pc_code_page) {
  switch (pc_code_page) {
    case 1255:
      return "2961";  // Hebrew
    case 1256:
      return "2954";  // Arabic
    default:
      return "0000";  // the base language
  }
}

}  // namespace

extern "C" QLX_EXPORT uint32_t qlxNL_LangGet(const char* /*system_name*/, char* buffer,
                                             uint32_t size) noexcept try {
  if (buffer == nullptr) return QLXSV_INVALID_POINTER;
  const char* feature = LanguageFeature(zel::config::PcCodePage());
  size_t length = std::strlen(feature);
  if (length >= size) return QLXNL_BUFFER_TOO_SMALL;
  std::memcpy(buffer, feature, length + 1);
  return QLXNL_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXNL_NO_MEMORY, QLXNL_INTERNAL_ERROR);
}
