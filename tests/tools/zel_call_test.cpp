// zel call against a real zelhost and the communication manager of this
// build: what comes back, byte for byte, synchronously and to a window; the
// figures of repeated requests; and its exit codes.
#include <fstream>
#include <regex>
#include <string>

#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/request_data.h"
#include "tests/harness/zel_test.h"
#include "tests/tools/zel_run.h"

namespace zel::test {
namespace {

constexpr char kSystem[] = "ZELSYS";

class ZelCall : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
    ASSERT_TRUE(host_.running());
    host_.Configure(kSystem);
  }

  // Every byte value, so that nothing is taken for text or converted.
  static std::string AllBytes() { return Pattern(256, 0) + Pattern(300, 5); }

  HostServer host_;
};

TEST_F(ZelCall, EchoesBinaryDataByteForByteSynchronouslyAndToAWindow) {
  std::string data = AllBytes();
  std::ofstream(TestPath("request.bin"), std::ios::binary) << data;
  for (bool async : {false, true}) {
    SCOPED_TRACE(async ? "async" : "sync");
    std::vector<std::string> args = {"call", kSystem, "ECHO", "--file", TestPath("request.bin"),
                                     "--value", "4711", "--output", TestPath("reply.bin")};
    if (async) args.push_back("--async");
    ZelRun run = RunZel(args);
    ASSERT_EQ(run.code, 0) << run.out << run.err << ManagerLog();
    EXPECT_EQ(ReadFile(TestPath("reply.bin")), data);
    std::regex summary(std::string("reply ") + (async ? "A" : "S") +
                       "[0-9]{4}[A-Z]{3}[0-9]{3}: value 4711, data version 0, 556 bytes, "
                       "[0-9]+\\.[0-9]{3} ms\n");
    EXPECT_TRUE(std::regex_match(run.out, summary)) << run.out;
  }
}

TEST_F(ZelCall, ShowsTextAsTextAndBinaryAsAHexDump) {
  ZelRun text = RunZel({"call", "ECHO", "--data", "hello, host"});  // the default system
  ASSERT_EQ(text.code, 0) << text.err;
  EXPECT_NE(text.out.find("11 bytes"), std::string::npos) << text.out;
  EXPECT_TRUE(text.out.ends_with("\nhello, host\n")) << text.out;

  ZelRun binary = RunZel({"call", "ECHO", "--stdin"}, std::string("\x00\x01zel\xff", 6));
  ASSERT_EQ(binary.code, 0) << binary.err;
  EXPECT_TRUE(std::regex_search(binary.out,
                                std::regex("\n00000000  00 01 7a 65 6c ff {30,} \\|\\.\\.zel\\.\\|\n$")))
      << binary.out;
}

TEST_F(ZelCall, StandardInputAndJsonCarryTheRequestAndReply) {
  ZelRun run = RunZel({"call", kSystem, "ECHO", "--stdin", "--async", "--json", "--value", "9"},
                      "line one\nline \"two\"\n");
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(std::regex_match(
      run.out, std::regex("\\{\"ok\":true,\"rid\":\"A[0-9]{4}[A-Z]{3}[0-9]{3}\",\"value\":9,"
                          "\"dataVersion\":0,\"length\":20,\"seconds\":[0-9.e-]+,"
                          "\"data\":\"line one\\\\nline \\\\\"two\\\\\"\\\\n\"\\}\n")))
      << run.out;
}

TEST_F(ZelCall, PacketsGoToTheHostInItsFormAndComeBackAsSent) {
  std::string packets = Packets();
  std::ofstream(TestPath("packets.bin"), std::ios::binary) << packets;
  ZelRun run = RunZel({"call", kSystem, "PKTECHO", "--packet", "--file", TestPath("packets.bin"),
                       "--output", TestPath("reply.bin")});
  ASSERT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("data version 1, " + std::to_string(packets.size()) + " bytes"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ToHex(ReadFile(TestPath("reply.bin"))), ToHex(packets));
}

TEST_F(ZelCall, RepeatPrintsTheLatenciesAndRate) {
  ZelRun run = RunZel({"call", kSystem, "ECHO", "--data", "x", "--repeat", "20"});
  ASSERT_EQ(run.code, 0) << run.err;
  std::smatch figures;
  ASSERT_TRUE(std::regex_match(run.out, figures,
                               std::regex("20 requests: p50 ([0-9.]+) ms, p99 ([0-9.]+) ms, "
                                          "([0-9.]+) requests/s\n")))
      << run.out;
  double p50 = std::stod(figures[1]);
  double p99 = std::stod(figures[2]);
  EXPECT_GT(p50, 0);
  EXPECT_LE(p50, p99);
  EXPECT_GT(std::stod(figures[3]), 0);
}

TEST_F(ZelCall, ASystemThatIsDownFailsTheCallWithTheCodeAndItsText) {
  host_.Stop();
  ZelRun run = RunZel({"call", kSystem, "ECHO", "--data", "never sent"});
  EXPECT_EQ(run.code, 1);
  EXPECT_EQ(run.err,
            "zel call: caInitializeZELComm failed: rc 1035: The connection to the host system "
            "failed or was lost\n");
  EXPECT_EQ(run.out, "");
}

TEST(ZelCallCommandLine, BadOptionsExitWithTwoBeforeAnythingStarts) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"call"},
           {"call", "A", "B", "C"},
           {"call", "ECHO", "--bogus"},
           {"call", "ECHO", "--value", "seven"},
           {"call", "ECHO", "--timeout", "0"},
           {"call", "ECHO", "--repeat", "0"},
           {"call", "ECHO", "--data", "a", "--stdin"},
           {"call", "ECHO", "--file", "/no/such/file"},
           {"call", "A_PROGRAM_NAME_OF_22_CH"},
           {"call", "ECHO", "--repeat", "2", "--hex"},
       }) {
    ZelRun run = RunZel(args);
    EXPECT_EQ(run.code, 2) << args.back() << ": " << run.err;
    EXPECT_NE(run.err.find("see zel call --help"), std::string::npos) << run.err;
  }
  ZelRun help = RunZel({"call", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(help.out.starts_with("usage: zel call [SYSTEM] PROGRAM")) << help.out;
}

}  // namespace
}  // namespace zel::test
