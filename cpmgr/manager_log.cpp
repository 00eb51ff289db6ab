#include "cpmgr/manager_log.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>

#include "platform/module.h"
#include "platform/user.h"
#include "services/language.h"
#include "services/trace.h"

ZEL_MODULE("vqzmcmw")

namespace zel::cpmgr {
namespace {

std::mutex g_log_mutex;
FILE* g_log = stderr;              // guarded by g_log_mutex
platform::HMODULE g_messages = 0;  // the message library, when it loads

void LoadMessageLibrary() {
  char dir[257] = {};
  if (qlxNL_GetMsgDirectory(dir, sizeof dir, 0) != 0) return;
  std::string path = std::string(dir) + "VQZMCMRI.DLL";
  g_messages = platform::LoadLibrary(path.c_str());
}

}  // namespace

void OpenLog(const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  if (FILE* file = fopen(path.c_str(), "a")) {
    chmod(path.c_str(), 0600);
    setvbuf(file, nullptr, _IOLBF, 0);
    g_log = file;
  }
  LoadMessageLibrary();
}

void Log(const std::string& text) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts;
  localtime_r(&now.tv_sec, &parts);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
  std::lock_guard lock(g_log_mutex);
  fprintf(g_log, "%s.%03ld VQZMCMW[%d] %s\n", stamp, now.tv_nsec / 1000000, getpid(), text.c_str());
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
