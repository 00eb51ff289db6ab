// Wire formats between the PWS and zelhost: one definition for the host
// server and the client libraries (QlxCo, QLXDQ). No pointers, no padding;
// every number is big-endian; every layout has static_asserts on its size
// and offsets.
//
// One TCP port serves three kinds of connection, told apart by their first
// four bytes:
//
//   Sign-on service 11   [u16 length][0x12][kind] ...  kind 0xFF: a message
//                        frame, 0xF0: the sign-on preamble, 0xF1: the
//                        data-queue token. `length` counts the 4 header
//                        bytes. Both directions use the same frame; the PWS
//                        sends 48-byte init buffers (InitBuffer), the host
//                        answers with the station information, the started
//                        message or the termination acknowledgement.
//   Data queues          "ZLDQ" u16 version u16 role(1)   then DQ frames
//   Control              "ZLDQ" u16 version u16 role(2)   then DQ frames
//
// Sign-on preamble (optional, sent by the connection service before any
// message): payload = SignOnRequest; the host answers with a 0xF0 frame
// carrying SignOnReply. Without a preamble the host signs the connection on
// as its default user.
//
// Data-queue token (optional, sent by the connection service right after the
// preamble): the PWS sends a 0xF1 frame with no payload; the host answers
// with a 0xF1 frame carrying SignOnToken: a random token of this sign-on
// connection and the queue its PWS was given (blank before the start
// request). From then on the host sends that 0xF1 frame again, with the
// queue filled in, just before each station information, so the PWS learns
// which queue the token opens before it learns the queue. A connection that
// never asks never sees a 0xF1 frame. The token dies with the sign-on
// connection.
//
// Data-queue protocol, version 1. Each frame is a DqFrameHeader followed by
// its body. Requests carry a request id chosen by the client; each request
// gets exactly one reply with the same id and type, whose `status` is 0 or a
// QLXDQ_RC_* code, except kCommit, kRelease and kCancel, which get none:
//
//   kToken    the token's kTokenSize bytes          -> status (0 or
//             QLXDQ_RC_REFUSED). On a data-queue connection: the token of a
//             signed-on PWS; the connection may then create, delete, open,
//             write and read that PWS's queue (the station information's
//             library and queue). It keeps that right to the queue after the
//             PWS ends, until the host gives the name to another PWS. A
//             connection may present several tokens. Without one, every
//             queue request is answered QLXDQ_RC_REFUSED.
//             On a control connection: the control token, which zelhost
//             writes to a file only its user can read; a wrong one ends the
//             connection.
//   kCreate   DqCreateBody                          -> status
//   kDelete   DqQueueName                           -> status (waiting reads
//                                                      of the queue end with
//                                                      QLXDQ_RC_CANCELLED)
//   kOpen     DqQueueName                           -> DqOpenReply
//   kWrite    DqWriteBody key data                  -> status
//   kRead     DqReadBody key                        -> DqReadReply key data,
//             sent when an entry matches, when the wait runs out
//             (QLXDQ_RC_TIMEOUT), or when the read is cancelled.
//             An entry delivered by a read is reserved for that connection:
//             nobody else sees it until the client answers kCommit (the
//             entry is gone) or kRelease (it is back in its place). A
//             connection that ends releases what it holds, so an entry is
//             never lost when a reader gives up and never taken twice.
//   kCancel   DqIdBody(request id of a read)        -> the read's own reply
//             (QLXDQ_RC_CANCELLED) if it was still waiting
//   kCommit   DqIdBody(entry id)
//   kRelease  DqIdBody(entry id)
//   kControl  command text                          -> reply text (role 2,
//             after the control token; without it QLXDQ_RC_REFUSED)
#ifndef ZEL_WIRE_PROTOCOL_H
#define ZEL_WIRE_PROTOCOL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "wire/dataqueue_codes.h"

