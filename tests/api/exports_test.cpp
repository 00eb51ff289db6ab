// The component's boundary: exactly the functions of the export table are
// exported, and each resolves by name and by its ordinal.
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "platform/module.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

namespace fs = std::filesystem;

// Every exported function at its ordinal, by family; the library must
// match this list, whatever api/exports.def says.
const std::map<int, std::string> kExports = {
    // Applications.
    {1, "caReturnData"},
    {2, "caStopZELComm"},
    {3, "caInitializeZELComm"},
    {4, "caProcessSync"},
    {5, "caRegisterTermWnd"},
    {6, "caUnRegisterTermWnd"},
    {7, "caRtvData"},
    {8, "caRtvZELCommInfo"},
    {9, "caProcessAsync"},
    {10, "caRtvNamedAsyncID"},
    {11, "caAbortProcessAsync"},
    {12, "caClearData"},
    {200, "vqzmRtvPWSId"},
    {201, "vqzmRtvPwsRID"},
    // Shared control blocks.
    {22, "cbInitRZ700SysStruct"},
    {23, "cbAddRZ700SysStruct"},
    {24, "cbAddRZ700SysDefault"},
    {25, "cbRetNextRZ700SysStruct"},
    {26, "cbRetDefaultRZ700SysStruct"},
    {27, "cbFindRZ700SysByName"},
    {28, "cbDeleteRZ700SysStruct"},
    {29, "cbRemoveRZ700SysFromList"},
    {30, "cbFindBlank"},
    {32, "cbReturnCPMgrState"},
    {33, "cbSetCPMgrState"},
    {34, "cbSetCPMgrHwnd"},
    {35, "cbReturnNewConvId"},
    {44, "cbDeleteAsyncRetStruct"},
    {46, "cbInit3rdPartyStruct"},
    {47, "cbAdd3rdPartyStruct"},
    {48, "cbDelete3rdPartyStruct"},
    {49, "cbFindRZ700SysByRID"},
    {50, "cbRetNamedAsyncFromName"},
    {55, "cbGiveSharedMem"},
    {56, "cbRetNextTermWndStruct"},
    {57, "cbRetNext3rdPartyStruct"},
    {58, "cbDeleteTermWndStruct"},
    {59, "cbRetNextNamedAsync"},
    {60, "cbDeleteNamedAsyncStruct"},
    {101, "cbRet3rdPartyFromPgmID"},
    {204, "cbPostCPMgrMsg"},
    {245, "GetStartSystem"},
    {247, "SetStartSystem"},
    {300, "cbAddNamedAsyncStruct"},
    {301, "cbInitNamedAsyncStruct"},
    {302, "GetZELAnchorCB"},
    // Host link and data-queue exchange.
    {66, "ccCommThread"},
    {67, "ccStartRZ700RRPThread"},
    {75, "cdConvRcvdDataBuffer"},
    {100, "cdInitDQProcThread"},
    {111, "ccGetNextSysName"},
    // Manager control.
    {76, "cmSendTermMsg"},
    {77, "cmRetDefaultRouterSys"},
    {78, "cmSetStartedAPIFlag"},
    {79, "cmReturnCPMgrRC"},
    {80, "cmQryStartedByAPI"},
    {81, "cmCkStartedByAPI"},
    {82, "cmAddSystemByName"},
    {84, "cmSendStartStop"},
    {85, "cmReturnCommRC"},
    {86, "cmFindCommNotStopped"},
    {87, "cmDetermineSysConnectedDKT"},
    {89, "cmExitListRoutine"},
    {90, "cmInitCPMStateSem"},
    {91, "cmCtrlCPMState"},
    {92, "cmInitStartStop"},
    {93, "cmCloseCPMStateSem"},
    {94, "cmReleaseCPMState"},
    {95, "cmInitRunningSem"},
    {96, "cmReturnCPMgrRCDuringInit"},
    {99, "cmAsyncInitZELCommThread"},
    {202, "cmFindCommNotStoppedEx"},
    {203, "cmWaitCPMgrReturn"},
    {303, "cmStopAndWaitComm"},
};

constexpr size_t kExportCount = 74;
constexpr int kOrdinalSlots = 303;

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
  for (auto& [ordinal, name] : kExports) expected.insert(name);
  ASSERT_EQ(expected.size(), kExportCount);
  EXPECT_EQ(DynamicSymbols(LibraryPath()), expected);
}

TEST(Exports, EveryFunctionResolvesByNameAndByOrdinalAndEmptyOrdinalsFail) {
  using namespace zel::platform;
  HMODULE module = LoadLibrary(LibraryPath().c_str());
  ASSERT_NE(module, 0u);
  const std::map<int, std::string>& table = kExports;
  for (int ordinal = 1; ordinal <= kOrdinalSlots; ++ordinal) {
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
