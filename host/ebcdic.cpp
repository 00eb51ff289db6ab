#include "host/ebcdic.h"

#include <iconv.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace zel::host {
namespace {

using Table = std::array<unsigned char, 256>;

// CCSID 37 and Latin-1 map one to one, so each byte converts on its own.
Table Build(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    std::fprintf(stderr, "zelhost: no converter from %s to %s\n", from, to);
    std::abort();
  }
  Table table{};
  for (int i = 0; i < 256; ++i) {
    char in = static_cast<char>(i);
    char out = 0;
    char* in_ptr = &in;
    char* out_ptr = &out;
    size_t in_left = 1;
    size_t out_left = 1;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1)) out = '?';
    table[i] = static_cast<unsigned char>(out);
  }
  iconv_close(cd);
  return table;
}

std::string Map(const Table& table, std::string_view text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    out[i] = static_cast<char>(table[static_cast<unsigned char>(text[i])]);
  }
  return out;
}

}  // namespace

std::string ToEbcdic(std::string_view latin1) {
  static const Table table = Build("IBM037", "ISO-8859-1");
  return Map(table, latin1);
}

std::string FromEbcdic(std::string_view ebcdic) {
  static const Table table = Build("ISO-8859-1", "IBM037");
  return Map(table, ebcdic);
}

}  // namespace zel::host
