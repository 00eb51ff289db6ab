// The configuration every library of the product reads from its environment
// (ZEL_HOME, ZEL_INSTANCE, ZEL_TRACE, ZEL_PC_CODEPAGE, ZEL_HOST_CCSID,
// XDG_RUNTIME_DIR, XDG_CACHE_HOME). One reader, so that the trace service, the platform
// layer and the language service never disagree on a default.
//
// Linked statically into each library that needs it. Values are read from
// the environment on every call; callers cache what they must keep stable.
#ifndef ZEL_BASE_CONFIG_H
#define ZEL_BASE_CONFIG_H

#include <cstdint>
#include <string>
#include <string_view>

namespace zel::config {

inline constexpr uint32_t kDefaultPcCodePage = 1252;
inline constexpr uint32_t kDefaultHostCcsid = 37;

// The installation directory, which holds SHARED/ and msg/: ZEL_HOME, else
// found from the folder holding the library (or program) this code is
// linked into: the package directory "zelcomm" of the installed library
// directory when that folder is the library directory or bindir, else the
// folder above it (the build tree's lib/ and bin/, or SHARED/ of either
// tree). No trailing "/".
std::string Home();

// Namespace of every shared object: ZEL_INSTANCE, else "u<uid>".
std::string Instance();

// The trace file named by ZEL_TRACE; empty when tracing is off.
std::string TracePath();

// ZEL_PC_CODEPAGE, default 1252; a value that is not a positive number
// counts as unset.
uint32_t PcCodePage();

// ZEL_HOST_CCSID, default 37; as above.
uint32_t HostCcsid();

// How long the communication manager keeps an idle system, and itself,
// before it stops them: ZEL_CPMGR_IDLE_SECONDS, default 60.
uint32_t CPMgrIdleSeconds();

// The program name on every line of the communication manager's log, the
// manager itself and the component inside it alike.
inline constexpr char kCPMgrLogProgram[] = "VQZMCMW";

// Where the communication manager writes its log: ZEL_CPMGR_LOG, else
// $XDG_STATE_HOME/zel/VQZMCMW.<instance>.log (~/.local/state when unset).
std::string CPMgrLogPath();

// The connection configuration file of the client services: ZEL_CONFIG,
// else $XDG_CONFIG_HOME/zel/zel.conf, else ~/.config/zel/zel.conf.
std::string ConnectionConfigPath();

// The user's private directory. Everything one user's processes share only
// among themselves lives here: tokens, and each platform instance's files
// and sockets (in a subfolder per instance, made with MakePrivateDirectory).
//
// $XDG_RUNTIME_DIR/zel when XDG_RUNTIME_DIR is set. Otherwise
// /tmp/zel-<euid>, except that another local user can make that folder
// first: then the user's own $XDG_CACHE_HOME/zel/run (~/.cache/zel/run when
// XDG_CACHE_HOME is unset), which other users cannot make, takes its place.
// Once that fallback exists it is chosen ahead of /tmp, so that the user's
// processes never split between the two when the squatter's folder goes.
// Each candidate is made and checked as MakePrivateDirectory says.
//
// Any thread. Returns the path without a trailing "/". When that is the
// fallback, `notice` (when not null) says why; otherwise it is cleared. On
// failure an empty string and, in `error` when not null, a text naming each
// directory tried and what is wrong with it. It never falls back to a
// shared place.
std::string PrivateDir(std::string* error, std::string* notice = nullptr);

// Makes the directory `path` with mode 0700 when it is missing (its parent
// must exist); a directory found in place is never changed. Then checks it
// with lstat: a directory, not a symbolic link, owned by the effective uid,
// with no group or other permission bits. False with `error` (when not
// null) naming the directory and what is wrong with it. Any thread.
bool MakePrivateDirectory(const std::string& path, std::string* error);

// Checks the open file `fd` (named `path` in the error text) before its
// contents are trusted: a regular file owned by the effective uid that
// group and others may neither read nor write. False with `error` (when
// not null) saying why not. Any thread.
bool CheckPrivateFile(int fd, const std::string& path, std::string* error);

// Writes `contents` to `path` as a file of mode 0600 that only the
// effective user can read, replacing a previous one at once (a reader sees
// the old or the new file whole, never a part). A symbolic link at `path`
// is replaced, never followed. False with `error` on failure.
bool WritePrivateFile(const std::string& path, std::string_view contents, std::string* error);

enum class PrivateRead {
  kRead,     // `contents` holds the file
  kMissing,  // there is no such file
  kRefused,  // unreadable, or not to be trusted: `error` says why
};

// Reads a file that WritePrivateFile made (at most 4 KiB). A symbolic link,
// or a file that CheckPrivateFile refuses, is refused.
PrivateRead ReadPrivateFile(const std::string& path, std::string* contents, std::string* error);

// True for the PC code pages whose characters take one or two bytes.
bool IsDoubleByteCodePage(uint32_t code_page);

}  // namespace zel::config

#endif  // ZEL_BASE_CONFIG_H
