// The RRP and its host programs, driven the way the PWS drives them: sign on,
// station information, queue, RRP start, ready entries, request entries in,
// reply entries out; requests towards the PWS (CALLPC); reply faults and the
// operator's stop.
#include <cstring>
#include <set>
#include <thread>

#include "host/ebcdic.h"
#include "services/connection.h"
#include "services/dataqueue.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/waits.h"
#include "wire/protocol.h"

namespace zel::test {
namespace {

using host::FromEbcdic;
using host::ToEbcdic;

constexpr uint32_t kRecord = 8320;
constexpr size_t kBlock = kRecord - wire::kEntryHeaderSize;

struct Reply {
  uint32_t rc = 0;  // of the data-queue reads
  std::string key;
  bool return_code = false;
  uint32_t value = 0;
  uint32_t data_version = 0;
  std::string data;
  std::vector<std::pair<uint32_t, uint32_t>> blocks;  // (block, bytes left) per entry
  std::vector<uint32_t> totals;
};

// Adds one return entry read (`entry`) to the reply being put together;
// true when it was the last one.
bool AppendEntry(Reply& out, const Reply& entry) {
  out.key = entry.key;
  wire::ReturnEntryHeader h;
  EXPECT_GE(entry.data.size(), sizeof h);
  if (entry.data.size() < sizeof h) return true;
  std::memcpy(&h, entry.data.data(), sizeof h);
  out.return_code = FromEbcdic(std::string(h.msg_id, 10)) == wire::kCodeReturnMsgId;
  out.value = static_cast<uint32_t>(h.value.get());
  out.data_version = static_cast<uint32_t>(h.data_version.get());
  out.blocks.emplace_back(h.block_length.get(), h.bytes_left.get());
  out.totals.push_back(static_cast<uint32_t>(h.total_length.get()));
  out.data += entry.data.substr(sizeof h);
  return h.bytes_left.get() == 0;
}

// One PWS: its system object, sign-on connection and data queue.
class Pws {
 public:
  explicit Pws(const HostServer& host, bool configure = true) {
    if (configure) host.Configure();
    EXPECT_EQ(qlxCO_CreateSystem("HOSTSYS", &system_), 0u);
  }
  ~Pws() {
    qlxDQ_Close(queue_);
    qlxCO_DeleteSystem(system_);
  }

  // Everything up to the started message; false on any failure.
  bool Start() {
    if (qlxCO_Connect(system_, 11, 0) != 0) return false;
    service_ = qlxCO_GetSrvHandle(system_, 11);
    wire::StartRequest start{};
    start.type = wire::kStartRequest;
    std::memcpy(start.sys_id, ToEbcdic(std::string("001", 4)).data(), 4);
    unsigned char station[34];
    if (!SendInit(&start) || !Receive(station, sizeof station) || station[0] != 1) return false;
    library_ = FromEbcdic(reinterpret_cast<char*>(station) + 12);
    queue_name_ = FromEbcdic(reinterpret_cast<char*>(station) + 23);
    uint32_t attributes = qlxDQ_CreateAttr();
    qlxDQ_SetMaxRecLen(attributes, kRecord);
    qlxDQ_SetKeySize(attributes, 12);
    bool ok = qlxDQ_CreateEx(system_, queue_name_.c_str(), library_.c_str(), attributes, 0) == 0 &&
              qlxDQ_OpenEx(system_, queue_name_.c_str(), library_.c_str(), &queue_, 0) == 0;
    qlxDQ_DeleteAttr(attributes);
    return ok && StartRrp(9);
  }

  // Deletes the queue and makes it again, as a restart of the PWS does.
  bool RecreateQueue() {
    qlxDQ_Close(queue_);
    uint32_t attributes = qlxDQ_CreateAttr();
    qlxDQ_SetMaxRecLen(attributes, kRecord);
    bool ok = qlxDQ_DeleteEx(system_, queue_name_.c_str(), library_.c_str(), 0) == 0 &&
              qlxDQ_CreateEx(system_, queue_name_.c_str(), library_.c_str(), attributes, 0) == 0 &&
              qlxDQ_OpenEx(system_, queue_name_.c_str(), library_.c_str(), &queue_, 0) == 0;
    qlxDQ_DeleteAttr(attributes);
    return ok;
  }

  // An RRP start (9 at start-up, 10 for a further RRP) naming `record` as
  // the PWS's longest entry; false unless it started.
  bool StartRrp(uint8_t action, uint32_t record = kRecord) {
    wire::RrpStart rrp{};
    rrp.type = wire::kRrpStart;
    rrp.start_value.set(1);
    std::memcpy(rrp.library, ToEbcdic(library_).data(), library_.size());
    std::memcpy(rrp.queue, ToEbcdic(queue_name_).data(), queue_name_.size());
    rrp.max_record_length.set(record);
    std::memcpy(rrp.sys_id, ToEbcdic(std::string("001", 4)).data(), 4);
    rrp.authority = action == 9 ? 1 : 2;
    unsigned char started[9];
    if (!SendInit(&rrp) || !Receive(started, sizeof started) || started[0] != 2) return false;
    wire::StartedMessage message;
    std::memcpy(&message, started, sizeof message);
    pws_id_ = FromEbcdic(std::string(message.pws_id, 3));
    return message.host_rc.get() == 0;
  }

