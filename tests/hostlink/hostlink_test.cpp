// The host link on its own: init buffers and frames byte for byte, the
// host's answers, the data-queue setup, the system names, and the comm
// state machine with the client services replaced where a real host cannot
// be made to fail. The test thread plays the CPMgr window.
#include "hostlink/hostlink.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "dataqueue/dataqueue.h"
#include "platform/window.h"
#include "services/connection.h"
#include "services/dataqueue.h"
#include "tests/harness/fake_calls.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

using namespace zel::hostlink;
using namespace zel::platform;

std::string Zeros(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += " 00";
  return text;
}

std::string Bytes(const void* data, size_t size) {
  return std::string(static_cast<const char*>(data), size);
}

RZ700SysStruct* NewSystem(const char* name = "HOSTA") {
  RZ700SysStruct* system = nullptr;
  EXPECT_EQ(cmAddSystemByName(name, &system), 0);
  return system;
}

// A record whose start got as far as the RRP: queue QZELDQ/0000002A.
RZ700SysStruct* StartedSystem() {
  RZ700SysStruct* system = NewSystem();
  strcpy(system->szDQLib, "QZELDQ");
  strcpy(system->szDQName, "0000002A");
  return system;
}

// ---- What fakes answer and record; reset by each test that uses them ----

std::deque<std::string> g_replies;  // what qlxCO_Recv hands out, in order
std::vector<std::string> g_sent;    // what qlxCO_Send was given
int g_calls = 0;                    // calls of the counted fake

uint32_t FakeRecv(uint32_t, void* buffer, uint32_t* length, uint32_t capacity) {
  if (g_replies.empty()) return QLXCO_RC_RECEIVE;
  std::string reply = g_replies.front();
  g_replies.pop_front();
  *length = std::min<uint32_t>(capacity, static_cast<uint32_t>(reply.size()));
  memcpy(buffer, reply.data(), *length);
  return 0;
}

uint32_t FakeSend(uint32_t, const void* data, uint32_t length) {
  g_sent.push_back(Bytes(data, length));
  return 0;
}

// ---- The CPMgr window, played by the test thread ----

struct Posted {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

class ManagerStandIn {
 public:
  ManagerStandIn() {
    hwnd_ = CreateMessageWindow([this](HWND, UINT message, WPARAM wParam, LPARAM lParam) {
      seen_.push_back({message, wParam, lParam});
      return LRESULT{0};
    });
    cbSetCPMgrHwnd(hwnd_);
  }
  ~ManagerStandIn() {
    for (const Posted& posted : Seen()) {
      if (posted.message == ZEL_MSG_CPMGR_NOTICE) free(reinterpret_cast<void*>(posted.lParam));
    }
    DestroyWindow(hwnd_);
  }

  // Every message so far, posted ones handled first.
  const std::vector<Posted>& Seen() {
    MSG msg;
    while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
    return seen_;
  }