namespace zel::wire {

// A big-endian unsigned number of N bytes, byte-aligned.
template <size_t N>
struct BigEndian {
  uint8_t bytes[N];

  uint64_t get() const {
    uint64_t value = 0;
    for (size_t i = 0; i < N; ++i) value = (value << 8) | bytes[i];
    return value;
  }
  void set(uint64_t value) {
    for (size_t i = N; i-- > 0;) {
      bytes[i] = static_cast<uint8_t>(value);
      value >>= 8;
    }
  }
};
using Be16 = BigEndian<2>;
using Be32 = BigEndian<4>;
using Be64 = BigEndian<8>;
static_assert(sizeof(Be16) == 2 && sizeof(Be32) == 4 && sizeof(Be64) == 8);

// ---- Sign-on service 11 ----

inline constexpr uint16_t kSignOnService = 11;
inline constexpr uint8_t kFrameMarker = 0x12;
inline constexpr uint8_t kFrameMessage = 0xFF;
inline constexpr uint8_t kFramePreamble = 0xF0;
inline constexpr uint8_t kFrameToken = 0xF1;
inline constexpr size_t kMaxSignOnFrame = 4096;

struct SignOnFrameHeader {
  Be16 length;     // frame length, these 4 bytes included
  uint8_t marker;  // kFrameMarker
  uint8_t kind;    // kFrameMessage or kFramePreamble
};
static_assert(sizeof(SignOnFrameHeader) == 4);

// Sign-on preamble, PWS to host. Texts are ASCII, NUL padded.
struct SignOnRequest {
  char user[10];      // user ID; empty: the host's default user
  char password[32];  // carried for the host; zelhost does not check it
};
static_assert(sizeof(SignOnRequest) == 42);

// Host's answer to the preamble.
struct SignOnReply {
  Be32 rc;             // 0 signed on
  Be32 connection_id;  // the host's number for this connection, never 0
  char user[10];       // the user ID the connection runs under, NUL padded
};
static_assert(sizeof(SignOnReply) == 18);

// Random bytes that prove a data-queue or control connection's right.
inline constexpr size_t kTokenSize = 16;

// Host's answer to the token request, and its notice before each station
// information.
struct SignOnToken {
  uint8_t token[kTokenSize];
  char library[10];  // the PWS's queue, ASCII, blank padded; blank when none
  char queue[10];
};
static_assert(sizeof(SignOnToken) == 36);
static_assert(offsetof(SignOnToken, library) == 16);

// A token as text for the files that hold it: lower-case hex digits.
inline std::string TokenToHex(std::string_view token) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : token) {
    text.push_back(kDigits[c >> 4]);
    text.push_back(kDigits[c & 15]);
  }
  return text;
}

// The token written as TokenToHex wrote it (a line end may follow); empty
// when the text is anything else.
inline std::string TokenFromHex(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.size() != 2 * kTokenSize) return {};
  auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  std::string token;
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return {};
    token.push_back(static_cast<char>(high << 4 | low));
  }
  return token;
}

// Message types of the 48-byte init buffer (its first byte).
enum InitType : uint8_t { kStartRequest = 1, kRrpStart = 2, kTermination = 3 };

inline constexpr size_t kInitBufferSize = 48;

// Start request (type 1).
struct StartRequest {
  uint8_t type;  // kStartRequest
  uint8_t zero1[16];
  char proposed_queue[11];  // EBCDIC "%08X", unterminated, zero padded
  uint8_t zero2[4];
  char sys_id[4];  // EBCDIC three digits and NUL
  uint8_t zero3[12];
};
static_assert(sizeof(StartRequest) == kInitBufferSize);
static_assert(offsetof(StartRequest, proposed_queue) == 17);
static_assert(offsetof(StartRequest, sys_id) == 32);

