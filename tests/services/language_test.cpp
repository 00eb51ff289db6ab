// The national-language service: configuration answers, code pages of
// CCSIDs, and code-page conversion of single-byte and mixed text.
#include "services/language.h"

#include <iconv.h>
#include <stdlib.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

using Bytes = std::vector<uint8_t>;
using ByteChars = std::array<std::optional<uint32_t>, 256>;

Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }

struct Converted {
  uint32_t rc = 0;
  Bytes text;
  uint32_t error_position = 0;
};

Converted Convert(uint32_t from, uint32_t to, const Bytes& source, size_t capacity = 64,
                  uint32_t error_handle = 0) {
  Converted result;
  result.text.assign(capacity, 0xEE);
  uint32_t length = 0xDEAD;
  uint32_t error_number = 0xDEAD;
  result.rc =
      qlxNL_ConvertCodePage(from, to, source.size(), capacity, source.data(), result.text.data(),
                            &error_number, &result.error_position, &length, error_handle);
  EXPECT_EQ(error_number, result.rc == QLXNL_OK ? 0 : result.rc);
  EXPECT_LE(length, capacity);
  result.text.resize(std::min<size_t>(length, capacity));
  return result;
}

std::string ErrText(uint32_t handle) {
  char text[QLXSV_MAX_TEXT];
  qlxSV_GetErrText(handle, text, sizeof text);
  return text;
}

// What iconv decodes each byte to: the oracle for characters that both
// code pages of a round-trip table have.
ByteChars CharsOf(const char* code_page) {
  ByteChars chars;
  iconv_t cd = iconv_open("UTF-32LE", code_page);
  for (int byte = 0; byte < 256; ++byte) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char in = static_cast<char>(byte);
    char* in_ptr = &in;
    size_t in_left = 1;
    uint32_t out[2] = {};
    char* out_ptr = reinterpret_cast<char*>(out);
    size_t out_left = sizeof out;
    if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1)) continue;
    if (out_left == sizeof out - 4) chars[byte] = out[0];
  }
  iconv_close(cd);
  return chars;
}

std::optional<uint8_t> ByteOf(const ByteChars& chars, uint32_t ch) {
  for (int byte = 0; byte < 256; ++byte) {
    if (chars[byte] == ch) return static_cast<uint8_t>(byte);
  }
  return std::nullopt;
}

TEST(Language, AnswersFromTheConfiguration) {
  unsetenv("ZEL_PC_CODEPAGE");
  unsetenv("ZEL_HOST_CCSID");
  uint32_t value = 0;
  ASSERT_EQ(qlxNL_GetPcCodePage(&value, 0), QLXNL_OK);
  EXPECT_EQ(value, 1252u);
  ASSERT_EQ(qlxNL_GetHostCcsid(nullptr, &value, 0), QLXNL_OK);
  EXPECT_EQ(value, 37u);
  setenv("ZEL_HOST_CCSID", "5035", 1);
  ASSERT_EQ(qlxNL_GetHostCcsid("ANYSYS", &value, 0), QLXNL_OK);
  ASSERT_EQ(qlxNL_GetCodePageOfCcsid(value, &value, 0), QLXNL_OK);
  EXPECT_EQ(value, 939u);

  uint32_t handle = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  EXPECT_EQ(qlxNL_GetCodePageOfCcsid(4711, &value, handle), QLXNL_UNKNOWN_CCSID);
  EXPECT_EQ(ErrText(handle), "QLX6102: CCSID 4711 names no supported code page");
  qlxSV_DeleteErrHandle(handle);
  EXPECT_EQ(qlxNL_GetCodePageOfCcsid(37, &value, handle), QLXSV_INVALID_HANDLE);

  setenv("ZEL_HOME", "/opt/zel", 1);
  char directory[257];
  ASSERT_EQ(qlxNL_GetMsgDirectory(directory, 256, 0), QLXNL_OK);
  EXPECT_STREQ(directory, "/opt/zel/msg/");
  EXPECT_EQ(qlxNL_GetMsgDirectory(directory, 13, 0), QLXNL_BUFFER_TOO_SMALL);
  // Without ZEL_HOME: the directory above lib/, where libqlx.so lies.
  unsetenv("ZEL_HOME");
  ASSERT_EQ(qlxNL_GetMsgDirectory(directory, 256, 0), QLXNL_OK);
  std::string text = directory;
  EXPECT_EQ(text.substr(text.size() - 5), "/msg/");
  EXPECT_EQ(text.find("/lib/"), std::string::npos) << text;
}

struct SingleBytePair {
  uint32_t pc;
  const char* pc_name;
  uint32_t host;
  const char* host_name;
};

void PrintTo(const SingleBytePair& pair, std::ostream* os) {
  *os << pair.pc_name << "/" << pair.host_name;
}

