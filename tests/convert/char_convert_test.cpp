// The character-array converters and the double-byte blank, driven through
// the real language service with the code pages set in the environment.
#include <stdlib.h>

#include <string>
#include <vector>

#include "convert/convert.h"
#include "services/errhandle.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

using Bytes = std::vector<uint8_t>;

void UseCodePages(const char* pc, const char* host_ccsid) {
  setenv("ZEL_PC_CODEPAGE", pc, 1);
  setenv("ZEL_HOST_CCSID", host_ccsid, 1);
}

// How many error handles this process can still create: none may leak.
int FreeErrHandles() {
  std::vector<uint32_t> handles;
  for (uint32_t handle = 0; qlxSV_CreateErrHandle(&handle) == QLXSV_OK;) handles.push_back(handle);
  for (uint32_t handle : handles) qlxSV_DeleteErrHandle(handle);
  return static_cast<int>(handles.size());
}

std::string TracedString(const TraceCapture& capture, std::string_view label) {
  for (const CapturedRecord& record : capture.Records()) {
    if (record.op == "String" && record.text == label) return record.string;
  }
  return "<not traced>";
}

TEST(CharConvert, ConvertsBothWaysAndInPlace) {
  UseCodePages("1252", "273");
  uint8_t target[11];
  uint32_t length = sizeof target;
  ASSERT_EQ(cbAscToEbcCharArray(target,
                                "\xC4"
                                "bc",
                                &length, 4),
            VQZM_RC_OK);
  EXPECT_EQ(Bytes(target, target + length), (Bytes{0x4A, 0x82, 0x83, 0x00}));

  TraceCapture capture;
  char back[11];
  length = sizeof back;
  ASSERT_EQ(cbEbcToAscCharArray(back, target, &length, 4), VQZM_RC_OK);
  EXPECT_EQ(length, 4u);
  EXPECT_STREQ(back,
               "\xC4"
               "bc");
  EXPECT_TRUE(capture.TracedValue("PWS Code Page: ", 1252));
  EXPECT_TRUE(capture.TracedValue("Host Code Page: ", 273));
  EXPECT_TRUE(capture.TracedValue("ulTargetLen param", 11));

  char key[13] = "SA001AAA000";
  length = sizeof key;
  ASSERT_EQ(cbAscToEbcCharArray(key, key, &length, 12), VQZM_RC_OK);
  EXPECT_EQ(Bytes(key, key + 12),
            (Bytes{0xE2, 0xC1, 0xF0, 0xF0, 0xF1, 0xC1, 0xC1, 0xC1, 0xF0, 0xF0, 0xF0, 0x00}));
}

TEST(CharConvert, TooSmallAndEmptyAreSettledBeforeTheService) {
  TraceCapture capture;
  uint8_t target[3] = {1, 2, 3};
  uint32_t length = sizeof target;
  EXPECT_EQ(cbAscToEbcCharArray(target, "abcd", &length, 4), VQZM_RC_NO_MEMORY);
  EXPECT_EQ(length, 4u);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_BUFFER_TOO_SMALL", "Vqzmcb1"));
  EXPECT_TRUE(capture.Traced("DBCS Target Buffer is smaller than Source Buffer"));
  length = sizeof target;
  EXPECT_EQ(cbEbcToAscCharArray(target, "", &length, 0), VQZM_RC_OK);
  EXPECT_EQ(Bytes(target, target + 3), (Bytes{1, 2, 3}));
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_NO_SOURCE_DATA", "Vqzmcb1"));
  EXPECT_EQ(cbAscToEbcCharArray(target, "ab", nullptr, 2), VQZM_RC_CONVERSION_FAILED);
}

TEST(CharConvert, ServiceFailuresGive1063AndTraceTheErrorTextSubstitutionsDoNot) {
  UseCodePages("1252", "4711");
  TraceCapture capture;
  uint8_t target[8];
  uint32_t length = sizeof target;
  EXPECT_EQ(cbEbcToAscCharArray(target, "abc", &length, 3), VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_XLAT_ERROR", "Vqzmcb1"));
  EXPECT_TRUE(capture.TracedValue("Error occurred during translation rc=", 6102));
  EXPECT_EQ(TracedString(capture, "QLX Error Msg"),
            "QLX6102: CCSID 4711 names no supported code page");

  // Mixed text that grows past the target: the service cuts it.
  UseCodePages("932", "939");
  capture.Clear();
  length = 2;
  EXPECT_EQ(cbAscToEbcCharArray(target, "\x93\xFA", &length, 2), VQZM_RC_CONVERSION_FAILED);
  EXPECT_EQ(TracedString(capture, "Convert AsctoEbc Error Msg").substr(0, 8), "QLX6103:");
  length = sizeof target;
  EXPECT_EQ(cbAscToEbcCharArray(target, "A\x87\x40", &length, 3), VQZM_RC_OK);
  EXPECT_EQ(Bytes(target, target + length), (Bytes{0xC1, 0x3F}));
  EXPECT_EQ(FreeErrHandles(), QLXSV_MAX_HANDLES);
}

TEST(CharConvert, NoErrorHandleLeftMeansNoConversion) {
  std::vector<uint32_t> held;
  for (uint32_t handle = 0; qlxSV_CreateErrHandle(&handle) == QLXSV_OK;) held.push_back(handle);
  TraceCapture capture;
  uint8_t target[4];
  uint32_t length = sizeof target;
  EXPECT_EQ(cbAscToEbcCharArray(target, "ab", &length, 2), VQZM_RC_CONVERSION_FAILED);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_CREATE_ERROR_HANDLE", "Vqzmcb1"));
  EXPECT_TRUE(capture.TracedValue("qlxSV_CreateErrHandle() rc = ", QLXSV_NO_MORE_HANDLES));
  for (uint32_t handle : held) qlxSV_DeleteErrHandle(handle);
}

TEST(DoubleByteBlank, IsZeroOutsideADoubleByteEnvironment) {
  UseCodePages("1252", "37");
  TraceCapture capture;
  uint8_t first = 0xAA, second = 0xAA;
  EXPECT_EQ(cpGetDBSpaceValues(&first, &second), VQZM_RC_OK);
  EXPECT_EQ(first + second, 0);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_NOT_DBCS", "Vqzmcb1"));

  UseCodePages("932", "4711");
  first = second = 0xAA;
  EXPECT_EQ(cpGetDBSpaceValues(&first, &second), VQZM_RC_CONVERSION_FAILED);
  EXPECT_EQ(first + second, 0);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_CONV_ERROR", "Vqzmcb1"));
}

TEST(DoubleByteBlank, IsTheIdeographicSpaceOfTheJapanesePc) {
  for (const char* host : {"939", "930", "1399", "5035"}) {
    UseCodePages("932", host);
    TraceCapture capture;
    uint8_t first = 0, second = 0;
    EXPECT_EQ(cpGetDBSpaceValues(&first, &second), VQZM_RC_OK) << host;
    EXPECT_EQ(first, 0x81) << host;
    EXPECT_EQ(second, 0x40) << host;
    EXPECT_TRUE(capture.TracedValue("char 1", 0x81));
  }
}

}  // namespace
}  // namespace zel::test