  std::string Rid(char type) {
    char sequence[8];
    std::snprintf(sequence, sizeof sequence, "%04d", ++sequence_ % 10000);
    return type + std::string(sequence) + pws_id_ + "001";
  }

  uint32_t WriteEntry(const std::string& ascii_key, const std::string& entry) {
    std::string key = ToEbcdic(ascii_key);
    std::string copy = entry;
    uint32_t data = qlxDQ_CreateData();
    qlxDQ_SetDataAddr(data, copy.data(), static_cast<uint32_t>(copy.size()));
    qlxDQ_SetKey(data, key.data(), 12);
    uint32_t rc = qlxDQ_Write(queue_, data, 1, 0);
    qlxDQ_DeleteData(data);
    return rc;
  }

  // One entry; rc 0 with its ASCII key and bytes.
  Reply ReadEntry(const std::string& ascii_key, uint32_t order, int32_t wait) {
    Reply out;
    std::string buffer(kRecord, '\0');
    std::string key = ToEbcdic(ascii_key);
    uint32_t data = qlxDQ_CreateData();
    qlxDQ_SetDataAddr(data, buffer.data(), kRecord);
    qlxDQ_SetKey(data, key.data(), 12);
    qlxDQ_SetSearchOrder(data, order);
    uint32_t read = 0;
    out.rc = qlxDQ_AsyncRead(queue_, data, wait, &read, 0);
    if (out.rc == 0) out.rc = QLXDQ_RC_IN_PROGRESS;
    for (int i = 0; i < 200 && out.rc == QLXDQ_RC_IN_PROGRESS; ++i) {
      out.rc = qlxDQ_CheckData(read, 0);
    }
    if (out.rc == 0) {
      char returned[13];
      uint32_t length = 0;
      qlxDQ_GetRetKey(data, returned);
      qlxDQ_GetDataLen(data, &length);
      out.key = FromEbcdic(std::string(returned, 12));
      out.data = buffer.substr(0, length);
    }
    qlxDQ_DeleteData(data);
    return out;
  }

  bool Obtain(int32_t wait = 10) { return ReadEntry("FFFFFFFFFFFF", QLXDQ_ORDER_EQ, wait).rc == 0; }

  // A request split into entries keyed "A" + RID, then "B" + RID.
  void SendRequest(const std::string& rid, const std::string& program, const std::string& data,
                   uint32_t value = 0, uint32_t version = 0) {
    size_t offset = 0;
    do {
      size_t block = std::min(kBlock, data.size() - offset);
      wire::RequestEntryHeader h{};
      std::memcpy(h.msg_id, ToEbcdic(wire::kRequestMsgId).data(), 10);
      std::string padded = program + std::string(21 - program.size(), ' ');
      std::memcpy(h.program, ToEbcdic(padded).data(), 21);
      h.value.set(value);
      h.data_version.set(version);
      h.total_length.set(data.size());
      h.block_length.set(block);
      h.bytes_left.set(data.size() - offset - block);
      std::string entry(reinterpret_cast<char*>(&h), sizeof h);
      entry.append(data, offset, block);
      EXPECT_EQ(WriteEntry((offset == 0 ? "A" : "B") + rid, entry), 0u);
      offset += block;
    } while (offset < data.size());
  }

  // Reads the entries of one return under `key` and puts them together.
  Reply Retrieve(const std::string& key, uint32_t order = QLXDQ_ORDER_EQ, int32_t wait = 10) {
    Reply out;
    for (int entries = 0; entries < 100; ++entries) {
      Reply entry = ReadEntry(key, order, entries == 0 ? wait : 2);
      out.rc = entry.rc;
      if (entry.rc != 0 || AppendEntry(out, entry)) return out;
    }
    return out;
  }

  const std::string& pws_id() const { return pws_id_; }
  const std::string& library() const { return library_; }
  const std::string& queue_name() const { return queue_name_; }

 private:
  bool SendInit(const void* buffer) {
    std::string frame = Hex("00 34 12 FF");
    frame.append(static_cast<const char*>(buffer), wire::kInitBufferSize);
    return qlxCO_Send(service_, frame.data(), 52) == 0 && qlxCO_SendComplete(service_) == 0;
  }
  bool Receive(unsigned char* buffer, uint32_t capacity) {
    uint32_t length = 0;
    return qlxCO_Recv(service_, buffer, &length, capacity) == 0 && length == capacity;
  }

  uint32_t system_ = 0;
  uint32_t service_ = 0;
  uint32_t queue_ = 0;
  std::string library_, queue_name_, pws_id_;
  int sequence_ = 0;
};

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i % 251);
  return data;
}

// The entries keyed `first` or above in the order they arrived: `count`
// of them, fewer when one does not come within 10 s.
std::vector<Reply> Arrivals(Pws& pws, const std::string& first, size_t count) {
  std::vector<Reply> entries;
  for (size_t i = 0; i < count; ++i) {
    Reply entry = pws.ReadEntry(first, QLXDQ_ORDER_GE, 10);
    if (entry.rc != 0) break;
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<std::string> Keys(const std::vector<Reply>& entries) {
  std::vector<std::string> keys;
  for (const Reply& entry : entries) keys.push_back(entry.key);
  return keys;
}

class RrpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host_.running());
    ASSERT_TRUE(pws_.Start());
    EXPECT_EQ(pws_.pws_id(), "AAA");
  }
  HostServer host_;
  Pws pws_{host_};
};

