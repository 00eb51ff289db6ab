// Text written into a log line: control characters and backslashes are
// escaped, so that a name carrying a line feed can never forge a line.
// Header-only, for every program that writes a log.
#ifndef ZEL_BASE_LOG_TEXT_H
#define ZEL_BASE_LOG_TEXT_H

#include <cstdio>
#include <string>
#include <string_view>

namespace zel {

// `text` with \n, \r, \t, \\ and every other byte below 0x20 or 0x7F as
// \xHH. Bytes from 0x80 up (the code page's own characters) stay.
inline std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      default:
        break;
    }
    if (byte < 0x20 || byte == 0x7F) {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace zel

#endif  // ZEL_BASE_LOG_TEXT_H
