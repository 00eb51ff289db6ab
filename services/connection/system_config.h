// The connection configuration file (see services/connection.h for its
// directives). Read afresh by each call that needs it, so that an edit takes
// effect at the next connect.
#ifndef ZEL_SERVICES_CONNECTION_SYSTEM_CONFIG_H
#define ZEL_SERVICES_CONNECTION_SYSTEM_CONFIG_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel::qlx {

struct ConfiguredSystem {
  std::string name;
  std::string address;  // HOST:PORT
  int line = 0;         // where the file defines it
};

// A PC program that serves host requests for `name`: started per request
// with `command` (a command line, split by the platform's quoting rules).
struct ConfiguredProgram {
  std::string name;  // at most 21 characters
  std::string command;
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
  std::vector<ConfiguredProgram> programs;  // in file order
  uint32_t program_timeout = 60;            // seconds a started program has to answer
  bool missing = false;                     // there is no file at `path`

  const ConfiguredSystem* Find(std::string_view name) const;
  // The program configured for `name`, whatever the case of its letters
  // (host programs name it in upper case); null when there is none.
  const ConfiguredProgram* FindProgram(std::string_view name) const;
  std::vector<ConfiguredShare> shares = {};
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
