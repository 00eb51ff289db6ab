// QLXUNAPI: an application's system handle, checked or made for a component.
#include "services/unapi.h"

#include <cstring>
#include <string>

#include "base/barrier.h"
#include "services/connection.h"
#include "services/connection/system.h"

ZEL_MODULE("QLXUNAPI")

extern "C" uint32_t qlxUN_GetSystemHandle(const char* pszSystemName, const char* pszComponent,
                                          uint32_t* phSystem) noexcept try {
  if (phSystem == nullptr || pszComponent == nullptr || *pszComponent == '\0') {
    return QLXCO_RC_INVALID_PARAMETER;
  }
  if (*phSystem == 0) {
    if (pszSystemName == nullptr) return QLXCO_RC_INVALID_PARAMETER;
    return qlxCO_CreateSystem(pszSystemName, phSystem);
  }
  auto system = zel::qlx::Reference<zel::qlx::SystemObject>(*phSystem, zel::qlx::SystemKind());
  if (!system) return QLXCO_RC_INVALID_HANDLE;
  if (pszSystemName != nullptr && system->name != pszSystemName) return QLXCO_RC_NOT_CONFIGURED;
  return QLXCO_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXCO_RC_NO_MEMORY, QLXCO_RC_INTERNAL_ERROR);
}
