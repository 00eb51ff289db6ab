// Module loading, look-up by name and by ordinal, and module file names.
#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/handles.h"
#include "platform/posix/barrier.h"
#include "platform/posix/last_error.h"
#include "base/trace.h"

ZEL_MODULE("zelplat")

namespace zel::platform {
namespace {

constexpr char kTag[] = "PL";

// A loaded library; unloaded with its last handle. It is made before the
// library is loaded, so that nothing can fail between the load and the
// object that unloads it.
class ModuleObject : public HandleObject {
 public:
  ModuleObject() : HandleObject(HandleKind::kModule) {}
  ~ModuleObject() override {
    if (library_ != nullptr) dlclose(library_);
  }

  // Loads the library at `path`, once; false when the loader refuses it
  // (dlerror says why).
  bool Load(const char* path) {
    library_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    return library_ != nullptr;
  }

  void* library() const { return library_; }

  const link_map* map() const {
    link_map* map = nullptr;
    if (dlinfo(library_, RTLD_DI_LINKMAP, &map) != 0) return nullptr;
    return map;
  }

 private:
  void* library_ = nullptr;
};

std::shared_ptr<ModuleObject> Module(HMODULE module) {
  return ReferenceHandleAs<ModuleObject>(module, HandleKind::kModule);
}

// The ordinal table search: finds the loaded image of `map` and reads the
// entry for `ordinal` from its ordinal notes.
struct OrdinalSearch {
  const link_map* map;
  uint32_t ordinal;
  std::string name;  // the entry's function name; empty when none was found
};

size_t Align4(size_t size) { return (size + 3) & ~size_t{3}; }

void ReadNotes(const char* notes, size_t size, OrdinalSearch& search) {
  size_t position = 0;
  while (position + 12 <= size) {
    uint32_t header[3];
    memcpy(header, notes + position, sizeof header);
    size_t name_size = header[0];
    size_t desc_size = header[1];
    const char* owner = notes + position + 12;
    const char* desc = owner + Align4(name_size);
    size_t next = position + 12 + Align4(name_size) + Align4(desc_size);
    if (next > size) return;
    bool ours = header[2] == ZEL_ORDINAL_NOTE_TYPE && name_size == sizeof ZEL_ORDINAL_NOTE_OWNER &&
                memcmp(owner, ZEL_ORDINAL_NOTE_OWNER, name_size) == 0 && desc_size > 4;
    if (ours) {
      uint32_t ordinal;
      memcpy(&ordinal, desc, sizeof ordinal);
      if (ordinal == search.ordinal) {
        search.name.assign(desc + 4, strnlen(desc + 4, desc_size - 4));
        return;
      }
    }
    position = next;
  }
}

int VisitImage(dl_phdr_info* info, size_t, void* data) {
  auto& search = *static_cast<OrdinalSearch*>(data);
  const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  const char* wanted = search.map->l_name != nullptr ? search.map->l_name : "";
  if (info->dlpi_addr != search.map->l_addr || strcmp(name, wanted) != 0) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_NOTE) continue;
    ReadNotes(reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr), segment.p_memsz,
              search);
    if (!search.name.empty()) break;
  }
  return 1;
}

// The path of the executable, from the kernel. It is fixed for the life of
// the process, and callers ask for it on every request: the kernel is asked
// once.
std::string ExecutablePath() {
  static const std::string executable = [] {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length < 0 ? std::string() : std::string(path, static_cast<size_t>(length));
  }();
  return executable;
}

std::string LibraryPath(const link_map& map) {
  if (map.l_name == nullptr || map.l_name[0] == '\0') return ExecutablePath();
  char* resolved = realpath(map.l_name, nullptr);
  if (resolved == nullptr) return map.l_name;
  std::string path = resolved;
  free(resolved);
  return path;
}

}  // namespace

HMODULE LoadLibrary(const char* path) noexcept try {
  if (path == nullptr || path[0] == '\0') {
    internal::SetError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  auto object = std::make_shared<ModuleObject>();
  if (!object->Load(path)) {
    const char* reason = dlerror();
    trace::String(kTag, -40, "LoadLibrary() failed", reason != nullptr ? reason : path);
    internal::SetError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  return InsertHandle(std::move(object));
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

bool FreeLibrary(HMODULE module) noexcept try {
  return CloseHandleOfKind(module, HandleKind::kModule);
} catch (...) {
  return ZEL_PLATFORM_FAILURE(false);
}

void* GetProcAddress(HMODULE module, const char* name) noexcept try {
  std::shared_ptr<ModuleObject> object = Module(module);
  if (object == nullptr) return nullptr;
  if (name == nullptr) {
    internal::SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = dlsym(object->library(), name);
  // dlsym also searches the library's dependencies; a module exports only
  // its own functions.
  Dl_info info;
  link_map* owner = nullptr;
  if (symbol == nullptr ||
      dladdr1(symbol, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 ||
      owner != object->map()) {
    internal::SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return symbol;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(nullptr);
}

void* GetProcAddress(HMODULE module, Ordinal ordinal) noexcept try {
  std::shared_ptr<ModuleObject> object = Module(module);
  if (object == nullptr) return nullptr;
  const link_map* map = object->map();
  OrdinalSearch search{map, ordinal.value, {}};
  if (map != nullptr && ordinal.value != 0) dl_iterate_phdr(VisitImage, &search);
  if (search.name.empty()) {
    internal::SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return GetProcAddress(module, search.name.c_str());
} catch (...) {
  return ZEL_PLATFORM_FAILURE(nullptr);
}

DWORD GetModuleFileName(HMODULE module, char* buffer, DWORD size) noexcept try {
  std::string path;
  if (module == 0) {
    path = ExecutablePath();
  } else {
    std::shared_ptr<ModuleObject> object = Module(module);
    if (object == nullptr) return 0;
    const link_map* map = object->map();
    if (map != nullptr) path = LibraryPath(*map);
  }
  if (path.empty()) {
    internal::SetError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (buffer == nullptr || size == 0) {
    internal::SetError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < size) {
    memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  memcpy(buffer, path.data(), size - 1);
  buffer[size - 1] = '\0';
  internal::SetError(ERROR_INSUFFICIENT_BUFFER);
  return size;
} catch (...) {
  return ZEL_PLATFORM_FAILURE(0);
}

}  // namespace zel::platform
