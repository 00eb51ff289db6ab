// zel doctor: checks what a user gets wrong, each finding with its fix.
// It reads the instance's files without attaching to the instance, so that
// it neither reaps nor hides what dead processes left.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/trace/error_ring.h"
#include "platform/posix/registry.h"
#include "services/connection.h"
#include "services/connection/system_config.h"
#include "services/errhandle.h"
#include "tools/zel/cli.h"
#include "tools/zel/commands.h"
#include "tools/zel/component.h"

namespace zel::tool {
namespace {

constexpr char kCommand[] = "doctor";
constexpr uint64_t kDefaultTimeoutSeconds = 5;

constexpr char kHelp[] =
    "usage: zel doctor [OPTIONS]\n"
    "\n"
    "Checks the configuration file (ZEL_CONFIG), the installed files, what dead\n"
    "processes left of the instance (ZEL_INSTANCE), and that each configured\n"
    "host can be reached and signs on. Each finding comes with its fix.\n"
    "\n"
    "  --timeout SECONDS  how long to wait for a host to accept (default 5)\n"
    "  --no-hosts         skip the host checks\n"
    "  --json             print the checks as a JSON object\n"
    "\n"
    "Exit status: 0 nothing found; 1 findings; 2 bad command line.\n";

const std::vector<Option> kOptions = {{"timeout", true}, {"no-hosts", false}};

struct Check {
  std::string what;     // what was checked
  bool ok = true;
  std::string detail;   // what was found
  std::string fix;      // how to put it right (findings only)
};

class Report {
 public:
  void Ok(std::string what, std::string detail) {
    checks_.push_back({std::move(what), true, std::move(detail), ""});
  }
  void Finding(std::string what, std::string detail, std::string fix) {
    checks_.push_back({std::move(what), false, std::move(detail), std::move(fix)});
  }
  bool Clean() const {
    for (const Check& check : checks_) {
      if (!check.ok) return false;
    }
    return true;
  }
  void Print(bool json) const;

 private:
  std::vector<Check> checks_;
};

void Report::Print(bool json) const {
  if (json) {
    Json out;
    out.BeginObject().Bool("ok", Clean()).BeginArray("checks");
    for (const Check& check : checks_) {
      out.BeginObject().String("check", check.what).Bool("ok", check.ok).String("detail",
                                                                                check.detail);
      if (!check.ok) out.String("fix", check.fix);
      out.EndObject();
    }
    std::printf("%s\n", out.EndArray().EndObject().text().c_str());
    return;
  }
  size_t findings = 0;
  for (const Check& check : checks_) {
    std::printf("%-4s %s: %s\n", check.ok ? "ok" : "FAIL", check.what.c_str(),
                check.detail.c_str());
    if (check.ok) continue;
    ++findings;
    std::printf("     fix: %s\n", check.fix.c_str());
  }
  std::printf(findings == 0 ? "nothing found\n" : "%zu finding%s\n", findings,
              findings == 1 ? "" : "s");
}

// ---- configuration ----

bool CheckConfiguration(Report& report, qlx::SystemConfig* config) {
  std::string error;
  std::string what = "configuration " + config::ConnectionConfigPath();
  if (!qlx::LoadSystemConfig(*config, error)) {
    bool has_line = error.find(config->path + ":") == 0;
    report.Finding(what, error,
                   has_line ? "correct that line; the directives are 'system NAME HOST:PORT', "
                              "'default NAME', 'user USERID', 'program NAME COMMAND...', "
                              "'program-timeout SECONDS' and 'share NAME /PATH'"
                            : "make the file readable by this user, or point ZEL_CONFIG at "
                              "the right file");
    return false;
  }
  if (config->missing) {
    report.Finding(what, "there is no such file",
                   "create it with a line 'system NAME HOST:PORT' for each host system "
                   "(or point ZEL_CONFIG at it)");
    return false;
  }
  if (config->systems.empty()) {
    report.Finding(what, "no system is configured", "add a line 'system NAME HOST:PORT'");
    return false;
  }
  struct stat status;
  if (stat(config->path.c_str(), &status) == 0 &&
      ((status.st_mode & 022) != 0 || status.st_uid != geteuid())) {
    // Its program lines name commands that are started for host requests.
    report.Finding(what, "other users can change it, and so the commands it starts",
                   "make it this user's and writable only by its owner: chmod go-w " +
                       config->path);
    return true;
  }
  std::string detail = std::to_string(config->systems.size()) + " system" +
                       (config->systems.size() == 1 ? "" : "s") + ", default " +
                       (config->default_system.empty() ? "none" : config->default_system);
  report.Ok(what, detail);
  return true;
}

// ---- hosts ----

// Connects to HOST:PORT within `timeout_ms`; empty when it accepted,
// otherwise why not.
std::string Reach(const std::string& address, int timeout_ms) {
  size_t colon = address.rfind(':');
  std::string host = address.substr(0, colon);
  std::string port = address.substr(colon + 1);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    return std::string("the host name does not resolve: ") + gai_strerror(rc);
  }
  std::string why = "no address";
  for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
    int fd = socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    int rc = connect(fd, at->ai_addr, at->ai_addrlen);
    int error = rc == 0 ? 0 : errno;
    if (error == EINPROGRESS) {
      pollfd ready{fd, POLLOUT, 0};
      socklen_t length = sizeof error;
      error = poll(&ready, 1, timeout_ms) == 1 &&
                      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0
                  ? error
                  : ETIMEDOUT;
    }
    close(fd);
    if (error == 0) {
      freeaddrinfo(found);
      return {};
    }
    why = std::strerror(error);
  }
  freeaddrinfo(found);
  return why;
}

