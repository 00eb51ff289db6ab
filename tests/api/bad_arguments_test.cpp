// Null pointers at the component's boundary: one row per pointer argument
// of every exported function, called with that argument null and the
// others valid. Where the argument is needed, the call is refused with its
// documented result and an error point that names the argument; where null
// has a meaning (the default system, the head of a list), the call does
// just that. Either way the shared state and the caller's variables are as
// they were, no lock is left held and the library goes on serving.
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <ostream>
#include <string>
#include <type_traits>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/window.h"
#include "services/connection.h"
#include "tests/api/export_table.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

using namespace zel::platform;
namespace ctrlblk = zel::ctrlblk;

// The pointer parameters of an exported function, bit 0 for the first.
// Only noexcept functions match: every export must be one.
template <class R, class... A>
constexpr uint32_t PointerParameters(R (*)(A...) noexcept) {
  uint32_t mask = 0;
  uint32_t bit = 1;
  ((mask |= std::is_pointer_v<A> ? bit : 0u, bit <<= 1), ...);
  return mask;
}

// What a call gave: a code or number as it is, a record as its address,
// 0 for a call that gives nothing.
template <class Call>
int64_t Outcome(Call call) {
  using Result = decltype(call());
  if constexpr (std::is_void_v<Result>) {
    call();
    return 0;
  } else if constexpr (std::is_pointer_v<Result>) {
    return reinterpret_cast<intptr_t>(call());
  } else {
    return static_cast<int64_t>(call());
  }
}

// Valid arguments, made afresh for each row.
struct Valid {
  RZ700SysStruct* system = nullptr;        // "ZELSYS", stopped, in the system list
  TermWndStruct* term_window = nullptr;    // in the system's terminate-window list
  NamedAsyncStruct* named = nullptr;       // in the named-async list
  ThirdPartyStruct* party = nullptr;       // in the 3rd-party list
  AsyncRetStruct* async_return = nullptr;  // in the async-return list
  char rid[ZEL_RID_LEN] = {};              // a RID of the system
  uint32_t system_list = 0;                // the configured systems (connection service)
  void* data = nullptr;                    // received data on the process heap
  uint32_t length = 4;                     // its length
  char name[256] = {};                     // a name buffer
  uint32_t number = 0;                     // a number out-parameter
  char* no_buffer = nullptr;               // a buffer pointer that names no buffer
  RZ700SysStruct* found = nullptr;         // a record out-parameter
  char stranger_rid[ZEL_RID_LEN + 1] = "S0001AAA999";  // a RID of no system
  ProcessRequest request = {};                         // on a conversation never issued
  ProcessReply reply = {};
  AsyncRequest async_request = {};                     // on a conversation never issued
  RtvDataParms rtv_parms = {0, stranger_rid, 0};
  RtvDataResult rtv_result = {};
  ReturnDataParms return_parms = {0, stranger_rid, 0, 0, nullptr, 0};
  uint8_t type = 'Y';  // a return's key type
};

struct Row {
  const char* function;
  uint32_t parameters;      // PointerParameters of the function
  int position;             // of the null argument, from 1
  const char* argument;     // its name
  bool refused;             // false: null is a valid value
  int64_t result;           // the documented result
  const char* error_point;  // raised by the call, or null
  int64_t (*call)(Valid&);
};

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.function << " with " << row.argument << " null";
}

constexpr int64_t kRefusedCode = VQZM_RC_INTERNAL_ERROR;
constexpr int64_t kNothing = 0;  // no result, a null record, or flag 0
constexpr int64_t kYes = 1;      // the call gave what null asks for
constexpr char kNullParameter[] = "EXT_NULL_PARAMETER";

// One row: the function, position and name of the null argument, whether
// the call is refused, its documented result and error point, and the call
// with the valid arguments `v`.
// clang-format off
#define ZEL_ROW(function, position, argument, refused, result, error_point, ...)                  \
  Row{#function, PointerParameters(&function), position, #argument, refused, result, error_point, \
      []([[maybe_unused]] Valid& v) -> int64_t { return Outcome([&] { return __VA_ARGS__; }); }}
// clang-format on