TEST_F(RrpTest, EchoAnswersInEntriesSplitAsThePwsReassemblesThem) {
  ASSERT_TRUE(pws_.Obtain());
  EXPECT_FALSE(pws_.Obtain(0));  // one RRP, one ready entry
  std::string rid = pws_.Rid('S');
  pws_.SendRequest(rid, "ECHO", "hello", 42);
  Reply small = pws_.Retrieve("S" + rid);
  ASSERT_EQ(small.rc, 0u);
  EXPECT_FALSE(small.return_code);
  EXPECT_EQ(small.data, "hello");
  EXPECT_EQ(small.value, 42u);
  ASSERT_TRUE(pws_.Obtain());

  std::string big = Pattern(20000);
  rid = pws_.Rid('S');
  pws_.SendRequest(rid, "echo", big);  // three request entries, A B B
  Reply multi = pws_.Retrieve("S" + rid);
  ASSERT_EQ(multi.rc, 0u);
  EXPECT_EQ(multi.data, big);
  using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(multi.blocks, (Blocks{{8192, 11808}, {8192, 3616}, {3616, 0}}));
  EXPECT_EQ(multi.totals, (std::vector<uint32_t>{20000, 20000, 20000}));
  ASSERT_TRUE(pws_.Obtain());

  rid = pws_.Rid('S');
  pws_.SendRequest(rid, "ECHO", "");
  Reply empty = pws_.Retrieve("S" + rid);
  ASSERT_EQ(empty.rc, 0u);
  EXPECT_EQ(empty.blocks, (Blocks{{0, 0}}));
  EXPECT_EQ(empty.totals, (std::vector<uint32_t>{0}));
}

TEST_F(RrpTest, ReadyEntriesStandForIdleRrpsOnly) {
  // Requests without an obtain each take the ready entry off; the reply
  // puts back one, not one more per reply.
  for (int i = 0; i < 3; ++i) {
    std::string rid = pws_.Rid('S');
    pws_.SendRequest(rid, "ECHO", "no obtain");
    ASSERT_EQ(pws_.Retrieve("S" + rid).data, "no obtain");
  }
  EXPECT_NE(host_.Control("list").find("rrps=1 busy=0 held=0 ready=1"), std::string::npos);
  ASSERT_TRUE(pws_.Obtain());
  EXPECT_FALSE(pws_.Obtain(0));
  // An obtained RRP stays taken until its request has been answered.
  std::string rid = pws_.Rid('S');
  pws_.SendRequest(rid, "ECHO", "obtained");
  ASSERT_EQ(pws_.Retrieve("S" + rid).data, "obtained");
  ASSERT_TRUE(pws_.Obtain());
  EXPECT_FALSE(pws_.Obtain(0));
}

TEST_F(RrpTest, HeldRrpsOfferNoReadyEntryAndServeNothingUntilReleased) {
  EXPECT_EQ(host_.Control("hold AAA").rfind("ok", 0), 0u);
  EXPECT_NE(host_.Control("list").find("rrps=1 busy=0 held=1 ready=0"), std::string::npos);
  EXPECT_FALSE(pws_.Obtain(1));
  std::string waiting = pws_.Rid('S');
  pws_.SendRequest(waiting, "ECHO", "waited");
  EXPECT_EQ(pws_.ReadEntry("S" + waiting, QLXDQ_ORDER_EQ, 1).rc, QLXDQ_RC_TIMEOUT);
  // A further RRP is not held: it offers its ready entry and serves.
  ASSERT_TRUE(pws_.StartRrp(10));
  EXPECT_EQ(pws_.Retrieve("S" + waiting).data, "waited");
  ASSERT_TRUE(pws_.Obtain());
  EXPECT_FALSE(pws_.Obtain(0));
  EXPECT_EQ(host_.Control("release all").rfind("ok released 1", 0), 0u);
  EXPECT_NE(host_.Control("list").find("rrps=2 busy=0 held=0 ready=1"), std::string::npos);
  ASSERT_TRUE(pws_.Obtain());
  EXPECT_EQ(host_.Control("hold AAA 1").rfind("ok", 0), 0u);
  EXPECT_EQ(host_.Control("hold ZZZ").rfind("error", 0), 0u);
  EXPECT_EQ(host_.Control("hold AAA -1").rfind("error", 0), 0u);
}

TEST_F(RrpTest, EntriesAreNoLongerThanTheRecordLengthThePwsNamed) {
  ASSERT_TRUE(pws_.StartRrp(10, 1128));  // 1000 data bytes an entry
  std::string rid = pws_.Rid('S');
  pws_.SendRequest(rid, "BIGREPLY", "", 2500);
  Reply reply = pws_.Retrieve("S" + rid);
  EXPECT_EQ(reply.data, Pattern(2500));
  using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(reply.blocks, (Blocks{{1000, 1500}, {1000, 500}, {500, 0}}));
}

