// The code pages the language service knows, and the CCSIDs that name them.
#ifndef ZEL_SERVICES_LANGUAGE_CODE_PAGES_H
#define ZEL_SERVICES_LANGUAGE_CODE_PAGES_H

#include <cstdint>
#include <optional>

namespace zel::language {

enum class Encoding {
  kSingleByte,   // one byte, one character
  kMixedPc,      // one or two bytes a character, told apart by the lead byte
  kMixedEbcdic,  // double-byte runs between shift-out (0x0E) and shift-in (0x0F)
};

struct CodePage {
  uint32_t number;
  const char* iconv_name;  // the name glibc's iconv knows it by
  Encoding encoding;
  bool ebcdic;
  uint32_t index;  // position in the catalogue, for per-pair caches
};

// Indexes of the catalogue run below this bound.
inline constexpr uint32_t kMaxCodePages = 32;

// The code page `number`, or null when the service does not convert it.
const CodePage* FindCodePage(uint32_t number);

// The code page a CCSID names, if any.
std::optional<uint32_t> CodePageOfCcsid(uint32_t ccsid);

}  // namespace zel::language

#endif  // ZEL_SERVICES_LANGUAGE_CODE_PAGES_H
