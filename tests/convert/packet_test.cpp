// Packet conversion: single packets in both directions, whole buffers with
// growth, and packets whose length does not agree with their buffer.
#include <stdlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "convert/convert.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

using Bytes = std::vector<uint8_t>;

// A packet in PC form (little-endian header) or host form (big-endian).
Bytes Packet(bool host_form, uint16_t format, uint16_t code_point, const Bytes& data,
             uint32_t ll = 0) {
  if (ll == 0) ll = static_cast<uint32_t>(8 + data.size());
  Bytes packet(8);
  for (int i = 0; i < 4; ++i) packet[host_form ? 3 - i : i] = static_cast<uint8_t>(ll >> (8 * i));
  packet[host_form ? 5 : 4] = static_cast<uint8_t>(format);
  packet[host_form ? 4 : 5] = static_cast<uint8_t>(format >> 8);
  packet[host_form ? 7 : 6] = static_cast<uint8_t>(code_point);
  packet[host_form ? 6 : 7] = static_cast<uint8_t>(code_point >> 8);
  packet.insert(packet.end(), data.begin(), data.end());
  return packet;
}
Bytes PcPacket(uint16_t format, uint16_t code_point, const Bytes& data) {
  return Packet(false, format, code_point, data);
}
Bytes HostPacket(uint16_t format, uint16_t code_point, const Bytes& data) {
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
  Bytes out;
};

Result ConvertOne(uint16_t direction, const Bytes& in, uint32_t capacity) {
  Bytes out(capacity, 0xEE);
  uint32_t length = capacity;
  uint16_t rc =
      csConvertPacket(direction, out.data(), &length, in.data(), static_cast<uint32_t>(in.size()));
  out.resize(length);
  return {rc, out};
}

Result ToHost(const Bytes& in) {
  void* output = reinterpret_cast<void*>(1);
  uint32_t length = 12345;
  uint16_t rc =
      csConvertToRZ700DataBuf(&output, &length, in.data(), static_cast<uint32_t>(in.size()));
  Result result{rc, {}};
  if (output != nullptr) {
    result.out.assign(static_cast<uint8_t*>(output), static_cast<uint8_t*>(output) + length);
    free(output);
  } else {
    EXPECT_TRUE(rc != VQZM_RC_OK || length == 0);
  }
  if (rc != VQZM_RC_OK) {
    EXPECT_EQ(output, nullptr);
  }
  return result;
}

Result ToPws(const Bytes& in, uint32_t capacity) {
  Bytes out(capacity + 1, 0xEE);
  uint32_t length = capacity;
  uint16_t rc =
      csConvertToPWSDataBuf(out.data(), &length, in.data(), static_cast<uint32_t>(in.size()));
  EXPECT_EQ(out[capacity], 0xEE) << "written past the caller's buffer";
  if (rc != VQZM_RC_OK) {
    EXPECT_EQ(length, capacity);
    return {rc, {}};
  }
  out.resize(length);
  return {rc, out};
}

class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ZEL_PC_CODEPAGE", "1252", 1);
    setenv("ZEL_HOST_CCSID", "37", 1);
  }
};

TEST_F(PacketTest, HeaderAndNumbersAreByteSwappedByFormat) {
  Bytes pc = {0x0C, 0, 0, 0, 0x02, 0, 0x34, 0x12, 0x01, 0x00, 0x02, 0x00};
  Result host = ConvertOne(CS_TO_HOST, pc, 64);
  ASSERT_EQ(host.rc, VQZM_RC_OK);
  EXPECT_EQ(host.out, (Bytes{0, 0, 0, 0x0C, 0, 0x02, 0x12, 0x34, 0x00, 0x01, 0x00, 0x02}));

  // 32-bit units; two trailing bytes that fill no unit stay as they are.
  Result longs = ConvertOne(CS_TO_HOST, PcPacket(3, 7, {1, 2, 3, 4, 5, 6}), 64);
  ASSERT_EQ(longs.rc, VQZM_RC_OK);
  EXPECT_EQ(longs.out, HostPacket(3, 7, {4, 3, 2, 1, 5, 6}));
  Result shorts = ConvertOne(CS_TO_PWS, HostPacket(2, 7, {1, 2, 3}), 64);
  ASSERT_EQ(shorts.rc, VQZM_RC_OK);
  EXPECT_EQ(shorts.out, PcPacket(2, 7, {2, 1, 3}));
  Result bytes = ConvertOne(CS_TO_PWS, HostPacket(0, 0xABCD, {1, 2, 3}), 64);
  EXPECT_EQ(bytes.out, PcPacket(0, 0xABCD, {1, 2, 3}));
}

