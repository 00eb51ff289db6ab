// Whether the message boxes of the system read right to left: only a
// Hebrew or Arabic ANSI code page can need it, and then the language
// library decides.
#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

#include "convert/convert.h"
#include "base/config.h"
#include "services/language.h"
#include "base/trace.h"

ZEL_MODULE("Vqzmcb1")

namespace zel::convert {
namespace {

constexpr const char* kTag = "CB";

enum Answer : int { kNotYetKnown = 0, kNo = 1, kYes = 2 };

std::atomic<int> g_answer{kNotYetKnown};

uint32_t ConfiguredCodePage() { return config::PcCodePage(); }
// The product's libraries all lie in lib/ of the installation; a full path
// does not depend on which object happens to call dlopen.
void* OpenLibrary(const char* name) {
  std::string path = config::Home() + "/lib/" + name;
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
void* FindFunction(void* library, const char* name) { return dlsym(library, name); }
void CloseLibrary(void* library) { dlclose(library); }

constexpr RightToLeftPlatform kDefaultPlatform = {ConfiguredCodePage, OpenLibrary, FindFunction,
                                                  CloseLibrary};
std::atomic<const RightToLeftPlatform*> g_platform{&kDefaultPlatform};

bool LanguageReadsRightToLeft(QlxNlLangGetFunction lang_get) {
  char language[10] = {};
  if (lang_get(nullptr, language, sizeof language) != 0) return false;
  std::string_view text(language, strnlen(language, sizeof language));
  // Hebrew and Arabic.
  return text.find("2961") != std::string_view::npos || text.find("2954") != std::string_view::npos;
}

bool Decide() {
  const RightToLeftPlatform& platform = *g_platform.load(std::memory_order_acquire);
  uint32_t code_page = platform.ansi_code_page();
  if (code_page != 1255 && code_page != 1256) return false;
  void* library = platform.load_library("qlxnl1.dll");
  if (library == nullptr) {
    trace::Msg(kTag, -50, "qlxnl1.dll could not be loaded");
    return false;
  }
  auto lang_get =
      reinterpret_cast<QlxNlLangGetFunction>(platform.find_function(library, "qlxNL_LangGet"));
  if (lang_get != nullptr && LanguageReadsRightToLeft(lang_get)) return true;
  platform.free_library(library);
  return false;
}

}  // namespace

bool IsRightToLeft() {
  int answer = g_answer.load(std::memory_order_relaxed);
  if (answer == kNotYetKnown) {
    answer = Decide() ? kYes : kNo;
    g_answer.store(answer, std::memory_order_relaxed);
    trace::Result(kTag, 50, "Right to left reading", answer == kYes);
  }
  return answer == kYes;
}

uint32_t MessageBoxStyle(uint32_t style) {
  return IsRightToLeft() ? style | kRightToLeftStyle : style;
}

void SetRightToLeftPlatformForTest(const RightToLeftPlatform* platform) {
  g_platform.store(platform != nullptr ? platform : &kDefaultPlatform, std::memory_order_release);
  g_answer.store(kNotYetKnown, std::memory_order_relaxed);
}

}  // namespace zel::convert