TEST_F(RrpTest, HostProgramsAnswerWithDataOrReturnCodes) {
  std::string packet = Hex("00 00 00 0C 00 02 12 34 00 01 00 02");
  std::string rid = pws_.Rid('S');
  pws_.SendRequest(rid, "PKTECHO", packet + packet, 3, 1);
  Reply echoed = pws_.Retrieve("S" + rid);
  EXPECT_EQ(echoed.data, packet + packet);
  EXPECT_EQ(echoed.data_version, 1u);

  rid = pws_.Rid('S');
  pws_.SendRequest(rid, "PKTECHO", Hex("00 00 00 04 00 00 00 00"), 0, 1);  // length below 8
  Reply bad_packet = pws_.Retrieve("S" + rid);
  EXPECT_TRUE(bad_packet.return_code);
  EXPECT_EQ(bad_packet.value, wire::kHostRcBadRequest);

  rid = pws_.Rid('S');
  pws_.SendRequest(rid, "BIGREPLY", "", 20000);
  Reply big = pws_.Retrieve("S" + rid);
  EXPECT_EQ(big.data, Pattern(20000));
  EXPECT_EQ(big.blocks.size(), 3u);

  rid = pws_.Rid('S');
  pws_.SendRequest(rid, "RETCODE", "", 0x00010422);
  Reply code = pws_.Retrieve("S" + rid);
  EXPECT_TRUE(code.return_code);
  EXPECT_EQ(code.value, 0x00010422u);
  EXPECT_EQ(code.blocks, (std::vector<std::pair<uint32_t, uint32_t>>{{0, 0}}));

  rid = pws_.Rid('S');
  pws_.SendRequest(rid, "NOSUCHPGM", "x");
  Reply missing = pws_.Retrieve("S" + rid);
  EXPECT_TRUE(missing.return_code);
  EXPECT_EQ(missing.value, wire::kHostRcProgramNotFound);
  EXPECT_NE(host_.LogText().find("no host program 'NOSUCHPGM'"), std::string::npos);
}

TEST_F(RrpTest, AsynchronousAnswersGoToTheManagersKeys) {
  std::string rid = pws_.Rid('A');
  pws_.SendRequest(rid, "ECHO", "async data", 7);
  EXPECT_EQ(pws_.ReadEntry("S" + rid, QLXDQ_ORDER_EQ, 0).rc, QLXDQ_RC_TIMEOUT);
  Reply answer = pws_.Retrieve("Z           ", QLXDQ_ORDER_GE);
  ASSERT_EQ(answer.rc, 0u);
  EXPECT_EQ(answer.key, "Z" + rid);
  EXPECT_EQ(answer.data, "async data");
}

TEST_F(RrpTest, ASleepingRequestDoesNotHoldUpASecondRrp) {
  ASSERT_TRUE(pws_.Obtain());
  ASSERT_TRUE(pws_.StartRrp(10));  // a further RRP, as the obtain does when none is ready
  ASSERT_TRUE(pws_.Obtain());
  std::string sleeper = pws_.Rid('S'), echo = pws_.Rid('S');
  pws_.SendRequest(sleeper, "SLEEP", "slept", 3000);
  pws_.SendRequest(echo, "ECHO", "quick");
  EXPECT_EQ(pws_.Retrieve("S" + echo).data, "quick");
  EXPECT_EQ(pws_.ReadEntry("S" + sleeper, QLXDQ_ORDER_EQ, 0).rc, QLXDQ_RC_TIMEOUT);
  EXPECT_EQ(pws_.Retrieve("S" + sleeper).data, "slept");
  EXPECT_NE(host_.Control("list").find("rrps=2 busy=0"), std::string::npos);
}

TEST_F(RrpTest, CallPcAsksAPwsProgramAndAnswersWithItsReturn) {
  for (bool code_return : {false, true}) {
    std::string rid = pws_.Rid('S');
    pws_.SendRequest(rid, "CALLPC", std::string("PCPGM\0for the pc", 16), 9);
    // The manager's reader finds the host's request ...
    Reply request = pws_.ReadEntry("Z           ", QLXDQ_ORDER_GE, 10);
    ASSERT_EQ(request.rc, 0u);
    ASSERT_EQ(request.key[1], 'R');
    std::string pc_rid = request.key.substr(1);
    wire::RequestEntryHeader h;
    std::memcpy(&h, request.data.data(), sizeof h);
    EXPECT_EQ(FromEbcdic(std::string(h.msg_id, 10)), wire::kRequestMsgId);
    EXPECT_EQ(FromEbcdic(std::string(h.program, 21)), "PCPGM" + std::string(16, ' '));
    EXPECT_EQ(h.value.get(), 9u);
    EXPECT_EQ(request.data.substr(sizeof h), "for the pc");
    // ... the PWS program retrieves its data and returns its answer.
    Reply retrieved = pws_.Retrieve("S" + pc_rid);
    EXPECT_EQ(retrieved.data, "for the pc");
    wire::ReturnEntryHeader r{};
    std::memcpy(r.msg_id,
                ToEbcdic(code_return ? wire::kCodeReturnMsgId : wire::kDataReturnMsgId).data(), 10);
    std::string answer = code_return ? "" : "from the pc";
    r.value.set(code_return ? 1026 : 5);
    r.total_length.set(answer.size());
    r.block_length.set(answer.size());
    std::string entry(reinterpret_cast<char*>(&r), sizeof r);
    ASSERT_EQ(pws_.WriteEntry("X" + pc_rid, entry + answer), 0u);
    Reply reply = pws_.Retrieve("S" + rid);
    ASSERT_EQ(reply.rc, 0u);
    EXPECT_EQ(reply.return_code, code_return);
    EXPECT_EQ(reply.value, code_return ? 1026u : 5u);
    EXPECT_EQ(reply.data, answer);
  }
}