// The argument is needed: the call is refused.
#define REFUSED(function, position, argument, result, ...) \
  ZEL_ROW(function, position, argument, true, result, kNullParameter, __VA_ARGS__)
// Null is a valid value of the argument.
#define MEANINGFUL(function, position, argument, result, error_point, ...) \
  ZEL_ROW(function, position, argument, false, result, error_point, __VA_ARGS__)

const Row kRows[] = {
    // Applications.
    MEANINGFUL(caInitializeZELComm, 1, pszSystemName, VQZM_RC_NO_DEFAULT_SYSTEM,
               "EXT_NO_DEF_SYS_DEFINED", caInitializeZELComm(nullptr, 0, 0, 0, &v.number, 0)),
    REFUSED(caInitializeZELComm, 5, pulConvId, kRefusedCode,
            caInitializeZELComm("ZELSYS", 0, 0, 0, nullptr, 0)),
    REFUSED(caProcessSync, 1, pReq, kRefusedCode, caProcessSync(nullptr, &v.reply)),
    REFUSED(caProcessSync, 2, pReply, kRefusedCode, caProcessSync(&v.request, nullptr)),
    REFUSED(caRtvData, 1, pParms, kRefusedCode, caRtvData(nullptr, &v.rtv_result)),
    REFUSED(caRtvData, 2, pResult, kRefusedCode, caRtvData(&v.rtv_parms, nullptr)),
    REFUSED(caReturnData, 1, pParms, kRefusedCode, caReturnData(nullptr, &v.type, 1)),
    MEANINGFUL(caReturnData, 2, pbType, VQZM_RC_NO_SYSTEM_FOR_RID, "EXT_SYS_NOT_FOUND",
               caReturnData(&v.return_parms, nullptr, 1)),
    REFUSED(caClearData, 1, pRID, kRefusedCode, caClearData(nullptr)),
    REFUSED(caProcessAsync, 1, pReq, kRefusedCode, caProcessAsync(nullptr, v.name)),
    REFUSED(caProcessAsync, 2, pRID, kRefusedCode, caProcessAsync(&v.async_request, nullptr)),
    MEANINGFUL(caAbortProcessAsync, 1, pRID, VQZM_RC_NO_ASYNC_FOR_WINDOW,
               "EXT_RET_ASYNC_FROM_HWND", caAbortProcessAsync(nullptr, 0x7FFF)),
    REFUSED(caRtvNamedAsyncID, 1, pszName, kRefusedCode, caRtvNamedAsyncID(nullptr, 0, v.name)),
    REFUSED(caRtvNamedAsyncID, 3, pRID, kRefusedCode, caRtvNamedAsyncID("NAME", 0, nullptr)),
    ZEL_ROW(caRegisterTermWnd, 5, pszPgmID, false, VQZM_RC_BAD_PROGRAM_ID, "EXT_NULL_PGM_ID",
            caRegisterTermWnd(1, 1, 0x7FFF, 1024, nullptr)),
    ZEL_ROW(caUnRegisterTermWnd, 2, pszPgmID, false, VQZM_RC_BAD_PROGRAM_ID, "EXT_NULL_PGM_ID",
            caUnRegisterTermWnd(1, nullptr)),
    REFUSED(caRtvZELCommInfo, 3, pszBuf, kRefusedCode, caRtvZELCommInfo(1, 1, nullptr)),
    ZEL_ROW(vqzmRtvPWSId, 2, pszPWSId, false, VQZM_RC_NO_PWS_ID_BUFFER, "EXT_INVPARM_PWSID",
            vqzmRtvPWSId(1, nullptr)),
    ZEL_ROW(vqzmRtvPwsRID, 2, pRID, false, VQZM_RC_NO_ASYNC_FOR_RID, "EXT_NULL_RID",
            vqzmRtvPwsRID(1, nullptr)),

    // System records.
    REFUSED(cbInitRZ700SysStruct, 1, ppSystem, kRefusedCode, cbInitRZ700SysStruct(nullptr)),
    REFUSED(cbAddRZ700SysStruct, 1, pSystem, kRefusedCode, cbAddRZ700SysStruct(nullptr)),
    MEANINGFUL(cbAddRZ700SysDefault, 1, pSystem, kNothing, nullptr, cbAddRZ700SysDefault(nullptr)),
    MEANINGFUL(cbRetNextRZ700SysStruct, 1, pSystem, kYes, nullptr,
               cbRetNextRZ700SysStruct(nullptr) == v.system),
    REFUSED(cbFindRZ700SysByName, 1, pszName, kRefusedCode,
            cbFindRZ700SysByName(nullptr, &v.found)),
    REFUSED(cbFindRZ700SysByName, 2, ppSystem, kRefusedCode,
            cbFindRZ700SysByName("ZELSYS", nullptr)),
    REFUSED(cbFindRZ700SysByRID, 1, pRID, kRefusedCode, cbFindRZ700SysByRID(nullptr, &v.found)),
    REFUSED(cbFindRZ700SysByRID, 2, ppSystem, kRefusedCode, cbFindRZ700SysByRID(v.rid, nullptr)),
    REFUSED(cbDeleteRZ700SysStruct, 1, pSystem, kRefusedCode, cbDeleteRZ700SysStruct(nullptr)),
    REFUSED(cbRemoveRZ700SysFromList, 1, pSystem, kRefusedCode, cbRemoveRZ700SysFromList(nullptr)),
    REFUSED(cbFindBlank, 1, pch, -1, cbFindBlank(nullptr, 8)),

    // Conversations and the manager's window.
    REFUSED(cbReturnNewConvId, 1, pConvId, kRefusedCode, cbReturnNewConvId(nullptr, v.system, 0)),
    REFUSED(cbReturnNewConvId, 2, pSystem, kRefusedCode, cbReturnNewConvId(&v.number, nullptr, 0)),
    MEANINGFUL(cbPostCPMgrMsg, 3, lParam, VQZM_RC_OK, nullptr,
               cbPostCPMgrMsg(ZEL_MSG_START_STOP_ENDED, 0, nullptr)),
    REFUSED(SetStartSystem, 1, pszName, kNothing, SetStartSystem(nullptr)),
    REFUSED(GetStartSystem, 1, ppszBuffer, kNothing, GetStartSystem(nullptr)),
    REFUSED(GetStartSystem, 1, *ppszBuffer, kNothing, GetStartSystem(&v.no_buffer)),

    // The other lists.
    REFUSED(cbDeleteAsyncRetStruct, 1, pRec, kNothing, cbDeleteAsyncRetStruct(nullptr)),
    REFUSED(cbInitNamedAsyncStruct, 1, ppRec, kRefusedCode, cbInitNamedAsyncStruct(nullptr)),
    REFUSED(cbAddNamedAsyncStruct, 1, pRec, kNothing, cbAddNamedAsyncStruct(nullptr)),
    REFUSED(cbRetNamedAsyncFromName, 1, pszName, kNothing, cbRetNamedAsyncFromName(nullptr)),
    MEANINGFUL(cbRetNextNamedAsync, 1, pRec, kYes, nullptr,
               cbRetNextNamedAsync(nullptr) == v.named),
    REFUSED(cbDeleteNamedAsyncStruct, 1, pRec, kNothing, cbDeleteNamedAsyncStruct(nullptr)),
    REFUSED(cbInit3rdPartyStruct, 1, ppRec, kRefusedCode, cbInit3rdPartyStruct(nullptr)),
    REFUSED(cbAdd3rdPartyStruct, 1, pRec, kNothing, cbAdd3rdPartyStruct(nullptr)),
    REFUSED(cbRet3rdPartyFromPgmID, 1, pszPgmID, kNothing, cbRet3rdPartyFromPgmID(nullptr)),
    MEANINGFUL(cbRetNext3rdPartyStruct, 1, pRec, kYes, nullptr,
               cbRetNext3rdPartyStruct(nullptr) == v.party),
    REFUSED(cbDelete3rdPartyStruct, 1, pRec, kNothing, cbDelete3rdPartyStruct(nullptr)),
    ZEL_ROW(cbRetNextTermWndStruct, 1, pSystem, true, kNothing, "EXT_INVALID_SYS",
            cbRetNextTermWndStruct(nullptr, nullptr)),
    MEANINGFUL(cbRetNextTermWndStruct, 2, pRec, kYes, nullptr,
               cbRetNextTermWndStruct(v.system, nullptr) == v.term_window),
    REFUSED(cbDeleteTermWndStruct, 1, pSystem, kNothing,
            cbDeleteTermWndStruct(nullptr, v.term_window)),
    REFUSED(cbDeleteTermWndStruct, 2, pRec, kNothing, cbDeleteTermWndStruct(v.system, nullptr)),

    // Host link and data-queue exchange.
    ZEL_ROW(ccCommThread, 1, pSystem, true, kNothing, "NULL_PTR_RCV", ccCommThread(nullptr)),
    REFUSED(ccStartRZ700RRPThread, 1, pSystem, kNothing, ccStartRZ700RRPThread(nullptr)),
    REFUSED(ccGetNextSysName, 2, pszName, kRefusedCode,
            ccGetNextSysName(v.system_list, nullptr, sizeof v.name, &v.number)),
    REFUSED(ccGetNextSysName, 4, pulNeeded, kRefusedCode,
            ccGetNextSysName(v.system_list, v.name, sizeof v.name, nullptr)),
    REFUSED(cdConvRcvdDataBuffer, 3, pulLength, kRefusedCode,
            cdConvRcvdDataBuffer(1, 0, nullptr, &v.data)),
    REFUSED(cdConvRcvdDataBuffer, 4, pHolder, kRefusedCode,
            cdConvRcvdDataBuffer(1, 0, &v.length, nullptr)),

    // Manager control.
    REFUSED(cmCkStartedByAPI, 2, argv, kNothing, cmCkStartedByAPI(1, nullptr)),
    REFUSED(cmReturnCommRC, 1, pSystem, kRefusedCode, cmReturnCommRC(nullptr, 0)),
    REFUSED(cmFindCommNotStopped, 1, ppSystem, kRefusedCode, cmFindCommNotStopped(nullptr)),
    REFUSED(cmFindCommNotStoppedEx, 1, ppSystem, kRefusedCode,
            cmFindCommNotStoppedEx(nullptr, "ZELSYS")),
    REFUSED(cmFindCommNotStoppedEx, 2, pszSysName, kRefusedCode,
            cmFindCommNotStoppedEx(&v.found, nullptr)),
    REFUSED(cmAddSystemByName, 1, pszSysName, kRefusedCode, cmAddSystemByName(nullptr, &v.found)),
    REFUSED(cmAddSystemByName, 2, ppSystem, kRefusedCode, cmAddSystemByName("NEWSYS", nullptr)),
    REFUSED(cmRetDefaultRouterSys, 1, pszBuffer, kRefusedCode, cmRetDefaultRouterSys(nullptr)),
    REFUSED(cmStopAndWaitComm, 1, pSystem, kRefusedCode, cmStopAndWaitComm(nullptr)),
    REFUSED(cmDetermineSysConnectedDKT, 1, pszSysName, kRefusedCode,
            cmDetermineSysConnectedDKT(nullptr)),
    REFUSED(cmSendStartStop, 2, pSys, kRefusedCode, cmSendStartStop(ZEL_ACTION_STOP, nullptr)),
    REFUSED(cmAsyncInitZELCommThread, 1, pParms, kNothing, cmAsyncInitZELCommThread(nullptr)),
    REFUSED(cmSendTermMsg, 1, pSystem, kRefusedCode, cmSendTermMsg(nullptr)),
};