class SingleByteTables : public ::testing::TestWithParam<SingleBytePair> {};

// Every byte goes to the host and back unchanged, in both directions, and
// a character that both code pages have is converted to itself.
TEST_P(SingleByteTables, EveryByteRoundTripsAndSharedCharactersKeepTheirMeaning) {
  const SingleBytePair& pair = GetParam();
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  Converted to_host = Convert(pair.pc, pair.host, all, 256);
  ASSERT_EQ(to_host.rc, QLXNL_OK);
  EXPECT_EQ(Convert(pair.host, pair.pc, to_host.text, 256).text, all);
  EXPECT_EQ(Convert(pair.pc, pair.host, Convert(pair.host, pair.pc, all, 256).text, 256).text, all);

  ByteChars pc_chars = CharsOf(pair.pc_name);
  ByteChars host_chars = CharsOf(pair.host_name);
  int shared = 0;
  for (int byte = 0; byte < 256; ++byte) {
    std::optional<uint8_t> host_byte =
        pc_chars[byte] ? ByteOf(host_chars, *pc_chars[byte]) : std::nullopt;
    if (!host_byte) continue;
    ++shared;
    EXPECT_EQ(to_host.text[byte], *host_byte) << "PC byte " << byte;
  }
  EXPECT_GE(shared, 128);  // every printable ASCII character at least, and the controls
}

INSTANTIATE_TEST_SUITE_P(PcAndHost, SingleByteTables,
                         ::testing::Values(SingleBytePair{1252, "CP1252", 37, "IBM037"},
                                           SingleBytePair{1252, "CP1252", 273, "IBM273"},
                                           SingleBytePair{1252, "CP1252", 500, "IBM500"},
                                           SingleBytePair{1252, "CP1252", 1140, "IBM1140"},
                                           SingleBytePair{850, "IBM850", 37, "IBM037"},
                                           SingleBytePair{850, "IBM850", 273, "IBM273"},
                                           SingleBytePair{850, "IBM850", 500, "IBM500"},
                                           SingleBytePair{850, "IBM850", 1140, "IBM1140"},
                                           SingleBytePair{437, "IBM437", 37, "IBM037"},
                                           SingleBytePair{437, "IBM437", 273, "IBM273"},
                                           SingleBytePair{437, "IBM437", 500, "IBM500"},
                                           SingleBytePair{437, "IBM437", 1140, "IBM1140"}),
                         [](const ::testing::TestParamInfo<SingleBytePair>& info) {
                           return "Pc" + std::to_string(info.param.pc) + "Host" +
                                  std::to_string(info.param.host);
                         });

TEST(Language, SingleByteTablesMatchTheWellKnownHostPositions) {
  EXPECT_EQ(Convert(1252, 37, B("Aa0 [!|\r\n")).text,
            (Bytes{0xC1, 0x81, 0xF0, 0x40, 0xBA, 0x5A, 0x4F, 0x0D, 0x25}));
  EXPECT_EQ(Convert(1252, 500, B("[]!")).text, (Bytes{0x4A, 0x5A, 0x4F}));
  EXPECT_EQ(Convert(1252, 273, B("\xC4\xD6\xDC@")).text, (Bytes{0x4A, 0xE0, 0x5A, 0xB5}));
  EXPECT_EQ(Convert(1252, 1140, B("\x80")).text, (Bytes{0x9F}));  // the euro sign
  EXPECT_EQ(Convert(850, 37, B("\x82\x80")).text, (Bytes{0x51, 0x68}));
  // 37 has no euro sign: it takes the place of U+0080, as host tables do.
  EXPECT_EQ(Convert(1252, 37, B("\x80")).text, Bytes{ByteOf(CharsOf("IBM037"), 0x80).value()});
  EXPECT_EQ(Convert(1252, 1252, B("a\x80\x81")).text, B("a\x80\x81"));
}

// Single-byte Latin and katakana, kanji, the double-byte blank, and the
// shifts between them.
TEST(Language, MixedTextShiftsWhereTheTextChangesAndRoundTrips) {
  const Bytes pc =
      B("ABC\x93\xFA\x96\x7B\x8C\xEA"
        "xyz\x81\x40"
        "1\xB1\xB2\xB3");
  const Bytes host = {0xC1, 0xC2, 0xC3, 0x0E, 0x45, 0x62, 0x45, 0x66, 0x48, 0xE7, 0x0F,
                      0xA7, 0xA8, 0xA9, 0x0E, 0x40, 0x40, 0x0F, 0xF1, 0x59, 0x62, 0x63};
  for (uint32_t host_code_page : {939u, 1399u}) {
    Converted to_host = Convert(932, host_code_page, pc);
    ASSERT_EQ(to_host.rc, QLXNL_OK) << host_code_page;
    EXPECT_EQ(to_host.text, host) << host_code_page;
    EXPECT_EQ(Convert(host_code_page, 932, to_host.text).text, pc) << host_code_page;
  }
  Converted katakana = Convert(932, 930, B("\xB1\xB2\x93\xFA"));
  ASSERT_EQ(katakana.rc, QLXNL_OK);
  EXPECT_EQ(Convert(930, 932, katakana.text).text, B("\xB1\xB2\x93\xFA"));

  EXPECT_EQ(Convert(939, 932, {0x0E, 0x40, 0x40, 0x0F}).text, B("\x81\x40"));
  EXPECT_EQ(Convert(1399, 932, {0xC1, 0x0E, 0x0F, 0xC2}).text, B("AB"));
  EXPECT_EQ(Convert(939, 932, {0xC1, 0x0E, 0x40, 0x40}).text, B("A\x81\x40"));
}

