// The message library has a text for every return code the component
// reports with a message: a code added without its text shows users only
// a number.
#include <dlfcn.h>

#include <fstream>
#include <regex>
#include <string>

#include "gtest/gtest.h"

namespace {

using MessageText = const char* (*)(uint32_t);

TEST(MessageLibrary, EveryReturnCodeHasAText) {
  void* library = dlopen(ZEL_BUILD_DIR "/msg/VQZMCMRI.DLL", RTLD_NOW);
  ASSERT_NE(library, nullptr) << dlerror();
  auto text = reinterpret_cast<MessageText>(dlsym(library, "zelMessageText"));
  ASSERT_NE(text, nullptr);

  std::ifstream header(ZEL_SOURCE_DIR "/include/vqzmrc.h");
  ASSERT_TRUE(header);
  // Passed-on codes are reported without a message, and 0 is no error.
  const std::regex code(R"(^\s*VQZM_RC_(\w+) = (\d+),?)");
  int codes = 0;
  for (std::string line; std::getline(header, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, code)) continue;
    if (match[1].str().starts_with("PASSED_ON_") || match[1] == "OK") continue;
    ++codes;
    EXPECT_NE(text(static_cast<uint32_t>(std::stoul(match[2]))), nullptr)
        << "VQZM_RC_" << match[1] << " has no text";
  }
  EXPECT_GT(codes, 30);
  EXPECT_EQ(text(2), nullptr);
  dlclose(library);
}

}  // namespace