// RRP start (type 2).
struct RrpStart {
  uint8_t type;  // kRrpStart
  uint8_t zero1;
  Be32 start_value;  // 1 for a further RRP
  char library[11];  // EBCDIC, NUL terminated
  char queue[11];    // EBCDIC, NUL terminated
  Be32 max_record_length;
  char sys_id[4];  // EBCDIC three digits and NUL
  uint8_t authority;
  uint8_t zero2[11];
};
static_assert(sizeof(RrpStart) == kInitBufferSize);
static_assert(offsetof(RrpStart, start_value) == 2);
static_assert(offsetof(RrpStart, library) == 6);
static_assert(offsetof(RrpStart, queue) == 17);
static_assert(offsetof(RrpStart, max_record_length) == 28);
static_assert(offsetof(RrpStart, sys_id) == 32);
static_assert(offsetof(RrpStart, authority) == 36);

// Station information, the answer to the start request.
struct StationInfo {
  uint8_t format;         // 1
  char user_profile[11];  // EBCDIC, NUL terminated
  char library[11];       // EBCDIC, NUL terminated
  char queue[11];         // EBCDIC, NUL terminated
};
static_assert(sizeof(StationInfo) == 34);
static_assert(offsetof(StationInfo, library) == 12);
static_assert(offsetof(StationInfo, queue) == 23);

// Started message, the answer to an RRP start.
struct StartedMessage {
  uint8_t format;  // 2
  Be32 host_rc;    // 0: the RRP started
  char pws_id[4];  // EBCDIC "AAA".."ZZZ" and NUL
};
static_assert(sizeof(StartedMessage) == 9);
static_assert(offsetof(StartedMessage, pws_id) == 5);

// Termination acknowledgement, the answer to the termination signal.
struct TerminationAck {
  uint8_t format;  // 3
  Be32 host_rc;    // 0
  char pws_id[4];  // EBCDIC, NUL terminated; zero when none was assigned
};
static_assert(sizeof(TerminationAck) == 9);

// ---- Data-queue entries written and read by the RRP ----

inline constexpr size_t kKeySize = 12;
inline constexpr size_t kEntryHeaderSize = 128;

// Request entry, message ID "ZEL/700000".
struct RequestEntryHeader {
  char msg_id[10];   // EBCDIC
  char program[21];  // EBCDIC, blank padded
  uint8_t zero1;
  Be32 value;
  Be32 data_version;
  Be32 total_length;
  Be32 block_length;
  Be32 bytes_left;
  uint8_t zero2[76];
};
static_assert(sizeof(RequestEntryHeader) == kEntryHeaderSize);
static_assert(offsetof(RequestEntryHeader, value) == 32);
static_assert(offsetof(RequestEntryHeader, bytes_left) == 48);

// Return entry, message ID "ZEL/700001" (data) or "ZEL/700002" (return code).
struct ReturnEntryHeader {
  char msg_id[10];  // EBCDIC
  uint8_t zero1[2];
  Be32 value;
  Be32 data_version;
  Be32 total_length;
  Be32 block_length;
  Be32 bytes_left;
  uint8_t zero2[96];
};
static_assert(sizeof(ReturnEntryHeader) == kEntryHeaderSize);
static_assert(offsetof(ReturnEntryHeader, value) == 12);
static_assert(offsetof(ReturnEntryHeader, bytes_left) == 28);

inline constexpr std::string_view kRequestMsgId = "ZEL/700000";
inline constexpr std::string_view kDataReturnMsgId = "ZEL/700001";
inline constexpr std::string_view kCodeReturnMsgId = "ZEL/700002";

// Return codes the host's RRP answers with ("ZEL/700002" values).
inline constexpr uint32_t kHostRcProgramNotFound = 0x7001;
inline constexpr uint32_t kHostRcBadRequest = 0x7002;
inline constexpr uint32_t kHostRcPcNoAnswer = 0x7003;
// Started-message codes of an RRP start the host cannot serve.
inline constexpr uint32_t kHostRcNoStation = 0x7101;    // no start request came first
inline constexpr uint32_t kHostRcNoQueue = 0x7102;      // the named queue does not exist
inline constexpr uint32_t kHostRcNoPwsId = 0x7103;      // every PWS ID is in use
inline constexpr uint32_t kHostRcNotOwnQueue = 0x7104;  // the queue is not this PWS's