// Signs on to `system` through the client services; empty on success,
// otherwise the services' text.
std::string SignOn(const std::string& system) {
  uint32_t handle = 0;
  char text[512] = {};
  if (qlxCO_CreateSystem(system.c_str(), &handle) != QLXCO_RC_OK) {
    qlxSV_GetLastFailText(text, sizeof text);
    return text[0] != '\0' ? text : "the system object cannot be made";
  }
  uint32_t errors = 0;
  qlxSV_CreateErrHandle(&errors);
  uint32_t rc = qlxCO_Connect(handle, QLXCO_SERVICE_SIGNON, errors);
  std::string why;
  if (rc != QLXCO_RC_OK) {
    qlxSV_GetErrText(errors, text, sizeof text);
    why = "sign-on failed (" + std::to_string(rc) + ")" + (text[0] ? std::string(": ") + text : "");
  }
  qlxCO_Disconnect(handle, QLXCO_SERVICE_SIGNON, 0);
  qlxCO_DeleteSystem(handle);
  if (errors != 0) qlxSV_DeleteErrHandle(errors);
  return why;
}

void CheckHosts(Report& report, const qlx::SystemConfig& config, int timeout_ms) {
  for (const qlx::ConfiguredSystem& system : config.systems) {
    std::string what = "host " + system.name + " at " + system.address;
    std::string where = " (line " + std::to_string(system.line) + " of " + config.path + ")";
    if (std::string why = Reach(system.address, timeout_ms); !why.empty()) {
      report.Finding(what, "cannot be reached: " + why,
                     "start its host server, or correct the address" + where);
      continue;
    }
    if (std::string why = SignOn(system.name); !why.empty()) {
      report.Finding(what, why,
                     "check the user ID ('user' line, or the host's list of users) and that "
                     "the server at that address is a host server" + where);
      continue;
    }
    report.Ok(what, "reachable, signs on");
  }
}

// ---- leftovers of dead processes ----

// Whether any process holds `byte` of the open registry `fd` (a process
// that dies lets go of its locks).
bool ByteHeld(int fd, off_t byte) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  // When the probe fails, count it as held: nothing is reported then.
  return fcntl(fd, F_OFD_GETLK, &lock) != 0 || lock.l_type != F_UNLCK;
}

