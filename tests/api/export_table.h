// The component's export table as api/exports.def lists it: ordinal and
// name of every exported function. A test that reads it is built with
// ZEL_EXPORTS_DEF naming the file.
#ifndef ZEL_TESTS_API_EXPORT_TABLE_H
#define ZEL_TESTS_API_EXPORT_TABLE_H

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace zel::test {

// Ordinal to name; empty when the file cannot be read.
inline std::map<int, std::string> ExportTable() {
  std::ifstream file(ZEL_EXPORTS_DEF);
  std::map<int, std::string> table;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    int ordinal = 0;
    std::string name;
    fields >> ordinal >> name;
    table[ordinal] = name;
  }
  return table;
}

}  // namespace zel::test

#endif  // ZEL_TESTS_API_EXPORT_TABLE_H