 private:
  HWND hwnd_ = 0;
  std::vector<Posted> seen_;
};

WPARAM StateReport(uint16_t state, uint16_t rc) { return (WPARAM{state} << 16) | rc; }

// ---- Init buffers and frames ----

TEST(InitBuffer, TheStartRequestProposesTheHostsConnectionNumberAsQueueName) {
  FakeQlx fake;
  fake->qlxCO_GetConnToken = [](uint32_t, void* work) -> void* { return work; };
  fake->qlxCO_GetTokenValue = [](const void*) -> uint32_t { return 0x2A; };
  RZ700SysStruct* system = NewSystem();
  strcpy(system->szSysID, "001");
  uint8_t buffer[kInitBufferSize];
  ASSERT_EQ(ccInitRZ700SendData(system, buffer, kActionStartRequest), 0);
  EXPECT_EQ(ToHex(Bytes(buffer, sizeof buffer)),
            ToHex(Hex("01" + Zeros(16) + " F0 F0 F0 F0 F0 F0 F2 C1 00 00 00" + Zeros(4) +
                      " F0 F0 F1 00" + Zeros(12))));
}

TEST(InitBuffer, RrpStartsTerminationAndAnUnknownAction) {
  RZ700SysStruct* system = StartedSystem();
  strcpy(system->szSysID, "001");
  system->ulRRPStartValue = 5;
  system->bDQAuthority = 2;
  uint8_t buffer[kInitBufferSize];
  std::string tail =
      " D8 E9 C5 D3 C4 D8 00 00 00 00 00 F0 F0 F0 F0 F0 F0 F2 C1 00 00 00"
      " 00 00 20 80 F0 F0 F1 00 02" +
      Zeros(11);
  ASSERT_EQ(ccInitRZ700SendData(system, buffer, kActionRrpStart), 0);
  EXPECT_EQ(ToHex(Bytes(buffer, sizeof buffer)), ToHex(Hex("02 00 00 00 00 05" + tail)));
  ASSERT_EQ(ccInitRZ700SendData(system, buffer, kActionFurtherRrp), 0);
  EXPECT_EQ(ToHex(Bytes(buffer, sizeof buffer)), ToHex(Hex("02 00 00 00 00 01" + tail)));
  ASSERT_EQ(ccInitRZ700SendData(system, buffer, kActionTermination), 0);
  EXPECT_EQ(ToHex(Bytes(buffer, sizeof buffer)), ToHex(Hex("03" + Zeros(47))));
  EXPECT_EQ(ccInitRZ700SendData(system, buffer, 4), VQZM_RC_INTERNAL_ERROR);
  EXPECT_EQ(Bytes(buffer, sizeof buffer), std::string(sizeof buffer, '\0'));
}

TEST(HostFrames, APayloadGoesOutBehindItsLengthAndMarkerAndAFailedSendIs1035) {
  FakeQlx fake;
  g_sent.clear();
  fake->qlxCO_Send = FakeSend;
  fake->qlxCO_SendComplete = [](uint32_t) -> uint32_t { return 0; };
  RZ700SysStruct* system = NewSystem();
  std::vector<uint8_t> host_buffer(32767, 0xEE);
  system->pHostBuf = host_buffer.data();
  system->usHostBufSize = static_cast<uint16_t>(host_buffer.size());
  std::string payload(48, '\x5A');
  uint16_t length = 48;
  ASSERT_EQ(ccSendData(system, payload.data(), &length), 0);
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(ToHex(g_sent[0]), ToHex(Hex("00 34 12 FF") + payload));
  EXPECT_EQ(host_buffer[52], 0) << "the rest of the host buffer is cleared before a send";

  fake->qlxCO_SendComplete = [](uint32_t) -> uint32_t { return QLXCO_RC_NOT_CONNECTED; };
  TraceCapture capture;
  EXPECT_EQ(ccSendData(system, payload.data(), &length), VQZM_RC_CONNECTION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_SEND_DATA", "Vqzmcc0"));
}

// ---- The host's answers ----

TEST(StartedMessage, NamesThePwsOrCarriesTheHostsCodeOrIsRefused) {
  FakeQlx fake;
  fake->qlxCO_Recv = FakeRecv;
  RZ700SysStruct* system = NewSystem();
  g_replies = {Hex("02 00 00 00 00 C1 C1 C2 00"), Hex("02 00 00 00 10 C3 C3 C3 00"),
               Hex("01 00 00 00 00 C3 C3 C3 00")};
  EXPECT_EQ(ccRcvRRPStartedMsg(system), 0);
  EXPECT_EQ(std::string(system->achPWSSysID, 3), "AAB");
  EXPECT_EQ(ccRcvRRPStartedMsg(system), 16);
  EXPECT_EQ(std::string(system->achPWSSysID, 3), "AAB");
  TraceCapture capture;
  EXPECT_EQ(ccRcvRRPStartedMsg(system), VQZM_RC_INTERNAL_ERROR);
  EXPECT_TRUE(capture.RaisedErrorPoint("RCVD_INVALID_FORMAT", "Vqzmcc0"));
  EXPECT_EQ(ccRcvRRPStartedMsg(system), VQZM_RC_CONNECTION_FAILED);  // nothing came
}

TEST(StartedMessage, AFurtherRrpIsStartedWithValue1AndItsAnswerRead) {
  FakeQlx fake;
  g_sent.clear();
  fake->qlxCO_Send = FakeSend;
  fake->qlxCO_SendComplete = [](uint32_t) -> uint32_t { return 0; };
  fake->qlxCO_Recv = FakeRecv;
  RZ700SysStruct* system = StartedSystem();
  system->ulRRPStartValue = 9;
  std::vector<uint8_t> host_buffer(32767);
  system->pHostBuf = host_buffer.data();
  system->usHostBufSize = static_cast<uint16_t>(host_buffer.size());
  g_replies = {Hex("02 00 00 00 00 C1 C1 C3 00")};
  ccStartRZ700RRPThread(system);
  ASSERT_EQ(g_sent.size(), 1u);
  EXPECT_EQ(ToHex(g_sent[0].substr(0, 10)), ToHex(Hex("00 34 12 FF 02 00 00 00 00 01")));
  EXPECT_EQ(std::string(system->achPWSSysID, 3), "AAC");
  EXPECT_TRUE(g_replies.empty());
}

TEST(StationInformation, SetsTheNamesOrLeavesThemForAnotherFormat) {
  FakeQlx fake;
  fake->qlxCO_Recv = FakeRecv;
  RZ700SysStruct* system = StartedSystem();
  std::string names =
      " E9 C5 D3 E4 E2 C5 D9 00 00 00 00 D8 C7 D7 D3 00 00 00 00 00 00 00"
      " C1 C2 C3 00 00 00 00 00 00 00 00";
  g_replies = {Hex("02" + names), Hex("01" + names)};
  EXPECT_EQ(ccRcvStnInfo(system), VQZM_RC_INTERNAL_ERROR);
  EXPECT_STREQ(system->szDQLib, "QZELDQ");
  EXPECT_STREQ(system->szDQName, "0000002A");
  ASSERT_EQ(ccRcvStnInfo(system), 0);
  EXPECT_STREQ(system->szUserProfile, "ZELUSER");
  EXPECT_STREQ(system->szDQLib, "QGPL");
  EXPECT_STREQ(system->szDQName, "ABC");
  EXPECT_EQ(Bytes(system->szQualDQName, 22), "QGPL/ABC" + std::string(13, ' ') + '\0');
}

// ---- The data queue of the PWS ----

int g_attributes = 0;  // attribute objects alive

TEST(DataQueueSetup, AFailedCreateIs1034AndLeavesNoAttributeObject) {
  FakeQlx fake;
  g_attributes = 0;
  fake->qlxDQ_CreateAttr = []() -> uint32_t {
    ++g_attributes;
    return services::RealQlx().qlxDQ_CreateAttr();
  };
  fake->qlxDQ_DeleteAttr = [](uint32_t handle) -> uint32_t {
    --g_attributes;
    return services::RealQlx().qlxDQ_DeleteAttr(handle);
  };
  fake->qlxDQ_SetAuthority = [](uint32_t, uint32_t authority) -> uint32_t {
    g_calls = static_cast<int>(authority);
    return 0;
  };
  fake->qlxDQ_CreateEx = [](uint32_t, const char*, const char*, uint32_t, uint32_t) -> uint32_t {
    return QLXDQ_RC_EXISTS;
  };
  RZ700SysStruct* system = StartedSystem();
  TraceCapture capture;
  for (uint8_t authority : {2, 7}) {
    system->bDQAuthority = authority;
    EXPECT_EQ(SetUpDataQueue(system), VQZM_RC_DATA_QUEUE_ERROR);
    EXPECT_EQ(g_calls, authority == 2 ? 2 : 1);
  }
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_CREATE_QUEUE", "Vqzmcc0"));
  EXPECT_EQ(g_attributes, 0);
  EXPECT_NE(V(system->pDQBuf), nullptr);
  free(system->pDQBuf);
}

// ---- Configured system names ----

std::deque<std::string> g_names;

uint32_t FakeNextName(uint32_t, char* name, uint32_t size, uint32_t* needed) {
  if (g_names.empty()) return QLXCO_RC_END_OF_LIST;
  *needed = static_cast<uint32_t>(g_names.front().size() + 1);
  if (*needed > size) return QLXCO_RC_BUFFER_OVERFLOW;
  strcpy(name, g_names.front().c_str());
  g_names.pop_front();
  return 0;
}

TEST(SystemNames, EmptyNamesAreSkippedAndWhatDoesNotFitIsRefused) {
  FakeQlx fake;
  fake->qlxCO_GetNextSysName = FakeNextName;
  g_names = {"", "HOSTB", std::string(259, 'L')};
  char name[256];
  memset(name, 'x', sizeof name);
  uint32_t needed = 0;
  TraceCapture capture;
  EXPECT_EQ(ccGetNextSysName(0, name, 255, &needed), 0);
  EXPECT_EQ(name[0], 'x') << "a buffer below 256 bytes gets nothing";
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_BUFFER_TOO_SMALL"));
  EXPECT_EQ(ccGetNextSysName(0, name, sizeof name, &needed), 0);
  EXPECT_STREQ(name, "HOSTB");
  EXPECT_EQ(ccGetNextSysName(0, name, sizeof name, &needed), VQZM_RC_NAME_TOO_LONG);
  EXPECT_EQ(needed, 260u);
  g_names.clear();
  EXPECT_EQ(ccGetNextSysName(0, name, sizeof name, &needed), QLXCO_RC_END_OF_LIST);
}

TEST(SystemNames, ListTheConfigurationThroughTheLibrary) {
  std::string path = TestPath("zel.conf");
  FILE* file = fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  fputs("system HOSTA 127.0.0.1:1\nsystem HOSTB 127.0.0.1:2\ndefault HOSTB\n", file);
  fclose(file);
  setenv("ZEL_CONFIG", path.c_str(), 1);
  uint32_t list = 0;
  ASSERT_EQ(qlxCO_CreateSysList(&list), 0u);
  std::vector<std::string> names;
  char name[256];
  uint32_t needed = 0;
  for (int i = 0; i < 5 && ccGetNextSysName(list, name, sizeof name, &needed) == 0; ++i) {
    names.push_back(name);
  }
  qlxCO_DeleteSysList(list);
  EXPECT_EQ(names, (std::vector<std::string>{"HOSTA", "HOSTB"}));
}

// ---- The comm state machine ----

TEST(CommStates, AnInvalidStateIsReportedWith1026AndLeftAsItIs) {
  ManagerStandIn manager;
  RZ700SysStruct* system = NewSystem();
  for (uint16_t state : {0, 13}) {
    system->usCommState = state;
    EXPECT_EQ(ccHandleCommState(system), VQZM_RC_INTERNAL_ERROR);
    EXPECT_EQ(V(system->usCommState), state);
  }
  const std::vector<Posted>& seen = manager.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].wParam, StateReport(0, VQZM_RC_INTERNAL_ERROR));
  EXPECT_EQ(seen[1].wParam, StateReport(13, VQZM_RC_INTERNAL_ERROR));
}

