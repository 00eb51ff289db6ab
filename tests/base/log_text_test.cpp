// Log text: nothing a name carries can start a line of its own.
#include "base/log_text.h"

#include <gtest/gtest.h>

namespace zel {
namespace {

TEST(LogText, ControlCharactersAndBackslashesAreEscapedAndTheRestKept) {
  EXPECT_EQ(EscapeForLog("HOSTA"), "HOSTA");
  EXPECT_EQ(EscapeForLog("A\nstarted system B"), "A\\nstarted system B");
  EXPECT_EQ(EscapeForLog("\r\t\\"), "\\r\\t\\\\");
  EXPECT_EQ(EscapeForLog(std::string("\0\x1b\x7f", 3)), "\\x00\\x1B\\x7F");
  EXPECT_EQ(EscapeForLog(std::string("\x1B[2J\x01", 5)), "\\x1B[2J\\x01");
  EXPECT_EQ(EscapeForLog("caf\xe9"), "caf\xe9") << "the code page's own characters stay";
  EXPECT_EQ(EscapeForLog("a\\nb"), "a\\\\nb") << "an escape cannot be forged either";
}

}  // namespace
}  // namespace zel
