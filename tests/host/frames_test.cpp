// zelhost's frame cutting: a frame is handed on only when it is whole, its
// body is the frame less its header, the bytes after it stay for the next
// one, and a header outside the protocol's bounds is refused at once.
#include <string>

#include "host/transport.h"
#include "tests/harness/zel_test.h"
#include "wire/protocol.h"

namespace zel::test {
namespace {

using host::FrameCut;

std::string SignOnFrame(size_t length, uint8_t kind, const std::string& payload) {
  wire::SignOnFrameHeader header{};
  header.length.set(length);
  header.marker = wire::kFrameMarker;
  header.kind = kind;
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + payload;
}

std::string DqFrame(size_t length, uint16_t type, uint32_t request_id, const std::string& body) {
  wire::DqFrameHeader header{};
  header.length.set(length);
  header.type.set(type);
  header.request_id.set(request_id);
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + body;
}

TEST(HostFrames, ASignOnFrameIsCutWhenWholeAndLeavesWhatFollows) {
  std::string frame = SignOnFrame(4 + 48, wire::kFrameMessage, std::string(48, 'x'));
  EXPECT_EQ(host::CutSignOnFrame(frame.substr(0, 3)).status, FrameCut::kIncomplete);
  EXPECT_EQ(host::CutSignOnFrame(frame.substr(0, frame.size() - 1)).status, FrameCut::kIncomplete);

  std::string in = frame + "next";
  FrameCut cut = host::CutSignOnFrame(in);
  ASSERT_EQ(cut.status, FrameCut::kFrame);
  EXPECT_EQ(cut.length, frame.size());
  EXPECT_EQ(cut.type, wire::kFrameMessage);
  EXPECT_EQ(cut.body, std::string(48, 'x'));

  cut = host::CutSignOnFrame(SignOnFrame(4, wire::kFrameToken, "rest"));
  ASSERT_EQ(cut.status, FrameCut::kFrame) << "an empty token request";
  EXPECT_EQ(cut.length, 4u);
  EXPECT_TRUE(cut.body.empty());
}

TEST(HostFrames, ASignOnHeaderOutsideTheProtocolIsMalformedBeforeItsBodyCame) {
  for (size_t length : {size_t{0}, size_t{3}, wire::kMaxSignOnFrame + 1}) {
    FrameCut cut = host::CutSignOnFrame(SignOnFrame(length, wire::kFrameMessage, ""));
    EXPECT_EQ(cut.status, FrameCut::kMalformed) << length;
    EXPECT_NE(cut.error.find("malformed sign-on frame"), std::string::npos);
  }
  std::string bad_kind = SignOnFrame(8, 0x01, "abcd");
  EXPECT_EQ(host::CutSignOnFrame(bad_kind).status, FrameCut::kMalformed);
  std::string bad_marker = SignOnFrame(8, wire::kFrameMessage, "abcd");
  bad_marker[2] = 0x13;
  EXPECT_EQ(host::CutSignOnFrame(bad_marker).status, FrameCut::kMalformed);
  EXPECT_EQ(host::CutSignOnFrame(SignOnFrame(wire::kMaxSignOnFrame, wire::kFrameMessage, "")).status,
            FrameCut::kIncomplete)
      << "the longest frame waits for its body";
}

TEST(HostFrames, ADataQueueFrameCarriesItsTypeAndRequestId) {
  std::string frame = DqFrame(16 + 5, wire::kWrite, 0x01020304, "abcde");
  EXPECT_EQ(host::CutDqFrame(frame.substr(0, 15)).status, FrameCut::kIncomplete);
  EXPECT_EQ(host::CutDqFrame(frame.substr(0, 20)).status, FrameCut::kIncomplete);
  // The cut's body views the input, so the input outlives it.
  std::string two = frame + DqFrame(16, wire::kCommit, 9, "");
  FrameCut cut = host::CutDqFrame(two);
  ASSERT_EQ(cut.status, FrameCut::kFrame);
  EXPECT_EQ(cut.length, 21u);
  EXPECT_EQ(cut.type, wire::kWrite);
  EXPECT_EQ(cut.request_id, 0x01020304u);
  EXPECT_EQ(cut.body, "abcde");

  for (size_t length : {size_t{0}, size_t{15}, wire::kMaxDqFrame + 1}) {
    cut = host::CutDqFrame(DqFrame(length, wire::kRead, 1, ""));
    EXPECT_EQ(cut.status, FrameCut::kMalformed) << length;
    EXPECT_EQ(cut.error, "malformed data-queue frame of length " + std::to_string(length));
  }
}

}  // namespace
}  // namespace zel::test