TEST_F(RrpTest, CallPcTurnsPacketsAfterTheNameIntoTheHostsFormAndTakesOnlyThatBack) {
  // Characters, 16-bit units with an odd byte left, 32-bit units with two.
  const std::string pc =
      Hex("0B 00 00 00 01 00 34 12 41 42 43 "
          "0D 00 00 00 02 00 02 01 01 02 03 04 05 "
          "0E 00 00 00 03 00 03 00 01 02 03 04 05 06");
  const std::string host =
      Hex("00 00 00 0B 00 01 12 34 C1 C2 C3 "
          "00 00 00 0D 00 02 01 02 02 01 04 03 05 "
          "00 00 00 0E 00 03 00 03 04 03 02 01 05 06");
  // CALLPC's request towards the PWS program; its "R" RID.
  auto call = [this, &host](const std::string& rid, const std::string& data) {
    pws_.SendRequest(rid, "CALLPC", std::string("PCPGM\0", 6) + data, 9, 2);
    Reply request = pws_.ReadEntry("Z           ", QLXDQ_ORDER_GE, 10);
    EXPECT_EQ(request.rc, 0u);
    if (request.rc != 0) return std::string();
    wire::RequestEntryHeader h;
    std::memcpy(&h, request.data.data(), sizeof h);
    EXPECT_EQ(h.data_version.get(), 1u);
    EXPECT_EQ(ToHex(request.data.substr(sizeof h)), ToHex(host));
    return request.key.substr(1);
  };
  auto answer = [this](const std::string& pc_rid, const std::string& data) {
    wire::ReturnEntryHeader r{};
    std::memcpy(r.msg_id, ToEbcdic(wire::kDataReturnMsgId).data(), 10);
    r.value.set(5);
    r.data_version.set(1);
    r.total_length.set(data.size());
    r.block_length.set(data.size());
    std::string entry(reinterpret_cast<char*>(&r), sizeof r);
    EXPECT_EQ(pws_.WriteEntry("X" + pc_rid, entry + data), 0u);
  };

  std::string rid = pws_.Rid('S');
  std::string pc_rid = call(rid, pc);
  ASSERT_FALSE(pc_rid.empty());
  Reply retrieved = pws_.Retrieve("S" + pc_rid);
  EXPECT_EQ(retrieved.data_version, 1u);
  EXPECT_EQ(ToHex(retrieved.data), ToHex(host));
  answer(pc_rid, host);
  Reply reply = pws_.Retrieve("S" + rid);
  EXPECT_FALSE(reply.return_code);
  EXPECT_EQ(reply.data_version, 1u);
  EXPECT_EQ(ToHex(reply.data), ToHex(host));

  // Packets still in the PC's form are no host packets.
  rid = pws_.Rid('S');
  pc_rid = call(rid, pc);
  ASSERT_FALSE(pc_rid.empty());
  answer(pc_rid, pc);
  reply = pws_.Retrieve("S" + rid);
  EXPECT_TRUE(reply.return_code);
  EXPECT_EQ(reply.value, wire::kHostRcBadRequest);

  rid = pws_.Rid('S');
  pws_.SendRequest(rid, "CALLPC", std::string("PCPGM\0", 6) + pc.substr(0, 12), 9, 2);
  reply = pws_.Retrieve("S" + rid);
  EXPECT_TRUE(reply.return_code);
  EXPECT_EQ(reply.value, wire::kHostRcBadRequest);
  std::string log = host_.LogText();
  EXPECT_NE(log.find("not host packet data"), std::string::npos) << log;
  EXPECT_NE(log.find("CALLPC " + rid + ": not packet data"), std::string::npos) << log;
}

TEST_F(RrpTest, RequestFaultsStrikeCallPcsNextRequestAndNoReply) {
  ASSERT_EQ(host_.Control("fault lose-entry pc").rfind("ok", 0), 0u);
  ASSERT_EQ(host_.Control("fault bad-total pc").rfind("ok", 0), 0u);
  std::string echo = pws_.Rid('S');
  pws_.SendRequest(echo, "ECHO", Pattern(20000));
  EXPECT_EQ(pws_.Retrieve("S" + echo).data, Pattern(20000)) << "replies are not struck";

  std::string rid = pws_.Rid('S');
  pws_.SendRequest(rid, "CALLPC", std::string("PCPGM\0", 6) + Pattern(20000));
  std::vector<Reply> entries = Arrivals(pws_, "Z           ", 2);
  ASSERT_EQ(entries.size(), 2u);
  std::vector<std::pair<uint32_t, uint32_t>> blocks;
  std::vector<uint32_t> totals;
  for (const Reply& entry : entries) {
    wire::RequestEntryHeader h;
    std::memcpy(&h, entry.data.data(), sizeof h);
    blocks.emplace_back(h.block_length.get(), h.bytes_left.get());
    totals.push_back(h.total_length.get());
  }
  using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(blocks, (Blocks{{8192, 11808}, {3616, 0}})) << "the second entry was lost";
  EXPECT_EQ(totals, (std::vector<uint32_t>{20000, 20001}));
  EXPECT_EQ(pws_.Retrieve("S" + entries[0].key.substr(1)).data, Pattern(20000))
      << "the data the PWS program retrieves is whole";
  EXPECT_NE(host_.Control("fault lose-entry sometimes").rfind("error", 0), std::string::npos);
}