// The slots of the registry whose process died without detaching.
std::vector<uint32_t> DeadSlots(int fd) {
  using platform::internal::Registry;
  std::vector<uint32_t> dead;
  void* view = mmap(nullptr, sizeof(Registry), PROT_READ, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return dead;
  const auto& registry = *static_cast<const Registry*>(view);
  if (registry.header.magic == platform::internal::kRegistryMagic) {
    for (uint32_t slot = 0; slot < platform::internal::kMaxProcesses; ++slot) {
      const auto& entry = registry.slots[slot];
      if (entry.state.load() != static_cast<uint32_t>(platform::internal::SlotState::kLive)) {
        continue;
      }
      if (!ByteHeld(fd, platform::internal::kSlotLockBase + slot)) dead.push_back(entry.pid);
    }
  }
  munmap(view, sizeof(Registry));
  return dead;
}

// The instance's folder: a folder no process holds is left over whole; in
// one in use, the slots of dead processes are.
void CheckInstanceFolder(Report& report, const std::string& folder, size_t* found) {
  std::string registry = folder + "/reg";
  int fd = open(registry.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  struct stat status;
  if (fstat(fd, &status) != 0 || status.st_size < static_cast<off_t>(sizeof(platform::internal::Registry))) {
    close(fd);
    return;
  }
  if (!ByteHeld(fd, platform::internal::kPresenceLockByte)) {
    ++*found;
    report.Finding("instance " + config::Instance(),
                   folder + " is left over: no process of the instance runs",
                   "remove it: rm -r " + folder);
  } else {
    for (uint32_t pid : DeadSlots(fd)) {
      ++*found;
      report.Finding("instance " + config::Instance(),
                     "process " + std::to_string(pid) +
                         " died without leaving the instance; its objects are still held",
                     "they are taken back when the next process joins the instance: start "
                     "any application (or zel call), or stop every process of the instance "
                     "and remove " + folder);
    }
  }
  close(fd);
}

// Error-point files whose process has ended.
void CheckErrorRings(Report& report, const std::string& private_dir, size_t* found) {
  DIR* dir = opendir(private_dir.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    if (trace::ErrorRingPid(entry->d_name, config::Instance()) == 0) continue;
    std::string path = private_dir + "/" + entry->d_name;
    std::vector<BtErrorPointRecord> points;
    uint32_t pid = 0;
    std::string error;
    if (trace::ReadErrorRingFile(path, &points, &pid, &error) != trace::RingFile::kStale) {
      continue;
    }
    ++*found;
    report.Finding("error points of process " + std::to_string(pid),
                   path + " is left over: the process ended without removing it (" +
                       std::to_string(points.size()) + " error point" +
                       (points.size() == 1 ? ")" : "s)"),
                   "read them with 'zel trace --errors-of " + std::to_string(pid) +
                       "', then remove it: rm " + path);
  }
  closedir(dir);
}

// Objects in /dev/shm of this user named as an earlier layout named them.
void CheckShm(Report& report, size_t* found) {
  std::string prefix = "zel." + std::to_string(geteuid()) + ".";
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    std::string path = std::string("/dev/shm/") + entry->d_name;
    struct stat status;
    if (std::string(entry->d_name).rfind(prefix, 0) != 0 || lstat(path.c_str(), &status) != 0 ||
        status.st_uid != geteuid()) {
      continue;
    }
    ++*found;
    report.Finding("shared memory", path + " is left over: nothing of zelcomm uses /dev/shm",
                   "remove it: rm " + path);
  }
  closedir(dir);
}

// Everything in the private directory must be this user's alone.
void CheckPrivateModes(Report& report, const std::string& private_dir, size_t* found) {
  std::string instance_dir = private_dir + "/" + config::Instance();
  for (const std::string& dir : {private_dir, instance_dir}) {
    DIR* listing = opendir(dir.c_str());
    if (listing == nullptr) continue;
    while (dirent* entry = readdir(listing)) {
      std::string name = entry->d_name;
      if (name == "..") continue;
      std::string path = name == "." ? dir : dir + "/" + name;
      struct stat status;
      if (lstat(path.c_str(), &status) != 0) continue;
      // Sockets are guarded by their folder; files and folders by their mode.
      if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) continue;
      if (status.st_uid == geteuid() && (status.st_mode & 077) == 0) continue;
      ++*found;
      char mode[8];
      std::snprintf(mode, sizeof mode, "%03o", status.st_mode & 0777);
      report.Finding("shared objects",
                     path + " is not this user's alone (mode " + mode + ", owner " +
                         std::to_string(status.st_uid) + ")",
                     "make it owner-only: chmod go= " + path);
    }
    closedir(listing);
  }
}