TEST_F(PacketTest, CharacterDataIsConvertedAndTheLengthFollowsIt) {
  Result host = ConvertOne(CS_TO_HOST, PcPacket(1, 0x10, Text("Hi!")), 64);
  ASSERT_EQ(host.rc, VQZM_RC_OK);
  EXPECT_EQ(host.out, HostPacket(1, 0x10, {0xC8, 0x89, 0x5A}));

  setenv("ZEL_PC_CODEPAGE", "932", 1);
  setenv("ZEL_HOST_CCSID", "939", 1);
  TraceCapture capture;
  Result pc = ConvertOne(CS_TO_PWS, HostPacket(1, 0x20, {0xC1, 0x0E, 0x45, 0x62, 0x0F}), 64);
  ASSERT_EQ(pc.rc, VQZM_RC_OK);
  EXPECT_EQ(pc.out, PcPacket(1, 0x20, Text("A\x93\xFA")));
  EXPECT_TRUE(capture.TracedValue("size of packet", 13));
  EXPECT_TRUE(capture.TracedValue("format of packet", 1));
  EXPECT_TRUE(capture.TracedValue("Packet Code Pt", 0x20));
}

TEST_F(PacketTest, AHeaderOnlyPacketIsConvertedWhateverItsFormat) {
  for (uint16_t format : {1, 9}) {
    Result host = ConvertOne(CS_TO_HOST, PcPacket(format, 5, {}), 8);
    EXPECT_EQ(host.rc, VQZM_RC_OK);
    EXPECT_EQ(host.out, HostPacket(format, 5, {}));
  }
}

TEST_F(PacketTest, TooLittleRoomReportsWhatThePacketNeeds) {
  TraceCapture capture;
  Bytes packet = PcPacket(0, 1, {1, 2, 3, 4});
  Result header = ConvertOne(CS_TO_HOST, packet, 7);
  EXPECT_EQ(header.rc, VQZM_RC_NO_MEMORY);
  EXPECT_EQ(header.out.size(), 12u);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_RET_BUF_TOO_SMALL", "Vqzmcs0"));

  Bytes out(11, 0xEE);
  uint32_t length = 11;
  EXPECT_EQ(csConvertPacket(CS_TO_HOST, out.data(), &length, packet.data(), 12), VQZM_RC_NO_MEMORY);
  EXPECT_EQ(length, 12u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), Bytes(8, 0));  // header zeroed

  Bytes text = PcPacket(1, 1, Text("abcd"));
  out.assign(11, 0xEE);
  length = 11;
  EXPECT_EQ(csConvertPacket(CS_TO_HOST, out.data(), &length, text.data(), 12), VQZM_RC_NO_MEMORY);
  EXPECT_EQ(length, 12u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8), Bytes(8, 0));
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_ASC_CONV", "Vqzmcs0"));
  EXPECT_TRUE(capture.TracedValue("cbAscToEbcCharArray() ERROR rc=", 4));
}

