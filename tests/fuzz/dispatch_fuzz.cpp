// Fuzzes what the manager does with the entries the host writes: the
// dispatch by key (cdProcDQBuffer) into the reassembly of asynchronous
// answers and of host-initiated requests (with no request processor
// installed, so each complete request is answered to the host with an
// error return), and the reassembly of a synchronous reply (cdCPMgrRtvData)
// from entries a stand-in for the host's data queue hands out.
//
// Input: one byte of flags (bits 0 and 1: the application aborted its first
// or second asynchronous request), then chunks (fuzz_input.h) whose control
// byte says where the entry goes:
//   bits 0..1  0 an asynchronous answer, 1 a host request, 2 an entry of the
//              synchronous reply, 3 a stray key (bits 3..4 pick its type
//              character "A", "R", "Z" or "X", with a RID nobody knows)
//   bit 2      which of the two RIDs of its kind
// Every input starts from the same state and leaves nothing behind: the
// records it made, the blocks posted to the window and the control-block
// and global heaps are checked back where they were.
//
// The manager reserves the whole buffer a first entry announces, up to
// 4 GiB; a reservation that large takes the sanitizers minutes and passes
// libFuzzer's allocation limit. Inputs announcing more than 16 MiB are
// therefore left out.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "dataqueue/dataqueue.h"
#include "platform/posix/heap.h"
#include "services/qlx_calls.h"
#include "tests/fuzz/fuzz_input.h"
#include "vqzmcb.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"
#include "zelapp.h"

