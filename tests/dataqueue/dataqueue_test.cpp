// Reading and writing a system's data queue on a real zelhost, from the
// manager's connection and from an application's own; a failing write; the
// termination entry of the manager's exit; entry headers; placing received
// data.
#include "dataqueue/dataqueue.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "ctrlblk/ctrlblk.h"
#include "platform/event.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "services/connection.h"
#include "services/dataqueue.h"
#include "tests/harness/ebcdic_text.h"
#include "tests/harness/fake_calls.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_system.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmrc.h"
#include "wire/protocol.h"

namespace zel::test {
namespace {

uint16_t Write(RZ700SysStruct* system, const std::string& key, std::string entry) {
  DQSendItem item{};
  item.pEntry = entry.data();
  item.ulLength = static_cast<uint32_t>(entry.size());
  memcpy(item.achKey, Ebcdic(key).data(), 12);
  return cdSendDQItem(system, &item);
}

struct ReadResult {
  uint16_t rc = 0;
  DQReadItem item{};
  std::string data;
};

ReadResult Read(RZ700SysStruct* system, const std::string& key, uint16_t order, int32_t wait) {
  ReadResult result;
  result.data.assign(200, '\0');
  result.item.pBuffer = result.data.data();
  result.item.ulLength = static_cast<uint32_t>(result.data.size());
  memcpy(result.item.achKey, Ebcdic(key).data(), 12);
  result.item.usSearchOrder = order;
  result.rc = cdReadDataQueue(system, &result.item, wait);
  result.data.resize(result.rc == 0 ? result.item.ulLength : 0);
  return result;
}

TEST(DataQueue, AnEntryComesBackWithItsKeyInAsciiAndAnEmptyQueueGives1059) {
  HostServer host;
  ASSERT_TRUE(host.running());
  ManagerSystem manager(host);
  ASSERT_EQ(Write(manager.record(), "SAAA0001AAA0", "reply data"), 0);
  ReadResult read = Read(manager.record(), "SAAA0001AAA0", dataqueue::kSearchEqual, 5);
  ASSERT_EQ(read.rc, 0);
  EXPECT_STREQ(read.item.achKey, "SAAA0001AAA0");
  EXPECT_EQ(read.data, "reply data");

  read = Read(manager.record(), "SAAA0001AAA0", dataqueue::kSearchEqual, 1);
  EXPECT_EQ(read.rc, VQZM_RC_TIMED_OUT);
  EXPECT_EQ(read.item.ulLength, 200u) << "the item is left as it was";
  EXPECT_EQ(std::string(read.item.achKey, 12), Ebcdic("SAAA0001AAA0"));
}

TEST(DataQueue, AnApplicationReachesTheQueueOverAConnectionOfItsOwn) {
  HostServer host;
  ASSERT_TRUE(host.running());
  ManagerSystem manager(host);
  RZ700SysStruct* record = manager.record();
  // The manager's handle means nothing in another process.
  record->hSystem = 0x7F000001;
  ASSERT_EQ(Write(record, "ZA0001AAA000", "for the manager"), 0);
  ReadResult read = Read(record, "Z           ", dataqueue::kSearchGreaterEqual, 5);
  ASSERT_EQ(read.rc, 0);
  EXPECT_STREQ(read.item.achKey, "ZA0001AAA000");
  EXPECT_EQ(V(record->hSystem), 0x7F000001u) << "the record keeps the manager's handle";
}

TEST(DataQueue, TheManagersEndlessReadEndsWith1035WhenTheHostDropsItsConnection) {
  HostServer host;
  ASSERT_TRUE(host.running());
  ManagerSystem manager(host);
  auto reader = std::async(std::launch::async, [&] {
    return Read(manager.record(), "Z           ", dataqueue::kSearchGreaterEqual,
                dataqueue::kWaitForever)
        .rc;
  });
  ASSERT_EQ(reader.wait_for(1s), std::future_status::timeout) << "the read waits for an entry";
  // Connection 1 is the sign-on connection the manager made.
  ASSERT_EQ(host.Control("drop 1").rfind("ok", 0), 0u) << host.Control("list");
  ASSERT_EQ(reader.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(reader.get(), VQZM_RC_CONNECTION_FAILED);
}

int g_live = 0;  // data objects and error handles alive

TEST(DataQueue, AFailedWriteIs1034AndReleasesWhatItMade) {
  FakeQlx fake;
  g_live = 0;
  fake->qlxDQ_CreateData = []() -> uint32_t {
    ++g_live;
    return services::RealQlx().qlxDQ_CreateData();
  };
  fake->qlxDQ_DeleteData = [](uint32_t data) -> uint32_t {
    --g_live;
    return services::RealQlx().qlxDQ_DeleteData(data);
  };
  fake->qlxSV_CreateErrHandle = [](uint32_t* handle) -> uint32_t {
    ++g_live;
    return services::RealQlx().qlxSV_CreateErrHandle(handle);
  };
  fake->qlxSV_DeleteErrHandle = [](uint32_t handle) -> uint32_t {
    --g_live;
    return services::RealQlx().qlxSV_DeleteErrHandle(handle);
  };
  fake->qlxCO_TestConnection = [](uint32_t, uint32_t, uint32_t* connected) -> uint32_t {
    *connected = 1;
    return 0;
  };
  fake->qlxDQ_OpenEx = [](uint32_t, const char*, const char*, uint32_t* queue,
                          uint32_t) -> uint32_t {
    *queue = 0;
    return 0;
  };
  fake->qlxDQ_Write = [](uint32_t, uint32_t, uint32_t, uint32_t) -> uint32_t {
    return QLXDQ_RC_CONNECTION;
  };
  RZ700SysStruct* record = nullptr;
  ASSERT_EQ(cmAddSystemByName("HOSTA", &record), 0);
  record->hSystem = 5;
  TraceCapture capture;
  EXPECT_EQ(Write(record, "AAAAA0001AAA", std::string(128, '\0')), VQZM_RC_DATA_QUEUE_ERROR);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_WRITE_DATA", "vqzmcd0"));
  EXPECT_EQ(g_live, 0);
}

// The manager's own handle to "STATE" is closed by the time its exit routine
// runs (the stop of the manager closes it), as in every normal shutdown.
void CloseManagersStateHandle() {
  ASSERT_EQ(cmInitCPMStateSem(), 0);
  cmCloseCPMStateSem();
}

TEST(ExitRoutine, WritesTheTerminationEntryOfAnActiveSystemOnce) {
  HostServer host;
  ASSERT_TRUE(host.running());
  ManagerSystem manager(host);
  CloseManagersStateHandle();
  cmExitListRoutine();
  EXPECT_EQ(V(manager.record()->bTermMsgSent), 1);
  ReadResult read = Read(manager.record(), "ZZZZZZZZZZZZ", dataqueue::kSearchEqual, 1);
  ASSERT_EQ(read.rc, 0);
  EXPECT_EQ(ToHex(read.data), ToHex(std::string(12, 'Z') + '\0'));
  EXPECT_EQ(ToHex(Ebcdic("ZZZZZZZZZZZZ")), ToHex(std::string(12, '\xE9')));

  cmExitListRoutine();
  EXPECT_EQ(Read(manager.record(), "ZZZZZZZZZZZZ", dataqueue::kSearchEqual, 1).rc,
            VQZM_RC_TIMED_OUT);
}

// Holds "STATE" from another process until told to let go.
ZEL_CHILD_COMMAND(hold_state) {
  platform::HANDLE state = platform::CreateMutex(true, "STATE");
  child::Report(state != 0 ? "held" : "failed");
  child::Receive();
  platform::ReleaseMutex(state);
  return 0;
}

TEST(ExitRoutine, WaitsForStateAndFailsNothingInANormalShutdown) {
  platform::HANDLE running = platform::CreateEvent(true, false, "RUNNING");
  ASSERT_NE(running, 0u);
  CloseManagersStateHandle();
  ChildProcess holder = ChildProcess::Start("hold_state");
  ASSERT_EQ(holder.ReadLine(), "held");
  TraceCapture capture;
  std::future<void> exit = std::async(std::launch::async, [] { cmExitListRoutine(); });
  EXPECT_EQ(exit.wait_for(300ms), std::future_status::timeout)
      << "the exit routine went on while another process held STATE";
  holder.Send("release");
  EXPECT_EQ(exit.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_EQ(V(ctrlblk::Anchor().usCPMgrState), ZEL_CPMGR_NOT_RUNNING);
  // With no system running, the look-up for one finds none; nothing fails.
  std::vector<std::string> points = capture.ErrorPoints();
  std::erase(points, "SYS_NOT_FOUND (vqzmcm1)");
  EXPECT_TRUE(points.empty()) << points.front();
  EXPECT_TRUE(capture.TracedValue("cmReleaseCPMState() rc = ", 0));
  platform::CloseHandle(running);
}

// ---- Entry headers ----

std::string BigEndian(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string ReturnEntry(const std::string& msg_id, uint32_t total, uint32_t block, uint32_t left) {
  std::string entry = Ebcdic(msg_id) + std::string(2, '\0') + BigEndian(7) + BigEndian(1) +
                      BigEndian(total) + BigEndian(block) + BigEndian(left);
  entry.resize(128, '\0');
  return entry;
}

TEST(EntryHeader, ReturnAndRequestHeadersAreCheckedAndConvertedInPlace) {
  std::string entry = ReturnEntry("ZEL/700001", 20000, 8192, 11808);
  ASSERT_EQ(cdProcRcvHeader(dataqueue::kDataReturnMsgId, entry.data()), 0);
  DQRetHeader header;
  memcpy(&header, entry.data(), sizeof header);
  EXPECT_EQ(std::string(header.achMsgId, 10), "ZEL/700001");
  EXPECT_EQ(V(header.ulValue), 7u);
  EXPECT_EQ(V(header.ulDataVersion), 1u);
  EXPECT_EQ(V(header.ulTotalLen), 20000u);
  EXPECT_EQ(V(header.ulBlockLen), 8192u);
  EXPECT_EQ(V(header.ulBytesLeft), 11808u);
  entry = ReturnEntry("ZEL/700002", 0, 0, 0);
  EXPECT_EQ(cdProcRcvHeader(dataqueue::kDataReturnMsgId, entry.data()), 0);

  std::string request = Ebcdic("ZEL/700000") + Ebcdic("ECHO" + std::string(17, ' ')) +
                        std::string(1, '\0') + BigEndian(3) + BigEndian(0) + BigEndian(5) +
                        BigEndian(5) + BigEndian(0);
  request.resize(128, '\0');
  std::string copy = request;
  ASSERT_EQ(cdProcRcvHeader(dataqueue::kRequestMsgId, request.data()), 0);
  DQReqHeader req;
  memcpy(&req, request.data(), sizeof req);
  EXPECT_EQ(std::string(req.achProgram, 21), "ECHO" + std::string(17, ' '));
  EXPECT_EQ(V(req.ulValue), 3u);
  EXPECT_EQ(V(req.ulTotalLen), 5u);

  TraceCapture capture;
  EXPECT_EQ(cdProcRcvHeader(dataqueue::kDataReturnMsgId, copy.data()), VQZM_RC_INTERNAL_ERROR);
  EXPECT_TRUE(capture.RaisedErrorPoint("ENTRY_TYPE_ERROR1", "vqzmcd0"));
  EXPECT_EQ(cdProcRcvHeader("ZEL/700009", copy.data()), VQZM_RC_INTERNAL_ERROR);
  EXPECT_TRUE(capture.RaisedErrorPoint("UNSUPPORTED_ENTRY_TYPE"));
}

// ---- Placing received data ----

void* Reassembled(const std::string& data) {
  void* buffer = malloc(data.size());
  memcpy(buffer, data.data(), data.size());
  return buffer;
}

TEST(ReceivedData, EachPurposePlacesTheDataAndAnUnknownVersionGivesNothing) {
  using platform::GlobalFree;
  using platform::GlobalSize;
  std::string data = "0123456789";
  uint32_t length = 10;

  void* holder = Reassembled(data);
  ASSERT_EQ(cdConvRcvdDataBuffer(2, 0, &length, &holder), 0);
  ASSERT_EQ(GlobalSize(holder), 37u);
  EXPECT_EQ(std::string(static_cast<char*>(holder) + 27, 10), data);
  GlobalFree(holder);

  void* own = Reassembled(data);
  holder = own;
  ASSERT_EQ(cdConvRcvdDataBuffer(3, 0, &length, &holder), 0);
  EXPECT_EQ(holder, own) << "the caller's own process takes the buffer as it is";
  free(own);

  holder = Reassembled(data);
  ASSERT_EQ(cdConvRcvdDataBuffer(5, 0, &length, &holder), 0);
  EXPECT_EQ(GlobalSize(holder), 27u);
  GlobalFree(holder);

  for (auto [purpose, version] : {std::pair<uint16_t, uint32_t>{1, 2}, {6, 0}}) {
    holder = Reassembled(data);
    EXPECT_EQ(cdConvRcvdDataBuffer(purpose, version, &length, &holder), VQZM_RC_INTERNAL_ERROR);
    EXPECT_EQ(holder, nullptr);
  }
}

TEST(ReceivedData, ALengthThatWouldWrapTheBlockSizeGives4) {
  for (uint16_t purpose : {uint16_t{2}, uint16_t{4}}) {
    for (uint32_t length : {0xFFFFFFE5u, 0xFFFFFFFFu, 0xFFFFFFCDu}) {
      void* holder = Reassembled("0123456789");
      uint32_t claimed = length;
      EXPECT_EQ(cdConvRcvdDataBuffer(purpose, 0, &claimed, &holder), VQZM_RC_NO_MEMORY)
          << "purpose " << purpose << ", length " << length;
      EXPECT_EQ(holder, nullptr);
    }
  }
  void* block = platform::GlobalAlloc(platform::GMEM_SHARE, 1 << 20);
  EXPECT_NE(block, nullptr) << "the global heap is intact";
  platform::GlobalFree(block);
}

}  // namespace
}  // namespace zel::test
