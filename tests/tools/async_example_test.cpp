// The example application examples/async_echo, run as a user runs it
// against a real zelhost and the communication manager of this build: what
// it prints and its exit code; and the README, which shows its source.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/harness/host_harness.h"
#include "tests/harness/manager_env.h"
#include "tests/harness/zel_test.h"

namespace zel::test {
namespace {

constexpr char kSystem[] = "ZELSYS";

std::string ExampleBinary() {
  return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "examples" /
         "async_echo";
}

// Runs the example with `args`, its standard output and error going to
// files in the test directory.
ZEL_CHILD_COMMAND(run_example) {
  std::string example = ExampleBinary();
  std::vector<const char*> argv = {example.c_str()};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  int out = open(TestPath("example.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err = open(TestPath("example.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
    return 126;
  }
  execv(example.c_str(), const_cast<char* const*>(argv.data()));
  return 127;
}

class AsyncExample : public testing::Test {
 protected:
  void SetUp() override {
    UseTestManager();
  }

  // The example's exit code; its output in out_ and err_.
  int Run(std::vector<std::string> args) {
    ChildProcess example = ChildProcess::Start("run_example", std::move(args));
    int code = example.Wait(Millis(120'000));
    out_ = ReadFile(TestPath("example.out"));
    err_ = ReadFile(TestPath("example.err"));
    return code;
  }

  std::string out_;
  std::string err_;
};

TEST_F(AsyncExample, TheEchoComesBackToItsWindowUnderTheRequestsRid) {
  HostServer host;
  ASSERT_TRUE(host.running());
  host.Configure(kSystem);
  ASSERT_EQ(Run({kSystem}), 0) << out_ << err_ << ManagerLog();
  std::smatch sent;
  ASSERT_TRUE(std::regex_search(out_, sent, std::regex("caProcessAsync\\(ECHO, 11 bytes\\): "
                                                       "RID (A[0-9]{4}[A-Z]{3}[0-9]{3})\n")))
      << out_;
  std::string rid = sent[1];
  EXPECT_EQ(out_.substr(0, out_.find('\n')),
            "caInitializeZELComm(\"" + std::string(kSystem) + "\"): conversation 1");
  EXPECT_NE(out_.find("answer: wParam 0, RID " + rid +
                      ", value 7, data version 0, 11 bytes: \"hello, host\"\n"),
            std::string::npos)
      << out_;
  EXPECT_EQ(err_, "");
}

TEST_F(AsyncExample, AHostThatCannotBeReachedIsReportedWithTheStartsCode) {
  // A loopback port that is bound but not listening refuses connections,
  // and no other process can take it while the socket is held.
  int refusing = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(refusing, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(getsockname(refusing, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::string config = TestPath("zel.conf");
  std::ofstream(config) << "system " << kSystem << " 127.0.0.1:" << ntohs(address.sin_port)
                        << "\n";
  setenv("ZEL_CONFIG", config.c_str(), 1);
  EXPECT_EQ(Run({kSystem, "never sent"}), 1);
  EXPECT_EQ(err_, "async_echo: caInitializeZELComm failed: rc 1035\n");
  EXPECT_EQ(out_, "");
  close(refusing);
}

TEST(AsyncExampleSource, TheReadmeShowsItWhole) {
  std::string source = ReadFile(ZEL_SOURCE_DIR "/examples/async_echo.c");
  ASSERT_FALSE(source.empty());
  EXPECT_NE(ReadFile(ZEL_SOURCE_DIR "/README.md").find("```c\n" + source + "```\n"),
            std::string::npos)
      << "README.md's copy of examples/async_echo.c differs from the file";
}

}  // namespace
}  // namespace zel::test
