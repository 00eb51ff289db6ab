// Loading the communication component at run time.
#include "tools/zel/component.h"

#include <dlfcn.h>

#include <filesystem>

#include "platform/mutex.h"

namespace zel::tool {
namespace {

void* g_component = nullptr;

}  // namespace

std::string LibraryDirectory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&platform::CreateMutex), &info) == 0 ||
      info.dli_fname == nullptr) {
    return ".";
  }
  std::error_code ignored;
  std::filesystem::path library = std::filesystem::canonical(info.dli_fname, ignored);
  return library.empty() ? "." : library.parent_path().string();
}

bool LoadComponent(std::string* error) {
  if (g_component != nullptr) return true;
  // By its full path: a sanitizer's dlopen interceptor is the caller the
  // run path would be taken from, and it has none of ours.
  std::string path = LibraryDirectory() + "/" + ZEL_COMPONENT_SONAME;
  g_component = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
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
