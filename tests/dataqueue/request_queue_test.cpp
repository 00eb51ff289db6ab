// The manager's request queue, in a process that is the manager by its
// program's name (a copy of this binary named VQZMCMW.EXE): requests handed
// to workers against a real zelhost, each requester released by its own
// request only; answers without a worker; posts and clears of records by
// hand; the notices of a processing thread that has to end.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/object_names.h"
#include "dataqueue/dataqueue.h"
#include "hostlink/hostlink.h"
#include "platform/event.h"
#include "platform/handles.h"
#include "platform/pipe.h"
#include "platform/posix/heap.h"
#include "platform/window.h"
#include "tests/harness/ebcdic_text.h"
#include "tests/harness/fake_calls.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_system.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmrc.h"
#include "wire/protocol.h"

namespace zel::test {
namespace {

using namespace zel::platform;
using ctrlblk::Anchor;

// A child's failed check: says which on stderr and ends the child with a
// code that names its line.
#define CHECK(condition)                                      \
  do {                                                        \
    if (!(condition)) {                                       \
      fprintf(stderr, "line %d: %s\n", __LINE__, #condition); \
      return 1 + __LINE__ % 250;                              \
    }                                                         \
  } while (0)

// Runs child `command` as the manager: a copy of this binary under the
// manager's program name, finding the libraries beside this one. A host
// server, when one is given, serves the child as "HOSTA".
int RunAsManager(const std::string& command, const HostServer* host = nullptr) {
  if (host != nullptr) {
    EXPECT_TRUE(host->running());
    host->Configure("HOSTA");
  }
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  std::string manager = TestPath(ctrlblk::kManagerProgramName);
  if (!std::filesystem::exists(manager)) {
    std::filesystem::copy_file(self, manager);
    std::filesystem::permissions(manager, std::filesystem::perms::owner_all);
  }
  std::string libraries = (self.parent_path().parent_path() / "lib").string();
  ChildProcess child = ChildProcess::Start(command, {}, {{"LD_LIBRARY_PATH", libraries}}, manager);
  int code = child.Wait(120s);
  EXPECT_EQ(code, 0) << child.Status();
  return code;
}

// This process registers as the manager: its window gets the notices.
HWND RegisterManagerWindow() {
  HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
  cbSetCPMgrHwnd(hwnd);
  return hwnd;
}

// The next notice (0x410) posted to this thread's window, within the bound.
bool NextNotice(MSG* msg) {
  return Eventually(
      [msg] { return PeekMessage(msg, 0, ZEL_MSG_CPMGR_NOTICE, ZEL_MSG_CPMGR_NOTICE, PM_REMOVE); });
}

std::string ReplyKey(int i) {
  char key[13];
  snprintf(key, sizeof key, "SAAA%04dAAA0", i);
  return key;
}

// A one-entry reply as the host writes it: data, or a return code only.
std::string ReplyEntry(const std::string& data, uint32_t code) {
  wire::ReturnEntryHeader header{};
  std::string id = Ebcdic(code == 0 ? "ZEL/700001" : "ZEL/700002");
  memcpy(header.msg_id, id.data(), sizeof header.msg_id);
  header.value.set(code);
  header.total_length.set(static_cast<uint32_t>(data.size()));
  header.block_length.set(static_cast<uint32_t>(data.size()));
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + data;
}

uint16_t WriteEntry(RZ700SysStruct* system, const std::string& key, std::string entry) {
  DQSendItem item{};
  item.pEntry = entry.data();
  item.ulLength = static_cast<uint32_t>(entry.size());
  memcpy(item.achKey, Ebcdic(key).data(), 12);
  return cdSendDQItem(system, &item);
}

// Reads one entry by key; its data after the header, or "<none>".
std::string ReadEntry(RZ700SysStruct* system, const std::string& key) {
  std::string buffer(system->ulDQMaxRecLen, '\0');
  DQReadItem item{};
  item.pBuffer = buffer.data();
  item.ulLength = static_cast<uint32_t>(buffer.size());
  memcpy(item.achKey, Ebcdic(key).data(), 12);
  item.usSearchOrder = dataqueue::kSearchEqual;
  if (cdReadDataQueue(system, &item, 5) != 0) return "<none>";
  return buffer.substr(dataqueue::kHeaderLength, item.ulLength - dataqueue::kHeaderLength);
}

std::string BlockText(const RtvDataDesc& desc) {
  if (desc.pData == nullptr) return "";
  std::string text(static_cast<const char*>(desc.pData), desc.ulDataLen);
  GlobalFree(desc.pData);
  return text;
}

bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// The records on the outstanding list, counted under its lock.
size_t ListLength() {
  if (ctrlblk::cbCtrlOutstandingDQCBList() != 0) return SIZE_MAX;
  size_t length = 0;
  for (auto* rec = Anchor().pOutstandingDQList; rec != nullptr; rec = rec->pNext) ++length;
  ctrlblk::cbRelOutstandingDQCBList();
  return length;
}

TEST(RequestQueue, SixteenConcurrentRetrievalsEachGetTheirOwnCodeAndData) {
  HostServer host;
  RunAsManager("sixteen_retrievals", &host);
}

ZEL_CHILD_COMMAND(sixteen_retrievals) {
  ManagerSystem manager;
  RegisterManagerWindow();
  CHECK(cdInitDQProcThread() == 0);
  constexpr int kRequests = 16;
  std::vector<uint16_t> codes(kRequests, 0xFFFF);
  std::vector<std::string> data(kRequests);
  std::vector<std::thread> requesters;
  for (int i = 0; i < kRequests; ++i) {
    requesters.emplace_back([&, i] {
      RtvDataDesc desc{};
      memcpy(desc.achKey, ReplyKey(i).data(), 12);
      desc.ulTimeout = 30;
      codes[i] = cdRtvData(manager.record(), &desc);
      data[i] = BlockText(desc);
    });
  }
  // The answers come in reverse order, each after a delay of its own: even
  // requests get data, odd ones a return code.
  CHECK(Eventually([] { return ListLength() == kRequests; }));
  for (int i = kRequests - 1; i >= 0; --i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5 * (i % 4)));
    std::string reply =
        i % 2 == 0 ? ReplyEntry("reply " + std::to_string(i), 0) : ReplyEntry("", 3000 + i);
    CHECK(WriteEntry(manager.record(), ReplyKey(i), reply) == 0);
  }
  for (std::thread& requester : requesters) requester.join();
  for (int i = 0; i < kRequests; ++i) {
    CHECK(codes[i] == (i % 2 == 0 ? 0 : 3000 + i));
    CHECK(data[i] == (i % 2 == 0 ? "reply " + std::to_string(i) : ""));
  }
  CHECK(Eventually([] { return ListLength() == 0; }));
  return 0;
}

TEST(RequestQueue, SendReturnRetrieveAndObtainGoThroughTheQueueToOneWorkerAgainstZelhost) {
  HostServer host;
  RunAsManager("through_the_queue", &host);
}

int g_thread_starts = 0;

ZEL_CHILD_COMMAND(through_the_queue) {
  FakePlatform fake;
  fake->btLaunchThread = [](void (*function)(void*), uint32_t stack, void* argument) -> int {
    ++g_thread_starts;
    return services::RealPlat().btLaunchThread(function, stack, argument);
  };
  fake->CreateThread = [](size_t stack, ThreadStartRoutine function, void* argument,
                          DWORD* id) -> HANDLE {
    ++g_thread_starts;
    return services::RealPlat().CreateThread(stack, function, argument, id);
  };
  ManagerSystem manager;
  RZ700SysStruct* system = manager.record();
  RegisterManagerWindow();
  CHECK(cdInitDQProcThread() == 0);

  std::string payload(8193, 'p');
  ReqBufferDesc req{};
  req.pData = payload.data();
  req.ulDataLen = static_cast<uint32_t>(payload.size());
  memcpy(req.achKey, "AAAA0001AAA0", 12);
  memcpy(req.achProgram, "ECH                  ", 21);
  CHECK(cdSendReqBuffer(system, &req) == 0);
  CHECK(ReadEntry(system, "AAAA0001AAA0") == payload.substr(0, 8192));
  CHECK(ReadEntry(system, "BAAA0001AAA0") == "p");

  RetBufferDesc ret{};
  ret.ulValue = 1058;
  memcpy(ret.achKey, "XAAA0002AAA0", 12);
  CHECK(cdSendRetBuffer(system, &ret, 1) == 0);
  CHECK(ReadEntry(system, "XAAA0002AAA0").empty());

  CHECK(WriteEntry(system, ReplyKey(3), ReplyEntry("the reply", 0)) == 0);
  RtvDataDesc rtv{};
  memcpy(rtv.achKey, ReplyKey(3).data(), 12);
  rtv.ulTimeout = 5;
  CHECK(cdRtvData(system, &rtv) == 0);
  CHECK(BlockText(rtv) == "the reply");

  CHECK(WriteEntry(system, "FFFFFFFFFFFF", ReplyEntry("", 0)) == 0);
  CHECK(hostlink::ccObtainRZ700RRP(system) == 0);
  CHECK(ListLength() == 0);
  // The processing thread, the answer keeper and one worker, which waited
  // for each next request: none of them started a thread of its own.
  CHECK(g_thread_starts == 3);
  return 0;
}

TEST(RequestQueue, ATypeSevenMessageIsDroppedAndAnInactiveSystemIsAnswered1032WithoutAWorker) {
  RunAsManager("inactive_system");
}

int g_launches = 0;

#pragma pack(push, 1)
// A message of the request pipe with a type nobody sends.
struct StrayMessage {
  uint32_t pid;
  uint32_t type;
  void* record;
};
#pragma pack(pop)

ZEL_CHILD_COMMAND(inactive_system) {
  FakePlatform fake;
  fake->btLaunchThread = [](void (*function)(void*), uint32_t stack, void* argument) -> int {
    ++g_launches;
    return services::RealPlat().btLaunchThread(function, stack, argument);
  };
  RZ700SysStruct* system = nullptr;
  CHECK(cmAddSystemByName("HOSTA", &system) == 0);
  system->usCommState = ZEL_COMM_STATION_RECEIVED;
  RegisterManagerWindow();
  CHECK(cdInitDQProcThread() == 0);
  StrayMessage stray{GetCurrentProcessId(), 7, nullptr};
  DWORD written = 0;
  CHECK(WriteFile(Anchor().hDQReqWrite, &stray, sizeof stray, &written));
  std::string data = "never sent";
  ReqBufferDesc req{};
  req.pData = data.data();
  req.ulDataLen = static_cast<uint32_t>(data.size());
  memcpy(req.achKey, "AAAA0001AAA0", 12);
  CHECK(cdSendReqBuffer(system, &req) == VQZM_RC_NOT_ACTIVE);
  RetBufferDesc ret{};
  CHECK(cdSendRetBuffer(system, &ret, 0) == VQZM_RC_NOT_ACTIVE);
  CHECK(g_launches == 0);
  CHECK(ListLength() == 0);
  return 0;
}

TEST(RequestQueue, AFailedDuplicationOrPipeWriteIs1064AndLeavesNothingBehind) {
  RunAsManager("hand_over_fails");
}

ZEL_CHILD_COMMAND(hand_over_fails) {
  RZ700SysStruct* system = nullptr;
  CHECK(cmAddSystemByName("HOSTA", &system) == 0);
  system->usCommState = ZEL_COMM_ACTIVE;
  RegisterManagerWindow();
  CHECK(cdInitDQProcThread() == 0);
  std::string data = "copied for the worker";
  ReqBufferDesc req{};
  req.pData = data.data();
  req.ulDataLen = static_cast<uint32_t>(data.size());
  uint64_t blocks = platform::internal::CheckGlobalHeap().used_blocks;
  {
    FakePlatform fake;
    fake->DuplicateHandle = [](HANDLE, HANDLE, HANDLE, HANDLE*, DWORD, bool, DWORD) -> bool {
      return false;
    };
    CHECK(cdSendReqBuffer(system, &req) == VQZM_RC_MANAGER_HANDOVER_FAILED);
  }
  {
    FakePlatform fake;
    fake->WriteFile = [](HANDLE, const void*, DWORD, DWORD*) -> bool { return false; };
    CHECK(cdSendReqBuffer(system, &req) == VQZM_RC_MANAGER_HANDOVER_FAILED);
  }
  CHECK(ListLength() == 0);
  CHECK(platform::internal::CheckGlobalHeap().used_blocks == blocks);
  return 0;
}

// ---- Records posted and cleared by hand: a pipe that nobody reads ----

// A request queued as a requester queues it, with its own event.
struct Queued {
  ObtainRRPCB* block = nullptr;
  OutstandingDQReqCB* rec = nullptr;
  UniqueHandle event;
};

bool Queue(RZ700SysStruct* system, Queued* queued) {
  queued->block = static_cast<ObtainRRPCB*>(ctrlblk::cbAllocCtrlBlkMem(sizeof(ObtainRRPCB)));
  *queued->block = ObtainRRPCB{};
  std::string name = dataqueue::RequestEventName(ctrlblk::DQ_REQ_OBTAIN_RRP, queued->block);
  queued->event.Reset(CreateEvent(true, false, name.c_str()));
  return queued->event &&
         cdSendDQRequest(system, queued->block, ctrlblk::DQ_REQ_OBTAIN_RRP, &queued->rec) == 0;
}

bool UnreadPipe() {
  HANDLE read_end = 0;
  HANDLE write_end = 0;
  if (!CreatePipe(&read_end, &write_end, 0)) return false;
  Anchor().hDQReqRead = read_end;
  Anchor().hDQReqWrite = write_end;
  Anchor().ulCPMgrPid = GetCurrentProcessId();
  return true;
}

TEST(RequestQueue, AClearPostsOnlyTheUnansweredAndALatePostSignalsNothing) {
  RunAsManager("clear_three");
}

ZEL_CHILD_COMMAND(clear_three) {
  RZ700SysStruct* system = nullptr;
  CHECK(cmAddSystemByName("HOSTA", &system) == 0);
  CHECK(UnreadPipe());
  Queued queued[3];
  for (Queued& q : queued) CHECK(Queue(system, &q));
  OutstandingDQReqCB* middle = queued[1].rec;
  queued[1].block->hdr.usRC = 7;
  CHECK(cdPostDQRequestRC(&middle) == 0);
  CHECK(middle == nullptr);
  CHECK(Signalled(queued[1].event.get()));
  ResetEvent(queued[1].event.get());

  cdClearOutstandingDQReqList(VQZM_RC_CPMGR_ENDED);
  CHECK(Signalled(queued[0].event.get()) && V(queued[0].block->hdr.usRC) == 1056);
  CHECK(!Signalled(queued[1].event.get()) && V(queued[1].block->hdr.usRC) == 7);
  CHECK(Signalled(queued[2].event.get()) && V(queued[2].block->hdr.usRC) == 1056);

  // The worker of the first finishes after the clear: its requester was
  // released already, so nothing is signalled or stored.
  ResetEvent(queued[0].event.get());
  dataqueue::PostRequestResult(queued[0].rec, 0);
  CHECK(!Signalled(queued[0].event.get()) && V(queued[0].block->hdr.usRC) == 1056);

  // Each requester lets go; only the third's processing side still holds.
  for (Queued& q : queued) dataqueue::DropHold(q.rec, false);
  CHECK(ListLength() == 1);
  dataqueue::PostRequestResult(queued[2].rec, 0);
  CHECK(ListLength() == 0);
  return 0;
}

TEST(RequestQueue, ARequesterThatGaveUpIsNeverWrittenToAndTheLastHolderFreesAll) {
  RunAsManager("gave_up");
}

ZEL_CHILD_COMMAND(gave_up) {
  RZ700SysStruct* system = nullptr;
  CHECK(cmAddSystemByName("HOSTA", &system) == 0);
  CHECK(UnreadPipe());
  Queued mine;
  Queued other;
  CHECK(Queue(system, &mine) && Queue(system, &other));
  // The requester's wait ran out: it closes its event and lets go first.
  mine.event.Reset();
  dataqueue::DropHold(mine.rec, false);
  CHECK(ListLength() == 2);
  // The late worker's post finds no event and frees what is left; the
  // other request, at another address, is not woken by it.
  dataqueue::PostRequestResult(mine.rec, 0);
  CHECK(ListLength() == 1);
  CHECK(!Signalled(other.event.get()));
  return 0;
}

// ---- The wait until no request is unanswered ----

// Waits until thread `tid` of this process sleeps in the kernel.
bool Asleep(pid_t tid) {
  std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
  return Eventually(
      [&path] {
        std::ifstream stat(path);
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t paren = text.rfind(')');
        return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'S';
      },
      10s, 1ms);
}

TEST(RequestQueue, TheWaitForTheListEndsAsItsLastRequestIsAnsweredAndAtOnceWhenNoneIs) {
  RZ700SysStruct* system = nullptr;
  ASSERT_EQ(cmAddSystemByName("HOSTA", &system), 0);
  ASSERT_TRUE(UnreadPipe());
  EXPECT_EQ(cdWaitOutstandingDQCBList(system), 0);
  Queued first;
  Queued second;
  ASSERT_TRUE(Queue(system, &first) && Queue(system, &second));
  std::atomic<pid_t> tid{0};
  std::atomic<int> rc{-1};
  std::thread waiter([&] {
    tid = gettid();
    rc = cdWaitOutstandingDQCBList(system);
  });
  ASSERT_TRUE(Eventually([&] { return tid != 0; }, 5s, 1ms));
  ASSERT_TRUE(Asleep(tid));
  dataqueue::PostRequestResult(first.rec, 0);
  // One answer left outstanding keeps the wait on.
  EXPECT_FALSE(Eventually([&] { return rc != -1; }, 300ms));
  auto start = std::chrono::steady_clock::now();
  dataqueue::PostRequestResult(second.rec, 0);
  waiter.join();
  EXPECT_EQ(rc, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  // Answered but still held by their requesters: nothing is unanswered.
  EXPECT_EQ(ListLength(), 2u);
  EXPECT_EQ(cdWaitOutstandingDQCBList(system), 0);
}

// Waits on the clean event, as the fakes below see them.
OutstandingDQReqCB* g_answered_late = nullptr;
DWORD g_clean_waits_ms = 0;
int g_clean_waits = 0;
DWORD g_clean_wait_result = WAIT_TIMEOUT;

bool IsCleanEvent(HANDLE handle) {
  return handle == ctrlblk::SerialHandle(ctrlblk::Serial::kOutstandingClean);
}

TEST(RequestQueue, AnAnswerWhosePulseCameBeforeTheWaitStillEndsIt) {
  RZ700SysStruct* system = nullptr;
  ASSERT_EQ(cmAddSystemByName("HOSTA", &system), 0);
  ASSERT_TRUE(UnreadPipe());
  Queued queued;
  ASSERT_TRUE(Queue(system, &queued));
  g_answered_late = queued.rec;
  FakePlatform fake;
  // The answer comes after the waiter looked at the list and before it
  // waits: its pulse reaches nobody.
  fake->WaitForSingleObject = [](HANDLE handle, DWORD ms) -> DWORD {
    if (IsCleanEvent(handle) && g_answered_late != nullptr) {
      dataqueue::PostRequestResult(std::exchange(g_answered_late, nullptr), 0);
    }
    return services::RealPlat().WaitForSingleObject(handle, ms);
  };
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(cdWaitOutstandingDQCBList(system), 0);
  EXPECT_EQ(g_answered_late, nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(RequestQueue, TheWaitGivesUpAfterFortyFiveSecondsWith1059AndAFailedWaitIs1064) {
  RZ700SysStruct* system = nullptr;
  ASSERT_EQ(cmAddSystemByName("HOSTA", &system), 0);
  ASSERT_TRUE(UnreadPipe());
  Queued queued;
  ASSERT_TRUE(Queue(system, &queued));
  FakePlatform fake;
  // The clean event's waits end at once with the result chosen; the time
  // they asked for is added up.
  fake->WaitForSingleObject = [](HANDLE handle, DWORD ms) -> DWORD {
    if (!IsCleanEvent(handle)) return services::RealPlat().WaitForSingleObject(handle, ms);
    g_clean_waits_ms += ms;
    ++g_clean_waits;
    return g_clean_wait_result;
  };
  TraceCapture capture;
  EXPECT_EQ(cdWaitOutstandingDQCBList(system), VQZM_RC_TIMED_OUT);
  EXPECT_EQ(g_clean_waits_ms, 45000u);
  EXPECT_TRUE(capture.RaisedErrorPoint("ERR_DOS_WAIT_EVENT", "Vqzmcd1"));
  EXPECT_TRUE(capture.TracedValue("DosWaitEventSem() rc=", WAIT_TIMEOUT));

  g_clean_waits = 0;
  g_clean_wait_result = WAIT_FAILED;
  EXPECT_EQ(cdWaitOutstandingDQCBList(system), VQZM_RC_MANAGER_HANDOVER_FAILED);
  EXPECT_EQ(g_clean_waits, 1) << "a failed wait is not tried again";
}

TEST(RequestQueue, TheManagersEndReleasesEveryWaitingRequestWith1056) {
  HostServer host;
  RunAsManager("manager_ends", &host);
}

ZEL_CHILD_COMMAND(manager_ends) {
  auto manager = std::make_unique<ManagerSystem>();
  RegisterManagerWindow();
  CHECK(cdInitDQProcThread() == 0);
  constexpr int kRequests = 3;
  std::vector<uint16_t> codes(kRequests, 0);
  std::vector<std::thread> requesters;
  for (int i = 0; i < kRequests; ++i) {
    requesters.emplace_back([&, i] {
      RtvDataDesc desc{};
      memcpy(desc.achKey, ReplyKey(i).data(), 12);
      desc.ulTimeout = 0xFFFFFFFFu;  // no reply ever comes
      codes[i] = cdRtvData(manager->record(), &desc);
    });
  }
  CHECK(Eventually([] { return ListLength() == kRequests; }));
  cmExitListRoutine();
  for (std::thread& requester : requesters) requester.join();
  for (uint16_t code : codes) CHECK(code == VQZM_RC_CPMGR_ENDED);
  // The workers still read; once the manager's connection is gone they
  // post, find their requesters released, and free the rest.
  manager.reset();
  CHECK(Eventually([] { return ListLength() == 0; }));
  return 0;
}

TEST(RequestQueue, AWorkerThatCannotStartAndAFailedPipeReadPostTheirNotices) {
  RunAsManager("launch_fails");
  RunAsManager("read_fails");
}

ZEL_CHILD_COMMAND(launch_fails) {
  FakePlatform fake;
  fake->btLaunchThread = [](void (*)(void*), uint32_t, void*) -> int { return -1; };
  RZ700SysStruct* system = nullptr;
  CHECK(cmAddSystemByName("HOSTA", &system) == 0);
  system->usCommState = ZEL_COMM_ACTIVE;
  RegisterManagerWindow();
  CHECK(cdInitDQProcThread() == 0);
  auto* block = static_cast<RtvDataCB*>(ctrlblk::cbAllocCtrlBlkMem(sizeof(RtvDataCB)));
  *block = RtvDataCB{};
  block->pDesc = static_cast<RtvDataDesc*>(ctrlblk::cbAllocCtrlBlkMem(sizeof(RtvDataDesc)));
  *block->pDesc = RtvDataDesc{};
  OutstandingDQReqCB* rec = nullptr;
  CHECK(cdSendDQRequest(system, block, ctrlblk::DQ_REQ_RTV_DATA, &rec) == 0);
  MSG msg{};
  CHECK(NextNotice(&msg));
  auto* notice = reinterpret_cast<CPMgrNotice*>(msg.lParam);
  CHECK(msg.wParam == 1 && V(notice->ulMsgNum1) == ZEL_MSGNUM_DQ_LAUNCH &&
        V(notice->ulMsgNum2) == ZEL_MSGNUM_DQ_LAUNCH_2);
  CHECK(std::string(V(notice->pszInsert)) == "1440");
  CHECK(V(block->ulRequesterPid) == GetCurrentProcessId());
  free(V(notice->pszInsert));
  free(notice);
  return 0;
}

ZEL_CHILD_COMMAND(read_fails) {
  FakePlatform fake;
  fake->ReadFile = [](HANDLE, void*, DWORD, DWORD*) -> bool {
    SetLastError(ERROR_BROKEN_PIPE);
    return false;
  };
  RegisterManagerWindow();
  CHECK(cdInitDQProcThread() == 0);
  MSG msg{};
  CHECK(NextNotice(&msg));
  auto* notice = reinterpret_cast<CPMgrNotice*>(msg.lParam);
  CHECK(msg.wParam == 1 && V(notice->ulMsgNum1) == ZEL_MSGNUM_DQ_PIPE_READ &&
        V(notice->ulMsgNum2) == ZEL_MSGNUM_DQ_PIPE_READ_2);
  CHECK(std::string(V(notice->pszInsert)) == std::to_string(ERROR_BROKEN_PIPE));
  free(V(notice->pszInsert));
  free(notice);
  return 0;
}

}  // namespace
}  // namespace zel::test