TEST_F(PacketTest, MalformedPacketsAreRefused) {
  TraceCapture capture;
  EXPECT_EQ(ConvertOne(CS_TO_HOST, {8, 0, 0}, 64).rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_PACKET_MISSING_LL", "Vqzmcs0"));
  EXPECT_EQ(ConvertOne(CS_TO_HOST, Packet(false, 0, 0, {1, 2, 3, 4}, 4), 64).rc,
            VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_RZ700_PACKET_SIZE", "Vqzmcs0"));
  EXPECT_EQ(ConvertOne(CS_TO_PWS, Packet(true, 0, 0, {1, 2, 3, 4}, 7), 64).rc,
            VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_PWS_PACKET_SIZE", "Vqzmcs0"));
  EXPECT_EQ(ConvertOne(CS_TO_HOST, PcPacket(7, 0, {1}), 64).rc, VQZM_RC_UNSUPPORTED_FORMAT);
  EXPECT_TRUE(capture.TracedValue("unsupported format", 7));
  EXPECT_EQ(ConvertOne(3, PcPacket(0, 0, {1}), 64).out, Bytes(64, 0xEE));
}

TEST_F(PacketTest, ALengthPastTheEndOfTheInputIsNeverFollowed) {
  TraceCapture capture;
  // The packet claims 16 bytes but only 12 are there; the bytes behind it
  // belong to nobody.
  Bytes buffer = Packet(true, 0, 0, {1, 2, 3, 4}, 16);
  Result one = ConvertOne(CS_TO_PWS, buffer, 64);
  EXPECT_EQ(one.rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_PACKET_PAST_INPUT", "Vqzmcs0"));
  EXPECT_TRUE(capture.TracedValue("packet length runs past the end of the input, LL=", 16));

  Bytes pc = Join({PcPacket(0, 0, {1}), Packet(false, 0, 0, {1}, 0xFFFFFFF0)});
  EXPECT_EQ(ToHost(pc).rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_EQ(ToPws(Join({HostPacket(0, 0, {1}), buffer}), 64).rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("CONVERT_PACKET_ERROR", "Vqzmcs0"));
}

TEST_F(PacketTest, ABufferWithoutGrowthKeepsItsLength) {
  Bytes pc = Join({PcPacket(0, 1, {9, 8, 7}), PcPacket(2, 2, {1, 0, 2, 0}),
                   PcPacket(1, 3, Text("text")), PcPacket(3, 4, {1, 0, 0, 0})});
  TraceCapture capture;
  Result host = ToHost(pc);
  ASSERT_EQ(host.rc, VQZM_RC_OK);
  EXPECT_EQ(host.out,
            Join({HostPacket(0, 1, {9, 8, 7}), HostPacket(2, 2, {0, 1, 0, 2}),
                  HostPacket(1, 3, {0xA3, 0x85, 0xA7, 0xA3}), HostPacket(3, 4, {0, 0, 0, 1})}));
  EXPECT_FALSE(capture.Traced("memory expansion required new size = "));
  Result back = ToPws(host.out, static_cast<uint32_t>(host.out.size()));
  ASSERT_EQ(back.rc, VQZM_RC_OK);
  EXPECT_EQ(back.out, pc);
}

TEST_F(PacketTest, AnEmptyBufferGivesNoBuffer) {
  void* output = reinterpret_cast<void*>(1);
  uint32_t length = 77;
  EXPECT_EQ(csConvertToRZ700DataBuf(&output, &length, nullptr, 0), VQZM_RC_OK);
  EXPECT_EQ(output, nullptr);
  EXPECT_EQ(length, 0u);
  uint8_t buffer[77];
  length = sizeof buffer;
  EXPECT_EQ(csConvertToPWSDataBuf(buffer, &length, nullptr, 0), VQZM_RC_OK);
  EXPECT_EQ(length, 0u);
}

TEST_F(PacketTest, TheHostBufferGrowsWhenDoubleByteTextLengthensAPacket) {
  setenv("ZEL_PC_CODEPAGE", "932", 1);
  setenv("ZEL_HOST_CCSID", "939", 1);
  // Shift-out and shift-in make the text packet two bytes longer, so the
  // format-0 packet after it no longer fits the input-sized buffer.
  Bytes pc = Join({PcPacket(1, 1, Text("A\x93\xFA")), PcPacket(0, 2, {1, 2, 3, 4, 5})});
  TraceCapture capture;
  Result host = ToHost(pc);
  ASSERT_EQ(host.rc, VQZM_RC_OK);
  EXPECT_EQ(host.out, Join({HostPacket(1, 1, {0xC1, 0x0E, 0x45, 0x62, 0x0F}),
                            HostPacket(0, 2, {1, 2, 3, 4, 5})}));
  EXPECT_TRUE(capture.TracedValue("memory expansion required new size = ", pc.size() + 2));

  Result back = ToPws(host.out, static_cast<uint32_t>(pc.size()));
  ASSERT_EQ(back.rc, VQZM_RC_OK);
  EXPECT_EQ(back.out, pc);
}

// The host-bound buffer starts at the input's size; a text packet at its
// end has no room to grow into and fails cleanly.
TEST_F(PacketTest, DoubleByteTextThatOutgrowsTheLastPacketFailsCleanly) {
  setenv("ZEL_PC_CODEPAGE", "932", 1);
  setenv("ZEL_HOST_CCSID", "939", 1);
  TraceCapture capture;
  EXPECT_EQ(ToHost(PcPacket(1, 1, Text("\x93\xFA"))).rc, VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("CONVERT_PACKET_ERROR", "Vqzmcs0"));
}

TEST_F(PacketTest, AHostBufferTooBigForTheCallersBufferFailsWith4) {
  Bytes host = Join({HostPacket(0, 1, {1, 2}), HostPacket(1, 2, {0x81, 0x82, 0x83})});
  Result small = ToPws(host, static_cast<uint32_t>(host.size() - 1));
  EXPECT_EQ(small.rc, VQZM_RC_NO_MEMORY);
}

TEST_F(PacketTest, AFragmentTooShortForAHeaderEndsTheWalk) {
  // Four or five bytes left whose LL claims no more than they are: growing
  // the buffer could never help.
  for (Bytes tail : {Bytes{4, 0, 0, 0}, Bytes{5, 0, 0, 0, 0}, Bytes{0, 0, 0, 0}}) {
    Result host = ToHost(Join({PcPacket(0, 0, {1}), tail}));
    EXPECT_EQ(host.rc, VQZM_RC_CONVERSION_FAILED);
  }
}

}  // namespace
}  // namespace zel::test
