// The connection configuration's lines for PC programs that serve host
// requests.
#include "services/connection/system_config.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

using qlx::ParseSystemConfig;
using qlx::SystemConfig;

TEST(ProgramConfig, ProgramsKeepTheirWholeCommandLineAndAreFoundInAnyCase) {
  SystemConfig config;
  std::string error;
  ASSERT_TRUE(ParseSystemConfig("zel.conf",
                                "system HOSTA 127.0.0.1:9\n"
                                "program PcEcho  /opt/pc/echo \"two words\"  -v   # served\n"
                                "program BIG /opt/pc/big\n",
                                config, error))
      << error;
  ASSERT_EQ(config.programs.size(), 2u);
  EXPECT_EQ(config.program_timeout, 60u);
  const qlx::ConfiguredProgram* echo = config.FindProgram("PCECHO");
  ASSERT_NE(echo, nullptr);
  EXPECT_EQ(echo->command, "/opt/pc/echo \"two words\"  -v");
  EXPECT_EQ(config.FindProgram("big")->command, "/opt/pc/big");
  EXPECT_EQ(config.FindProgram("PCECH"), nullptr);
  ASSERT_TRUE(ParseSystemConfig("zel.conf", "program-timeout 5\n", config, error)) << error;
  EXPECT_EQ(config.program_timeout, 5u);
}

TEST(ProgramConfig, MalformedProgramLinesNameTheirLine) {
  for (const char* text : {"program NAME\n", "program ABCDEFGHIJKLMNOPQRSTUV /bin/true\n",
                           "program A /bin/true\nprogram a /bin/false\n", "program-timeout 0\n",
                           "program-timeout\n", "program-timeout 5s\n", "program-timeout 1 2\n"}) {
    SCOPED_TRACE(text);
    SystemConfig config;
    std::string error;
    EXPECT_FALSE(ParseSystemConfig("zel.conf", text, config, error));
    EXPECT_EQ(error.rfind("zel.conf:", 0), 0u) << error;
  }
}

}  // namespace
}  // namespace zel::test