// The exports that take no pointer.
struct WithoutPointers {
  const char* function;
  uint32_t parameters;
};
#define NO_POINTERS(function) \
  WithoutPointers { #function, PointerParameters(&function) }

const WithoutPointers kWithoutPointers[] = {
    NO_POINTERS(caStopZELComm),
    NO_POINTERS(cbRetDefaultRZ700SysStruct),
    NO_POINTERS(cbReturnCPMgrState),
    NO_POINTERS(cbSetCPMgrState),
    NO_POINTERS(cbSetCPMgrHwnd),
    NO_POINTERS(cbGiveSharedMem),
    NO_POINTERS(GetZELAnchorCB),
    NO_POINTERS(cmInitCPMStateSem),
    NO_POINTERS(cmCtrlCPMState),
    NO_POINTERS(cmReleaseCPMState),
    NO_POINTERS(cmCloseCPMStateSem),
    NO_POINTERS(cmInitRunningSem),
    NO_POINTERS(cmSetStartedAPIFlag),
    NO_POINTERS(cmQryStartedByAPI),
    NO_POINTERS(cmReturnCPMgrRCDuringInit),
    NO_POINTERS(cmReturnCPMgrRC),
    NO_POINTERS(cmWaitCPMgrReturn),
    NO_POINTERS(cdInitDQProcThread),
    NO_POINTERS(cmInitStartStop),
    NO_POINTERS(cmExitListRoutine),
};

TEST(BadArgumentsTable, HasARowForEveryPointerArgumentOfEveryExport) {
  std::map<std::string, uint32_t> parameters;
  std::map<std::string, uint32_t> covered;
  for (const Row& row : kRows) {
    parameters[row.function] = row.parameters;
    covered[row.function] |= 1u << (row.position - 1);
  }
  for (const auto& [function, mask] : parameters) {
    EXPECT_EQ(covered[function], mask) << function << ": pointer positions (bits) and rows differ";
  }
  for (const WithoutPointers& export_ : kWithoutPointers) {
    EXPECT_EQ(export_.parameters, 0u) << export_.function << " takes a pointer";
    parameters[export_.function] = export_.parameters;
  }
  std::map<int, std::string> table = ExportTable();
  ASSERT_FALSE(table.empty());
  for (const auto& [ordinal, name] : table) {
    EXPECT_EQ(parameters.erase(name), 1u) << name << " (ordinal " << ordinal << ") is not covered";
  }
  for (const auto& [function, mask] : parameters) ADD_FAILURE() << function << " is not exported";
}

uint32_t IssuedConversations() {
  uint32_t issued = 0;
  for (ConvBlock* block = ctrlblk::Anchor().pConvBlk; block != nullptr; block = block->pNext) {
    for (const ConvEntry& entry : block->aEntries) issued += entry.ulInUse;
  }
  return issued;
}

// Everything a call could change: the shared data section (the anchor, the
// start system), the conversations issued, the valid records, the heap, and
// the caller's own variables.
std::string State(const Valid& v) {
  std::string bytes;
  auto add = [&bytes](const void* at, size_t size) {
    bytes.append(static_cast<const char*>(at), size);
  };
  add(ctrlblk::Shared(), sizeof(ctrlblk::SharedData));
  uint32_t issued = IssuedConversations();
  add(&issued, sizeof issued);
  add(v.system, sizeof *v.system);
  add(v.term_window, sizeof *v.term_window);
  add(v.named, sizeof *v.named);
  add(v.party, sizeof *v.party);
  add(v.async_return, sizeof *v.async_return);
  ctrlblk::HeapStats heap = ctrlblk::CurrentHeapStats();
  add(&heap, sizeof heap);
  add(&v, sizeof v);
  return bytes;
}

// True when another thread takes every list mutex within a bound: no call
// left one held.
bool ListMutexesFree() {
  constexpr DWORD kProbeMs = 5000;
  auto probe = [] {
    for (int i = 0; i < static_cast<int>(ctrlblk::Serial::kOutstandingClean); ++i) {
      HANDLE mutex = ctrlblk::SerialHandle(static_cast<ctrlblk::Serial>(i));
      if (WaitForSingleObject(mutex, kProbeMs) != WAIT_OBJECT_0) return false;
      ReleaseMutex(mutex);
    }
    return true;
  };
  return std::async(std::launch::async, probe).get();
}

// A row that ends the process (as the comm thread once did on a null
// record) fails instead of passing silently with exit code 0.
std::atomic<const char*> g_calling{nullptr};

void FailIfEndedDuringACall() {
  if (const char* function = g_calling.load()) {
    fprintf(stderr, "%s ended the process\n", function);
    _exit(1);
  }
}

class BadArguments : public ::testing::TestWithParam<Row> {
 protected:
  void SetUp() override {
    static const bool guarded = atexit(FailIfEndedDuringACall) == 0;
    ASSERT_TRUE(guarded);
    // A configured system and no default one.
    std::string config = TestPath("bad_arguments.conf");
    FILE* file = fopen(config.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fputs("system ZELSYS 127.0.0.1:1\n", file);
    fclose(file);
    setenv("ZEL_CONFIG", config.c_str(), 1);
    // An installation without a manager: a call that wrongly goes ahead
    // cannot start one.
    setenv("ZEL_HOME", TestDir().c_str(), 1);
    window_ = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) { return LRESULT{0}; });
    ASSERT_NE(window_, 0u);
    saved_window_ = ctrlblk::Anchor().hwndCPMgr;
    ctrlblk::Anchor().hwndCPMgr = window_;

    ASSERT_EQ(cmAddSystemByName("ZELSYS", &v_.system), 0);
    ASSERT_EQ(ctrlblk::cbInitTermWndStruct(&v_.term_window), 0);
    ASSERT_EQ(ctrlblk::cbAddTermWndStruct(v_.system, v_.term_window, 1), 0);
    ASSERT_EQ(cbInitNamedAsyncStruct(&v_.named), 0);
    memcpy(v_.named->szName, "NAMED", 6);
    cbAddNamedAsyncStruct(v_.named);
    ASSERT_EQ(cbInit3rdPartyStruct(&v_.party), 0);
    memcpy(v_.party->szPgmID, "PARTY", 6);
    cbAdd3rdPartyStruct(v_.party);
    ASSERT_EQ(ctrlblk::cbInitAsyncRetStruct(&v_.async_return), 0);
    ctrlblk::cbAddAsyncRetStruct(v_.async_return);
    ctrlblk::cbCreateRID(v_.system, 'S', v_.rid);
    ASSERT_EQ(qlxCO_CreateSysList(&v_.system_list), 0u);
    v_.data = calloc(1, v_.length);
    ASSERT_NE(v_.data, nullptr);
  }

  void TearDown() override {
    free(v_.data);
    qlxCO_DeleteSysList(v_.system_list);
    cbDeleteAsyncRetStruct(v_.async_return);
    cbDelete3rdPartyStruct(v_.party);
    cbDeleteNamedAsyncStruct(v_.named);
    cbDeleteTermWndStruct(v_.system, v_.term_window);
    cbDeleteRZ700SysStruct(v_.system);
    ctrlblk::Anchor().hwndCPMgr = saved_window_;
    MSG msg;
    while (PeekMessage(&msg, window_, 0, 0, PM_REMOVE)) {
    }
    DestroyWindow(window_);
  }

  Valid v_;
  HWND window_ = 0;
  HWND saved_window_ = 0;
};