void CheckLeftovers(Report& report) {
  std::string why;
  std::string private_dir = config::PrivateDir(&why);
  if (private_dir.empty()) {
    report.Finding("private directory", why,
                   "set XDG_RUNTIME_DIR to a folder of this user's with mode 0700");
    return;
  }
  size_t found = 0;
  CheckInstanceFolder(report, private_dir + "/" + config::Instance(), &found);
  CheckErrorRings(report, private_dir, &found);
  CheckShm(report, &found);
  CheckPrivateModes(report, private_dir, &found);
  if (found == 0) report.Ok("leftovers", "nothing left by dead processes in " + private_dir);
}

// ---- installed files ----

struct Installed {
  std::string path;  // the file's full path
  bool executable;
};

void CheckInstallation(Report& report) {
  std::string home = config::Home();
  std::string libdir = LibraryDirectory();
  const std::string major = ZEL_VERSION_MAJOR;
  const Installed kFiles[] = {
      {libdir + "/libvqzmcsw.so." + major, false}, {libdir + "/libvqzmbtw.so." + major, false},
      {libdir + "/libzelplat.so." + major, false}, {libdir + "/libqlx.so." + major, false},
      {home + "/SHARED/VQZMCMW.EXE", true},       {home + "/SHARED/VQZMCTW.DLL", false},
      {home + "/msg/VQZMCMRI.DLL", false},
  };
  size_t found = 0;
  for (const Installed& file : kFiles) {
    const std::string& path = file.path;
    struct stat status;
    std::string problem;
    std::string fix;
    if (stat(path.c_str(), &status) != 0) {
      problem = path + " is missing";
      fix = "install zelcomm again, or set ZEL_HOME to the installation directory";
    } else if ((status.st_mode & S_IROTH) == 0 && status.st_uid != geteuid()) {
      problem = path + " cannot be read";
      fix = "chmod a+r " + path;
    } else if (file.executable && access(path.c_str(), X_OK) != 0) {
      problem = path + " is not executable";
      fix = "chmod a+x " + path;
    } else if ((status.st_mode & 022) != 0) {
      problem = path + " can be changed by other users";
      fix = "chmod go-w " + path;
    } else {
      continue;
    }
    ++found;
    report.Finding("installation", problem, fix);
  }
  if (found == 0) report.Ok("installation", "every file in place in " + home);
}

}  // namespace

int RunDoctor(int argc, char** argv, int first) {
  Args args;
  if (!args.Parse(argc, argv, first, kOptions)) return UsageError(kCommand, args.error());
  if (args.Help()) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (!args.Positionals().empty()) return UsageError(kCommand, "takes no arguments");
  bool malformed = false;
  uint64_t timeout = args.Number("timeout", &malformed).value_or(kDefaultTimeoutSeconds);
  if (malformed || timeout == 0 || timeout > 600) {
    return UsageError(kCommand, "--timeout takes seconds, 1 to 600");
  }
  Report report;
  qlx::SystemConfig config;
  bool configured = CheckConfiguration(report, &config);
  CheckInstallation(report);
  // Before any sign-on: the client services may join the instance.
  CheckLeftovers(report);
  if (configured && !args.Has("no-hosts")) {
    CheckHosts(report, config, static_cast<int>(timeout * 1000));
  }
  report.Print(args.Json());
  return report.Clean() ? kExitOk : kExitFailed;
}

}  // namespace zel::tool