TEST_F(RrpTest, AReturnIsTakenUnderAFreeTypeByteOnly) {
  struct Case {
    char type;
    bool taken;
  };
  for (Case c :
       {Case{'Q', true}, Case{'7', true}, Case{'A', false}, Case{'S', false}, Case{'Z', false}}) {
    SCOPED_TRACE(std::string(1, c.type));
    std::string rid = pws_.Rid('S');
    pws_.SendRequest(rid, "CALLPC", std::string("PCPGM\0x", 7));
    Reply request = pws_.ReadEntry("Z           ", QLXDQ_ORDER_GE, 10);
    ASSERT_EQ(request.rc, 0u);
    std::string pc_rid = request.key.substr(1);
    wire::ReturnEntryHeader r{};
    std::memcpy(r.msg_id, ToEbcdic(wire::kDataReturnMsgId).data(), 10);
    r.value.set(5);
    r.total_length.set(2);
    r.block_length.set(2);
    std::string entry(reinterpret_cast<char*>(&r), sizeof r);
    ASSERT_EQ(pws_.WriteEntry(c.type + pc_rid, entry + "ok"), 0u);
    Reply reply = pws_.Retrieve("S" + rid);
    ASSERT_EQ(reply.rc, 0u);
    EXPECT_EQ(reply.return_code, !c.taken);
    EXPECT_EQ(reply.value, c.taken ? 5u : wire::kHostRcBadRequest);
    EXPECT_EQ(reply.data, c.taken ? "ok" : "");
  }
  EXPECT_NE(host_.LogText().find("type byte Z keys other entries"), std::string::npos);
}

TEST_F(RrpTest, ADropInTheMiddleOfAReplyEndsThePwsAndALaterStartWorks) {
  // A second process's use of the queue, as the manager's reader waits on it.
  uint32_t manager = 0, manager_queue = 0, waiting = 0, read = 0;
  ASSERT_EQ(qlxCO_CreateSystem("HOSTSYS", &manager), 0u);
  ASSERT_EQ(
      qlxDQ_OpenEx(manager, pws_.queue_name().c_str(), pws_.library().c_str(), &manager_queue, 0),
      0u);
  std::string buffer(kRecord, '\0'), manager_key = ToEbcdic("Z           ");
  waiting = qlxDQ_CreateData();
  qlxDQ_SetDataAddr(waiting, buffer.data(), kRecord);
  qlxDQ_SetKey(waiting, manager_key.data(), 12);
  qlxDQ_SetSearchOrder(waiting, QLXDQ_ORDER_GE);
  ASSERT_EQ(qlxDQ_AsyncRead(manager_queue, waiting, -1, &read, 0), 0u);
  EXPECT_EQ(qlxDQ_CheckData(read, 0), QLXDQ_RC_IN_PROGRESS);

  ASSERT_EQ(host_.Control("fault drop-mid-reply").rfind("ok", 0), 0u);
  std::string rid = pws_.Rid('S');
  pws_.SendRequest(rid, "ECHO", "one entry only");  // not what the fault waits for
  EXPECT_EQ(pws_.Retrieve("S" + rid).data, "one entry only");
  rid = pws_.Rid('S');
  pws_.SendRequest(rid, "BIGREPLY", "", 20000);
  Reply cut = pws_.Retrieve("S" + rid);
  EXPECT_NE(cut.rc, 0u);
  EXPECT_EQ(cut.blocks.size(), 1u);
  EXPECT_NE(host_.LogText().find("fault: dropped after the first entry of a reply"),
            std::string::npos);
  EXPECT_EQ(host_.Control("list").find("pws=AAA"), std::string::npos);
  uint32_t manager_rc = QLXDQ_RC_IN_PROGRESS;
  for (int i = 0; i < 20 && manager_rc == QLXDQ_RC_IN_PROGRESS; ++i) {
    manager_rc = qlxDQ_CheckData(read, 0);
  }
  EXPECT_EQ(manager_rc, QLXDQ_RC_CONNECTION);
  qlxDQ_DeleteData(waiting);
  qlxDQ_Close(manager_queue);
  qlxCO_DeleteSystem(manager);

  Pws again(host_, false);
  ASSERT_TRUE(again.Start());
  ASSERT_TRUE(again.Obtain());
  rid = again.Rid('S');
  again.SendRequest(rid, "BIGREPLY", "", 20000);
  EXPECT_EQ(again.Retrieve("S" + rid).data, Pattern(20000));
}

