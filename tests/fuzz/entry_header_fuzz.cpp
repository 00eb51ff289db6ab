// Fuzzes the check of received entry headers (cdProcRcvHeader) and the
// check that a further entry goes on with the data being put together
// (ContinuesAssembly).
//
// Input: chunks (fuzz_input.h), each an entry; bit 0 of the control byte
// says whether it is checked as a return (0) or a request (1), bit 1 that
// it is checked as an entry of neither kind. Beyond "no crash":
//   - a header of neither kind is refused and left as it was;
//   - an accepted header names its kind in ASCII, has its five numbers in
//     the PC's byte order, and everything else as it came;
//   - the accepted entries, put together as the reader does, never place a
//     block outside the buffer their first entry announced.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "convert/convert.h"
#include "dataqueue/dataqueue.h"
#include "tests/fuzz/fuzz_input.h"
#include "vqzmrc.h"

namespace zel::fuzz {
namespace {

using dataqueue::kHeaderLength;
using dataqueue::kMsgIdLength;

uint32_t BigEndianAt(const uint8_t* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

uint32_t NativeAt(const uint8_t* bytes) {
  uint32_t value;
  memcpy(&value, bytes, sizeof value);
  return value;
}

std::string Ebcdic(const char* ascii, uint32_t length) {
  std::string out(length, '\0');
  uint32_t room = length;
  Require(cbAscToEbcCharArray(out.data(), ascii, &room, length) == 0);
  return out;
}

// The bytes of an accepted header: the message ID and `texts` more bytes
// converted, the five numbers at `numbers` turned round, the rest as it
// came.
void CheckAccepted(const uint8_t* before, const uint8_t* after, size_t numbers, bool request) {
  const std::string id(reinterpret_cast<const char*>(after), kMsgIdLength);
  if (request) {
    Require(id == dataqueue::kRequestMsgId);
  } else {
    Require(id == dataqueue::kDataReturnMsgId || id == dataqueue::kCodeReturnMsgId);
  }
  Require(Ebcdic(id.c_str(), kMsgIdLength) == std::string(reinterpret_cast<const char*>(before),
                                                          kMsgIdLength));
  size_t converted_end = request ? offsetof(DQReqHeader, bZero) : kMsgIdLength;
  for (size_t i = 0; i < 5; ++i) {
    Require(NativeAt(after + numbers + 4 * i) == BigEndianAt(before + numbers + 4 * i));
  }
  Require(memcmp(before + converted_end, after + converted_end, numbers - converted_end) == 0);
  size_t rest = numbers + 20;
  Require(memcmp(before + rest, after + rest, kHeaderLength - rest) == 0);
}

// Data being put together from return entries, as the readers keep it.
struct Assembly {
  bool started = false;
  uint32_t total = 0;
  uint32_t received = 0;
  uint32_t left = 0;
};

// The entry's block inside the entry, and inside the assembly's buffer.
void Assemble(Assembly& assembly, const DQRetHeader& header, size_t entry_length) {
  if (entry_length < kHeaderLength || header.ulBlockLen > entry_length - kHeaderLength) return;
  if (uint64_t{header.ulBlockLen} + header.ulBytesLeft == header.ulTotalLen) {
    assembly = Assembly{true, header.ulTotalLen, header.ulBlockLen, header.ulBytesLeft};
    return;
  }
  if (!assembly.started ||
      !dataqueue::ContinuesAssembly(assembly.total, assembly.left, header.ulTotalLen,
                                    header.ulBlockLen, header.ulBytesLeft)) {
    return;
  }
  Require(uint64_t{assembly.received} + header.ulBlockLen <= assembly.total);
  assembly.received += header.ulBlockLen;
  assembly.left = header.ulBytesLeft;
  Require(uint64_t{assembly.received} + assembly.left == assembly.total);
}

}  // namespace
}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zel::fuzz;
  Chunks chunks(data, size);
  Chunk chunk;
  Assembly assembly;
  while (chunks.Next(chunk)) {
    // The reader's buffer always holds a whole header, whatever was read.
    std::string entry(chunk.bytes);
    entry.resize(std::max<size_t>(entry.size(), kHeaderLength));
    const std::string before = entry;
    auto* bytes = reinterpret_cast<uint8_t*>(entry.data());
    bool request = (chunk.control & 1) != 0;
    if ((chunk.control & 2) != 0) {
      Require(cdProcRcvHeader("ZEL/700003", bytes) == VQZM_RC_INTERNAL_ERROR);
      Require(entry == before);
      continue;
    }
    const char* kind = request ? zel::dataqueue::kRequestMsgId : zel::dataqueue::kDataReturnMsgId;
    if (cdProcRcvHeader(kind, bytes) != 0) continue;
    const auto* original = reinterpret_cast<const uint8_t*>(before.data());
    if (request) {
      CheckAccepted(original, bytes, offsetof(DQReqHeader, ulValue), true);
      continue;
    }
    CheckAccepted(original, bytes, offsetof(DQRetHeader, ulValue), false);
    DQRetHeader header;
    memcpy(&header, bytes, sizeof header);
    Assemble(assembly, header, chunk.bytes.size());
  }
  return 0;
}
