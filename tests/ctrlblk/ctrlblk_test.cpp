// The shared control blocks: creation and attachment across processes, the
// heap, system records and identifiers, conversations, the lists and the
// outstanding data-queue request list.
#include "ctrlblk/ctrlblk.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ctrlblk/process_state.h"
#include "platform/event.h"
#include "platform/filemap.h"
#include "platform/handles.h"
#include "platform/user.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

using namespace zel::ctrlblk;

// A child started with ZEL_TEST_OCCUPY_AREA maps something at the area's
// address before the library's attach runs, as a process whose address
// space is taken there would.
__attribute__((constructor(101))) void OccupyAreaWhenAsked() {
  if (getenv("ZEL_TEST_OCCUPY_AREA") == nullptr) return;
  using namespace zel::platform;
  HANDLE mapping = CreateFileMapping(PAGE_READWRITE, 4096, nullptr);
  MapViewOfFileEx(mapping, FILE_MAP_ALL_ACCESS, 0, 4096,
                  reinterpret_cast<void*>(kControlBlockAddress));
}

// Waits until thread `tid` of this process sleeps in the kernel (a wait),
// so that a pulse that follows reaches it; false if it never does.
bool WaitUntilBlocked(pid_t tid) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  return Eventually(
      [&] {
        std::ifstream stat(path);
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t paren = text.rfind(')');
        return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'S';
      },
      5s, 1ms);
}

std::string Hex(const void* p) {
  char text[32];
  snprintf(text, sizeof text, "%p", p);
  return text;
}

template <class T>
T* FromHex(const std::string& text) {
  return reinterpret_cast<T*>(strtoull(text.c_str(), nullptr, 16));
}

RZ700SysStruct* NewSystem(const char* name) {
  RZ700SysStruct* system = nullptr;
  EXPECT_EQ(cbInitRZ700SysStruct(&system), 0);
  strcpy(system->szSysName, name);
  EXPECT_EQ(cbAddRZ700SysStruct(system), 0);
  return system;
}

// ---- Creation and attachment ----

ZEL_CHILD_COMMAND(attach_and_read_anchor) {
  ZELAnchorCB* anchor = GetZELAnchorCB();
  if (anchor == nullptr) return 2;
  child::Report(Hex(anchor) + " " + Hex(anchor->pSharedMem) + " " +
                std::to_string(Shared()->ulAttachCount) + " " + std::to_string(anchor->usCPMgrState));
  RZ700SysStruct* system = nullptr;
  if (cbFindRZ700SysByName("PARENT", &system) != 0) return 3;
  child::Report(Hex(system) + " " + std::string(system->szSysID));
  NewSystem("CHILD");
  return 0;
}

TEST(Attach, FirstProcessCreatesTheAreaAndASecondAttachesAtTheSameAddress) {
  ZELAnchorCB* anchor = GetZELAnchorCB();
  ASSERT_NE(anchor, nullptr);
  EXPECT_EQ(V(Shared()->ulSharedMemError), 0u);
  EXPECT_EQ(V(anchor->pSharedMem), reinterpret_cast<void*>(kControlBlockAddress));
  EXPECT_EQ(V(anchor->usCPMgrState), 21);
  EXPECT_EQ(V(anchor->ulNextConvId), 1u);
  EXPECT_STREQ(anchor->szNextSysID, "000");
  EXPECT_STREQ(Shared()->szStartSystem, "           ");
  RZ700SysStruct* parent = NewSystem("PARENT");

  ChildProcess child = ChildProcess::Start("attach_and_read_anchor");
  std::optional<std::string> line = child.ReadLine();
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, Hex(anchor) + " " + Hex(anchor->pSharedMem) + " 2 21");
  EXPECT_EQ(child.ReadLine(), Hex(parent) + " 000");
  ASSERT_EQ(child.Wait(), 0);

  RZ700SysStruct* from_child = nullptr;
  ASSERT_EQ(cbFindRZ700SysByName("CHILD", &from_child), 0);
  EXPECT_STREQ(from_child->szSysID, "001");
}

ZEL_CHILD_COMMAND(report_shared_mem_error) {
  child::Report(std::to_string(Shared()->ulSharedMemError) + " " +
                (ControlBlockView() == nullptr ? "no-view" : "view"));
  return 0;
}

TEST(Attach, AProcessThatCannotMapTheAreaAtItsAddressSetsTheErrorFlag) {
  ASSERT_EQ(V(Shared()->ulSharedMemError), 0u);
  ChildProcess child =
      ChildProcess::Start("report_shared_mem_error", {}, {{"ZEL_TEST_OCCUPY_AREA", "1"}});
  EXPECT_EQ(child.ReadLine(), "1 no-view");
  ASSERT_EQ(child.Wait(), 0);
  EXPECT_EQ(V(Shared()->ulSharedMemError), 1u);  // the flag is shared and stays set
}