namespace zel::fuzz {
namespace {

constexpr uint32_t kMaxRecordLength = 2048;
constexpr uint16_t kAnswerMessage = 0x8123;
constexpr uint32_t kPrefixLength = 27;
constexpr char kSysId[] = "001";
constexpr const char* kAsyncRids[] = {"A0001AAA001", "A0002AAA001"};
constexpr const char* kRequestRids[] = {"R0001AAA001", "R0002AAA001"};
constexpr const char* kReplyRids[] = {"A0003AAA001", "A0004AAA001"};
constexpr char kStrayTypes[] = "ARZX";
constexpr char kStrayRid[] = "Q9999ZZZ001";
constexpr uint32_t kLargestAnnounced = 16u << 20;

// ---- A stand-in for the host's data queue ----

struct DataObject {
  uint8_t* buffer = nullptr;
  uint32_t capacity = 0;
  char key[12] = {};
  uint32_t length = 0;  // of the entry read into it
};

std::map<uint32_t, DataObject> g_data;
uint32_t g_next_data = 1;
std::map<uint32_t, uint32_t> g_reads;  // read handle -> data handle
uint32_t g_next_read = 1;
std::deque<std::string> g_reply_entries;  // what the reply's reads find, in order
std::vector<std::string> g_entries_read;  // what they found
uint32_t g_error_returns = 0;             // entries the component wrote to the host

uint32_t CreateData() {
  g_data[g_next_data] = DataObject{};
  return g_next_data++;
}

uint32_t DeleteData(uint32_t data) {
  Require(g_data.erase(data) == 1);
  return 0;
}

uint32_t SetDataAddr(uint32_t data, void* buffer, uint32_t length) {
  g_data.at(data).buffer = static_cast<uint8_t*>(buffer);
  g_data.at(data).capacity = length;
  return 0;
}

uint32_t SetKey(uint32_t data, const void* key, uint32_t length) {
  Require(length == sizeof DataObject::key);
  memcpy(g_data.at(data).key, key, length);
  return 0;
}

uint32_t Accept(uint32_t, uint32_t) { return 0; }

uint32_t OpenEx(uint32_t, const char*, const char*, uint32_t* queue, uint32_t) {
  *queue = 1;
  return 0;
}

uint32_t Close(uint32_t) { return 0; }

uint32_t TestConnection(uint32_t, uint32_t, uint32_t* connected) {
  *connected = 1;
  return 0;
}

// What the component writes here is its error return for a host request:
// a whole return-code entry.
uint32_t Write(uint32_t, uint32_t data, uint32_t, uint32_t) {
  const DataObject& entry = g_data.at(data);
  Require(entry.capacity >= dataqueue::kHeaderLength);
  ++g_error_returns;
  return 0;
}

uint32_t AsyncRead(uint32_t, uint32_t data, int32_t, uint32_t* read, uint32_t) {
  g_reads[g_next_read] = data;
  *read = g_next_read++;
  return 0;
}

// The next entry of the reply, under the key asked for; none left: the
// wait ran out.
uint32_t CheckData(uint32_t read, uint32_t) {
  DataObject& data = g_data.at(g_reads.at(read));
  g_reads.erase(read);
  if (g_reply_entries.empty()) return QLXDQ_RC_TIMEOUT;
  std::string entry = std::move(g_reply_entries.front());
  g_reply_entries.pop_front();
  Require(entry.size() <= data.capacity);
  memcpy(data.buffer, entry.data(), entry.size());
  data.length = static_cast<uint32_t>(entry.size());
  g_entries_read.push_back(std::move(entry));
  return 0;
}

uint32_t GetRetKey(uint32_t data, void* key) {
  memcpy(key, g_data.at(data).key, sizeof DataObject::key);
  return 0;
}

uint32_t GetDataLen(uint32_t data, uint32_t* length) {
  *length = g_data.at(data).length;
  return 0;
}

services::QlxCalls HostQueue() {
  services::QlxCalls calls = services::RealQlx();
  calls.qlxDQ_CreateData = CreateData;
  calls.qlxDQ_DeleteData = DeleteData;
  calls.qlxDQ_SetDataAddr = SetDataAddr;
  calls.qlxDQ_SetConvert = Accept;
  calls.qlxDQ_SetSearchOrder = Accept;
  calls.qlxDQ_SetKey = SetKey;
  calls.qlxDQ_OpenEx = OpenEx;
  calls.qlxDQ_Close = Close;
  calls.qlxDQ_Write = Write;
  calls.qlxDQ_AsyncRead = AsyncRead;
  calls.qlxDQ_CheckData = CheckData;
  calls.qlxDQ_GetRetKey = GetRetKey;
  calls.qlxDQ_GetDataLen = GetDataLen;
  calls.qlxCO_TestConnection = TestConnection;
  return calls;
}

// ---- The manager's side ----

struct Fixture {
  RZ700SysStruct* system = nullptr;
  uint32_t hwnd = 0;
  uint8_t* buffer = nullptr;  // the reader's buffer, as pDQBuf
  uint32_t used_records = 0;
  uint64_t used_global_blocks = 0;
};

Fixture& Setup() {
  static services::QlxCalls calls = HostQueue();
  static Fixture fixture = [] {
    services::SetQlxForTest(&calls);
    Fixture made;
    Require(cbInitRZ700SysStruct(&made.system) == 0);
    memcpy(made.system->szSysID, kSysId, sizeof kSysId);
    strcpy(made.system->szSysName, "HOSTA");
    strcpy(made.system->szDQLib, "QZELDQ");
    strcpy(made.system->szDQName, "PWSQ");
    made.system->hSystem = 1;
    made.system->ulDQMaxRecLen = kMaxRecordLength;
    made.system->usCommState = ZEL_COMM_ACTIVE;
    Require(cbAddRZ700SysStruct(made.system) == 0);
    Require(zelCreateWindow(&made.hwnd) == 0);
    made.buffer = new uint8_t[kMaxRecordLength];
    made.used_records = ctrlblk::CurrentHeapStats().used_blocks;
    made.used_global_blocks = platform::internal::CheckGlobalHeap().used_blocks;
    return made;
  }();
  return fixture;
}

void Outstanding(const Fixture& fixture, const char* rid, bool aborted) {
  AsyncRetStruct* rec = nullptr;
  Require(ctrlblk::cbInitAsyncRetStruct(&rec) == 0);
  memcpy(rec->achRID, rid, ZEL_RID_LEN);
  rec->hwndNotify = fixture.hwnd;
  rec->usNotifyMsg = kAnswerMessage;
  rec->ulAborted = aborted ? 1 : 0;
  ctrlblk::cbAddAsyncRetStruct(rec);
}

// One entry as the manager's reader hands it on: in the reader's buffer,
// whose bytes past the entry are left from before, with its key in ASCII.
void Dispatch(Fixture& fixture, char type, const char* rid, std::string_view entry) {
  entry = entry.substr(0, kMaxRecordLength);
  memcpy(fixture.buffer, entry.data(), entry.size());
  DQReadItem item{};
  item.pBuffer = fixture.buffer;
  item.ulLength = static_cast<uint32_t>(entry.size());
  item.achKey[0] = 'Z';
  item.achKey[1] = type;
  memcpy(item.achKey + 2, rid + 1, ZEL_RID_LEN - 1);
  Require(cdProcDQBuffer(fixture.system, &item) == 0);
}

uint32_t BigEndianAt(const std::string& entry, size_t offset) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(entry.data() + offset);
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// True when an entry of the input announces more than kLargestAnnounced
// bytes, read as a request or as a return header by where it goes.
bool AnnouncesTooMuch(const uint8_t* data, size_t size) {
  Chunks chunks(data, size);
  Chunk chunk;
  while (chunks.Next(chunk)) {
    bool request = (chunk.control & 3) == 1 || ((chunk.control & 3) == 3 &&
                                                kStrayTypes[(chunk.control >> 3) & 3] == 'R');
    size_t offset = request ? offsetof(DQReqHeader, ulTotalLen) : offsetof(DQRetHeader, ulTotalLen);
    std::string entry(chunk.bytes.substr(0, kMaxRecordLength));
    if (entry.size() >= offset + 4 && BigEndianAt(entry, offset) > kLargestAnnounced) return true;
  }
  return false;
}

// A data reply taken whole has data exactly when it announced some; a raw
// one is the blocks of its entries in order.
void CheckReply(const RtvDataDesc& desc) {
  uint32_t version = desc.ulDataVersion, length = desc.ulDataLen;
  const auto* data = static_cast<const char*>(desc.pData);
  Require(!g_entries_read.empty());
  DQRetHeader first;
  memcpy(&first, g_entries_read.front().data(), sizeof first);
  Require(cdProcRcvHeader(dataqueue::kDataReturnMsgId, &first) == 0);
  if (memcmp(first.achMsgId, dataqueue::kCodeReturnMsgId, dataqueue::kMsgIdLength) == 0) {
    Require(data == nullptr);
    return;
  }
  uint32_t total = first.ulTotalLen;
  Require((data == nullptr) == (total == 0));
  if (data == nullptr || version != 0) return;
  std::string blocks;
  for (const std::string& entry : g_entries_read) {
    blocks.append(entry, dataqueue::kHeaderLength,
                  BigEndianAt(entry, offsetof(DQRetHeader, ulBlockLen)));
  }
  Require(length == total && blocks.size() == total && memcmp(data, blocks.data(), total) == 0);
}

void RetrieveReply(const char* rid) {
  RtvDataDesc desc{};
  desc.achKey[0] = 'S';
  memcpy(desc.achKey + 1, rid, ZEL_RID_LEN);
  desc.ulTimeout = 1;
  uint16_t rc = cdCPMgrRtvData(Setup().system, &desc);
  if (rc == 0) CheckReply(desc);
  if (desc.pData != nullptr) zelFreeBlock(desc.pData);
}

// Takes every answer posted to the window: each is one of the requests',
// posted once, in a block that holds what its prefix says.
void DrainAnswers(const Fixture& fixture) {
  std::map<std::string, int> answers;
  ZelMessage message{};
  while (zelWaitMessage(fixture.hwnd, 0, &message) == 0) {
    Require(message.message == kAnswerMessage && message.wParam <= 1);
    auto* block = reinterpret_cast<uint8_t*>(message.lParam);
    Require(zelBlockSize(block) >= kPrefixLength);
    if (message.wParam == 0) {
      AsyncRetPrefix prefix;
      memcpy(&prefix, block, sizeof prefix);
      std::string rid(prefix.achRID, ZEL_RID_LEN);
      Require(rid == kAsyncRids[0] || rid == kAsyncRids[1]);
      Require(++answers[rid] == 1);
      Require(zelBlockSize(block) >= kPrefixLength + uint64_t{prefix.ulDataLen});
    }
    zelFreeBlock(block);
  }
}

// Removes what an input left: unfinished reassemblies and their buffers.
void Reset(Fixture& fixture) {
  for (const char* rid : kAsyncRids) {
    if (AsyncRetStruct* rec = ctrlblk::cbRetAsyncRetFromRid(rid)) {
      free(rec->pData);
      cbDeleteAsyncRetStruct(rec);
    }
  }
  for (const char* rid : kRequestRids) {
    if (RZ700ReqStruct* rec = ctrlblk::cbRetRZ700ReqFromRid(rid)) {
      free(rec->pData);
      ctrlblk::cbDeleteRZ700ReqStruct(rec);
    }
  }
  fixture.system->usCommState = ZEL_COMM_ACTIVE;
  g_reply_entries.clear();
  g_entries_read.clear();
  Require(g_data.empty() && g_reads.empty());
  Require(ctrlblk::CurrentHeapStats().used_blocks == fixture.used_records);
  Require(platform::internal::CheckGlobalHeap().used_blocks == fixture.used_global_blocks);
}

}  // namespace
}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zel::fuzz;
  if (size < 1 || AnnouncesTooMuch(data + 1, size - 1)) return 0;
  Fixture& fixture = Setup();
  Outstanding(fixture, kAsyncRids[0], (data[0] & 1) != 0);
  Outstanding(fixture, kAsyncRids[1], (data[0] & 2) != 0);
  Chunks chunks(data + 1, size - 1);
  Chunk chunk;
  const char* reply_rid = nullptr;
  while (chunks.Next(chunk)) {
    size_t which = (chunk.control >> 2) & 1;
    switch (chunk.control & 3) {
      case 0:
        Dispatch(fixture, 'A', kAsyncRids[which], chunk.bytes);
        break;
      case 1:
        Dispatch(fixture, 'R', kRequestRids[which], chunk.bytes);
        break;
      case 2:
        if (reply_rid == nullptr) reply_rid = kReplyRids[which];
        g_reply_entries.emplace_back(chunk.bytes.substr(0, kMaxRecordLength));
        break;
      default:
        Dispatch(fixture, kStrayTypes[(chunk.control >> 3) & 3], kStrayRid, chunk.bytes);
    }
  }
  if (reply_rid != nullptr) RetrieveReply(reply_rid);
  DrainAnswers(fixture);
  Reset(fixture);
  return 0;
}
