// The component's boundary: exactly the functions of the export table are
// exported, and each resolves by name and by its ordinal.
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "platform/module.h"
#include "tests/api/export_table.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

namespace fs = std::filesystem;

std::string LibraryPath() {
  return (fs::read_symlink("/proc/self/exe").parent_path() / "../lib/libvqzmcsw.so").string();
}

std::set<std::string> DynamicSymbols(const std::string& path) {
  std::set<std::string> names;
  FILE* nm = popen(("nm -D --defined-only " + path).c_str(), "r");
  if (nm == nullptr) return names;
  char line[512];
  while (fgets(line, sizeof line, nm) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  pclose(nm);
  return names;
}

TEST(Exports, TheLibraryExportsExactlyTheExportTable) {
  std::set<std::string> expected;
  for (auto& [ordinal, name] : ExportTable()) expected.insert(name);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(DynamicSymbols(LibraryPath()), expected);
}

TEST(Exports, EveryFunctionResolvesByNameAndByOrdinalAndEmptyOrdinalsFail) {
  using namespace zel::platform;
  HMODULE module = LoadLibrary(LibraryPath().c_str());
  ASSERT_NE(module, 0u);
  std::map<int, std::string> table = ExportTable();
  for (int ordinal = 1; ordinal <= 303; ++ordinal) {
    void* by_ordinal = GetProcAddress(module, Ordinal{static_cast<WORD>(ordinal)});
    auto entry = table.find(ordinal);
    if (entry == table.end()) {
      EXPECT_EQ(by_ordinal, nullptr) << "empty ordinal " << ordinal << " resolved";
      continue;
    }
    void* by_name = GetProcAddress(module, entry->second.c_str());
    EXPECT_NE(by_name, nullptr) << entry->second;
    EXPECT_EQ(by_ordinal, by_name) << "ordinal " << ordinal << " is not " << entry->second;
  }
  EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
}  // namespace zel::test
