// Loading the communication component at run time.
#include "tools/zel/component.h"

#include <dlfcn.h>

namespace zel::tool {
namespace {

void* g_component = nullptr;

}  // namespace

bool LoadComponent(std::string* error) {
  if (g_component != nullptr) return true;
  g_component = dlopen(ZEL_COMPONENT_SONAME, RTLD_NOW | RTLD_GLOBAL);
  if (g_component == nullptr) {
    const char* reason = dlerror();
    *error = std::string("cannot load the communication component: ") +
             (reason != nullptr ? reason : ZEL_COMPONENT_SONAME);
    return false;
  }
  return true;
}

void* ComponentSymbol(const char* name) {
  return g_component != nullptr ? dlsym(g_component, name) : nullptr;
}

}  // namespace zel::tool
