// The configuration every library of the product reads from its environment
// (ZEL_HOME, ZEL_INSTANCE, ZEL_TRACE, ZEL_PC_CODEPAGE, ZEL_HOST_CCSID,
// XDG_RUNTIME_DIR). One reader, so that the trace service, the platform
// layer and the language service never disagree on a default.
//
// Linked statically into each library that needs it. Values are read from
// the environment on every call; callers cache what they must keep stable.
#ifndef ZEL_SERVICES_CONFIG_H
#define ZEL_SERVICES_CONFIG_H

#include <cstdint>
#include <string>
#include <string_view>

namespace zel::config {

inline constexpr uint32_t kDefaultPcCodePage = 1252;
inline constexpr uint32_t kDefaultHostCcsid = 37;

// The installation directory: ZEL_HOME, else the directory above the one
// holding the library (or program) this code is linked into; every library
// of the product lives in lib/, so they all agree. No trailing "/".
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

// Where the communication manager writes its log: ZEL_CPMGR_LOG, else
// $XDG_STATE_HOME/zel/VQZMCMW.<instance>.log (~/.local/state when unset).
std::string CPMgrLogPath();

// The connection configuration file of the client services: ZEL_CONFIG,
// else $XDG_CONFIG_HOME/zel/zel.conf, else ~/.config/zel/zel.conf.
std::string ConnectionConfigPath();

// The user's private directory: $XDG_RUNTIME_DIR/zel when XDG_RUNTIME_DIR
// is set, else /tmp/zel-<euid>. Made with mode 0700 when missing. Before it
// is trusted it is checked with lstat: a directory, not a symbolic link,
// owned by the effective uid, with no group or other permission bits.
// Everything one user's processes share only among themselves lives here
// (tokens, and later the platform's object names and sockets); whoever
// needs subfolders (per instance, say) makes them below it.
//
// Any thread. Returns the path without a trailing "/"; on failure an empty
// string and, in `error` when not null, a text naming the directory and
// what is wrong with it. It never falls back to a shared place.
std::string PrivateDir(std::string* error);

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
// a file that is not regular, not owned by the effective uid, or that group
// or others may read or write, is refused.
PrivateRead ReadPrivateFile(const std::string& path, std::string* contents, std::string* error);

// True for the PC code pages whose characters take one or two bytes.
bool IsDoubleByteCodePage(uint32_t code_page);

}  // namespace zel::config

#endif  // ZEL_SERVICES_CONFIG_H
