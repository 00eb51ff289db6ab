// Packets between their PC form (little-endian numbers, PC characters) and
// their host form (big-endian numbers, EBCDIC), one at a time and whole
// buffers of them.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "convert/convert.h"
#include "base/barrier.h"
#include "base/heap_buffer.h"
#include "base/trace.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcs0")

namespace zel::convert {
namespace {

constexpr const char* kPacketTag = "CS";
constexpr const char* kBufferTag = "CT";

// Header: LL (4 bytes, header included), format (2), code point (2).
constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kLengthSize = 4;

enum Format : uint16_t { kBytes = 0, kCharacters = 1, kShorts = 2, kLongs = 3 };

uint32_t Load32(const uint8_t* p, bool big_endian) {
  return big_endian ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
                    : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

uint16_t Load16(const uint8_t* p, bool big_endian) {
  return static_cast<uint16_t>(big_endian ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

void Store32(uint8_t* p, uint32_t value, bool big_endian) {
  for (int i = 0; i < 4; ++i) {
    p[big_endian ? 3 - i : i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// Reverses every whole unit; a tail shorter than a unit stays as it is.
void SwapUnits(uint8_t* data, size_t length, size_t unit) {
  for (size_t at = 0; at + unit <= length; at += unit) std::reverse(data + at, data + at + unit);
}

uint16_t CopyData(uint16_t format, uint8_t* out, uint32_t* output_length, const uint8_t* in,
                  uint32_t ll) {
  if (*output_length < ll) {
    std::memset(out, 0, kHeaderSize);
    *output_length = ll;
    return VQZM_RC_NO_MEMORY;
  }
  std::memmove(out + kHeaderSize, in + kHeaderSize, ll - kHeaderSize);
  if (format == kShorts) SwapUnits(out + kHeaderSize, ll - kHeaderSize, 2);
  if (format == kLongs) SwapUnits(out + kHeaderSize, ll - kHeaderSize, 4);
  *output_length = ll;
  return VQZM_RC_OK;
}

// The length `text` takes in the host code page, or 0 when it does not
// convert. Double-byte text grows by its shift characters: at most a
// shift-out and a shift-in around each two-byte character.
uint32_t HostTextLength(const uint8_t* text, uint32_t length) {
  uint32_t room = 2 * length + 2;
  std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[room]);
  if (scratch == nullptr) return 0;
  return cbAscToEbcCharArray(scratch.get(), text, &room, length) == VQZM_RC_OK ? room : 0;
}

uint16_t ConvertCharacters(bool to_host, uint8_t* out, uint32_t* output_length, const uint8_t* in,
                           uint32_t ll) {
  uint32_t room = *output_length;
  uint32_t converted = room - kHeaderSize;
  uint16_t rc =
      to_host
          ? cbAscToEbcCharArray(out + kHeaderSize, in + kHeaderSize, &converted, ll - kHeaderSize)
          : cbEbcToAscCharArray(out + kHeaderSize, in + kHeaderSize, &converted, ll - kHeaderSize);
  *output_length = kHeaderSize + converted;
  // The character converter refuses text that does not fit rather than cut
  // it. Text that only grew past the room (shift characters) is reported
  // with 4 and the length the packet needs, so that a growing buffer can
  // make exactly that room and convert it again.
  if (rc == VQZM_RC_CONVERSION_FAILED && to_host) {
    uint32_t needed = HostTextLength(in + kHeaderSize, ll - kHeaderSize);
    if (needed != 0 && kHeaderSize + needed > room) {
      rc = VQZM_RC_NO_MEMORY;
      *output_length = kHeaderSize + needed;
    }
  }
  if (rc != VQZM_RC_OK && ZEL_ERROR_POINT("EXT_ASC_CONV")) {
    trace::Rc(kPacketTag, -100, "cbAscToEbcCharArray() ERROR rc=", rc);
    if (rc == VQZM_RC_NO_MEMORY) std::memset(out, 0, kHeaderSize);
    return rc;
  }
  // Double-byte text can change length; the packet's LL follows it.
  Store32(out, *output_length, to_host);
  return VQZM_RC_OK;
}

uint16_t ConvertPacket(uint16_t direction, uint8_t* out, uint32_t* output_length, const uint8_t* in,
                       uint32_t input_length) {
  ZEL_TRACE_FUNCTION(kPacketTag, "csConvertPacket");
  if (direction != CS_TO_HOST && direction != CS_TO_PWS) return VQZM_RC_OK;
  if ((output_length == nullptr || (in == nullptr && input_length > 0) ||
       (out == nullptr && *output_length > 0)) &&
      ZEL_ERROR_POINT("EXT_NULL_PARAMETER")) {
    trace::Msg(kPacketTag, -100, "null buffer or length pointer");
    return VQZM_RC_CONVERSION_FAILED;
  }
  bool to_host = direction == CS_TO_HOST;
  bool input_big_endian = !to_host;
  if (input_length < kLengthSize && ZEL_ERROR_POINT("EXT_PACKET_MISSING_LL")) {
    trace::Msg(kPacketTag, -100, "Conversion packet to small to contain LL value");
    return VQZM_RC_CONVERSION_FAILED;
  }
  uint32_t ll = Load32(in, input_big_endian);
  // Checked before anything uses LL, so that a damaged length can make the
  // conversion neither read past the input nor grow the output.
  if (ll > input_length && ZEL_ERROR_POINT("EXT_PACKET_PAST_INPUT")) {
    trace::Size(kPacketTag, -100, "packet length runs past the end of the input, LL=", ll);
    trace::Size(kPacketTag, -100, "input bytes left=", input_length);
    return VQZM_RC_CONVERSION_FAILED;
  }
  if (*output_length < kHeaderSize && ZEL_ERROR_POINT("EXT_RET_BUF_TOO_SMALL")) {
    trace::Msg(kPacketTag, -100, "Return Buffer too small to copy Header data");
    *output_length = ll;
    return VQZM_RC_NO_MEMORY;
  }
  if (ll < kHeaderSize &&
      ZEL_ERROR_POINT(to_host ? "EXT_RZ700_PACKET_SIZE" : "EXT_PWS_PACKET_SIZE")) {
    trace::Size(kPacketTag, -100, "invalid packet size", ll);
    return VQZM_RC_CONVERSION_FAILED;
  }
  uint16_t format = Load16(in + 4, input_big_endian);
  std::memmove(out, in, kHeaderSize);
  std::reverse(out, out + 4);
  std::reverse(out + 4, out + 6);
  std::reverse(out + 6, out + 8);
  if (!to_host) {
    trace::Size(kPacketTag, 20, "size of packet", ll);
    trace::Result(kPacketTag, 21, "format of packet", format);
    trace::Result(kPacketTag, 22, "Packet Code Pt", Load16(out + 6, false));
  }
  if (ll == kHeaderSize) {
    *output_length = kHeaderSize;
    return VQZM_RC_OK;
  }
  switch (format) {
    case kBytes:
    case kShorts:
    case kLongs:
      return CopyData(format, out, output_length, in, ll);
    case kCharacters:
      return ConvertCharacters(to_host, out, output_length, in, ll);
    default:
      trace::Result(kPacketTag, -100, "unsupported format", format);
      return VQZM_RC_UNSUPPORTED_FORMAT;
  }
}

// The LL of the next packet of a buffer, read before its conversion can
// touch it; 0 when too few bytes are left (the conversion then fails).
uint32_t PeekLength(const uint8_t* in, uint32_t left, bool big_endian) {
  return left < kLengthSize ? 0 : Load32(in, big_endian);
}

uint16_t ConvertToHostBuffer(void** output, uint32_t* output_length, const uint8_t* in,
                             uint32_t input_length) {
  ZEL_TRACE_FUNCTION(kBufferTag, "csConvertToRZ700DataBuf");
  if ((output == nullptr || output_length == nullptr || (in == nullptr && input_length > 0)) &&
      ZEL_ERROR_POINT("EXT_NULL_PARAMETER")) {
    trace::Msg(kBufferTag, -100, "null buffer or length pointer");
    return VQZM_RC_CONVERSION_FAILED;
  }
  *output = nullptr;
  *output_length = 0;
  if (input_length == 0) return VQZM_RC_OK;
  // Most packets keep their length, so the input's size is the likely need.
  HeapBuffer buffer(static_cast<uint8_t*>(std::malloc(input_length)));
  if (!buffer && ZEL_ERROR_POINT("MALLOC_ERROR")) {
    trace::Size(kBufferTag, -100, "Error malloc() size=", input_length);
    return VQZM_RC_NO_MEMORY;
  }
  uint64_t capacity = input_length;
  uint32_t out_at = 0;
  uint32_t in_at = 0;
  while (in_at < input_length) {
    uint32_t room = static_cast<uint32_t>(capacity - out_at);
    uint32_t length = room;
    uint32_t ll = PeekLength(in + in_at, input_length - in_at, false);
    uint16_t rc =
        ConvertPacket(CS_TO_HOST, buffer.get() + out_at, &length, in + in_at, input_length - in_at);
    // Only more room than it had can help a packet.
    if (rc == VQZM_RC_NO_MEMORY && length > room) {
      uint64_t new_size = uint64_t{out_at} + length;
      trace::Size(kBufferTag, 30, "memory expansion required new size = ",
                  static_cast<uint32_t>(std::min<uint64_t>(new_size, UINT32_MAX)));
      void* grown = new_size <= UINT32_MAX ? std::realloc(buffer.get(), new_size) : nullptr;
      if (grown == nullptr && ZEL_ERROR_POINT("EXT_REALLOC_FAILED")) {
        trace::Size(kBufferTag, -100, "realloc() failed size=",
                    static_cast<uint32_t>(std::min<uint64_t>(new_size, UINT32_MAX)));
        return VQZM_RC_NO_MEMORY;
      }
      (void)buffer.release();
      buffer.reset(static_cast<uint8_t*>(grown));
      capacity = new_size;
      continue;
    }
    // A 4 that more room cannot cure is a header-only fragment with LL
    // below 8 at the end of the buffer.
    if (rc == VQZM_RC_NO_MEMORY) rc = VQZM_RC_CONVERSION_FAILED;
    if (rc != VQZM_RC_OK && ZEL_ERROR_POINT("CONVERT_PACKET_ERROR")) {
      trace::Rc(kBufferTag, -100, "Error csConvertPacket() rc ", rc);
      return rc;
    }
    out_at += length;
    in_at += ll;
  }
  *output = buffer.release();
  *output_length = out_at;
  return VQZM_RC_OK;
}

uint16_t ConvertToPwsBuffer(uint8_t* out, uint32_t* output_length, const uint8_t* in,
                            uint32_t input_length) {
  ZEL_TRACE_FUNCTION(kBufferTag, "csConvertToPWSDataBuf");
  if ((output_length == nullptr || (in == nullptr && input_length > 0) ||
       (out == nullptr && *output_length > 0)) &&
      ZEL_ERROR_POINT("EXT_NULL_PARAMETER")) {
    trace::Msg(kBufferTag, -100, "null buffer or length pointer");
    return VQZM_RC_CONVERSION_FAILED;
  }
  uint32_t capacity = *output_length;
  uint32_t out_at = 0;
  uint32_t in_at = 0;
  while (in_at < input_length) {
    uint32_t length = capacity - out_at;
    uint32_t ll = PeekLength(in + in_at, input_length - in_at, true);
    uint16_t rc = ConvertPacket(CS_TO_PWS, out + out_at, &length, in + in_at, input_length - in_at);
    if (rc != VQZM_RC_OK && ZEL_ERROR_POINT("CONVERT_PACKET_ERROR")) {
      trace::Rc(kBufferTag, -100, "Error csConvertPacket() rc ", rc);
      return rc;
    }
    out_at += length;
    in_at += ll;
  }
  *output_length = out_at;
  return VQZM_RC_OK;
}

}  // namespace
}  // namespace zel::convert

extern "C" {

uint16_t csConvertPacket(uint16_t direction, void* output, uint32_t* output_length,
                         const void* input, uint32_t input_length) noexcept try {
  return zel::convert::ConvertPacket(direction, static_cast<uint8_t*>(output), output_length,
                                     static_cast<const uint8_t*>(input), input_length);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t csConvertToRZ700DataBuf(void** output, uint32_t* output_length, const void* input,
                                 uint32_t input_length) noexcept try {
  return zel::convert::ConvertToHostBuffer(output, output_length,
                                           static_cast<const uint8_t*>(input), input_length);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t csConvertToPWSDataBuf(void* output, uint32_t* output_length, const void* input,
                               uint32_t input_length) noexcept try {
  return zel::convert::ConvertToPwsBuffer(static_cast<uint8_t*>(output), output_length,
                                          static_cast<const uint8_t*>(input), input_length);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
