// QlxAd: the installation directory.
#include <dlfcn.h>

#include <cstring>
#include <string>

#include "services/admin.h"
#include "services/config.h"

namespace {

// The directory above the one holding this library: lib/ sits right below
// the installation directory, in the build tree as after installation.
std::string FromLibraryLocation() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&qlxAD_GetInstallDir), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  char resolved[4096];
  if (realpath(info.dli_fname, resolved) == nullptr) return {};
  std::string path = resolved;
  for (int up = 0; up < 2; ++up) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    path.erase(slash == 0 ? 1 : slash);
  }
  return path;
}

}  // namespace

extern "C" uint32_t qlxAD_GetInstallDir(char* pszDir, uint32_t* pulLength) {
  if (pszDir == nullptr || pulLength == nullptr) return QLXAD_RC_INVALID_PARAMETER;
  std::string dir = zel::config::Home();
  if (dir.empty()) dir = FromLibraryLocation();
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty()) return QLXAD_RC_NOT_FOUND;
  if (dir.size() + 1 > *pulLength) {
    *pulLength = static_cast<uint32_t>(dir.size() + 1);
    return QLXAD_RC_BUFFER_OVERFLOW;
  }
  std::memcpy(pszDir, dir.c_str(), dir.size() + 1);
  *pulLength = static_cast<uint32_t>(dir.size());
  return QLXAD_RC_OK;
}
