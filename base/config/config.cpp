#include "base/config.h"

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
#include <optional>
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

// $XDG_CACHE_HOME/zel/run, else ~/.cache/zel/run: where the private
// directory goes when /tmp/zel-<euid> is another user's. Empty when neither
// variable is set.
std::string CacheRunDir() {
  std::string_view cache = Env("XDG_CACHE_HOME");
  if (!cache.empty()) return std::string(cache) + "/zel/run";
  std::string_view home = Env("HOME");
  if (home.empty()) return {};
  return std::string(home) + "/.cache/zel/run";
}

// Makes the missing folders above `path`, mode 0700. Only `path` itself is
// checked: the folders above it are the user's own.
bool MakeParents(const std::string& path, std::string* error) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string parent = path.substr(0, slash);
    if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
      SetError(error, "cannot make " + parent + ": " + std::strerror(errno));
      return false;
    }
  }
  return true;
}

// The package directory's name in an installed library directory.
constexpr char kPackageDirectory[] = "zelcomm";

// Where the package directory is from `folder`, the folder of the object
// asking, when that is the installed library directory or bindir.
std::optional<std::filesystem::path> InstalledPackage(const std::filesystem::path& folder) {
  std::error_code ignored;
  for (const std::filesystem::path& library_folder :
       {folder, (folder / ZEL_LIBDIR_FROM_BINDIR).lexically_normal()}) {
    std::filesystem::path package = library_folder / kPackageDirectory;
    if (std::filesystem::is_directory(package, ignored)) return package;
  }
  return std::nullopt;
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
  // Installed, the libraries lie in libdir and the system's own files in
  // the package directory beside them. In the build tree, and for what
  // lies in the package directory's SHARED/ or lib/, it is the folder above.
  std::filesystem::path folder = self.parent_path();
  if (auto package = InstalledPackage(folder)) return package->string();
  return folder.parent_path().string();
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
  return dir + "/zel/" + kCPMgrLogProgram + "." + Instance() + ".log";
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

bool MakePrivateDirectory(const std::string& path, std::string* error) {
  bool made = mkdir(path.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    SetError(error, "cannot make the private directory " + path + ": " + std::strerror(errno));
    return false;
  }
  // The umask may have taken bits from a directory made just now.
  if (made && chmod(path.c_str(), 0700) != 0) {
    SetError(error, "cannot set mode 0700 on " + path + ": " + std::strerror(errno));
    return false;
  }
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    SetError(error, "cannot check the private directory " + path + ": " + std::strerror(errno));
    return false;
  }
  if (S_ISLNK(status.st_mode)) {
    SetError(error, "private directory " + path + " is a symbolic link; refused");
    return false;
  }
  if (!S_ISDIR(status.st_mode)) {
    SetError(error, "private directory " + path + " is not a directory; refused");
    return false;
  }
  if (std::string why = Untrusted(status, path, "private directory"); !why.empty()) {
    SetError(error, why + "; refused");
    return false;
  }
  return true;
}

std::string PrivateDir(std::string* error, std::string* notice) {
  if (notice != nullptr) notice->clear();
  std::string_view runtime = Env("XDG_RUNTIME_DIR");
  if (!runtime.empty()) {
    std::string dir = std::string(runtime) + "/zel";
    return MakePrivateDirectory(dir, error) ? dir : std::string();
  }
  std::string shared = "/tmp/zel-";
  shared += std::to_string(geteuid());
  std::string fallback = CacheRunDir();
  struct stat status {};
  if (!fallback.empty() && lstat(fallback.c_str(), &status) == 0 &&
      MakePrivateDirectory(fallback, nullptr)) {
    if (notice != nullptr) *notice = "using " + fallback + ", made when " + shared + " was refused";
    return fallback;
  }
  std::string why;
  if (MakePrivateDirectory(shared, &why)) return shared;
  why += " (another user may have made it first)";
  if (fallback.empty()) {
    SetError(error, why + ", and neither XDG_CACHE_HOME nor HOME names a fallback");
    return {};
  }
  std::string fallback_why;
  if (!MakeParents(fallback, &fallback_why) || !MakePrivateDirectory(fallback, &fallback_why)) {
    SetError(error, why + ", and the fallback failed too: " + fallback_why);
    return {};
  }
  if (notice != nullptr) *notice = why + ": using " + fallback + " instead";
  return fallback;
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

bool CheckPrivateFile(int fd, const std::string& path, std::string* error) {
  struct stat status {};
  if (fstat(fd, &status) != 0) {
    SetError(error, "cannot check " + path + ": " + std::strerror(errno));
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    SetError(error, path + " is not a regular file; refused");
    return false;
  }
  if (std::string why = Untrusted(status, path, "file"); !why.empty()) {
    SetError(error, why + "; refused");
    return false;
  }
  return true;
}

PrivateRead ReadPrivateFile(const std::string& path, std::string* contents, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return PrivateRead::kMissing;
    SetError(error, "cannot open " + path + ": " + std::strerror(errno) +
                        (errno == ELOOP ? " (a symbolic link); refused" : ""));
    return PrivateRead::kRefused;
  }
  std::string why;
  char buffer[4096];
  ssize_t got = 0;
  if (CheckPrivateFile(fd, path, &why)) {
    got = read(fd, buffer, sizeof buffer);
    if (got < 0) why = "cannot read " + path + ": " + std::strerror(errno);
  }
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
