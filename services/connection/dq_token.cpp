#include "services/connection/dq_token.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>

#include "wire/protocol.h"

namespace zel::qlx {
namespace {

void AppendEscaped(std::string& out, std::string_view text) {
  for (unsigned char c : text) {
    if (std::isalnum(c) ||
        std::string_view(".:_-$#@").find(static_cast<char>(c)) != std::string_view::npos) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    char escape[4];
    std::snprintf(escape, sizeof escape, "%%%02X", c);
    out += escape;
  }
}

}  // namespace

std::string DqTokenPath(std::string_view address, std::string_view library, std::string_view queue,
                        std::string* error) {
  std::string path = config::PrivateDir(error);
  if (path.empty()) return {};
  path += "/dqtoken.";
  AppendEscaped(path, address);
  path += '.';
  AppendEscaped(path, library);
  path += '.';
  AppendEscaped(path, queue);
  return path;
}

bool StoreDqToken(const std::string& path, std::string_view token, std::string* error) {
  return config::WritePrivateFile(path, wire::TokenToHex(token) + "\n", error);
}

config::PrivateRead LoadDqToken(std::string_view address, std::string_view library,
                                std::string_view queue, std::string* token, std::string* error) {
  std::string path = DqTokenPath(address, library, queue, error);
  if (path.empty()) return config::PrivateRead::kRefused;
  std::string text;
  config::PrivateRead read = config::ReadPrivateFile(path, &text, error);
  if (read != config::PrivateRead::kRead) return read;
  *token = wire::TokenFromHex(text);
  if (!token->empty()) return read;
  if (error != nullptr) *error = path + " holds no data-queue token";
  return config::PrivateRead::kRefused;
}

void RemoveDqToken(const std::string& path, std::string_view token) {
  std::string text;
  if (config::ReadPrivateFile(path, &text, nullptr) != config::PrivateRead::kRead) return;
  if (wire::TokenFromHex(text) == token) unlink(path.c_str());
}

}  // namespace zel::qlx
