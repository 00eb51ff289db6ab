#include "services/connection/system_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

#include "base/config.h"

namespace zel::qlx {
namespace {

// A configuration file is a few lines; one this large is not one.
constexpr size_t kMaxConfigSize = 1024 * 1024;

bool ValidAddress(const std::string& address) {
  size_t colon = address.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string_view port(address.data() + colon + 1, address.size() - colon - 1);
  unsigned value = 0;
  auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  return ec == std::errc() && end == port.data() + port.size() && value > 0 && value < 65536;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// What follows the first two words of `line`, without its outer blanks.
std::string AfterTwoWords(const std::string& line) {
  const char* blanks = " \t\r";
  size_t at = line.find_first_not_of(blanks);
  for (int word = 0; word < 2 && at != std::string::npos; ++word) {
    at = line.find_first_of(blanks, at);
    at = at == std::string::npos ? at : line.find_first_not_of(blanks, at);
  }
  if (at == std::string::npos) return {};
  return line.substr(at, line.find_last_not_of(blanks) + 1 - at);
}

// `share NAME /path`: false with `why` for a bad line.
bool ParseShare(const std::vector<std::string>& words, SystemConfig& out, std::string& why) {
  if (words.size() != 3) {
    why = "want 'share NAME /PATH'";
  } else if (words[2][0] != '/') {
    why = "share path '" + words[2] + "' is not absolute";
  } else if (out.FindShare(words[1]) != nullptr) {
    why = "share of system '" + words[1] + "' defined twice";
  } else {
    out.shares.push_back({words[1], words[2]});
    return true;
  }
  return false;
}

}  // namespace

const ConfiguredProgram* SystemConfig::FindProgram(std::string_view name) const {
  for (const ConfiguredProgram& program : programs) {
    if (SameName(program.name, name)) return &program;
  }
  return nullptr;
}

const ConfiguredShare* SystemConfig::FindShare(std::string_view system) const {
  for (const ConfiguredShare& share : shares) {
    if (share.system == system) return &share;
  }
  return nullptr;
}

const ConfiguredSystem* SystemConfig::Find(std::string_view name) const {
  for (const ConfiguredSystem& system : systems) {
    if (system.name == name) return &system;
  }
  return nullptr;
}

bool ParseSystemConfig(const std::string& path, std::string_view text, SystemConfig& out,
                       std::string& error) {
  out = SystemConfig();
  out.path = path;
  std::istringstream lines{std::string(text)};
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty()) continue;
    auto bad = [&](const std::string& why) {
      error = path + ":" + std::to_string(number) + ": " + why;
      return false;
    };
    const std::string& directive = words[0];
    if (directive == "system") {
      if (words.size() != 3) return bad("want 'system NAME HOST:PORT'");
      if (words[1].size() > 255) return bad("system name longer than 255 characters");
      if (!ValidAddress(words[2])) return bad("bad address '" + words[2] + "' (want HOST:PORT)");
      if (out.Find(words[1]) != nullptr) return bad("system '" + words[1] + "' defined twice");
      out.systems.push_back({words[1], words[2], number});
    } else if (directive == "default") {
      if (words.size() != 2) return bad("want 'default NAME'");
      out.default_system = words[1];
    } else if (directive == "user") {
      if (words.size() != 2) return bad("want 'user USERID'");
      if (words[1].size() > 10) return bad("user ID longer than 10 characters");
      out.user = words[1];
    } else if (directive == "program") {
      if (words.size() < 3) return bad("want 'program NAME COMMAND ARGUMENTS...'");
      if (words[1].size() > 21) return bad("program name longer than 21 characters");
      if (out.FindProgram(words[1]) != nullptr) {
        return bad("program '" + words[1] + "' defined twice");
      }
      out.programs.push_back({words[1], AfterTwoWords(line)});
    } else if (directive == "program-timeout") {
      unsigned seconds = 0;
      const std::string& text = words.size() == 2 ? words[1] : std::string();
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
      if (text.empty() || ec != std::errc() || end != text.data() + text.size() || seconds == 0) {
        return bad("want 'program-timeout SECONDS' (a number above 0)");
      }
      out.program_timeout = seconds;
    } else if (directive == "share") {
      std::string why;
      if (!ParseShare(words, out, why)) return bad(why);
    } else {
      return bad("unknown directive '" + directive + "'");
    }
  }
  if (!out.default_system.empty() && out.Find(out.default_system) == nullptr) {
    error = path + ": default system '" + out.default_system + "' is not defined";
    return false;
  }
  return true;
}

bool LoadSystemConfig(SystemConfig& out, std::string& error) {
  std::string path = config::ConnectionConfigPath();
  out = SystemConfig();
  out.path = path;
  auto unreadable = [&](int number) {
    error = "cannot read the configuration file " + path + ": " + std::strerror(number);
    return false;
  };
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) return unreadable(errno);
    out.missing = true;
    return true;
  }
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while (text.size() < kMaxConfigSize && (n = read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  int read_error = errno;
  close(fd);
  if (n < 0) return unreadable(read_error);
  if (text.size() >= kMaxConfigSize) {
    error = "the configuration file " + path + " is larger than " +
            std::to_string(kMaxConfigSize / 1024) + " KiB";
    return false;
  }
  return ParseSystemConfig(path, text, out, error);
}

}  // namespace zel::qlx
