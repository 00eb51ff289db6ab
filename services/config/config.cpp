#include "services/config.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace zel::config {
namespace {

std::string_view Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string_view(value) : std::string_view();
}

uint32_t PositiveNumber(const char* name, uint32_t fallback) {
  std::string_view text = Env(name);
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0) return fallback;
  return value;
}

}  // namespace

std::string Home() {
  std::string_view value = Env("ZEL_HOME");
  if (!value.empty()) return std::string(value);
  // The main program's name in dladdr may be relative to a directory long
  // left; /proc/self/exe is not.
  Dl_info info{};
  const char* self_name = "/proc/self/exe";
  if (dladdr(reinterpret_cast<const void*>(&Home), &info) != 0 && info.dli_fname != nullptr &&
      info.dli_fname[0] == '/') {
    self_name = info.dli_fname;
  }
  std::error_code ignored;
  std::filesystem::path self = std::filesystem::canonical(self_name, ignored);
  if (self.empty()) return ".";
  return self.parent_path().parent_path().string();
}

std::string Instance() {
  std::string_view value = Env("ZEL_INSTANCE");
  if (!value.empty()) return std::string(value);
  // Built by appending: GCC 12 at -O3 warns (-Wrestrict) about
  // "literal" + std::string, wrongly.
  std::string name = "u";
  name += std::to_string(getuid());
  return name;
}

std::string TracePath() { return std::string(Env("ZEL_TRACE")); }

uint32_t CPMgrIdleSeconds() {
  std::string_view text = Env("ZEL_CPMGR_IDLE_SECONDS");
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return 60;
  return value;
}

std::string CPMgrLogPath() {
  std::string_view log = Env("ZEL_CPMGR_LOG");
  if (!log.empty()) return std::string(log);
  std::string_view state = Env("XDG_STATE_HOME");
  std::string dir = !state.empty() ? std::string(state) : std::string(Env("HOME")) + "/.local/state";
  return dir + "/zel/VQZMCMW." + Instance() + ".log";
}

uint32_t PcCodePage() { return PositiveNumber("ZEL_PC_CODEPAGE", kDefaultPcCodePage); }

uint32_t HostCcsid() { return PositiveNumber("ZEL_HOST_CCSID", kDefaultHostCcsid); }

std::string ConnectionConfigPath() {
  std::string_view explicit_path = Env("ZEL_CONFIG");
  if (!explicit_path.empty()) return std::string(explicit_path);
  std::string_view xdg = Env("XDG_CONFIG_HOME");
  if (!xdg.empty()) return std::string(xdg) + "/zel/zel.conf";
  return std::string(Env("HOME")) + "/.config/zel/zel.conf";
}

bool IsDoubleByteCodePage(uint32_t code_page) {
  // Japanese, simplified Chinese, Korean (two forms) and traditional Chinese.
  static constexpr std::array<uint32_t, 7> kDoubleByte = {932, 936, 942, 943, 949, 950, 1361};
  for (uint32_t page : kDoubleByte) {
    if (page == code_page) return true;
  }
  return false;
}

}  // namespace zel::config