TEST(CommStates, ARefusedConnectionSkipsTheHandshakeAndEndsInState1With1035) {
  ManagerStandIn manager;
  FakeQlx fake;
  g_sent.clear();
  g_calls = 0;
  fake->qlxCO_Connect = [](uint32_t, uint32_t, uint32_t) -> uint32_t { return QLXCO_RC_CONNECT; };
  fake->qlxCO_Send = FakeSend;
  fake->qlxCO_Recv = [](uint32_t, void*, uint32_t*, uint32_t) -> uint32_t {
    ++g_calls;
    return QLXCO_RC_RECEIVE;
  };
  RZ700SysStruct* system = NewSystem();
  setenv("ZEL_CONFIG", TestPath("none.conf").c_str(), 1);
  FILE* file = fopen(TestPath("none.conf").c_str(), "w");
  fputs("system HOSTA 127.0.0.1:1\n", file);
  fclose(file);
  ccCommThread(system);
  EXPECT_EQ(V(system->usCommState), ZEL_COMM_STOPPED);
  EXPECT_EQ(V(system->usCommRC), VQZM_RC_CONNECTION_FAILED);
  EXPECT_EQ(V(system->hSystem), 0u);
  EXPECT_EQ(V(system->pHostBuf), nullptr);
  EXPECT_TRUE(g_sent.empty());
  EXPECT_EQ(g_calls, 0);
  const std::vector<Posted>& seen = manager.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].message, UINT{ZEL_MSG_ERROR_TEARDOWN});  // sent, so handled first
  EXPECT_EQ(seen[1].message, UINT{ZEL_MSG_COMM_STATE});
  EXPECT_EQ(seen[1].wParam, StateReport(ZEL_COMM_STOPPED, VQZM_RC_CONNECTION_FAILED));
}

