#include "services/config.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Why `status` (of `what` at `path`) is not to be trusted; empty when it is.
std::string Untrusted(const struct stat& status, const std::string& path, const char* what) {
  uid_t self = geteuid();
  if (status.st_uid != self) {
    return what + (" " + path) + " belongs to uid " + std::to_string(status.st_uid) +
           ", not to uid " + std::to_string(self);
  }
  if ((status.st_mode & 077) != 0) {
    return what + (" " + path) + " is open to group or others (mode " + Octal(status.st_mode) +
           ", want 0700 or 0600)";
  }
  return {};
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
  std::string dir =
      !state.empty() ? std::string(state) : std::string(Env("HOME")) + "/.local/state";
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

std::string PrivateDir(std::string* error) {
  std::string_view runtime = Env("XDG_RUNTIME_DIR");
  std::string dir;
  if (!runtime.empty()) {
    dir = std::string(runtime) + "/zel";
  } else {
    dir = "/tmp/zel-";
    dir += std::to_string(geteuid());
  }
  bool made = mkdir(dir.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    SetError(error, "cannot make the private directory " + dir + ": " + std::strerror(errno));
    return {};
  }
  // The umask may have taken bits from a directory made just now; a
  // directory found in place is never changed, only checked.
  if (made && chmod(dir.c_str(), 0700) != 0) {
    SetError(error, "cannot set mode 0700 on " + dir + ": " + std::strerror(errno));
    return {};
  }
  struct stat status {};
  if (lstat(dir.c_str(), &status) != 0) {
    SetError(error, "cannot check the private directory " + dir + ": " + std::strerror(errno));
    return {};
  }
  if (S_ISLNK(status.st_mode)) {
    SetError(error, "private directory " + dir + " is a symbolic link; refused");
    return {};
  }
  if (!S_ISDIR(status.st_mode)) {
    SetError(error, "private directory " + dir + " is not a directory; refused");
    return {};
  }
  if (std::string why = Untrusted(status, dir, "private directory"); !why.empty()) {
    SetError(error, why + "; refused");
    return {};
  }
  return dir;
}

bool WritePrivateFile(const std::string& path, std::string_view contents, std::string* error) {
  static std::atomic<unsigned> counter{0};
  std::string temporary =
      path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    SetError(error, "cannot create " + temporary + ": " + std::strerror(errno));
    return false;
  }
  bool ok = fchmod(fd, 0600) == 0;
  for (size_t done = 0; ok && done < contents.size();) {
    ssize_t written = write(fd, contents.data() + done, contents.size() - done);
    if (written < 0 && errno == EINTR) continue;
    ok = written > 0;
    if (ok) done += static_cast<size_t>(written);
  }
  ok = close(fd) == 0 && ok;
  ok = ok && rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    SetError(error, "cannot write " + path + ": " + std::strerror(errno));
    unlink(temporary.c_str());
  }
  return ok;
}

PrivateRead ReadPrivateFile(const std::string& path, std::string* contents, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return PrivateRead::kMissing;
    SetError(error, "cannot open " + path + ": " + std::strerror(errno) +
                        (errno == ELOOP ? " (a symbolic link); refused" : ""));
    return PrivateRead::kRefused;
  }
  struct stat status {};
  std::string why;
  if (fstat(fd, &status) != 0) {
    why = "cannot check " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    why = path + " is not a regular file; refused";
  } else if (std::string untrusted = Untrusted(status, path, "file"); !untrusted.empty()) {
    why = untrusted + "; refused";
  }
  char buffer[4096];
  ssize_t got = why.empty() ? read(fd, buffer, sizeof buffer) : 0;
  if (why.empty() && got < 0) why = "cannot read " + path + ": " + std::strerror(errno);
  close(fd);
  if (!why.empty()) {
    SetError(error, why);
    return PrivateRead::kRefused;
  }
  contents->assign(buffer, static_cast<size_t>(got));
  return PrivateRead::kRead;
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
