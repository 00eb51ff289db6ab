// The message library is found where the product finds it: the language
// service's message directory of the installation.
#include "tools/zel/messages.h"

#include "platform/module.h"
#include "platform/user.h"
#include "services/language.h"

namespace zel::tool {
namespace {

constexpr char kMessageLibrary[] = "VQZMCMRI.DLL";

platform::HMODULE MessageLibrary() {
  static platform::HMODULE library = [] {
    char dir[512] = {};
    if (qlxNL_GetMsgDirectory(dir, sizeof dir, 0) != 0) return platform::HMODULE{0};
    return platform::LoadLibrary((std::string(dir) + kMessageLibrary).c_str());
  }();
  return library;
}

}  // namespace

std::string ReturnCodeText(uint32_t rc) {
  char text[256];
  platform::HMODULE library = MessageLibrary();
  if (library != 0 && platform::LoadString(library, rc, text, sizeof text) > 0) return text;
  return "no message text";
}

std::string DescribeReturnCode(uint32_t rc) {
  return "rc " + std::to_string(rc) + ": " + ReturnCodeText(rc);
}

}  // namespace zel::tool