TEST(CommStates, AFailedStartRequestStillSendsTheTerminationSignalAndReleasesEverything) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure("HOSTA");
  ManagerStandIn manager;
  FakeQlx fake;
  g_sent.clear();
  // The start request is lost; the termination signal goes out.
  fake->qlxCO_Send = [](uint32_t service, const void* data, uint32_t length) -> uint32_t {
    g_sent.push_back(Bytes(data, length));
    if (g_sent.size() == 1) return QLXCO_RC_SEND;
    return services::RealQlx().qlxCO_Send(service, data, length);
  };
  RZ700SysStruct* system = NewSystem();
  ccCommThread(system);
  EXPECT_EQ(V(system->usCommState), ZEL_COMM_STOPPED);
  ASSERT_EQ(g_sent.size(), 2u);
  EXPECT_EQ(g_sent[1][4], 3) << "the second frame is the termination signal";
  EXPECT_EQ(V(system->hSystem), 0u) << "the system object was deleted";
  EXPECT_EQ(V(system->pHostBuf), nullptr);
  const std::vector<Posted>& seen = manager.Seen();
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back().wParam, StateReport(ZEL_COMM_STOPPED, VQZM_RC_CONNECTION_FAILED));
  host.Stop();
  EXPECT_NE(host.LogText().find("termination signal"), std::string::npos) << host.LogText();
}

