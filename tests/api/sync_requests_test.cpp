// Synchronous requests against a data queue played by the test: how the
// senders split a buffer into entries, how the retrieval checks and puts
// a reply together and where it fails, how an RRP is obtained, and what
// the four calls refuse before anything reaches the queue.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "ctrlblk/ctrlblk.h"
#include "dataqueue/dataqueue.h"
#include "hostlink/hostlink.h"
#include "platform/window.h"
#include "services/dataqueue.h"
#include "tests/api/obtain_mutex.h"
#include "tests/harness/ebcdic_text.h"
#include "tests/harness/fake_calls.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"
#include "zelapp.h"

namespace zel::test {
namespace {

using namespace zel::platform;

std::string BigEndian(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

uint32_t NumberAt(const std::string& entry, size_t offset) {
  const auto* at = reinterpret_cast<const uint8_t*>(entry.data() + offset);
  return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  return data;
}

// ---- The data queue, played by the test ----

struct Entry {
  std::string key;  // 12 EBCDIC characters
  std::string bytes;
};

// How one read goes, instead of taking an entry off the queue.
enum class ReadFault { kNone, kLinkLost, kServiceFails };

struct DataObject {
  void* address = nullptr;
  uint32_t length = 0;
  std::string key;
  std::string found_key;
  uint32_t found_length = 0;
  uint32_t result = 0;
};

struct Queue {
  std::deque<Entry> entries;           // waiting, oldest first
  std::vector<Entry> written;          // every write, in order
  std::vector<int32_t> waits;          // the wait of every read
  std::map<size_t, ReadFault> faults;  // by the read's number, from 0
  int fail_write = -1;                 // the write that fails, from 0
  bool link_up = true;
  std::function<void(const Entry&)> on_write;  // the host's answer to a write
  std::function<void(size_t)> before_read;     // told the number of each read
  std::map<uint32_t, DataObject> objects;
  uint32_t next_object = 1;
};

Queue* g_queue = nullptr;

// Replaces the data-queue service and the connection test for the length
// of a test; everything else is the real library.
class QueueFake {
 public:
  QueueFake() {
    g_queue = &queue_;
    fake_->qlxCO_TestConnection = [](uint32_t, uint32_t, uint32_t* connected) -> uint32_t {
      *connected = g_queue->link_up ? 1 : 0;
      return 0;
    };
    fake_->qlxDQ_OpenEx = [](uint32_t, const char*, const char*, uint32_t* queue,
                             uint32_t) -> uint32_t {
      *queue = 1;
      return 0;
    };
    fake_->qlxDQ_Close = [](uint32_t) -> uint32_t { return 0; };
    fake_->qlxDQ_CreateData = []() -> uint32_t {
      uint32_t id = g_queue->next_object++;
      g_queue->objects[id] = DataObject{};
      return id;
    };
    fake_->qlxDQ_DeleteData = [](uint32_t data) -> uint32_t {
      return g_queue->objects.erase(data) == 1 ? 0 : QLXDQ_RC_INVALID_HANDLE;
    };
    fake_->qlxDQ_SetDataAddr = [](uint32_t data, void* address, uint32_t length) -> uint32_t {
      g_queue->objects[data].address = address;
      g_queue->objects[data].length = length;
      return 0;
    };
    fake_->qlxDQ_SetConvert = [](uint32_t, uint32_t) -> uint32_t { return 0; };
    fake_->qlxDQ_SetSearchOrder = [](uint32_t, uint32_t) -> uint32_t { return 0; };
    fake_->qlxDQ_SetKey = [](uint32_t data, const void* key, uint32_t length) -> uint32_t {
      g_queue->objects[data].key.assign(static_cast<const char*>(key), length);
      return 0;
    };
    fake_->qlxDQ_Write = [](uint32_t, uint32_t data, uint32_t, uint32_t) -> uint32_t {
      if (static_cast<int>(g_queue->written.size()) == g_queue->fail_write) {
        return QLXDQ_RC_CONNECTION;
      }
      const DataObject& object = g_queue->objects[data];
      Entry entry{object.key, std::string(static_cast<char*>(object.address), object.length)};
      g_queue->written.push_back(entry);
      if (g_queue->on_write) g_queue->on_write(entry);
      return 0;
    };
    fake_->qlxDQ_AsyncRead = [](uint32_t, uint32_t data, int32_t wait, uint32_t* read,
                                uint32_t) -> uint32_t {
      size_t number = g_queue->waits.size();
      g_queue->waits.push_back(wait);
      if (g_queue->before_read) g_queue->before_read(number);
      ReadFault fault = g_queue->faults.count(number) ? g_queue->faults[number] : ReadFault::kNone;
      if (fault == ReadFault::kServiceFails) return QLXDQ_RC_CONNECTION;
      *read = data;
      DataObject& object = g_queue->objects[data];
      if (fault == ReadFault::kLinkLost) {
        g_queue->link_up = false;
        object.result = QLXDQ_RC_IN_PROGRESS;
        return 0;
      }
      object.result = QLXDQ_RC_TIMEOUT;
      for (auto entry = g_queue->entries.begin(); entry != g_queue->entries.end(); ++entry) {
        if (entry->key != object.key) continue;
        uint32_t length = std::min<uint32_t>(object.length, entry->bytes.size());
        memcpy(object.address, entry->bytes.data(), length);
        object.found_key = entry->key;
        object.found_length = length;
        object.result = 0;
        g_queue->entries.erase(entry);
        break;
      }
      return 0;
    };
    fake_->qlxDQ_CheckData = [](uint32_t read, uint32_t) -> uint32_t {
      return g_queue->objects[read].result;
    };
    fake_->qlxDQ_GetRetKey = [](uint32_t data, void* key) -> uint32_t {
      memcpy(key, g_queue->objects[data].found_key.data(), 12);
      return 0;
    };
    fake_->qlxDQ_GetDataLen = [](uint32_t data, uint32_t* length) -> uint32_t {
      *length = g_queue->objects[data].found_length;
      return 0;
    };
  }
  ~QueueFake() { g_queue = nullptr; }

  Queue* operator->() { return &queue_; }

 private:
  Queue queue_;
  FakeQlx fake_;
};

// ---- A started system and its entries ----

constexpr uint32_t kMaxRecLen = 8320;
constexpr uint32_t kBlock = kMaxRecLen - 128;

RZ700SysStruct* ActiveSystem() {
  RZ700SysStruct* record = nullptr;
  EXPECT_EQ(cmAddSystemByName("HOSTA", &record), 0);
  strcpy(record->szDQName, "PWSQ");
  strcpy(record->szDQLib, "QZELDQ");
  memcpy(record->achPWSSysID, "AAB", 3);
  record->ulDQMaxRecLen = kMaxRecLen;
  record->hSystem = 7;
  record->usCommState = ZEL_COMM_ACTIVE;
  return record;
}

std::string NewRid(RZ700SysStruct* system, char type = 'S') {
  char rid[ZEL_RID_LEN];
  ctrlblk::cbCreateRID(system, static_cast<uint8_t>(type), rid);
  return std::string(rid, ZEL_RID_LEN);
}

// The entries of a reply as a host program writes them: (block, bytes left)
// headers, at most kBlock bytes each.
std::vector<Entry> Reply(const std::string& key, const std::string& data, uint32_t value = 5,
                         const std::string& msg_id = "ZEL/700001") {
  std::vector<Entry> entries;
  size_t sent = 0;
  do {
    uint32_t block = static_cast<uint32_t>(std::min<size_t>(data.size() - sent, kBlock));
    std::string header = Ebcdic(msg_id) + std::string(2, '\0') + BigEndian(value) + BigEndian(0) +
                         BigEndian(static_cast<uint32_t>(data.size())) + BigEndian(block) +
                         BigEndian(static_cast<uint32_t>(data.size() - sent - block));
    header.resize(128, '\0');
    entries.push_back({Ebcdic(key), header + data.substr(sent, block)});
    sent += block;
  } while (sent < data.size());
  return entries;
}

void Queued(QueueFake& fake, const std::vector<Entry>& entries) {
  for (const Entry& entry : entries) fake->entries.push_back(entry);
}

// ---- The senders ----

TEST(SendRequest, SplitsTheBufferIntoEntriesAndKeysTheFurtherOnesB) {
  QueueFake fake;
  RZ700SysStruct* system = ActiveSystem();
  for (size_t size : {size_t{0}, size_t{1}, size_t{8192}, size_t{8193}, size_t{20000}}) {
    SCOPED_TRACE(size);
    fake->written.clear();
    std::string data = Pattern(size);
    std::string rid = NewRid(system);
    ReqBufferDesc desc{};
    desc.pData = data.data();
    desc.ulDataLen = static_cast<uint32_t>(size);
    desc.ulValue = 0x01020304;
    memcpy(desc.achKey, ("A" + rid).data(), 12);
    std::string program = "ECH" + std::string(18, ' ');
    memcpy(desc.achProgram, program.data(), program.size());
    ASSERT_EQ(cdSendReqBuffer(system, &desc), 0);

    size_t expected_entries = size == 0 ? 1 : (size + kBlock - 1) / kBlock;
    ASSERT_EQ(fake->written.size(), expected_entries);
    std::string joined;
    uint32_t left = static_cast<uint32_t>(size);
    for (size_t i = 0; i < fake->written.size(); ++i) {
      const std::string& entry = fake->written[i].bytes;
      uint32_t block = std::min(left, kBlock);
      left -= block;
      EXPECT_EQ(fake->written[i].key, Ebcdic((i == 0 ? "A" : "B") + rid)) << "entry " << i;
      EXPECT_EQ(entry.size(), block + 128u);
      EXPECT_EQ(entry.substr(0, 31), Ebcdic("ZEL/700000" + program));
      EXPECT_EQ(NumberAt(entry, 32), 0x01020304u);
      EXPECT_EQ(NumberAt(entry, 40), size);
      EXPECT_EQ(NumberAt(entry, 44), block);
      EXPECT_EQ(NumberAt(entry, 48), left);
      joined += entry.substr(128);
    }
    EXPECT_TRUE(joined == data);
  }
}

TEST(SendReturn, KeepsTheKeyOnEveryEntryAndTheKindNamesTheMessage) {
  QueueFake fake;
  RZ700SysStruct* system = ActiveSystem();
  std::string data = Pattern(8193);
  std::string rid = NewRid(system, 'R');
  RetBufferDesc desc{};
  desc.pData = data.data();
  desc.ulDataLen = static_cast<uint32_t>(data.size());
  desc.ulValue = 9;
  memcpy(desc.achKey, ("X" + rid).data(), 12);
  ASSERT_EQ(cdSendRetBuffer(system, &desc, 0), 0);
  ASSERT_EQ(fake->written.size(), 2u);
  for (const Entry& entry : fake->written) {
    EXPECT_EQ(entry.key, Ebcdic("X" + rid));
    EXPECT_EQ(entry.bytes.substr(0, 10), Ebcdic("ZEL/700001"));
    EXPECT_EQ(NumberAt(entry.bytes, 12), 9u);
    EXPECT_EQ(NumberAt(entry.bytes, 20), 8193u);
  }
  EXPECT_EQ(NumberAt(fake->written[0].bytes, 24), 8192u);
  EXPECT_EQ(NumberAt(fake->written[0].bytes, 28), 1u);
  EXPECT_EQ(NumberAt(fake->written[1].bytes, 24), 1u);
  EXPECT_EQ(NumberAt(fake->written[1].bytes, 28), 0u);

  fake->written.clear();
  desc.ulDataLen = 0;
  ASSERT_EQ(cdSendRetBuffer(system, &desc, 5), 0);
  ASSERT_EQ(fake->written.size(), 1u);
  EXPECT_EQ(fake->written[0].bytes, std::string(12, '\0') + BigEndian(9) + std::string(112, '\0'))
      << "an unknown kind leaves the message ID zero";

  fake->written.clear();
  ASSERT_EQ(cdReturnError(rid.data(), VQZM_RC_MANAGER_HANDOVER_FAILED), 0);
  ASSERT_EQ(fake->written.size(), 1u);
  EXPECT_EQ(fake->written[0].key, Ebcdic("X" + rid));
  EXPECT_EQ(fake->written[0].bytes.substr(0, 16),
            Ebcdic("ZEL/700002") + std::string(2, '\0') + std::string("\x00\x00\x84\x03", 4));
}

TEST(SendRequest, AFailedWriteEndsTheSendAndLeavesTheEntriesWrittenBefore) {
  QueueFake fake;
  RZ700SysStruct* system = ActiveSystem();
  fake->fail_write = 1;
  std::string data = Pattern(20000);
  ReqBufferDesc desc{};
  desc.pData = data.data();
  desc.ulDataLen = static_cast<uint32_t>(data.size());
  memcpy(desc.achKey, ("A" + NewRid(system)).data(), 12);
  TraceCapture capture;
  EXPECT_EQ(cdSendReqBuffer(system, &desc), VQZM_RC_DATA_QUEUE_ERROR);
  EXPECT_EQ(fake->written.size(), 1u);
  EXPECT_TRUE(capture.RaisedErrorPoint("DQ_SEND_ERROR", "vqzmcd0"));
}

// ---- The retrieval ----

struct Retrieved {
  uint16_t rc;
  RtvDataDesc desc;
};

Retrieved Retrieve(RZ700SysStruct* system, const std::string& rid, uint32_t timeout = 7) {
  Retrieved out{};
  memcpy(out.desc.achKey, ("S" + rid).data(), 12);
  out.desc.ulTimeout = timeout;
  out.rc = cdRtvData(system, &out.desc);
  return out;
}

TEST(RetrieveReply, PutsTheEntriesTogetherInOneGlobalBlock) {
  QueueFake fake;
  RZ700SysStruct* system = ActiveSystem();
  std::string rid = NewRid(system);
  std::string data = Pattern(20000);
  Queued(fake, Reply("S" + rid, data, 42));
  Retrieved got = Retrieve(system, rid);
  ASSERT_EQ(got.rc, 0);
  EXPECT_EQ(fake->waits, (std::vector<int32_t>{7, 30, 30}));
  ASSERT_EQ(V(got.desc.ulDataLen), 20000u);
  EXPECT_EQ(V(got.desc.ulValue), 42u);
  EXPECT_EQ(zelBlockSize(got.desc.pData), 20000u) << "a global block the application frees";
  EXPECT_TRUE(std::string(static_cast<char*>(got.desc.pData), 20000) == data);
  EXPECT_EQ(zelFreeBlock(got.desc.pData), 0);

  Queued(fake, Reply("S" + rid, "", 0, "ZEL/700002"));
  got = Retrieve(system, rid);
  EXPECT_EQ(got.rc, 0);
  EXPECT_EQ(V(got.desc.pData), nullptr);
  Queued(fake, Reply("S" + rid, "", (1u << 16) | VQZM_RC_NO_SYSTEM_FOR_RID, "ZEL/700002"));
  EXPECT_EQ(Retrieve(system, rid).rc, VQZM_RC_NO_SYSTEM_FOR_RID) << "the low 16 bits";
}

// How a retrieval fails, by where it happened.
struct RetrieveFault {
  const char* name;
  std::function<void(QueueFake&, const std::string& key)> arrange;
  uint16_t rc;
  const char* error_point;
};

std::vector<Entry> ThreeEntries(const std::string& key) { return Reply(key, Pattern(20000)); }

TEST(RetrieveReply, FailsWithTheCodeOfWhereItBroke) {
  const RetrieveFault faults[] = {
      {"link lost before the first entry",
       [](QueueFake& fake, const std::string&) { fake->faults[0] = ReadFault::kLinkLost; },
       VQZM_RC_CONNECTION_FAILED, "DQ_READ_ERROR1"},
      {"service failed at the first read",
       [](QueueFake& fake, const std::string&) { fake->faults[0] = ReadFault::kServiceFails; },
       VQZM_RC_DATA_QUEUE_ERROR, "DQ_READ_ERROR1"},
      {"link lost before the second entry",
       [](QueueFake& fake, const std::string& key) {
         Queued(fake, ThreeEntries(key));
         fake->faults[1] = ReadFault::kLinkLost;
       },
       VQZM_RC_CONNECTION_FAILED, "DQ_READ_ERROR2"},
      {"the last entry never came",
       [](QueueFake& fake, const std::string& key) {
         std::vector<Entry> entries = ThreeEntries(key);
         entries.pop_back();
         Queued(fake, entries);
       },
       VQZM_RC_INTERNAL_ERROR, "PROC_HEADER_ERROR2"},
      {"the first entry is missing",
       [](QueueFake& fake, const std::string& key) {
         std::vector<Entry> entries = ThreeEntries(key);
         entries.erase(entries.begin());
         Queued(fake, entries);
       },
       VQZM_RC_INTERNAL_ERROR, "LOST_BLOCK_ERROR1"},
      {"a middle entry is missing",
       [](QueueFake& fake, const std::string& key) {
         std::vector<Entry> entries = ThreeEntries(key);
         entries.erase(entries.begin() + 1);
         Queued(fake, entries);
       },
       VQZM_RC_INTERNAL_ERROR, "LOST_BLOCK_ERROR2"},
      {"the total changed",
       [](QueueFake& fake, const std::string& key) {
         std::vector<Entry> entries = ThreeEntries(key);
         entries[1].bytes.replace(20, 4, BigEndian(20001));
         Queued(fake, entries);
       },
       VQZM_RC_INTERNAL_ERROR, "TOTAL_DATA_ERROR"},
      {"a block longer than its entry",
       [](QueueFake& fake, const std::string& key) {
         std::vector<Entry> entries = Reply(key, Pattern(100));
         entries[0].bytes.resize(128 + 50);
         Queued(fake, entries);
       },
       VQZM_RC_INTERNAL_ERROR, "LOST_BLOCK_ERROR1"},
  };
  QueueFake fake;
  RZ700SysStruct* system = ActiveSystem();
  for (const RetrieveFault& fault : faults) {
    SCOPED_TRACE(fault.name);
    fake->entries.clear();
    fake->faults.clear();
    fake->waits.clear();
    fake->link_up = true;
    std::string rid = NewRid(system);
    fault.arrange(fake, "S" + rid);
    TraceCapture capture;
    Retrieved got = Retrieve(system, rid);
    EXPECT_EQ(got.rc, fault.rc);
    EXPECT_TRUE(capture.RaisedErrorPoint(fault.error_point, "vqzmcd0"))
        << testing::PrintToString(capture.ErrorPoints());
    EXPECT_EQ(V(got.desc.pData), nullptr);
  }
}

// ---- The RRP obtain ----

// The CPMgr window, played by the test thread.
class ManagerStandIn {
 public:
  ManagerStandIn() {
    hwnd_ = CreateMessageWindow([this](HWND, UINT message, WPARAM, LPARAM lParam) {
      if (message == ZEL_MSG_START_RRP) starts_.push_back(reinterpret_cast<void*>(lParam));
      return LRESULT{0};
    });
    ctrlblk::Anchor().hwndCPMgr = hwnd_;
  }
  ~ManagerStandIn() {
    DestroyWindow(hwnd_);
    ctrlblk::Anchor().hwndCPMgr = 0;
  }

  // The records of the further RRP starts asked for so far.
  const std::vector<void*>& Starts() {
    MSG msg;
    while (PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) DispatchMessage(&msg);
    return starts_;
  }

 private:
  HWND hwnd_ = 0;
  std::vector<void*> starts_;
};

void ReadyEntry(QueueFake& fake) {
  fake->entries.push_back({Ebcdic("FFFFFFFFFFFF"), Reply("FFFFFFFFFFFF", "")[0].bytes});
}

TEST(ObtainRrp, WaitsLongTheFirstTimeAfterAStartAndOnlyLooksLater) {
  QueueFake fake;
  ManagerStandIn manager;
  RZ700SysStruct* system = ActiveSystem();
  system->ulRRPObtained = 0;
  ReadyEntry(fake);
  ReadyEntry(fake);
  EXPECT_EQ(hostlink::ccObtainRZ700RRP(system), 0);
  EXPECT_EQ(hostlink::ccObtainRZ700RRP(system), 0);
  EXPECT_EQ(fake->waits, (std::vector<int32_t>{90, 1}));
  EXPECT_EQ(V(system->ulRRPObtained), 1u);
  EXPECT_TRUE(fake->entries.empty()) << "each obtain takes one ready entry";
  EXPECT_TRUE(manager.Starts().empty());
  EXPECT_TRUE(ObtainMutexFree());
}

TEST(ObtainRrp, AsksTheManagerForAFurtherRrpWhenNoneIsReadyAndWaitsForIt) {
  QueueFake fake;
  ManagerStandIn manager;
  RZ700SysStruct* system = ActiveSystem();
  system->ulRRPObtained = 1;
  EXPECT_EQ(hostlink::ccObtainRZ700RRP(system), VQZM_RC_TIMED_OUT) << "none came even then";
  EXPECT_EQ(fake->waits, (std::vector<int32_t>{1, 180}));
  EXPECT_EQ(manager.Starts(), std::vector<void*>{system});
  EXPECT_TRUE(ObtainMutexFree());

  // The further RRP's ready entry arrives during the long wait.
  fake->waits.clear();
  fake->before_read = [&fake](size_t number) {
    if (number == 1) ReadyEntry(fake);
  };
  EXPECT_EQ(hostlink::ccObtainRZ700RRP(system), 0);
  EXPECT_EQ(fake->waits, (std::vector<int32_t>{1, 180}));
  EXPECT_EQ(manager.Starts().size(), 2u);
  EXPECT_TRUE(ObtainMutexFree());
}

TEST(ObtainRrp, AFurtherStartThatCannotBeAskedForEndsTheObtainWithOBTRRPFree) {
  QueueFake fake;
  RZ700SysStruct* system = ActiveSystem();
  system->ulRRPObtained = 1;
  ctrlblk::Anchor().hwndCPMgr = 0;  // no manager to ask
  TraceCapture capture;
  EXPECT_EQ(hostlink::ccObtainRZ700RRP(system), VQZM_RC_INTERNAL_ERROR);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_SEND_START_RRP", "Vqzmcc0"));
  EXPECT_EQ(fake->waits, std::vector<int32_t>{1}) << "no long wait for an RRP never started";
  EXPECT_TRUE(ObtainMutexFree());

  fake->faults[1] = ReadFault::kServiceFails;
  EXPECT_EQ(hostlink::ccObtainRZ700RRP(system), VQZM_RC_DATA_QUEUE_ERROR);
  EXPECT_TRUE(capture.RaisedErrorPoint("READ_DATA_QUEUE_ERROR", "Vqzmcc0"));
  EXPECT_TRUE(ObtainMutexFree());
}

// ---- The calls ----

// A conversation on an active system, with the manager running.
struct Conversation {
  RZ700SysStruct* system = ActiveSystem();
  uint32_t id = 0;

  Conversation() {
    EXPECT_EQ(cbReturnNewConvId(&id, system, 1), 0);
    cbSetCPMgrState(ZEL_CPMGR_RUNNING);
  }
};

// The host: a ready RRP for every request, and each request's data echoed
// under the reply key with the request's value plus one.
void EchoHost(QueueFake& fake) {
  ReadyEntry(fake);
  fake->on_write = [&fake](const Entry& entry) {
    if (NumberAt(entry.bytes, 48) != 0) return;  // only the last entry answers
    std::string data;
    for (const Entry& written : fake->written) data += written.bytes.substr(128);
    std::string key = Ebcdic("S") + entry.key.substr(1);
    char ascii[13] = {};
    uint32_t length = sizeof ascii;
    cbEbcToAscCharArray(ascii, key.data(), &length, 12);
    Queued(fake, Reply(ascii, data, NumberAt(entry.bytes, 32) + 1));
    ReadyEntry(fake);
  };
}

TEST(ProcessSync, ARequestComesBackAsTheHostAnsweredIt) {
  QueueFake fake;
  ManagerStandIn manager;
  Conversation conv;
  EchoHost(fake);
  std::string data = Pattern(8193);
  ProcessRequest request{};
  request.ulConvId = conv.id;
  strcpy(request.szPgmName, "ECH");
  request.ulValue = 41;
  request.pData = data.data();
  request.ulDataLen = static_cast<uint32_t>(data.size());
  request.ulTimeout = 5;
  ProcessReply reply{};
  ASSERT_EQ(caProcessSync(&request, &reply), 0);
  EXPECT_EQ(reply.achRID[0], 'S');
  EXPECT_EQ(V(reply.ulValue), 42u);
  ASSERT_EQ(V(reply.ulDataLen), 8193u);
  EXPECT_TRUE(std::string(static_cast<char*>(reply.pData), 8193) == data);
  EXPECT_EQ(zelFreeBlock(reply.pData), 0);
  EXPECT_EQ(zelFreeBlock(reply.pData), VQZM_RC_INTERNAL_ERROR) << "freed already";
  ASSERT_EQ(fake->written.size(), 2u);
  EXPECT_EQ(fake->written[0].bytes.substr(10, 21), Ebcdic("ECH" + std::string(18, ' ')));
  EXPECT_EQ(fake->written[1].key, Ebcdic("B" + std::string(reply.achRID, ZEL_RID_LEN)));
  EXPECT_EQ(fake->waits.front(), 90) << "the obtain came first";
}

TEST(ProcessSync, RefusesAConversationNotIssuedOrASystemNotActiveBeforeAnyRid) {
  QueueFake fake;
  ManagerStandIn manager;  // hears of the conversation count
  Conversation conv;
  ProcessRequest request{};
  ProcessReply reply;
  memset(&reply, 0xAB, sizeof reply);
  const ProcessReply untouched = reply;
  auto unchanged = [&] { return memcmp(&reply, &untouched, sizeof reply) == 0; };

  EXPECT_EQ(caProcessSync(&request, &reply), VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_TRUE(unchanged());
  uint32_t released = 0;
  ASSERT_EQ(cbReturnNewConvId(&released, conv.system, 1), 0);
  ASSERT_EQ(caStopZELComm(released), 0);
  request.ulConvId = released;
  EXPECT_EQ(caProcessSync(&request, &reply), VQZM_RC_CONV_NOT_ISSUED);

  request.ulConvId = conv.id;
  std::string sequence(conv.system->achRIDSeq, 4);
  conv.system->usCommState = ZEL_COMM_RRP_START_SENT;
  EXPECT_EQ(caProcessSync(&request, &reply), VQZM_RC_NOT_ACTIVE);
  conv.system->usCommState = ZEL_COMM_ACTIVE;
  cbSetCPMgrState(ZEL_CPMGR_NOT_RUNNING);
  TraceCapture capture;
  EXPECT_EQ(caProcessSync(&request, &reply), VQZM_RC_NOT_ACTIVE);
  EXPECT_TRUE(capture.RaisedErrorPoint("SYS_NOT_RUNNING", "Vqzmca1"));
  EXPECT_TRUE(unchanged());
  EXPECT_EQ(std::string(conv.system->achRIDSeq, 4), sequence) << "no RID was made";
  EXPECT_TRUE(fake->waits.empty() && fake->written.empty());
}

TEST(HostRequestData, IsFetchedAnsweredUnderTheChosenTypeAndCleared) {
  QueueFake fake;
  ManagerStandIn manager;  // an answer goes out only while the manager lives
  RZ700SysStruct* system = ActiveSystem();
  std::string rid = NewRid(system, 'R');
  Queued(fake, Reply("S" + rid, "host data"));
  RtvDataParms parms{0, rid.data(), 3};
  RtvDataResult result{};
  ASSERT_EQ(caRtvData(&parms, &result), 0);
  EXPECT_EQ(std::string(static_cast<char*>(result.pData), V(result.ulDataLen)), "host data");
  EXPECT_EQ(zelFreeBlock(result.pData), 0);
  EXPECT_EQ(caRtvData(&parms, &result), VQZM_RC_TIMED_OUT);
  EXPECT_EQ(V(result.pData), nullptr);
  EXPECT_EQ(V(result.ulDataLen), 0u);

  ReturnDataParms answer{0, rid.data(), 0, 0, nullptr, 0};
  const uint8_t type = 'Y';
  ASSERT_EQ(caReturnData(&answer, &type, 1), 0);
  ASSERT_EQ(caReturnData(&answer, &type, 0), 0);
  ASSERT_EQ(caReturnData(&answer, nullptr, 1), 0);
  ASSERT_EQ(fake->written.size(), 3u);
  EXPECT_EQ(fake->written[0].key, Ebcdic("Y" + rid));
  EXPECT_EQ(fake->written[1].key, Ebcdic("X" + rid));
  EXPECT_EQ(fake->written[2].key, Ebcdic("X" + rid));

  fake->waits.clear();
  EXPECT_EQ(caClearData(rid.data()), VQZM_RC_NOTHING_TO_CLEAR);
  for (int i = 0; i < 3; ++i) Queued(fake, Reply("S" + rid, Pattern(10 + i)));
  Queued(fake, Reply("S" + NewRid(system, 'R'), "another request's"));
  EXPECT_EQ(caClearData(rid.data()), 0);
  EXPECT_EQ(fake->entries.size(), 1u) << "the other request's entry stays";
  EXPECT_EQ(fake->waits, std::vector<int32_t>(5, 0)) << "clearing never waits";

  std::string stranger = rid;
  stranger.replace(8, 3, "999");
  parms.pRID = stranger.data();
  answer.pRID = stranger.data();
  EXPECT_EQ(caRtvData(&parms, &result), VQZM_RC_NO_SYSTEM_FOR_RID);
  EXPECT_EQ(caReturnData(&answer, nullptr, 0), VQZM_RC_NO_SYSTEM_FOR_RID);
  EXPECT_EQ(caClearData(stranger.data()), VQZM_RC_NOT_ACTIVE);
  system->usCommState = ZEL_COMM_TERM_REQUESTED;
  EXPECT_EQ(caClearData(rid.data()), VQZM_RC_NOT_ACTIVE);
}

TEST(InsideTheManager, WithoutItsRequestQueueTheWorkIsRefusedWith1064) {
  // The manager is known by its executable's name: a copy of this binary
  // under that name, finding the libraries beside this one. It never made
  // its request queue, so the pipe cannot be duplicated for a request.
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  std::string manager = TestPath("VQZMCMW.EXE");
  std::filesystem::copy_file(self, manager);
  std::filesystem::permissions(manager, std::filesystem::perms::owner_all);
  std::string libraries = (self.parent_path().parent_path() / "lib").string();
  ChildProcess child =
      ChildProcess::Start("inside_manager", {}, {{"LD_LIBRARY_PATH", libraries}}, manager);
  EXPECT_EQ(child.Wait(), 0) << child.Status();
}

ZEL_CHILD_COMMAND(inside_manager) {
  QueueFake fake;
  RZ700SysStruct* system = ActiveSystem();
  ReqBufferDesc req{};
  RetBufferDesc ret{};
  RtvDataDesc rtv{};
  bool all = hostlink::ccObtainRZ700RRP(system) == VQZM_RC_MANAGER_HANDOVER_FAILED &&
             cdSendReqBuffer(system, &req) == VQZM_RC_MANAGER_HANDOVER_FAILED &&
             cdSendRetBuffer(system, &ret, 0) == VQZM_RC_MANAGER_HANDOVER_FAILED &&
             cdRtvData(system, &rtv) == VQZM_RC_MANAGER_HANDOVER_FAILED;
  return all && fake->waits.empty() && fake->written.empty() ? 0 : 1;
}

}  // namespace
}  // namespace zel::test