TEST_P(BadArguments, AreRefusedOrTakenAsTheSystemSaysAndChangeNothing) {
  const Row& row = GetParam();
  std::string before = State(v_);
  TraceCapture capture;
  g_calling = row.function;
  int64_t result = row.call(v_);
  g_calling = nullptr;

  EXPECT_EQ(result, row.result);
  if (row.error_point != nullptr) {
    EXPECT_TRUE(capture.RaisedErrorPoint(row.error_point))
        << "raised: " << testing::PrintToString(capture.ErrorPoints());
  }
  if (row.refused) {
    EXPECT_TRUE(capture.Traced(std::string("Null pointer parm ") + row.argument));
  } else {
    EXPECT_FALSE(capture.RaisedErrorPoint(kNullParameter));
  }
  EXPECT_TRUE(State(v_) == before) << "the call changed shared state or the caller's variables";
  EXPECT_TRUE(ListMutexesFree());
  // The library goes on serving: a conversation is issued and given back.
  uint32_t id = 0;
  ASSERT_EQ(cbReturnNewConvId(&id, v_.system, 1), 0);
  EXPECT_EQ(caStopZELComm(id), 0);
}

std::string RowName(const testing::TestParamInfo<Row>& info) {
  std::string name = std::string(info.param.function) + "_";
  for (const char* c = info.param.argument; *c != '\0'; ++c) {
    if (*c == '*') name += "Pointee";
    if (isalnum(static_cast<unsigned char>(*c))) name += *c;
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(NullPointer, BadArguments, testing::ValuesIn(kRows), RowName);

}  // namespace
}  // namespace zel::test