// The system is active; its reads go through the fakes set by each test.
RZ700SysStruct* ActiveSystem() {
  RZ700SysStruct* system = StartedSystem();
  system->usCommState = ZEL_COMM_ACTIVE;
  system->hSystem = 77;
  system->pDQBuf = malloc(system->ulDQMaxRecLen);
  return system;
}

void RunUntilStopped(RZ700SysStruct* system) {
  for (int i = 0; i < 20 && system->usCommState != ZEL_COMM_STOPPED; ++i) ccHandleCommState(system);
}

TEST(CommStates, ALostLinkIsReportedToTheManagerOnlyAfterTheTeardown) {
  ManagerStandIn manager;
  FakeQlx fake;
  fake->qlxCO_TestConnection = [](uint32_t, uint32_t, uint32_t* connected) -> uint32_t {
    *connected = 0;
    return QLXCO_RC_NOT_CONNECTED;
  };
  RZ700SysStruct* system = ActiveSystem();
  TraceCapture capture;
  RunUntilStopped(system);
  ASSERT_EQ(V(system->usCommState), ZEL_COMM_STOPPED);
  EXPECT_EQ(V(system->ulDQErrPending), 1u);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_CONNECTION_LOST", "vqzmcd0"));
  const std::vector<Posted>& seen = manager.Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].message, UINT{ZEL_MSG_ERROR_TEARDOWN});
  EXPECT_EQ(seen[1].wParam, StateReport(ZEL_COMM_STOPPED, VQZM_RC_CONNECTION_FAILED));
  EXPECT_EQ(seen[2].message, UINT{ZEL_MSG_CPMGR_NOTICE});
  EXPECT_EQ(seen[2].wParam, 1u);
  const auto* notice = reinterpret_cast<const CPMgrNotice*>(seen[2].lParam);
  EXPECT_EQ(V(notice->ulMsgNum1), 1011u);
  EXPECT_EQ(V(notice->ulMsgNum2), 1056u);
  EXPECT_EQ(V(notice->pszSysName), system->szSysName);
  EXPECT_EQ(V(notice->pszInsert), nullptr);
  EXPECT_EQ(V(notice->usCount), 5);
  EXPECT_EQ(V(notice->pSystem), system);
}

TEST(CommStates, AnyOtherReadFailureIsReportedAtOnceAndNotAgain) {
  ManagerStandIn manager;
  FakeQlx fake;
  fake->qlxCO_TestConnection = [](uint32_t, uint32_t, uint32_t* connected) -> uint32_t {
    *connected = 1;
    return 0;
  };
  fake->qlxDQ_OpenEx = [](uint32_t, const char*, const char*, uint32_t*, uint32_t) -> uint32_t {
    return QLXDQ_RC_NOT_FOUND;
  };
  RZ700SysStruct* system = ActiveSystem();
  RunUntilStopped(system);
  ASSERT_EQ(V(system->usCommState), ZEL_COMM_STOPPED);
  EXPECT_EQ(V(system->ulDQErrPending), 0u);
  // The teardown message is sent, so the stand-in handles it ahead of the
  // notice posted before it.
  std::vector<Posted> notices;
  for (const Posted& posted : manager.Seen()) {
    if (posted.message == ZEL_MSG_CPMGR_NOTICE) notices.push_back(posted);
  }
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].wParam, 0u);
  EXPECT_EQ(V(reinterpret_cast<const CPMgrNotice*>(notices[0].lParam)->ulMsgNum2), 1056u);
  EXPECT_EQ(manager.Seen().back().wParam, StateReport(ZEL_COMM_STOPPED, VQZM_RC_DATA_QUEUE_ERROR));
}

TEST(Dispatch, TheSecondKeyCharacterDecidesAndOnlyTerminationChangesTheState) {
  RZ700SysStruct* system = NewSystem();
  system->usCommState = ZEL_COMM_ACTIVE;
  DQReadItem item{};
  TraceCapture capture;
  for (const char* key : {"AA0001AAA000", "RR0001AAA000", "Q?0001AAA000"}) {
    strcpy(item.achKey, key);
    EXPECT_EQ(cdProcDQBuffer(system, &item), 0);
    EXPECT_EQ(V(system->usCommState), ZEL_COMM_ACTIVE) << key;
  }
  EXPECT_TRUE(capture.Traced("Async type received"));
  EXPECT_TRUE(capture.Traced("Req type received"));
  EXPECT_TRUE(capture.Traced("Garbage PRID Type received"));
  strcpy(item.achKey, "ZZ0001AAA000");
  EXPECT_EQ(cdProcDQBuffer(system, &item), 0);
  EXPECT_EQ(V(system->usCommState), ZEL_COMM_TERM_REQUESTED);
}

}  // namespace
}  // namespace zel::test