TEST_F(RrpTest, ReplyFaultsBreakTheBlockSequenceTheWayTheyShould) {
  std::string rid = pws_.Rid('S');
  ASSERT_EQ(host_.Control("fault lose-entry").rfind("ok", 0), 0u);
  pws_.SendRequest(rid, "BIGREPLY", "", 20000);
  Reply first = pws_.Retrieve("S" + rid);  // stops at the entry whose predecessor is missing
  using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;
  EXPECT_EQ(first.blocks, (Blocks{{8192, 11808}, {3616, 0}}));

  rid = pws_.Rid('S');
  ASSERT_EQ(host_.Control("fault bad-total").rfind("ok", 0), 0u);
  pws_.SendRequest(rid, "ECHO", "abc");
  Reply bad = pws_.Retrieve("S" + rid);
  EXPECT_EQ(bad.blocks, (Blocks{{3, 0}}));
  EXPECT_EQ(bad.totals, (std::vector<uint32_t>{4}));

  rid = pws_.Rid('S');
  ASSERT_EQ(host_.Control("fault delay 1500").rfind("ok", 0), 0u);
  pws_.SendRequest(rid, "ECHO", "late");
  EXPECT_EQ(pws_.ReadEntry("S" + rid, QLXDQ_ORDER_EQ, 0).rc, QLXDQ_RC_TIMEOUT);
  EXPECT_EQ(pws_.Retrieve("S" + rid).data, "late");
  std::string log = host_.LogText();
  for (const char* line :
       {"fault: second entry of", "fault: wrong total length", "fault: reply to"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
}

TEST_F(RrpTest, MalformedRequestEntriesAreAnsweredOrDroppedWithALogLine) {
  std::string rid = pws_.Rid('S');
  ASSERT_EQ(pws_.WriteEntry("A" + rid, std::string(200, 'x')), 0u);  // no header
  Reply refused = pws_.Retrieve("S" + rid);
  EXPECT_TRUE(refused.return_code);
  EXPECT_EQ(refused.value, wire::kHostRcBadRequest);
  // A block longer than the total, whose bytes left wrap the sum to it.
  rid = pws_.Rid('S');
  wire::RequestEntryHeader h{};
  std::memcpy(h.msg_id, ToEbcdic(wire::kRequestMsgId).data(), 10);
  std::memcpy(h.program, ToEbcdic("ECHO" + std::string(17, ' ')).data(), 21);
  h.total_length.set(100);
  h.block_length.set(200);
  h.bytes_left.set(0xFFFFFFFFu - 99);
  ASSERT_EQ(pws_.WriteEntry("A" + rid, std::string(reinterpret_cast<char*>(&h), sizeof h) +
                                           std::string(200, 'w')),
            0u);
  refused = pws_.Retrieve("S" + rid);
  EXPECT_TRUE(refused.return_code);
  EXPECT_EQ(refused.value, wire::kHostRcBadRequest);
  ASSERT_EQ(pws_.WriteEntry("B" + pws_.Rid('S'), std::string(128, '\0')), 0u);
  ASSERT_EQ(pws_.WriteEntry("X" + pws_.Rid('R'), std::string(128, '\0')), 0u);
  std::string log = host_.LogText();
  EXPECT_NE(log.find("unknown message ID"), std::string::npos) << log;
  EXPECT_NE(log.find("without a first entry dropped"), std::string::npos) << log;
  EXPECT_NE(log.find("for no call of a PWS program dropped"), std::string::npos) << log;
  // The RRP still serves.
  rid = pws_.Rid('S');
  pws_.SendRequest(rid, "ECHO", "still here");
  EXPECT_EQ(pws_.Retrieve("S" + rid).data, "still here");
}

TEST_F(RrpTest, AQueueMadeAgainIsServedByANewRrp) {
  ASSERT_TRUE(pws_.RecreateQueue());
  ASSERT_TRUE(pws_.StartRrp(9));
  ASSERT_TRUE(pws_.Obtain());
  std::string rid = pws_.Rid('S');
  pws_.SendRequest(rid, "ECHO", "again");
  EXPECT_EQ(pws_.Retrieve("S" + rid).data, "again");
}

TEST_F(RrpTest, ManyPwsConnectionsAreServedAtOnce) {
  constexpr int kStations = 6;
  std::vector<std::string> ids(kStations), replies(kStations);
  std::vector<std::thread> threads;
  for (int i = 0; i < kStations; ++i) {
    threads.emplace_back([&, i] {
      Pws pws(host_, false);  // the fixture wrote the configuration
      if (!pws.Start() || !pws.Obtain()) return;
      ids[i] = pws.pws_id();
      std::string rid = pws.Rid('S');
      pws.SendRequest(rid, "ECHO", "station " + std::to_string(i));
      replies[i] = pws.Retrieve("S" + rid).data;
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<std::string> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kStations));
  EXPECT_EQ(distinct.count("AAA"), 0u);  // the fixture's PWS holds it
  for (int i = 0; i < kStations; ++i) EXPECT_EQ(replies[i], "station " + std::to_string(i));
}

TEST_F(RrpTest, AnOperatorStopWritesATerminationEntryAndLeavesTheManagersOwn) {
  ASSERT_EQ(pws_.WriteEntry("ZZZZZZZZZZZZ", "manager"), 0u);
  EXPECT_EQ(host_.Control("stop AAA").rfind("ok", 0), 0u);
  Reply own = pws_.ReadEntry("ZZZZZZZZZZZZ", QLXDQ_ORDER_EQ, 0);
  EXPECT_EQ(own.data, "manager");
  Reply term = pws_.ReadEntry("Z           ", QLXDQ_ORDER_GE, 10);
  ASSERT_EQ(term.rc, 0u);
  EXPECT_EQ(term.key[1], 'Z');
  EXPECT_EQ(term.key.substr(6), "AAA001");
  EXPECT_EQ(host_.Control("stop ZZZ").rfind("error", 0), 0u);
}

TEST_F(RrpTest, InterleavedRepliesArriveInTurnsAndEachIsWholeAndInOrder) {
  ASSERT_EQ(host_.Control("interleave AAA 3").rfind("ok interleaving the next 3", 0), 0u);
  // Three asynchronous echoes of 3, 2 and 3 entries, each with data of its
  // own, and a one-entry echo between them that is not kept back.
  const size_t sizes[] = {20000, 9000, 17000};
  std::vector<std::string> keys, data;
  std::string small = pws_.Rid('A');
  for (size_t i = 0; i < 3; ++i) {
    std::string rid = pws_.Rid('A');
    keys.push_back("Z" + rid);
    data.push_back(Pattern(sizes[i] + i).substr(i));
    if (i == 2) {
      ASSERT_TRUE(Eventually([&] { return Count(host_.LogText(), "kept back") == 2; }));
      Reply passed = pws_.ReadEntry("Z           ", QLXDQ_ORDER_GE, 0);
      EXPECT_EQ(passed.key, "Z" + small);
      EXPECT_EQ(pws_.ReadEntry("Z           ", QLXDQ_ORDER_GE, 0).rc, QLXDQ_RC_TIMEOUT);
    }
    pws_.SendRequest(rid, "ECHO", data[i], static_cast<uint32_t>(i));
    if (i == 0) pws_.SendRequest(small, "ECHO", "small");
  }

  std::vector<Reply> entries = Arrivals(pws_, "Z           ", 8);
  EXPECT_EQ(Keys(entries), (std::vector<std::string>{keys[0], keys[1], keys[2], keys[0], keys[1],
                                                     keys[2], keys[0], keys[2]}));
  EXPECT_EQ(pws_.ReadEntry("Z           ", QLXDQ_ORDER_GE, 0).rc, QLXDQ_RC_TIMEOUT);
  using Blocks = std::vector<std::pair<uint32_t, uint32_t>>;
  const Blocks expected[] = {{{8192, 11808}, {8192, 3616}, {3616, 0}},
                             {{8192, 808}, {808, 0}},
                             {{8192, 8808}, {8192, 616}, {616, 0}}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(keys[i]);
    Reply whole;
    for (const Reply& entry : entries) {
      if (entry.key == keys[i]) AppendEntry(whole, entry);
    }
    EXPECT_EQ(whole.blocks, expected[i]);
    EXPECT_EQ(whole.value, i);
    EXPECT_TRUE(whole.data == data[i]);
  }
  EXPECT_NE(host_.LogText().find("interleave: 3 replies written in turns, 8 entries"),
            std::string::npos);
}

TEST_F(RrpTest, InterleavingEndedEarlyWritesWhatWasKeptBackAndThenNoMore) {
  EXPECT_EQ(host_.Control("interleave AAA 1").rfind("error", 0), 0u);
  EXPECT_EQ(host_.Control("interleave AAA two").rfind("error", 0), 0u);
  EXPECT_EQ(host_.Control("interleave ZZZ 2").rfind("error", 0), 0u);
  ASSERT_EQ(host_.Control("interleave all 3").rfind("ok", 0), 0u);
  std::string first = pws_.Rid('S'), second = pws_.Rid('S');
  pws_.SendRequest(first, "BIGREPLY", "", 10000);
  pws_.SendRequest(second, "BIGREPLY", "", 10000);
  ASSERT_TRUE(Eventually([&] { return Count(host_.LogText(), "kept back") == 2; }));
  EXPECT_EQ(pws_.ReadEntry("S           ", QLXDQ_ORDER_GE, 0).rc, QLXDQ_RC_TIMEOUT);

  EXPECT_EQ(host_.Control("interleave AAA off"), "ok interleaving ended for 1 PWS");
  std::vector<Reply> entries = Arrivals(pws_, "S           ", 4);
  EXPECT_EQ(Keys(entries),
            (std::vector<std::string>{"S" + first, "S" + second, "S" + first, "S" + second}));
  // The next multi-entry reply goes out back to back at once.
  std::string after = pws_.Rid('S');
  pws_.SendRequest(after, "BIGREPLY", "", 10000);
  EXPECT_EQ(pws_.Retrieve("S" + after).data, Pattern(10000));
  EXPECT_NE(host_.LogText().find("operator ends interleaving, 2 replies kept back"),
            std::string::npos);
}

}  // namespace
}  // namespace zel::test
