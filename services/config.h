// The configuration every library of the product reads from its environment
// (ZEL_HOME, ZEL_INSTANCE, ZEL_TRACE, ZEL_PC_CODEPAGE, ZEL_HOST_CCSID). One reader, so
// that the trace service, the platform layer and the language service never
// disagree on a default.
//
// Linked statically into each library that needs it. Values are read from
// the environment on every call; callers cache what they must keep stable.
#ifndef ZEL_SERVICES_CONFIG_H
#define ZEL_SERVICES_CONFIG_H

#include <cstdint>
#include <string>

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

// True for the PC code pages whose characters take one or two bytes.
bool IsDoubleByteCodePage(uint32_t code_page);

}  // namespace zel::config

#endif  // ZEL_SERVICES_CONFIG_H
