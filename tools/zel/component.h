// The communication component, loaded only by the subcommands that act
// through its API. Loading it joins the instance as an attached process,
// which a read-only look such as `zel status` must not do; so bin/zel does
// not link it.
#ifndef ZEL_TOOLS_ZEL_COMPONENT_H
#define ZEL_TOOLS_ZEL_COMPONENT_H

#include <string>

namespace zel::tool {

// The directory of the product's libraries: where this tool's own platform
// library was loaded from (lib/ in the build tree, libdir installed).
std::string LibraryDirectory();

// Loads the component once (libvqzmcsw.so.N from LibraryDirectory()); false
// with a message in `error` when it cannot be loaded.
bool LoadComponent(std::string* error);

// The exported function `name` of the loaded component, or nullptr.
void* ComponentSymbol(const char* name);

}  // namespace zel::tool

// Calls an exported function of the component through its declaration in
// vqzmcsw.h: ZEL_COMPONENT(caProcessSync)(args...). The component must have
// been loaded.
#define ZEL_COMPONENT(function) \
  (reinterpret_cast<decltype(&::function)>(::zel::tool::ComponentSymbol(#function)))

#endif  // ZEL_TOOLS_ZEL_COMPONENT_H
