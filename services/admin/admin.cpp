// QlxAd: the installation directory, as every library of the product sees it.
#include "services/admin.h"

#include <cstring>
#include <string>

#include "base/barrier.h"
#include "base/config.h"

ZEL_MODULE("QlxAd")

extern "C" uint32_t qlxAD_GetInstallDir(char* pszDir, uint32_t* pulLength) noexcept try {
  if (pszDir == nullptr || pulLength == nullptr) return QLXAD_RC_INVALID_PARAMETER;
  std::string dir = zel::config::Home();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.size() + 1 > *pulLength) {
    *pulLength = static_cast<uint32_t>(dir.size() + 1);
    return QLXAD_RC_BUFFER_OVERFLOW;
  }
  std::memcpy(pszDir, dir.c_str(), dir.size() + 1);
  *pulLength = static_cast<uint32_t>(dir.size());
  return QLXAD_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXAD_RC_NO_MEMORY, QLXAD_RC_INTERNAL_ERROR);
}
