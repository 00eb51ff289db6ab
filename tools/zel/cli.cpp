// The zel tool's command-line parsing and JSON output.
#include "tools/zel/cli.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace zel::tool {
namespace {

const Option* Find(const std::vector<Option>& accepted, std::string_view name) {
  static const Option kCommon[] = {{"help", false}, {"json", false}};
  for (const Option& option : kCommon) {
    if (option.name == name) return &option;
  }
  for (const Option& option : accepted) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

}  // namespace

bool Args::Parse(int argc, char** argv, int first, const std::vector<Option>& accepted) {
  bool options_ended = false;
  for (int i = first; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (options_ended || arg.size() < 3 || !arg.starts_with("--")) {
      positionals_.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    std::string_view name = arg.substr(2);
    std::string value;
    bool inline_value = false;
    if (size_t equals = name.find('='); equals != std::string_view::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
      inline_value = true;
    }
    const Option* option = Find(accepted, name);
    if (option == nullptr) {
      error_ = "unknown option --" + std::string(name);
      return false;
    }
    if (option->takes_value && !inline_value) {
      if (i + 1 >= argc) {
        error_ = "option --" + std::string(name) + " needs a value";
        return false;
      }
      value = argv[++i];
    } else if (!option->takes_value && inline_value) {
      error_ = "option --" + std::string(name) + " takes no value";
      return false;
    }
    options_[std::string(name)] = value;
  }
  return true;
}

std::optional<std::string> Args::Value(std::string_view name) const {
  auto it = options_.find(std::string(name));
  if (it == options_.end()) return std::nullopt;
  return it->second;
}

std::optional<uint64_t> Args::Number(std::string_view name, bool* malformed) const {
  std::optional<std::string> text = Value(name);
  if (!text) return std::nullopt;
  bool hex = text->starts_with("0x") || text->starts_with("0X");
  const char* begin = text->data() + (hex ? 2 : 0);
  const char* end = text->data() + text->size();
  uint64_t value = 0;
  auto [ptr, ec] = std::from_chars(begin, end, value, hex ? 16 : 10);
  if (begin == end || ec != std::errc() || ptr != end) {
    *malformed = true;
    return std::nullopt;
  }
  return value;
}

int UsageError(std::string_view command, std::string_view message) {
  std::fprintf(stderr, "zel %.*s: %.*s (see zel %.*s --help)\n", static_cast<int>(command.size()),
               command.data(), static_cast<int>(message.size()), message.data(),
               static_cast<int>(command.size()), command.data());
  return kExitUsage;
}

std::string JsonQuoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void Json::Key(std::string_view key) {
  if (!first_.back()) text_ += ',';
  first_.back() = false;
  if (!key.empty()) text_ += JsonQuoted(key) + ':';
}

Json& Json::BeginObject(std::string_view key) {
  Key(key);
  text_ += '{';
  first_.push_back(true);
  return *this;
}

Json& Json::EndObject() {
  first_.pop_back();
  text_ += '}';
  return *this;
}

Json& Json::BeginArray(std::string_view key) {
  Key(key);
  text_ += '[';
  first_.push_back(true);
  return *this;
}

Json& Json::EndArray() {
  first_.pop_back();
  text_ += ']';
  return *this;
}

Json& Json::String(std::string_view key, std::string_view value) {
  Key(key);
  text_ += JsonQuoted(value);
  return *this;
}

Json& Json::Number(std::string_view key, double value) {
  Key(key);
  if (!std::isfinite(value)) {
    text_ += "null";
    return *this;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  text_ += text;
  return *this;
}

Json& Json::Integer(std::string_view key, int64_t value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

Json& Json::Bool(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

Json& Json::Null(std::string_view key) {
  Key(key);
  text_ += "null";
  return *this;
}

}  // namespace zel::tool