TEST(Attach, TheMessageLibraryComesFromTheLanguagesMessageDirectory) {
  zel::platform::HMODULE library = ThisProcess().message_library;
  ASSERT_NE(library, 0u);
  char text[100];
  EXPECT_GT(zel::platform::LoadString(library, 1062, text, sizeof text), 0);
  EXPECT_EQ(zel::platform::LoadString(library, 1, text, sizeof text), 0);
}

// ---- System records and identifiers ----

TEST(Systems, IdsRunFrom000AndWrapAfter999) {
  RZ700SysStruct* a = NewSystem("A");
  RZ700SysStruct* b = NewSystem("B");
  EXPECT_STREQ(a->szSysID, "000");
  EXPECT_STREQ(b->szSysID, "001");
  EXPECT_EQ(V(a->usCommState), ZEL_COMM_STOPPED);
  memcpy(Anchor().szNextSysID, "999", 4);
  EXPECT_STREQ(NewSystem("C")->szSysID, "999");
  EXPECT_STREQ(NewSystem("D")->szSysID, "000");
}

TEST(Systems, ListRunsNewestFirstAndSearchesAreExact) {
  RZ700SysStruct* older = NewSystem("HOSTA");
  RZ700SysStruct* newer = NewSystem("HOSTB");
  EXPECT_EQ(cbRetNextRZ700SysStruct(nullptr), newer);
  EXPECT_EQ(cbRetNextRZ700SysStruct(newer), older);
  EXPECT_EQ(cbRetNextRZ700SysStruct(older), nullptr);

  TraceCapture capture;
  RZ700SysStruct* found = newer;
  EXPECT_EQ(cbFindRZ700SysByName("hosta", &found), VQZM_RC_NO_SUCH_SYSTEM);
  EXPECT_EQ(found, nullptr);
  EXPECT_TRUE(capture.RaisedErrorPoint("NOT_FOUND_ERROR", "vqzmcb0"));
  EXPECT_EQ(cbFindRZ700SysByName("HOSTA", &found), 0);
  EXPECT_EQ(found, older);

  char rid[ZEL_RID_LEN];
  cbCreateRID(newer, 'S', rid);
  EXPECT_EQ(cbFindRZ700SysByRID(rid, &found), 0);
  EXPECT_EQ(found, newer);
  memcpy(rid + 8, "777", 3);
  EXPECT_EQ(cbFindRZ700SysByRID(rid, &found), VQZM_RC_NO_SUCH_SYSTEM);
  EXPECT_EQ(found, nullptr);
}

TEST(Systems, DeletingTheDefaultClearsItAndAStrangerLeavesTheListAlone) {
  RZ700SysStruct* kept = NewSystem("KEPT");
  RZ700SysStruct* gone = NewSystem("GONE");
  cbAddRZ700SysDefault(gone);
  EXPECT_EQ(cbRetDefaultRZ700SysStruct(), gone);
  EXPECT_EQ(cbDeleteRZ700SysStruct(gone), 0);
  EXPECT_EQ(cbRetDefaultRZ700SysStruct(), nullptr);
  EXPECT_EQ(cbRetNextRZ700SysStruct(nullptr), kept);

  RZ700SysStruct* stranger = nullptr;
  ASSERT_EQ(cbInitRZ700SysStruct(&stranger), 0);  // never added
  EXPECT_EQ(cbDeleteRZ700SysStruct(stranger), 0);
  EXPECT_EQ(cbRetNextRZ700SysStruct(nullptr), kept);
  EXPECT_EQ(cbRetNextRZ700SysStruct(kept), nullptr);
}

TEST(Identifiers, RidCarriesTypeSequencePwsIdAndSystemIdAndWrapsAt9999) {
  RZ700SysStruct* system = NewSystem("RIDS");
  char rid[ZEL_RID_LEN];
  cbCreateRID(system, 'S', rid);
  // No PWS system ID before the RRP has started: three zero bytes.
  EXPECT_EQ(std::string(rid, ZEL_RID_LEN), "S0000" + std::string(3, '\0') + "000");
  memcpy(system->achPWSSysID, "ABC", 3);
  memcpy(system->achRIDSeq, "9999", 4);
  cbCreateRID(system, 'A', rid);
  EXPECT_EQ(std::string(rid, ZEL_RID_LEN), "A9999ABC000");
  EXPECT_EQ(std::string(system->achRIDSeq, 4), "0000");

  char prid[ZEL_PRID_LEN];
  cbCreatePRID('X', rid, prid);
  EXPECT_EQ(std::string(prid, ZEL_PRID_LEN), "XA9999ABC000");
}

