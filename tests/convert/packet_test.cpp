// Packet conversion: single packets in both directions, whole buffers with
// growth, and packets whose length does not agree with their buffer.
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

using Bytes = std::vector<uint8_t>;

// A packet in host form (big-endian header) or PC form (little-endian).
Bytes Packet(bool host, uint16_t format, uint16_t code_point, const Bytes& data, uint32_t ll = 0) {
  if (ll == 0) ll = static_cast<uint32_t>(8 + data.size());
  Bytes packet = {static_cast<uint8_t>(ll),         static_cast<uint8_t>(ll >> 8),
                  static_cast<uint8_t>(ll >> 16),   static_cast<uint8_t>(ll >> 24),
                  static_cast<uint8_t>(format),     static_cast<uint8_t>(format >> 8),
                  static_cast<uint8_t>(code_point), static_cast<uint8_t>(code_point >> 8)};
  if (host) {
    std::reverse(packet.begin(), packet.begin() + 4);
    std::reverse(packet.begin() + 4, packet.begin() + 6);
    std::reverse(packet.begin() + 6, packet.begin() + 8);
  }
  packet.resize(8 + data.size());
  std::copy(data.begin(), data.end(), packet.begin() + 8);
  return packet;
}
Bytes Pc(uint16_t format, uint16_t code_point, const Bytes& data) {
  return Packet(false, format, code_point, data);
}
Bytes Host(uint16_t format, uint16_t code_point, const Bytes& data) {
  return Packet(true, format, code_point, data);
}
Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

struct Result {
  uint16_t rc;
  Bytes out;  // the output up to the reported length
};

Result One(uint16_t direction, const Bytes& in, uint32_t capacity = 64) {
  Bytes out(capacity, 0xEE);
  uint32_t length = capacity;
  uint16_t rc = csConvertPacket(direction, out.data(), &length, in.data(), in.size());
  out.resize(length);
  return {rc, out};
}

Result ToHost(const Bytes& in) {
  void* output = reinterpret_cast<void*>(1);
  uint32_t length = 12345;
  Result result{csConvertToRZ700DataBuf(&output, &length, in.data(), in.size()), {}};
  EXPECT_EQ(output == nullptr, result.rc != VQZM_RC_OK || length == 0);
  if (output != nullptr) {
    result.out.assign(static_cast<uint8_t*>(output), static_cast<uint8_t*>(output) + length);
    free(output);
  }
  return result;
}

Result ToPws(const Bytes& in, uint32_t capacity) {
  Bytes out(capacity + 1, 0xEE);
  uint32_t length = capacity;
  uint16_t rc = csConvertToPWSDataBuf(out.data(), &length, in.data(), in.size());
  EXPECT_EQ(out[capacity], 0xEE) << "written past the caller's buffer";
  if (rc != VQZM_RC_OK) {
    EXPECT_EQ(length, capacity);
  }
  out.resize(rc == VQZM_RC_OK ? length : 0);
  return {rc, out};
}

class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override { UseCodePages("1252", "37"); }
  static void UseCodePages(const char* pc, const char* host) {
    setenv("ZEL_PC_CODEPAGE", pc, 1);
    setenv("ZEL_HOST_CCSID", host, 1);
  }
};

TEST_F(PacketTest, HeadersAndNumbersAreByteSwappedByFormat) {
  EXPECT_EQ(One(CS_TO_HOST, {0x0C, 0, 0, 0, 0x02, 0, 0x34, 0x12, 0x01, 0x00, 0x02, 0x00}).out,
            (Bytes{0, 0, 0, 0x0C, 0, 0x02, 0x12, 0x34, 0x00, 0x01, 0x00, 0x02}));
  // Trailing bytes that fill no unit stay as they are.
  EXPECT_EQ(One(CS_TO_HOST, Pc(3, 7, {1, 2, 3, 4, 5, 6})).out, Host(3, 7, {4, 3, 2, 1, 5, 6}));
  EXPECT_EQ(One(CS_TO_PWS, Host(2, 7, {1, 2, 3})).out, Pc(2, 7, {2, 1, 3}));
  EXPECT_EQ(One(CS_TO_PWS, Host(0, 0xABCD, {1, 2, 3})).out, Pc(0, 0xABCD, {1, 2, 3}));
  // A header-only packet is converted whatever its format.
  EXPECT_EQ(One(CS_TO_HOST, Pc(1, 5, {}), 8).out, Host(1, 5, {}));
  EXPECT_EQ(One(CS_TO_HOST, Pc(9, 5, {}), 8).out, Host(9, 5, {}));
  // A direction other than 1 or 2 converts nothing.
  EXPECT_EQ(One(3, Pc(0, 0, {1})).out, Bytes(64, 0xEE));
}

