// Conversion engines of the language service: round-trip byte tables for
// two single-byte code pages, iconv for everything that involves a mixed
// code page. Both are built once per code-page pair and kept for the life of
// the process; callers hold no state.
#ifndef ZEL_SERVICES_LANGUAGE_CONVERTERS_H
#define ZEL_SERVICES_LANGUAGE_CONVERTERS_H

#include <cstdint>
#include <span>

#include "services/language/code_pages.h"

namespace zel::language {

struct Conversion {
  uint32_t result = 0;          // a QlxNlResult
  uint32_t length = 0;          // bytes written to the target
  uint32_t error_position = 0;  // source offset of the first substitution or of what did not fit
};

// Converts `source` into `target`; the two must not overlap. Thread-safe.
Conversion Convert(const CodePage& from, const CodePage& to, std::span<const uint8_t> source,
                   std::span<uint8_t> target);

}  // namespace zel::language

#endif  // ZEL_SERVICES_LANGUAGE_CONVERTERS_H
