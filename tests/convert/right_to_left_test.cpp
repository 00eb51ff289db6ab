// Whether message boxes read right to left, with the real language library
// and with platform calls that the test controls.
#include <dlfcn.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "convert/convert.h"
#include "services/language.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

bool LanguageLibraryLoaded() {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find("/qlxnl1.dll") != std::string::npos) return true;
  }
  return false;
}

TEST(RightToLeft, AWesternCodePageNeverLoadsTheLanguageLibrary) {
  setenv("ZEL_PC_CODEPAGE", "1252", 1);
  EXPECT_FALSE(convert::IsRightToLeft());
  EXPECT_EQ(convert::MessageBoxStyle(16), 16u);
  EXPECT_FALSE(LanguageLibraryLoaded());
}

TEST(RightToLeft, HebrewAndArabicReadRightToLeftOnceDecided) {
  for (const char* code_page : {"1255", "1256"}) {
    setenv("ZEL_PC_CODEPAGE", code_page, 1);
    convert::SetRightToLeftPlatformForTest(nullptr);
    EXPECT_TRUE(convert::IsRightToLeft()) << code_page;
    EXPECT_EQ(convert::MessageBoxStyle(16), 16u | 0x180000u);
    EXPECT_TRUE(LanguageLibraryLoaded());
  }
  setenv("ZEL_PC_CODEPAGE", "1252", 1);
  EXPECT_TRUE(convert::IsRightToLeft());  // decided for the life of the process
}

// A platform whose language library answers as the test says.
struct FakeLanguage {
  static inline const char* language = nullptr;
  static inline bool has_function = true;
  static inline bool loads = true;
  static inline int freed = 0;

  static uint32_t CodePage() { return 1256; }
  static uint32_t LangGet(const char*, char* buffer, uint32_t size) {
    if (language == nullptr) return 1;
    std::memcpy(buffer, language, std::min<size_t>(std::strlen(language) + 1, size));
    return 0;
  }
  static void* Load(const char* name) {
    return loads && !strcmp(name, "qlxnl1.dll") ? &freed : nullptr;
  }
  static void* Find(void*, const char* name) {
    return has_function && !strcmp(name, "qlxNL_LangGet") ? reinterpret_cast<void*>(&LangGet)
                                                          : nullptr;
  }
  static void Free(void*) { ++freed; }
};

bool DecideWith(const char* language, bool has_function = true, bool loads = true) {
  FakeLanguage::language = language;
  FakeLanguage::has_function = has_function;
  FakeLanguage::loads = loads;
  static const convert::RightToLeftPlatform kFake = {FakeLanguage::CodePage, FakeLanguage::Load,
                                                     FakeLanguage::Find, FakeLanguage::Free};
  convert::SetRightToLeftPlatformForTest(&kFake);
  return convert::IsRightToLeft();
}

TEST(RightToLeft, OnlyTheHebrewAndArabicFeaturesKeepTheLibrary) {
  EXPECT_TRUE(DecideWith("LNG2954"));
  EXPECT_TRUE(DecideWith("xxxxxx2961"));  // ten bytes, no terminator
  EXPECT_EQ(FakeLanguage::freed, 0);
  EXPECT_FALSE(DecideWith("2924"));
  EXPECT_FALSE(DecideWith(nullptr));  // the library reports a failure
  EXPECT_FALSE(DecideWith("2961", false));
  EXPECT_EQ(FakeLanguage::freed, 3);
  EXPECT_FALSE(DecideWith("2961", true, false));
  EXPECT_EQ(FakeLanguage::freed, 3);
  convert::SetRightToLeftPlatformForTest(nullptr);
}

TEST(RightToLeft, TheLanguageLibraryNamesTheFeatureOfTheCodePage) {
  std::string path =
      std::filesystem::canonical("/proc/self/exe").parent_path().parent_path().string() +
      "/lib/qlxnl1.dll";
  void* library = dlopen(path.c_str(), RTLD_NOW);
  ASSERT_NE(library, nullptr) << dlerror();
  auto lang_get = reinterpret_cast<QlxNlLangGetFunction>(dlsym(library, "qlxNL_LangGet"));
  ASSERT_NE(lang_get, nullptr);
  char language[10];
  setenv("ZEL_PC_CODEPAGE", "1256", 1);
  EXPECT_EQ(lang_get(nullptr, language, sizeof language), 0u);
  EXPECT_STREQ(language, "2954");
  setenv("ZEL_PC_CODEPAGE", "1252", 1);
  EXPECT_EQ(lang_get(nullptr, language, sizeof language), 0u);
  EXPECT_STREQ(language, "0000");
  EXPECT_EQ(lang_get(nullptr, language, 4), QLXNL_BUFFER_TOO_SMALL);
  dlclose(library);
}

}  // namespace
}  // namespace zel::test