TEST_F(PacketTest, CharacterDataIsConvertedAndTheLengthFollowsIt) {
  EXPECT_EQ(One(CS_TO_HOST, Pc(1, 0x10, Text("Hi!"))).out, Host(1, 0x10, {0xC8, 0x89, 0x5A}));
  UseCodePages("932", "939");
  TraceCapture capture;
  Result pc = One(CS_TO_PWS, Host(1, 0x20, {0xC1, 0x0E, 0x45, 0x62, 0x0F}));
  ASSERT_EQ(pc.rc, VQZM_RC_OK);
  EXPECT_EQ(pc.out, Pc(1, 0x20, Text("A\x93\xFA")));
  EXPECT_TRUE(capture.TracedValue("size of packet", 13));
  EXPECT_TRUE(capture.TracedValue("format of packet", 1));
  EXPECT_TRUE(capture.TracedValue("Packet Code Pt", 0x20));
}

TEST_F(PacketTest, TooLittleRoomReportsWhatThePacketNeedsAndZeroesTheHeader) {
  TraceCapture capture;
  Bytes binary = Pc(0, 1, {1, 2, 3, 4});
  EXPECT_EQ(One(CS_TO_HOST, binary, 7).rc, VQZM_RC_NO_MEMORY);
  EXPECT_EQ(One(CS_TO_HOST, binary, 7).out.size(), 12u);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_RET_BUF_TOO_SMALL", "Vqzmcs0"));
  for (const Bytes& packet : {binary, Pc(1, 1, Text("abcd"))}) {
    Result result = One(CS_TO_HOST, packet, 11);
    EXPECT_EQ(result.rc, VQZM_RC_NO_MEMORY);
    EXPECT_EQ(result.out.size(), 12u);
    EXPECT_EQ(Bytes(result.out.begin(), result.out.begin() + 8), Bytes(8, 0));
  }
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_ASC_CONV", "Vqzmcs0"));
  EXPECT_TRUE(capture.TracedValue("cbAscToEbcCharArray() ERROR rc=", 4));
}

