// The connection configuration file (see services/connection.h for its
// directives). Read afresh by each call that needs it, so that an edit takes
// effect at the next connect.
#ifndef ZEL_SERVICES_CONNECTION_SYSTEM_CONFIG_H
#define ZEL_SERVICES_CONNECTION_SYSTEM_CONFIG_H

#include <string>
#include <string_view>
#include <vector>

namespace zel::qlx {

struct ConfiguredSystem {
  std::string name;
  std::string address;  // HOST:PORT
};

// Where a system's shared folder is on this workstation.
struct ConfiguredShare {
  std::string system;
  std::string path;  // absolute
};

struct SystemConfig {
  std::string path;
  std::vector<ConfiguredSystem> systems;  // in file order
  std::string default_system;
  std::string user;
  bool missing = false;  // there is no file at `path`
  std::vector<ConfiguredShare> shares = {};

  const ConfiguredSystem* Find(std::string_view name) const;
  const ConfiguredShare* FindShare(std::string_view system) const;
};

// Parses `text` read from `path`. On a bad line returns false with `error`
// naming the file and line.
bool ParseSystemConfig(const std::string& path, std::string_view text, SystemConfig& out,
                       std::string& error);

// Reads and parses the configuration file. A missing file is an empty
// configuration (`missing` set); one that cannot be read is an error that
// says why.
bool LoadSystemConfig(SystemConfig& out, std::string& error);

}  // namespace zel::qlx

#endif  // ZEL_SERVICES_CONNECTION_SYSTEM_CONFIG_H