TEST(Identifiers, BlankPaddingAndBlankSearch) {
  char text[16] = "LIB";
  cbBlankPad(text, 8);
  EXPECT_STREQ(text, "LIB     ");
  char full[16] = "EIGHTCHR";
  {
    TraceCapture capture;
    cbBlankPad(full, 8);
    EXPECT_TRUE(capture.RaisedErrorPoint("DONE"));
  }
  EXPECT_STREQ(full, "EIGHTCHR");
  char longer[16] = "TOOLONGNAME";
  cbBlankPad(longer, 8);
  EXPECT_STREQ(longer, "TOOLONGN");

  EXPECT_EQ(cbFindBlank("ABCDEFGH", 8), -1);
  EXPECT_EQ(cbFindBlank("AB CD", 5), 2);
  EXPECT_EQ(cbFindBlank("AB\0 C", 5), 3);  // a NUL does not end the scan
  EXPECT_EQ(cbFindBlank("AB CD", 2), -1);
}

TEST(StartSystem, NamesUpToElevenCharactersAreKeptLongerOnesRefused) {
  SetStartSystem("HOSTSYSTEM1");
  char buffer[12];
  char* pointer = buffer;
  GetStartSystem(&pointer);
  EXPECT_STREQ(buffer, "HOSTSYSTEM1");
  SetStartSystem("HOSTSYSTEM12");
  GetStartSystem(&pointer);
  EXPECT_STREQ(buffer, "HOSTSYSTEM1");
}

// ---- Conversations ----

