// Writes the seed inputs of the fuzz targets, made from real entries and
// frames, into DIR/<target>/: run it when an input format changes and check
// the result in as tests/fuzz/corpus.
//
//   seed_corpus DIR
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/ebcdic.h"
#include "tests/fuzz/fuzz_input.h"
#include "wire/protocol.h"

namespace {

using zel::fuzz::MakeChunk;
using zel::host::ToEbcdic;

template <typename T>
std::string Bytes(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// ---- Data-queue entries ----

std::string ReturnEntry(std::string_view msg_id, uint32_t value, uint32_t version, uint32_t total,
                        std::string_view block, uint32_t left) {
  zel::wire::ReturnEntryHeader header{};
  memcpy(header.msg_id, ToEbcdic(msg_id).data(), sizeof header.msg_id);
  header.value.set(value);
  header.data_version.set(version);
  header.total_length.set(total);
  header.block_length.set(block.size());
  header.bytes_left.set(left);
  return Bytes(header) + std::string(block);
}

std::string RequestEntry(const std::string& program, uint32_t value, uint32_t total,
                         std::string_view block, uint32_t left, uint32_t version = 0) {
  zel::wire::RequestEntryHeader header{};
  memcpy(header.msg_id, ToEbcdic(zel::wire::kRequestMsgId).data(), sizeof header.msg_id);
  std::string padded = program + std::string(sizeof header.program - program.size(), ' ');
  memcpy(header.program, ToEbcdic(padded).data(), sizeof header.program);
  header.value.set(value);
  header.data_version.set(version);
  header.total_length.set(total);
  header.block_length.set(block.size());
  header.bytes_left.set(left);
  return Bytes(header) + std::string(block);
}

// The entries of `data` in blocks of `block` bytes.
std::vector<std::string> DataEntries(const std::string& data, size_t block, uint32_t version) {
  std::vector<std::string> entries;
  size_t sent = 0;
  do {
    std::string part = data.substr(sent, block);
    sent += part.size();
    entries.push_back(ReturnEntry(zel::wire::kDataReturnMsgId, 5, version, data.size(), part,
                                  data.size() - sent));
  } while (sent < data.size());
  return entries;
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + 1);
  return data;
}

// The second entry of a 600-byte buffer sent as 250 bytes and 350 more,
// broken: a block of 400 bytes, and 350 - 400 bytes left in 32 bits.
std::string WrappedEntry() {
  return ReturnEntry(zel::wire::kDataReturnMsgId, 0, 0, 600, Pattern(400), 350u - 400u);
}

std::string WrappedRequest() { return RequestEntry("PCPGM", 0, 600, Pattern(400), 350u - 400u); }

// A host-form packet of `format`: length, format, two reserved bytes, data.
std::string Packet(uint16_t format, const std::string& data) {
  std::string packet(8, '\0');
  zel::wire::Be32 length;
  length.set(8 + data.size());
  zel::wire::Be16 kind;
  kind.set(format);
  memcpy(packet.data(), &length, 4);
  memcpy(packet.data() + 4, &kind, 2);
  return packet + data;
}

// ---- Dispatch inputs: a flags byte, then entries by where they go ----

constexpr uint8_t kAsync = 0, kRequest = 1, kReply = 2, kSecond = 4;

std::string Chunks(uint8_t control, const std::vector<std::string>& entries) {
  std::string out;
  for (const std::string& entry : entries) out += MakeChunk(control, entry);
  return out;
}

std::vector<std::pair<std::string, std::string>> DispatchSeeds() {
  std::string answer = Chunks(kAsync, DataEntries(Pattern(3000), 1000, 0));
  std::string code = MakeChunk(kAsync | kSecond,
                               ReturnEntry(zel::wire::kCodeReturnMsgId, 0x8404, 0, 0, "", 0));
  std::string request = MakeChunk(kRequest, RequestEntry("PCPGM", 7, 5, "hello", 0));
  std::string long_request = MakeChunk(kRequest | kSecond, RequestEntry("PCPGM", 0, 3000,
                                                                        Pattern(1500), 1500)) +
                             MakeChunk(kRequest | kSecond, RequestEntry("PCPGM", 0, 3000,
                                                                        Pattern(1500), 0));
  std::string reply = Chunks(kReply, DataEntries(Pattern(4000), 1900, 0));
  std::string packets = Chunks(kReply, DataEntries(Packet(1, "abc") + Packet(2, "defg"), 1900, 1));
  std::string interleaved;
  std::vector<std::string> first = DataEntries(Pattern(2500), 1000, 0);
  std::vector<std::string> second = DataEntries(Pattern(1200), 1000, 0);
  for (size_t i = 0; i < first.size(); ++i) {
    interleaved += MakeChunk(kAsync, first[i]);
    if (i < second.size()) interleaved += MakeChunk(kAsync | kSecond, second[i]);
  }
  std::string termination = MakeChunk(3 | (2 << 3), RequestEntry("", 0, 0, "", 0));
  // A further entry whose block is longer than the bytes still to come, its
  // bytes left chosen so that the two add up to them in 32 bits.
  std::string wrapped = MakeChunk(kAsync, ReturnEntry(zel::wire::kDataReturnMsgId, 0, 0, 600,
                                                      Pattern(250), 350)) +
                        MakeChunk(kAsync, WrappedEntry()) +
                        MakeChunk(kRequest, RequestEntry("PCPGM", 0, 600, Pattern(250), 350)) +
                        MakeChunk(kRequest, WrappedRequest());
  return {
      {"async_answer", std::string(1, '\0') + answer + code},
      {"async_aborted", std::string(1, '\1') + answer},
      {"async_interleaved", std::string(1, '\0') + interleaved},
      {"host_request", std::string(1, '\0') + request + long_request},
      {"sync_reply", std::string(1, '\0') + reply},
      {"sync_reply_packets", std::string(1, '\0') + packets},
      {"termination", std::string(1, '\0') + termination},
      {"wrapped_bytes_left", std::string(1, '\0') + wrapped},
  };
}

// ---- Entry header inputs: entries checked as returns (0) or requests (1) ----

std::vector<std::pair<std::string, std::string>> HeaderSeeds() {
  std::string returns = Chunks(0, DataEntries(Pattern(600), 250, 0));
  std::string code = MakeChunk(0, ReturnEntry(zel::wire::kCodeReturnMsgId, 0x7001, 0, 0, "", 0));
  std::string request = MakeChunk(1, RequestEntry("ECHO", 3, 4, "data", 0));
  std::string neither = MakeChunk(2, ReturnEntry(zel::wire::kDataReturnMsgId, 0, 0, 1, "x", 0));
  std::string wrapped =
      MakeChunk(0, ReturnEntry(zel::wire::kDataReturnMsgId, 0, 0, 600, Pattern(250), 350)) +
      MakeChunk(0, WrappedEntry());
  return {{"returns", returns + code},
          {"request", request + neither},
          {"wrapped_bytes_left", wrapped}};
}

// ---- Host frame inputs: bytes for the sign-on (0) and data-queue (1)
// connections, the token presented (2) ----

std::string SignOnFrame(uint8_t kind, const std::string& payload) {
  zel::wire::SignOnFrameHeader header{};
  header.length.set(sizeof header + payload.size());
  header.marker = zel::wire::kFrameMarker;
  header.kind = kind;
  return MakeChunk(0, Bytes(header) + payload);
}

std::string DqFrame(uint16_t type, uint32_t request_id, const std::string& body) {
  zel::wire::DqFrameHeader header{};
  header.length.set(sizeof header + body.size());
  header.type.set(type);
  header.request_id.set(request_id);
  return MakeChunk(1, Bytes(header) + body);
}

template <size_t N>
void EbcdicField(char (&field)[N], const std::string& text) {
  memcpy(field, ToEbcdic(text).data(), text.size());
}

zel::wire::DqQueueName StationQueue() {
  zel::wire::DqQueueName name;
  zel::wire::PadName("QZELDQ", name.library);
  zel::wire::PadName("PWSQ", name.name);
  return name;
}

// Signs on, is given the queue PWSQ, makes it and starts an RRP on it.
std::string Session() {
  zel::wire::SignOnRequest sign_on{};
  strcpy(sign_on.user, "ZELUSER");
  zel::wire::StartRequest start{};
  start.type = zel::wire::kStartRequest;
  EbcdicField(start.proposed_queue, "PWSQ");
  EbcdicField(start.sys_id, "001");
  zel::wire::DqCreateBody create{};
  create.queue = StationQueue();
  create.max_record_length.set(2048);
  create.key_size.set(12);
  create.order.set(QLXDQ_QUEUE_KEYED);
  zel::wire::RrpStart rrp{};
  rrp.type = zel::wire::kRrpStart;
  EbcdicField(rrp.library, "QZELDQ");
  EbcdicField(rrp.queue, "PWSQ");
  rrp.max_record_length.set(2048);
  EbcdicField(rrp.sys_id, "001");
  return SignOnFrame(zel::wire::kFramePreamble, Bytes(sign_on)) +
         SignOnFrame(zel::wire::kFrameToken, "") +
         SignOnFrame(zel::wire::kFrameMessage, Bytes(start)) + MakeChunk(2, "") +
         DqFrame(zel::wire::kCreate, 1, Bytes(create)) +
         SignOnFrame(zel::wire::kFrameMessage, Bytes(rrp));
}

std::string Write(uint32_t request_id, const std::string& key, const std::string& entry) {
  zel::wire::DqWriteBody write{};
  write.queue = StationQueue();
  write.key_length.set(key.size());
  write.data_length.set(entry.size());
  return DqFrame(zel::wire::kWrite, request_id, Bytes(write) + ToEbcdic(key) + entry);
}

std::string Read(uint32_t request_id, const std::string& key, uint32_t wait) {
  zel::wire::DqReadBody read{};
  read.queue = StationQueue();
  read.key_length.set(key.size());
  read.search_order.set(QLXDQ_ORDER_EQ);
  read.wait_seconds.set(wait);
  read.buffer_size.set(2048);
  return DqFrame(zel::wire::kRead, request_id, Bytes(read) + ToEbcdic(key));
}

std::string Settle(uint16_t type, uint64_t entry_id) {
  zel::wire::DqIdBody body;
  body.id.set(entry_id);
  return DqFrame(type, 0, Bytes(body));
}

std::vector<std::pair<std::string, std::string>> HostSeeds() {
  // Synchronous requests are answered under "S" + RID, asynchronous ones
  // under "Z" + RID.
  std::string echo = Write(2, "AS0001AAA001", RequestEntry("ECHO", 1, 5, "hello", 0)) +
                     Read(3, "SS0001AAA001", 0) + Settle(zel::wire::kCommit, 2);
  std::string data = Pattern(3000);
  std::string multi = Write(2, "AS0002AAA001", RequestEntry("ECHO", 0, 3000, data.substr(0, 1800),
                                                            1200)) +
                      Write(3, "BS0002AAA001", RequestEntry("ECHO", 0, 3000, data.substr(1800),
                                                            0)) +
                      Read(4, "SS0002AAA001", 5) + Settle(zel::wire::kRelease, 3) +
                      Read(5, "ZA0003AAA001", 5);
  std::string programs =
      Write(2, "AA0003AAA001", RequestEntry("BIGREPLY", 2500, 0, "", 0)) +
      Write(3, "AA0004AAA001", RequestEntry("RETCODE", 9, 0, "", 0)) +
      Write(4, "AA0005AAA001", RequestEntry("PKTECHO", 0, 15, Packet(1, "abcdefg"), 0, 1)) +
      Write(5, "AA0006AAA001", RequestEntry("CALLPC", 0, 9, std::string("PCPGM\0abc", 9), 0)) +
      Write(6, "AA0007AAA001", RequestEntry("SLEEP", 10, 0, "", 0));
  std::string termination(zel::wire::kInitBufferSize, '\0');
  termination[0] = zel::wire::kTermination;
  return {
      {"echo", Session() + echo},
      {"multi_entry_request", Session() + multi},
      {"host_programs", Session() + programs + MakeChunk(3, "")},
      {"termination", Session() + SignOnFrame(zel::wire::kFrameMessage, termination)},
  };
}

bool WriteAll(const std::filesystem::path& dir,
              const std::vector<std::pair<std::string, std::string>>& seeds) {
  std::filesystem::create_directories(dir);
  for (const auto& [name, bytes] : seeds) {
    std::ofstream file(dir / name, std::ios::binary);
    file << bytes;
    if (!file) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  std::filesystem::path dir = argv[1];
  bool ok = WriteAll(dir / "dispatch_fuzz", DispatchSeeds()) &&
            WriteAll(dir / "entry_header_fuzz", HeaderSeeds()) &&
            WriteAll(dir / "host_frames_fuzz", HostSeeds());
  if (!ok) std::fprintf(stderr, "cannot write the seeds under %s\n", argv[1]);
  return ok ? 0 : 1;
}
