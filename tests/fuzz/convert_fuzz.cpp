// Fuzzes the two packet-buffer converters, and through them the character
// converters and the language service, with the code pages of a Western
// and of a Japanese workstation.
//
// Input: byte 0 picks the code pages, byte 1 the direction (bit 0) and the
// room the caller gives a host-to-PC conversion (bits 1..7, in 32nds of
// twice the input); the rest is the packet buffer. Beyond "no crash, no
// overrun, no leak", a successful conversion between single-byte code
// pages must come back unchanged when converted the other way.
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "convert/convert.h"
#include "vqzmrc.h"

namespace {

struct CodePages {
  const char* pc;
  const char* host;
  bool single_byte;
};

constexpr CodePages kCodePages[] = {
    {"1252", "37", true}, {"850", "500", true}, {"932", "939", false}, {"932", "1399", false}};

void UseCodePages(const CodePages& pages) {
  static const CodePages* current = nullptr;
  if (current == &pages) return;
  setenv("ZEL_PC_CODEPAGE", pages.pc, 1);
  setenv("ZEL_HOST_CCSID", pages.host, 1);
  current = &pages;
}

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// PC packets to the host; between single-byte code pages they come back.
void ToHostAndBack(const uint8_t* in, uint32_t size, bool single_byte) {
  void* output = nullptr;
  uint32_t length = 0;
  uint16_t rc = csConvertToRZ700DataBuf(&output, &length, in, size);
  if (rc != VQZM_RC_OK) {
    Require(output == nullptr);
    return;
  }
  Require((output == nullptr) == (length == 0));
  if (single_byte) {
    std::vector<uint8_t> back(size);
    uint32_t back_length = size;
    Require(csConvertToPWSDataBuf(back.data(), &back_length, output, length) == VQZM_RC_OK);
    Require(back_length == size && (size == 0 || std::memcmp(back.data(), in, size) == 0));
  }
  free(output);
}

// Host packets to the PC, into a buffer that may be too small.
void ToPwsAndBack(const uint8_t* in, uint32_t size, uint32_t room_32nds, bool single_byte) {
  uint32_t capacity = static_cast<uint32_t>(uint64_t{size} * 2 * room_32nds / 32);
  // The guard byte behind the caller's buffer must survive.
  std::vector<uint8_t> output(capacity + 1, 0xA5);
  uint32_t length = capacity;
  uint16_t rc = csConvertToPWSDataBuf(output.data(), &length, in, size);
  Require(output[capacity] == 0xA5);
  if (rc != VQZM_RC_OK) {
    Require(length == capacity);
    return;
  }
  Require(length <= capacity);
  if (!single_byte) return;
  void* back = nullptr;
  uint32_t back_length = 0;
  Require(csConvertToRZ700DataBuf(&back, &back_length, output.data(), length) == VQZM_RC_OK);
  Require(back_length == size && (size == 0 || std::memcmp(back, in, size) == 0));
  free(back);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  const CodePages& pages = kCodePages[data[0] % std::size(kCodePages)];
  UseCodePages(pages);
  bool to_host = (data[1] & 1) != 0;
  const uint8_t* in = data + 2;
  uint32_t in_size = static_cast<uint32_t>(size - 2);
  if (to_host) {
    ToHostAndBack(in, in_size, pages.single_byte);
  } else {
    ToPwsAndBack(in, in_size, data[1] >> 1, pages.single_byte);
  }
  return 0;
}
