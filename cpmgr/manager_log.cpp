#include "cpmgr/manager_log.h"

#include "base/config.h"
#include "base/log_file.h"
#include "base/trace.h"
#include "platform/module.h"
#include "platform/user.h"
#include "services/language.h"

ZEL_MODULE("vqzmcmw")

namespace zel::cpmgr {
namespace {

LogFile g_log;
platform::HMODULE g_messages = 0;  // the message library, when it loads

void LoadMessageLibrary() {
  char dir[257] = {};
  if (qlxNL_GetMsgDirectory(dir, sizeof dir, 0) != 0) return;
  std::string path = std::string(dir) + "VQZMCMRI.DLL";
  g_messages = platform::LoadLibrary(path.c_str());
}

}  // namespace

void OpenLog(const std::string& path) {
  g_log.Open(path, config::kCPMgrLogProgram);
  LoadMessageLibrary();
}

void Log(const std::string& text) {
  g_log.Write(text);
  zel::trace::Msg("CM", 1, text.c_str());
}

std::string MessageText(uint32_t number) {
  char text[256];
  if (g_messages != 0 && platform::LoadString(g_messages, number, text, sizeof text) > 0) {
    return text;
  }
  return "message " + std::to_string(number);
}

}  // namespace zel::cpmgr