TEST(Language, CharactersWithoutAnEquivalentAreSubstitutedAndReported) {
  uint32_t handle = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  // A circled digit one exists only on the PC side.
  Converted circled = Convert(932, 939,
                              B("AB\x87\x40"
                                "C"),
                              32, handle);
  EXPECT_EQ(circled.rc, QLXNL_SUBSTITUTED);
  EXPECT_EQ(circled.error_position, 2u);
  EXPECT_EQ(circled.text, (Bytes{0xC1, 0xC2, 0x3F, 0xC3}));
  EXPECT_EQ(ErrText(handle).substr(0, 8), "QLX6107:");
  qlxSV_DeleteErrHandle(handle);

  // A lead byte cut off at the end of the text.
  Converted cut = Convert(932, 939,
                          B("\x93\xFA"
                            "A\x93"));
  EXPECT_EQ(cut.rc, QLXNL_SUBSTITUTED);
  EXPECT_EQ(cut.error_position, 3u);
  EXPECT_EQ(cut.text, (Bytes{0x0E, 0x45, 0x62, 0x0F, 0xC1, 0x3F}));
  // Shift controls inside PC text would shift on the host.
  Converted shift = Convert(932, 939,
                            B("A\x0E"
                              "B"));
  EXPECT_EQ(shift.rc, QLXNL_SUBSTITUTED);
  EXPECT_EQ(shift.text, (Bytes{0xC1, 0x3F, 0xC2}));
  // An invalid double-byte pair from the host is skipped as a pair.
  Converted pair = Convert(939, 932, {0xC1, 0x0E, 0xFF, 0xFF, 0x45, 0x62, 0x0F, 0xC2});
  EXPECT_EQ(pair.rc, QLXNL_SUBSTITUTED);
  EXPECT_EQ(pair.error_position, 2u);
  EXPECT_EQ(pair.text, B("A\x1A\x93\xFA"
                         "B"));
}

TEST(Language, TextThatDoesNotFitFailsAndSaysWhereItStopped) {
  uint32_t handle = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&handle), QLXSV_OK);
  // One PC double-byte character needs shift-out, two bytes and shift-in.
  Converted cut = Convert(932, 939, B("A\x93\xFA"), 4, handle);
  EXPECT_EQ(cut.rc, QLXNL_TARGET_TOO_SMALL);
  EXPECT_EQ(ErrText(handle).substr(0, 8), "QLX6103:");
  Converted no_si = Convert(932, 939, B("\x93\xFA"), 3);
  EXPECT_EQ(no_si.rc, QLXNL_TARGET_TOO_SMALL);
  EXPECT_EQ(no_si.error_position, 2u);
  Converted single = Convert(1252, 37, B("abcdef"), 4);
  EXPECT_EQ(single.rc, QLXNL_TARGET_TOO_SMALL);
  EXPECT_EQ(single.text, (Bytes{0x81, 0x82, 0x83, 0x84}));
  EXPECT_EQ(single.error_position, 4u);

  EXPECT_EQ(Convert(1252, 4711, B("x"), 8, handle).rc, QLXNL_UNSUPPORTED_CODE_PAGE);
  EXPECT_EQ(ErrText(handle), "QLX6101: code page 4711 is not supported");
  qlxSV_DeleteErrHandle(handle);
  EXPECT_EQ(Convert(1252, 37, B("x"), 8, handle).rc, QLXSV_INVALID_HANDLE);
}

TEST(Language, ConvertsInPlace) {
  Bytes buffer = B("Hello\x93\xFA");
  buffer.resize(16);
  uint32_t number = 0, position = 0, length = 0;
  ASSERT_EQ(qlxNL_ConvertCodePage(932, 939, 7, 16, buffer.data(), buffer.data(), &number, &position,
                                  &length, 0),
            QLXNL_OK);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + length),
            (Bytes{0xC8, 0x85, 0x93, 0x93, 0x96, 0x0E, 0x45, 0x62, 0x0F}));
}

}  // namespace
}  // namespace zel::test