TEST(Conversations, IdsRiseFromOneAndAreNeverReissued) {
  RZ700SysStruct* system = NewSystem("CONV");
  uint32_t first = 0, second = 0;
  ASSERT_EQ(cbReturnNewConvId(&first, system, 1), 0);
  ASSERT_EQ(cbReturnNewConvId(&second, system, 0), 0);
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(V(system->ulConvCount), 1u);  // the first asked for no count
  EXPECT_EQ(cbDeallocConvId(second), VQZM_RC_INTERNAL_ERROR);  // no CPMgr window to tell
  EXPECT_EQ(V(system->ulConvCount), 0u);
  EXPECT_EQ(cbDeallocConvId(second), VQZM_RC_CONV_NOT_ACTIVE);
  EXPECT_EQ(V(system->ulConvCount), 0u);
  uint32_t third = 0;
  ASSERT_EQ(cbReturnNewConvId(&third, system, 1), 0);
  EXPECT_EQ(third, 3u);

  RZ700SysStruct* found = system;
  EXPECT_EQ(cbRetSysFromConvId(0, &found), VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(cbRetSysFromConvId(second, &found), VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_EQ(cbRetSysFromConvId(third, &found), 0);
  EXPECT_EQ(found, system);
}

TEST(Conversations, FreedSlotsAreReusedBeforeTheChainGrows) {
  RZ700SysStruct* system = NewSystem("MANY");
  std::vector<uint32_t> ids(101);
  for (uint32_t& id : ids) ASSERT_EQ(cbReturnNewConvId(&id, system, 1), 0);
  ConvBlock* first_block = Anchor().pConvBlk;
  ASSERT_NE(V(first_block->pNext), nullptr);  // the 101st took a new block
  EXPECT_EQ(V(first_block->pNext->aEntries[0].ulConvId), ids[100]);

  RZ700SysStruct* released = nullptr;
  {
    ListLock lock(Serial::kConvList);
    ASSERT_EQ(cbRemoveConvId(ids[5], &released), 0);
  }
  uint32_t next = 0;
  ASSERT_EQ(cbReturnNewConvId(&next, system, 1), 0);
  EXPECT_EQ(V(first_block->aEntries[5].ulConvId), next);
  EXPECT_EQ(V(first_block->pNext->pNext), nullptr);
  EXPECT_EQ(V(first_block->pNext->aEntries[1].ulInUse), 0u);
}

// Issues a conversation of the system at args[0], then ends as args[1]
// says: "exit" normally, "kill" by SIGKILL.
ZEL_CHILD_COMMAND(hold_conversation) {
  RZ700SysStruct* system = FromHex<RZ700SysStruct>(args[0]);
  uint32_t id = 0;
  if (cbReturnNewConvId(&id, system, 0) != 0) return 2;
  child::Report(std::to_string(id));
  if (args[1] == "kill") raise(SIGKILL);
  return 0;
}

TEST(Conversations, AProcessThatEndsOrIsKilledGivesItsConversationsBack) {
  RZ700SysStruct* system = NewSystem("OWNED");
  ChildProcess ends = ChildProcess::Start("hold_conversation", {Hex(system), "exit"});
  ASSERT_TRUE(ends.ReadLine());
  EXPECT_EQ(ends.Wait(), 0);
  EXPECT_EQ(V(system->ulConvCount), 0u) << "released as the process ended";

  ChildProcess killed = ChildProcess::Start("hold_conversation", {Hex(system), "kill"});
  std::optional<std::string> id = killed.ReadLine();
  ASSERT_TRUE(id);
  EXPECT_EQ(killed.Wait(), 128 + SIGKILL);
  EXPECT_EQ(V(system->ulConvCount), 1u);
  RZ700SysStruct* found = nullptr;
  EXPECT_EQ(cbRetSysFromConvId(static_cast<uint32_t>(std::stoul(*id)), &found), 0);
  EXPECT_EQ(ReleaseConversationsOfEndedProcesses(), 1u);
  EXPECT_EQ(V(system->ulConvCount), 0u);
  EXPECT_EQ(cbRetSysFromConvId(static_cast<uint32_t>(std::stoul(*id)), &found),
            VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_EQ(ReleaseConversationsOfEndedProcesses(), 0u);

  uint32_t mine = 0;
  ASSERT_EQ(cbReturnNewConvId(&mine, system, 0), 0);
  EXPECT_EQ(ReleaseConversationsOfEndedProcesses(), 0u) << "a live process keeps its own";
  EXPECT_EQ(V(system->ulConvCount), 1u);
}

TEST(Conversations, ReleasingASystemsConnectionDropsAllItsIdsAndItsCount) {
  RZ700SysStruct* gone = NewSystem("GONE");
  RZ700SysStruct* kept = NewSystem("KEPT");
  uint32_t a = 0, b = 0, c = 0;
  cbReturnNewConvId(&a, gone, 0);
  cbReturnNewConvId(&b, kept, 0);
  cbReturnNewConvId(&c, gone, 1);
  cbRemoveConvIdsSystem(gone);
  RZ700SysStruct* found = nullptr;
  EXPECT_EQ(cbRetSysFromConvId(a, &found), VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_EQ(cbRetSysFromConvId(c, &found), VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_EQ(cbRetSysFromConvId(b, &found), 0);
  EXPECT_EQ(V(gone->ulConvCount), 0u);
  EXPECT_EQ(V(kept->ulConvCount), 1u);
}

TEST(Conversations, IdsSkipZeroAndIssuedIdsWhenTheCounterWraps) {
  RZ700SysStruct* system = NewSystem("WRAP");
  Anchor().ulNextConvId = 0xFFFFFFFFu;
  uint32_t last = 0, wrapped = 0, after = 0;
  cbReturnNewConvId(&last, system, 1);
  EXPECT_EQ(last, 0xFFFFFFFFu);
  Anchor().ulNextConvId = 0xFFFFFFFFu;  // as if 2^32 IDs later
  cbReturnNewConvId(&wrapped, system, 1);
  EXPECT_EQ(wrapped, 1u);  // skipped the issued 0xFFFFFFFF and 0
  cbReturnNewConvId(&after, system, 1);
  EXPECT_EQ(after, 2u);
}

TEST(ManagerFields, StateAndWindowHandle) {
  EXPECT_EQ(cbReturnCPMgrState(), 21);
  cbSetCPMgrState(23);
  EXPECT_EQ(cbReturnCPMgrState(), 23);
  cbSetCPMgrHwnd(0x12345);
  EXPECT_EQ(cbRetCPMgrHwnd(), 0x12345u);
  EXPECT_EQ(V(Anchor().ulCPMgrPid), static_cast<uint32_t>(getpid()));
  TraceCapture capture;
  EXPECT_EQ(cbPostCPMgrMsg(0x405, 0, nullptr), VQZM_RC_INTERNAL_ERROR);  // no such window
  EXPECT_TRUE(capture.Traced("Error trying to send CPMgr msg"));
}

// ---- Lists ----

TEST(Lists, AsyncReturnsAreFoundNewestFirstByWindowAndByRid) {
  AsyncRetStruct* older = nullptr;
  AsyncRetStruct* newer = nullptr;
  ASSERT_EQ(cbInitAsyncRetStruct(&older), 0);
  ASSERT_EQ(cbInitAsyncRetStruct(&newer), 0);
  EXPECT_EQ(V(older->usPostState), 40);
  EXPECT_EQ(V(older->pData), nullptr);
  memcpy(older->achRID, "A0001AAA000", ZEL_RID_LEN);
  memcpy(newer->achRID, "A0002AAA000", ZEL_RID_LEN);
  older->hwndNotify = newer->hwndNotify = 77;
  cbAddAsyncRetStruct(older);
  cbAddAsyncRetStruct(newer);
  EXPECT_EQ(cbRetAsyncRetFromHwnd(77), newer);
  EXPECT_EQ(cbRetNextAsyncRetFromHwnd(77, newer), older);
  EXPECT_EQ(cbRetNextAsyncRetFromHwnd(77, older), nullptr);
  EXPECT_EQ(cbRetAsyncRetFromRid("A0001AAA000"), older);
  EXPECT_EQ(cbRetAsyncRetFromRid("A0003AAA000"), nullptr);
  cbDeleteAsyncRetStruct(newer);
  EXPECT_EQ(cbRetAsyncRetFromHwnd(77), older);
}

TEST(Lists, ResetFreesReassemblyBuffersExceptOfUnpostedAnswers) {
  AsyncRetStruct* posted = nullptr;
  AsyncRetStruct* waiting = nullptr;
  cbInitAsyncRetStruct(&posted);
  cbInitAsyncRetStruct(&waiting);
  posted->usPostState = 41;
  posted->ulTotalLen = 100;
  waiting->ulTotalLen = 100;
  waiting->pData = malloc(100);  // freed by the reset (checked by the sanitizers)
  cbAddAsyncRetStruct(posted);
  cbAddAsyncRetStruct(waiting);
  ThisProcess().is_manager = true;  // the manager allocated the buffer
  TraceCapture capture;
  cbResetAsyncRetList();
  ThisProcess().is_manager = false;
  EXPECT_EQ(V(Anchor().pAsyncRetList), nullptr);
  EXPECT_TRUE(capture.TracedValue("Async Post Msg State", 41));
  EXPECT_TRUE(capture.TracedValue("Async Post Msg State", 40));
}

// An application that resets after the manager died meets buffers of the
// manager's heap: it drops them, for freeing them would corrupt its own.
TEST(Lists, AResetOutsideTheManagerLeavesTheManagersBuffersAlone) {
  static char managers_buffer[100];
  AsyncRetStruct* waiting = nullptr;
  cbInitAsyncRetStruct(&waiting);
  waiting->ulTotalLen = sizeof managers_buffer;
  waiting->pData = managers_buffer;
  cbAddAsyncRetStruct(waiting);
  cbResetAsyncRetList();
  EXPECT_EQ(V(Anchor().pAsyncRetList), nullptr);
}

TEST(Lists, TerminateWindowsAreKeptInTypeOrder) {
  RZ700SysStruct* system = NewSystem("TERM");
  const std::pair<const char*, uint16_t> registered[] = {{"A", 1}, {"B", 2}, {"C", 1}, {"D", 3}};
  for (auto [name, type] : registered) {
    TermWndStruct* rec = nullptr;
    ASSERT_EQ(cbInitTermWndStruct(&rec), 0);
    strcpy(rec->szPgmID, name);
    ASSERT_EQ(cbAddTermWndStruct(system, rec, type), 0);
  }
  TermWndStruct* rejected = nullptr;
  cbInitTermWndStruct(&rejected);
  EXPECT_EQ(cbAddTermWndStruct(system, rejected, 4), VQZM_RC_INTERNAL_ERROR);

  std::string order;
  for (TermWndStruct* rec = cbRetNextTermWndStruct(system, nullptr); rec != nullptr;
       rec = cbRetNextTermWndStruct(system, rec)) {
    order += rec->szPgmID;
  }
  EXPECT_EQ(order, "DBAC");
  EXPECT_EQ(cbRetNextTermWndStruct(nullptr, nullptr), nullptr);

  TermWndStruct* b = cbRetTermWndFromPgmID(system, "B");
  ASSERT_NE(b, nullptr);
  cbDeleteTermWndStruct(system, b);
  EXPECT_EQ(cbRetTermWndFromPgmID(system, "B"), nullptr);
}

TEST(Lists, ThirdPartyAndNamedAsyncRecordsSurviveAResetAndHostRequestsGo) {
  ThirdPartyStruct* party = nullptr;
  ASSERT_EQ(cbInit3rdPartyStruct(&party), 0);
  strcpy(party->szPgmID, "PAYROLL");
  cbAdd3rdPartyStruct(party);
  NamedAsyncStruct* named = nullptr;
  ASSERT_EQ(cbInitNamedAsyncStruct(&named), 0);
  strcpy(named->szName, "NIGHTLY");
  cbAddNamedAsyncStruct(named);
  RZ700ReqStruct* request = nullptr;
  ASSERT_EQ(cbInitRZ700ReqStruct(&request), 0);
  memcpy(request->achRID, "R0001AAA000", ZEL_RID_LEN);
  cbAddRZ700ReqStruct(request);

  cbResetCtrlBlks();
  EXPECT_EQ(cbRet3rdPartyFromPgmID("PAYROLL"), party);
  EXPECT_EQ(cbRet3rdPartyFromPgmID("payroll"), nullptr);
  EXPECT_EQ(cbRetNamedAsyncFromName("NIGHTLY"), named);
  EXPECT_EQ(cbRetNextNamedAsync(nullptr), named);
  EXPECT_EQ(cbRetRZ700ReqFromRid("R0001AAA000"), nullptr)
      << "a host request still being assembled is never completed: it goes with a reset";
  cbDeleteNamedAsyncStruct(named);
  EXPECT_EQ(cbRetNamedAsyncFromName("NIGHTLY"), nullptr);
}

// ---- Outstanding data-queue requests ----

OutstandingDQReqCB* NewOutstanding(uint16_t type) {
  OutstandingDQReqCB* rec = nullptr;
  EXPECT_EQ(cbInitOutstandingDQCB(&rec), 0);
  auto* block = static_cast<SendReqCB*>(cbAllocCtrlBlkMem(sizeof(SendReqCB)));
  block->pDesc = static_cast<ReqBufferDesc*>(cbAllocCtrlBlkMem(sizeof(ReqBufferDesc)));
  rec->usUseCount = 2;
  rec->usReqType = type;
  rec->pReqCB = block;
  return rec;
}

TEST(Outstanding, TheSecondDeleteFreesAndTheCleanEventFollowsUnansweredRecords) {
  using namespace zel::platform;
  HANDLE clean = SerialHandle(Serial::kOutstandingClean);
  SetEvent(clean);
  OutstandingDQReqCB* first = NewOutstanding(2);
  ASSERT_EQ(cbCtrlOutstandingDQCBList(), 0);
  cbAddOutstandingDQCB(first);
  EXPECT_EQ(WaitForSingleObject(clean, 0), WAIT_TIMEOUT);  // reset: an unanswered record
  SetEvent(clean);
  cbAddOutstandingDQCB(NewOutstanding(2));  // one is unanswered already: left alone
  EXPECT_EQ(WaitForSingleObject(clean, 0), WAIT_OBJECT_0);
  ResetEvent(clean);
  ASSERT_EQ(cbRelOutstandingDQCBList(), 0);

  EXPECT_EQ(cbDeleteOutstandingDQCBAndLinkedMem(first), 0u);
  EXPECT_EQ(V(Anchor().pOutstandingDQList->pNext), first);  // still linked
  EXPECT_EQ(cbDeleteOutstandingDQCBAndLinkedMem(first), 1u);
  EXPECT_EQ(V(Anchor().pOutstandingDQList->pNext), nullptr);
}

TEST(Outstanding, TheDeleteOfTheLastUnansweredRecordReleasesAWaiter) {
  using namespace zel::platform;
  OutstandingDQReqCB* rec = NewOutstanding(4);
  cbCtrlOutstandingDQCBList();
  cbAddOutstandingDQCB(rec);
  cbRelOutstandingDQCBList();

  std::atomic<DWORD> waited{WAIT_FAILED};
  std::atomic<pid_t> waiter_tid{0};
  std::thread waiter([&] {
    HANDLE clean = OpenEvent(EVENT_ALL_ACCESS, false, SerialName(Serial::kOutstandingClean));
    waiter_tid = gettid();
    waited = WaitForSingleObject(clean, 20000);
    CloseHandle(clean);
  });
  EXPECT_TRUE(Eventually([&] { return waiter_tid != 0; }, 5s, 1ms));
  ASSERT_TRUE(WaitUntilBlocked(waiter_tid));
  cbDeleteOutstandingDQCBAndLinkedMem(rec);  // still held: nothing unanswered changes
  rec->ulReturned = 1;
  cbDeleteOutstandingDQCBAndLinkedMem(rec);
  waiter.join();
  EXPECT_EQ(waited.load(), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(SerialHandle(Serial::kOutstandingClean), 0), WAIT_TIMEOUT);
}

TEST(Outstanding, AnUnknownTypeIsRefusedAndLeftUnlinkedAndUnfreed) {
  OutstandingDQReqCB* rec = NewOutstanding(7);
  rec->usUseCount = 1;
  cbCtrlOutstandingDQCBList();
  cbAddOutstandingDQCB(rec);
  cbRelOutstandingDQCBList();
  TraceCapture capture;
  EXPECT_EQ(cbDeleteOutstandingDQCBAndLinkedMem(rec), 0u);
  EXPECT_TRUE(capture.RaisedErrorPoint("ERR_INVALID_REQ_TYPE", "Vqzmcb1"));
  EXPECT_EQ(V(Anchor().pOutstandingDQList), nullptr);
  EXPECT_EQ(cdChkOutstandingListReturnedFromCPMgr(), 0u);
}

ZEL_CHILD_COMMAND(check_within_cpmgr) {
  uint32_t within = 7;
  uint16_t rc = cbCheckWithinCPMgr(&within);
  child::Report(std::to_string(rc) + " " + std::to_string(within));
  return 0;
}

TEST(Outstanding, OnlyAnExecutableNamedExactlyVQZMCMWEXEIsTheManager) {
  namespace fs = std::filesystem;
  fs::path self = fs::read_symlink("/proc/self/exe");
  for (const char* name : {"VQZMCMW.EXE", "vqzmcmw.exe", "VQZMCMW"}) {
    fs::path dir = fs::path(TestDir()) / name;
    fs::create_directories(dir);
    fs::copy_file(self, dir / name);
    // The copy is away from the build tree: point it at the libraries.
    ChildProcess child =
        ChildProcess::Start("check_within_cpmgr", {},
                            {{"LD_LIBRARY_PATH", (self.parent_path() / "../lib").string()}},
                            (dir / name).string());
    EXPECT_EQ(child.ReadLine(), std::string(name) == "VQZMCMW.EXE" ? "0 1" : "0 0") << name;
    EXPECT_EQ(child.Wait(), 0);
  }
  uint32_t within = 7;
  EXPECT_EQ(cbCheckWithinCPMgr(&within), 0);
  EXPECT_EQ(within, 0u);
}

// ---- Fork ----

// A trace sink that stops the first thread tracing `text` where it traces,
// holding whatever it holds there, until Release(); every other record
// passes. Tracing is on while it exists.
class TraceHold {
 public:
  explicit TraceHold(std::string text) : text_(std::move(text)) {
    btSetRecordSink(&TraceHold::Sink, this);
  }
  ~TraceHold() {
    Release();
    btSetRecordSink(nullptr, nullptr);  // waits for the held thread's sink call
  }
  TraceHold(const TraceHold&) = delete;
  TraceHold& operator=(const TraceHold&) = delete;

  // True once a thread is held; waits 10 s at most.
  bool WaitHeld() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return held_; });
  }

  void Release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

 private:
  static void Sink(const BtRecord* record, void* context) {
    auto* self = static_cast<TraceHold*>(context);
    if (record->text == nullptr || self->text_ != record->text || !self->armed_.exchange(false)) {
      return;
    }
    std::unique_lock lock(self->mutex_);
    self->held_ = true;
    self->changed_.notify_all();
    self->changed_.wait_for(lock, 60s, [self] { return self->released_; });
  }

  const std::string text_;
  std::atomic<bool> armed_{true};  // no thread has been held yet
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;      // guarded by mutex_
  bool released_ = false;  // guarded by mutex_
};

// A child forked while another thread is inside a stop, holding the lock
// that orders posts to the manager (and the trace sink's), still stops:
// it gets as far as that thread does, to the missing manager window.
TEST(Fork, AChildForkedWhileAThreadHoldsAStopsLocksStillStops) {
  RZ700SysStruct* system = NewSystem("HELD");
  TraceHold hold("cbPostCPMgrMsg");
  uint16_t held_rc = 0;
  std::thread stopping([&] { held_rc = cmStopAndWaitComm(system); });
  if (hold.WaitHeld() && WaitUntilOtherThreadsSleep()) {
    auto in_child = [&](ForkedChild& self) {
      self.Send("stop " + std::to_string(cmStopAndWaitComm(system)));
      return 0;
    };
    ForkedChild child(in_child, ForkedChild::End::kAtOnce);
    EXPECT_EQ(child.Receive(10s), "stop " + std::to_string(VQZM_RC_INTERNAL_ERROR));
    EXPECT_EQ(child.Wait(), 0);
  } else {
    ADD_FAILURE() << "the stop never reached its post, or a thread stayed busy";
  }
  hold.Release();
  stopping.join();
  EXPECT_EQ(held_rc, VQZM_RC_INTERNAL_ERROR);
}

// A child forked from the manager's process is an application: it is not
// the manager, has no watcher of ended processes, and ends through its exit
// handlers without touching the manager's fields. The conversation list is
// held here until the child has forked, so that the watcher, asleep or
// waiting for the list, is inside nothing the child would find locked.
TEST(Fork, AChildOfTheManagersProcessIsNotTheManagerAndEndsCleanly) {
  std::optional<ListLock> conversations(std::in_place, Serial::kConvList);
  ASSERT_TRUE(conversations->acquired());
  cbSetCPMgrHwnd(0x54321);
  ASSERT_TRUE(ThisProcess().is_manager);
  ASSERT_TRUE(WaitUntilOtherThreadsSleep());
  ForkedChild child([](ForkedChild& self) {
    self.Send(ThisProcess().is_manager ? "manager" : "application");
    return 0;
  });
  EXPECT_EQ(child.Receive(), "application");
  conversations.reset();  // the child's end gives its conversations back under it
  EXPECT_EQ(child.Wait(), 0) << "ended cleanly";
  EXPECT_TRUE(ThisProcess().is_manager);
  EXPECT_EQ(cbRetCPMgrHwnd(), 0x54321u);
  EXPECT_EQ(V(Anchor().ulCPMgrPid), static_cast<uint32_t>(getpid()));
  StopWatchingEndedProcesses();
  ThisProcess().is_manager = false;
}

// ---- Concurrency ----

// Four threads issue and release conversation IDs, make RIDs for one shared
// system and allocate heap blocks; each reports what it got.
ZEL_CHILD_COMMAND(ctrlblk_stress) {
  RZ700SysStruct* system = FromHex<RZ700SysStruct>(args[0]);
  int rounds = std::stoi(args[1]);
  child::Report("ready");
  if (child::Receive() != "go") return 2;
  std::vector<std::vector<std::string>> lines(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
        uint32_t id = 0;
        if (cbReturnNewConvId(&id, system, 1) != 0) lines[t].push_back("error conv");
        lines[t].push_back("conv " + std::to_string(id));
        if (i % 2 == 1) cbDeallocConvId(id);
        char rid[ZEL_RID_LEN];
        cbCreateRID(system, 'S', rid);
        lines[t].push_back("rid " + std::string(rid + 1, 4));
        uint32_t size = 1 + static_cast<uint32_t>((i * 7 + t) % 40);
        auto* block = static_cast<char*>(cbAllocCtrlBlkMem(size));
        if (block == nullptr) {
          lines[t].push_back("error alloc");
          continue;
        }
        memset(block, t + 1, size);
        lines[t].push_back("block " + std::to_string(block - static_cast<char*>(ControlBlockView())) +
                           " " + std::to_string(size));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (auto& thread_lines : lines) {
    for (auto& line : thread_lines) child::Report(line);
  }
  child::Report("done");
  return 0;
}

TEST(Concurrency, TwoProcessesOfFourThreadsGetUniqueIdsRidsAndBlocks) {
  constexpr int kRounds = 1000;  // 8,000 RIDs: below the sequence's wrap
  RZ700SysStruct* system = NewSystem("STRESS");
  std::vector<ChildProcess> children;
  for (int i = 0; i < 2; ++i) {
    children.push_back(
        ChildProcess::Start("ctrlblk_stress", {Hex(system), std::to_string(kRounds)}));
    ASSERT_TRUE(children.back().Expect("ready"));
  }
  for (ChildProcess& child : children) child.Send("go");

  std::set<uint32_t> conv_ids;
  std::set<std::string> sequences;
  std::map<long, long> blocks;  // offset -> size
  size_t lines = 0;
  for (ChildProcess& child : children) {
    for (;;) {
      std::optional<std::string> line = child.ReadLine(60s);
      ASSERT_TRUE(line) << "child stopped reporting";
      if (*line == "done") break;
      ++lines;
      ASSERT_NE(line->rfind("error", 0), 0u) << *line;
      char kind[8];
      long a = 0, b = 0;
      char text[8] = {};
      if (sscanf(line->c_str(), "conv %ld", &a) == 1) {
        EXPECT_TRUE(conv_ids.insert(static_cast<uint32_t>(a)).second) << "conv ID twice: " << a;
      } else if (sscanf(line->c_str(), "rid %4s", text) == 1) {
        EXPECT_TRUE(sequences.insert(text).second) << "RID sequence twice: " << text;
      } else if (sscanf(line->c_str(), "%7s %ld %ld", kind, &a, &b) == 3) {
        blocks[a] = b;
      }
    }
    EXPECT_EQ(child.Wait(), 0);
  }
  EXPECT_EQ(lines, 2u * 4 * kRounds * 3);
  EXPECT_EQ(conv_ids.size(), 2u * 4 * kRounds);
  EXPECT_EQ(sequences.size(), 2u * 4 * kRounds);
  ASSERT_EQ(blocks.size(), 2u * 4 * kRounds);
  long end = 0;
  for (auto [offset, size] : blocks) {
    EXPECT_GE(offset, end) << "blocks overlap at " << offset;
    end = offset + size;
  }
}

}  // namespace
}  // namespace zel::test
