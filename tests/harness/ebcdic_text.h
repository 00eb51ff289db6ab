// Keys and texts as the data queue holds them: the component's own
// conversion to EBCDIC, for tests that write or look for entries by hand.
#ifndef ZEL_TESTS_HARNESS_EBCDIC_TEXT_H
#define ZEL_TESTS_HARNESS_EBCDIC_TEXT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "convert/convert.h"

namespace zel::test {

inline std::string Ebcdic(const std::string& ascii) {
  std::string out(ascii.size(), '\0');
  uint32_t length = static_cast<uint32_t>(out.size());
  EXPECT_EQ(
      cbAscToEbcCharArray(out.data(), ascii.data(), &length, static_cast<uint32_t>(ascii.size())),
      0);
  return out;
}

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_EBCDIC_TEXT_H
