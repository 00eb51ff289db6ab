// The zel tool's command line: subcommands, their options, exit codes and
// JSON output, shared by every subcommand.
#ifndef ZEL_TOOLS_ZEL_CLI_H
#define ZEL_TOOLS_ZEL_CLI_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel::tool {

// What a subcommand's exit status means; the same for every subcommand.
enum ExitCode : int {
  kExitOk = 0,          // done; for `doctor`, nothing found
  kExitFailed = 1,      // the operation failed (a request's error, a finding)
  kExitUsage = 2,       // bad command line
  kExitNotRunning = 3,  // no manager runs in this instance
};

// One option a subcommand accepts: `--name VALUE` when it takes a value,
// `--name` alone otherwise.
struct Option {
  std::string_view name;
  bool takes_value;
};

// A parsed command line of one subcommand. Options may stand anywhere
// among the positionals; "--" ends the options.
class Args {
 public:
  // Parses argv[first..argc); false (with `error()`) on an unknown option
  // or a missing value. `--help` and `--json` are accepted by every command.
  bool Parse(int argc, char** argv, int first, const std::vector<Option>& accepted);

  bool Has(std::string_view name) const { return options_.contains(std::string(name)); }
  std::optional<std::string> Value(std::string_view name) const;
  // The option's value as a number; nullopt when absent, error when malformed.
  std::optional<uint64_t> Number(std::string_view name, bool* malformed) const;
  const std::vector<std::string>& Positionals() const { return positionals_; }
  bool Json() const { return Has("json"); }
  bool Help() const { return Has("help"); }
  const std::string& error() const { return error_; }

 private:
  std::map<std::string, std::string> options_;
  std::vector<std::string> positionals_;
  std::string error_;
};

// Prints a usage error for `command` to stderr and returns kExitUsage.
int UsageError(std::string_view command, std::string_view message);

// A small JSON writer: values are written as they are added, commas and
// escaping are taken care of. Keys are used only inside objects.
class Json {
 public:
  Json& BeginObject(std::string_view key = {});
  Json& EndObject();
  Json& BeginArray(std::string_view key = {});
  Json& EndArray();
  Json& String(std::string_view key, std::string_view value);
  Json& Number(std::string_view key, double value);
  Json& Integer(std::string_view key, int64_t value);
  Json& Bool(std::string_view key, bool value);
  Json& Null(std::string_view key);
  const std::string& text() const { return text_; }

 private:
  void Key(std::string_view key);
  std::string text_;
  std::vector<bool> first_{true};
};

// `text` as a JSON string literal, quotes included.
std::string JsonQuoted(std::string_view text);

}  // namespace zel::tool

#endif  // ZEL_TOOLS_ZEL_CLI_H