// ---- Data-queue protocol ----

inline constexpr char kDqMagic[4] = {'Z', 'L', 'D', 'Q'};
inline constexpr uint16_t kDqVersion = 1;
enum DqRole : uint16_t { kRoleDataQueue = 1, kRoleControl = 2 };

// First bytes on a data-queue or control connection, client to host and
// (with `role` replaced by a status, 0 accepted) host to client.
struct DqHello {
  char magic[4];  // kDqMagic
  Be16 version;   // kDqVersion
  Be16 role;      // DqRole; in the host's answer: 0 accepted, else refused
};
static_assert(sizeof(DqHello) == 8);

enum DqType : uint16_t {
  kCreate = 1,
  kDelete = 2,
  kOpen = 3,
  kWrite = 4,
  kRead = 5,
  kCancel = 6,
  kCommit = 7,
  kRelease = 8,
  kControl = 9,
  kToken = 10,
};

inline constexpr size_t kMaxRecordLength = 1u << 20;
inline constexpr size_t kMaxKeyLength = 256;
inline constexpr size_t kMaxDqFrame = kMaxRecordLength + 1024;

struct DqFrameHeader {
  Be32 length;      // whole frame, this header included
  Be16 type;        // DqType
  Be16 reserved;    // 0
  Be32 request_id;  // chosen by the client, echoed in the reply
  Be32 status;      // replies: 0 or a QLXDQ_RC_* code; requests: 0
};
static_assert(sizeof(DqFrameHeader) == 16);

// Queue names travel as ASCII, blank padded.
struct DqQueueName {
  char library[10];
  char name[10];
};
static_assert(sizeof(DqQueueName) == 20);

struct DqCreateBody {
  DqQueueName queue;
  Be32 max_record_length;
  Be16 key_size;
  Be16 order;
  Be16 authority;
  uint8_t force_to_storage;
  uint8_t sender_id;
};
static_assert(sizeof(DqCreateBody) == 32);

struct DqOpenReply {
  Be32 max_record_length;
  Be16 key_size;
  Be16 order;
};
static_assert(sizeof(DqOpenReply) == 8);

struct DqWriteBody {  // followed by the key and the data
  DqQueueName queue;
  Be16 key_length;
  Be16 reserved;
  Be32 data_length;
};
static_assert(sizeof(DqWriteBody) == 28);

struct DqReadBody {  // followed by the key
  DqQueueName queue;
  Be16 key_length;
  Be16 search_order;  // QLXDQ_ORDER_*
  Be32 wait_seconds;  // 0xFFFFFFFF: no limit
  Be32 buffer_size;   // longest entry the reader takes
};
static_assert(sizeof(DqReadBody) == 32);

struct DqReadReply {  // followed by the key and the data; empty on failure
  Be64 entry_id;      // for kCommit / kRelease
  Be16 key_length;
  Be16 reserved;
  Be32 data_length;
};
static_assert(sizeof(DqReadReply) == 16);

struct DqIdBody {
  Be64 id;
};
static_assert(sizeof(DqIdBody) == 8);

// Blank-padded copy of a name of at most N characters; false when longer.
template <size_t N>
bool PadName(std::string_view name, char (&out)[N]) {
  if (name.size() > N) return false;
  std::memset(out, ' ', N);
  if (!name.empty()) std::memcpy(out, name.data(), name.size());
  return true;
}

// The name without its blank padding.
template <size_t N>
std::string UnpadName(const char (&field)[N]) {
  std::string_view text(field, N);
  size_t end = text.find_last_not_of(' ');
  return std::string(end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1));
}

}  // namespace zel::wire

#endif  // ZEL_WIRE_PROTOCOL_H