TEST_F(PacketTest, MalformedPacketsAreRefused) {
  TraceCapture capture;
  EXPECT_EQ(One(CS_TO_HOST, {8, 0, 0}).rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_PACKET_MISSING_LL", "Vqzmcs0"));
  EXPECT_EQ(One(CS_TO_HOST, Packet(false, 0, 0, {1, 2, 3, 4}, 4)).rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_RZ700_PACKET_SIZE", "Vqzmcs0"));
  EXPECT_EQ(One(CS_TO_PWS, Packet(true, 0, 0, {1, 2, 3, 4}, 7)).rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_PWS_PACKET_SIZE", "Vqzmcs0"));
  EXPECT_EQ(One(CS_TO_HOST, Pc(7, 0, {1})).rc, VQZM_RC_UNSUPPORTED_FORMAT);
  EXPECT_TRUE(capture.TracedValue("unsupported format", 7));
  // Four or five bytes left whose LL claims no more than they are: more
  // room could never help the buffer.
  for (Bytes tail : {Bytes{4, 0, 0, 0}, Bytes{5, 0, 0, 0, 0}, Bytes{0, 0, 0, 0}}) {
    EXPECT_EQ(ToHost(Join({Pc(0, 0, {1}), tail})).rc, VQZM_RC_CONVERSION_FAILED);
  }
}

TEST_F(PacketTest, ALengthPastTheEndOfTheInputIsNeverFollowed) {
  TraceCapture capture;
  Bytes past = Packet(true, 0, 0, {1, 2, 3, 4}, 16);  // claims 16 bytes, has 12
  EXPECT_EQ(One(CS_TO_PWS, past).rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_PACKET_PAST_INPUT", "Vqzmcs0"));
  EXPECT_TRUE(capture.TracedValue("packet length runs past the end of the input, LL=", 16));
  EXPECT_EQ(ToHost(Join({Pc(0, 0, {1}), Packet(false, 0, 0, {1}, 0xFFFFFFF0)})).rc,
            VQZM_RC_CONVERSION_FAILED);
  EXPECT_EQ(ToPws(Join({Host(0, 0, {1}), past}), 64).rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("CONVERT_PACKET_ERROR", "Vqzmcs0"));
}

TEST_F(PacketTest, BuffersConvertPacketByPacketAndBack) {
  Bytes pc = Join({Pc(0, 1, {9, 8, 7}), Pc(2, 2, {1, 0, 2, 0}), Pc(1, 3, Text("text")),
                   Pc(3, 4, {1, 0, 0, 0})});
  TraceCapture capture;
  Result host = ToHost(pc);
  ASSERT_EQ(host.rc, VQZM_RC_OK);
  EXPECT_EQ(host.out, Join({Host(0, 1, {9, 8, 7}), Host(2, 2, {0, 1, 0, 2}),
                            Host(1, 3, {0xA3, 0x85, 0xA7, 0xA3}), Host(3, 4, {0, 0, 0, 1})}));
  EXPECT_FALSE(capture.Traced("memory expansion required new size = "));
  EXPECT_EQ(ToPws(host.out, host.out.size()).out, pc);
  // Too small a PC buffer fails with 4 and leaves the caller's length.
  EXPECT_EQ(ToPws(host.out, host.out.size() - 1).rc, VQZM_RC_NO_MEMORY);

  Result empty = ToHost({});
  EXPECT_EQ(empty.rc, VQZM_RC_OK);
  EXPECT_TRUE(empty.out.empty());
  EXPECT_EQ(ToPws({}, 16).rc, VQZM_RC_OK);
}

TEST_F(PacketTest, TheHostBufferGrowsWhenDoubleByteTextLengthensAPacket) {
  UseCodePages("932", "939");
  // Shift-out and shift-in make the text packet two bytes longer, so the
  // binary packet after it no longer fits the input-sized buffer.
  Bytes pc = Join({Pc(1, 1, Text("A\x93\xFA")), Pc(0, 2, {1, 2, 3, 4, 5})});
  TraceCapture capture;
  Result host = ToHost(pc);
  ASSERT_EQ(host.rc, VQZM_RC_OK);
  EXPECT_EQ(host.out,
            Join({Host(1, 1, {0xC1, 0x0E, 0x45, 0x62, 0x0F}), Host(0, 2, {1, 2, 3, 4, 5})}));
  EXPECT_TRUE(capture.TracedValue("memory expansion required new size = ", pc.size() + 2));
  EXPECT_EQ(ToPws(host.out, pc.size()).out, pc);

  // A text packet whose shifts need more room than its input took (here
  // the last packet) reports what it needs, and the buffer grows to it.
  capture.Clear();
  Result last = ToHost(Join({Pc(0, 2, {1, 2, 3}), Pc(1, 1, Text("\x93\xFA"))}));
  ASSERT_EQ(last.rc, VQZM_RC_OK);
  EXPECT_EQ(last.out, Join({Host(0, 2, {1, 2, 3}), Host(1, 1, {0x0E, 0x45, 0x62, 0x0F})}));
  EXPECT_TRUE(capture.TracedValue("memory expansion required new size = ", 11 + 12));
}

}  // namespace
}  // namespace zel::test
