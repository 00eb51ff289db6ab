// The programs registered to serve host requests through their window: a
// table in a named file mapping of the instance, so that the manager's
// processor sees what any application process registered. Guarded by a
// named mutex; any thread of any process.
#ifndef ZEL_REQPROC_REGISTRY_H
#define ZEL_REQPROC_REGISTRY_H

#include <cstdint>
#include <optional>
#include <string>

namespace zel::reqproc {

inline constexpr size_t kMaxRegistered = 64;
inline constexpr size_t kMaxNameLength = 21;

struct Registration {
  uint32_t hwnd = 0;
  uint16_t msg = 0;
};

// Names are kept in upper case: host programs send them so.
std::string UpperName(const char* name);

// 0 or the code of crRegisterProgram. Adds the name to the 3rd-party list too.
uint16_t Register(const std::string& name, uint32_t hwnd, uint16_t msg);

// 0 or the code of crUnregisterProgram. Removes the 3rd-party record too.
uint16_t Unregister(const std::string& name);

// The registration of `name`, if any (nothing too when the table cannot be
// reached).
std::optional<Registration> FindRegistration(const std::string& name);

// Drops `name` when it is still registered with `hwnd`: its window is gone.
void DropRegistration(const std::string& name, uint32_t hwnd);

// True when `name` was left in the 3rd-party list without a registration
// (dropped now): the table lives only as long as a process holds it, so it
// goes when every registering process has gone, windows and all.
bool DropLeftOver(const std::string& name);

}  // namespace zel::reqproc

#endif  // ZEL_REQPROC_REGISTRY_H
