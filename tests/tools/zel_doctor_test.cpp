// zel doctor on a good installation and configuration with a real zelhost,
// and on each thing a user gets wrong: a broken configuration, a host that
// cannot be reached, what a killed process left, a wrong ZEL_HOME.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "base/trace.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/zel_test.h"
#include "tests/tools/zel_run.h"
#include "zelapp.h"

namespace zel::test {
namespace {

constexpr char kSystem[] = "ZELSYS";

class ZelDoctor : public testing::Test {
 protected:
  // The private directory is the test's own, so that what other tests
  // running beside it keep there is not looked at.
  void SetUp() override {
    std::string run = TestPath("run");
    ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    private_dir_ = run + "/zel";
  }

  void WriteConfig(const std::string& text) {
    config_ = TestPath("zel.conf");
    std::ofstream(config_) << text;
    setenv("ZEL_CONFIG", config_.c_str(), 1);
  }

  std::string private_dir_;
  std::string config_;
};

TEST_F(ZelDoctor, AGoodConfigurationWithARunningHostFindsNothing) {
  HostServer host;
  ASSERT_TRUE(host.running());
  WriteConfig("# the test's host\nsystem " + std::string(kSystem) + " " + host.address() +
              "\ndefault " + kSystem + "\n");
  ZelRun run = RunZel({"doctor"});
  EXPECT_EQ(run.code, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("ok   configuration " + config_ + ": 1 system, default ZELSYS\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("ok   host ZELSYS at " + host.address() + ": reachable, signs on\n"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(run.out.ends_with("nothing found\n")) << run.out;
}

TEST_F(ZelDoctor, ABrokenConfigurationIsAFindingThatNamesItsLine) {
  WriteConfig("system A 127.0.0.1:1\n\nsytem B 127.0.0.1:2\n");
  ZelRun run = RunZel({"doctor", "--json"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("{\"check\":\"configuration " + config_ + "\",\"ok\":false,\"detail\":\"" +
                         config_ + ":3: unknown directive 'sytem'\",\"fix\":\"correct that line"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(run.out.starts_with("{\"ok\":false,")) << run.out;
}

TEST_F(ZelDoctor, AConfigurationOtherUsersCanChangeIsAFinding) {
  WriteConfig("system A 127.0.0.1:1\n");
  ASSERT_EQ(chmod(config_.c_str(), 0666), 0);
  ZelRun run = RunZel({"doctor", "--no-hosts"});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("fix: make it this user's and writable only by its owner: chmod go-w " +
                         config_ + "\n"),
            std::string::npos)
      << run.out;
}

TEST_F(ZelDoctor, AHostThatRefusesConnectionsIsAFindingWithItsLine) {
  // A loopback port that is bound but not listening refuses connections.
  int refusing = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(refusing, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(getsockname(refusing, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::string where = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  WriteConfig("user TESTER\nsystem DOWN " + where + "\n");
  ZelRun run = RunZel({"doctor"});
  close(refusing);
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("FAIL host DOWN at " + where +
                         ": cannot be reached: Connection refused\n"
                         "     fix: start its host server, or correct the address (line 2 of " +
                         config_ + ")\n"),
            std::string::npos)
      << run.out;
  EXPECT_TRUE(run.out.ends_with("1 finding\n")) << run.out;
}

// Joins the instance (a window) and raises an error point, then waits to be
// killed.
ZEL_CHILD_COMMAND(join_and_fail) {
  uint32_t hwnd = 0;
  if (zelCreateWindow(&hwnd) != 0) return 1;
  btErrorPoint("ue", 7, "EXT_BEFORE_KILL", "zeldoctor");
  child::Report("joined");
  child::Receive(60s);
  return 0;
}

TEST_F(ZelDoctor, WhatAKilledProcessLeftIsFoundWithTheWayToRemoveIt) {
  WriteConfig("system A 127.0.0.1:1\n");
  ChildProcess app = ChildProcess::Start("join_and_fail");
  ASSERT_TRUE(app.Expect("joined"));
  std::string pid = std::to_string(app.pid());
  EXPECT_EQ(RunZel({"doctor", "--no-hosts"}).code, 0);  // alive: nothing left over
  app.Kill();
  app.Wait();
  ZelRun run = RunZel({"doctor", "--no-hosts"});
  EXPECT_EQ(run.code, 1);
  std::string folder = private_dir_ + "/" + Instance();
  EXPECT_NE(run.out.find("FAIL instance " + Instance() + ": " + folder +
                         " is left over: no process of the instance runs\n"
                         "     fix: remove it: rm -r " + folder + "\n"),
            std::string::npos)
      << run.out;
  std::string ring = private_dir_ + "/" + Instance() + ".errors." + pid;
  EXPECT_NE(run.out.find("FAIL error points of process " + pid + ": " + ring +
                         " is left over: the process ended without removing it (1 error "
                         "point)\n     fix: read them with 'zel trace --errors-of " + pid +
                         "', then remove it: rm " + ring + "\n"),
            std::string::npos)
      << run.out;
}

TEST_F(ZelDoctor, AnInstallationDirectoryWithoutTheProductsFilesIsAFinding) {
  WriteConfig("system A 127.0.0.1:1\n");
  std::string home = TestPath("home");
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  setenv("ZEL_HOME", home.c_str(), 1);
  ZelRun run = RunZel({"doctor", "--no-hosts"});
  unsetenv("ZEL_HOME");
  EXPECT_EQ(run.code, 1);
  // The libraries are found by the programs' run paths, not below ZEL_HOME.
  EXPECT_EQ(run.out.find("libvqzmcsw"), std::string::npos) << run.out;
  for (const char* file : {"SHARED/VQZMCMW.EXE", "SHARED/VQZMCTW.DLL", "msg/VQZMCMRI.DLL"}) {
    EXPECT_NE(run.out.find("FAIL installation: " + home + "/" + file + " is missing\n"),
              std::string::npos)
        << file << "\n" << run.out;
  }
}

TEST(ZelDoctorCommandLine, BadOptionsExitWithTwo) {
  EXPECT_EQ(RunZel({"doctor", "extra"}).code, 2);
  EXPECT_EQ(RunZel({"doctor", "--timeout", "0"}).code, 2);
  EXPECT_EQ(RunZel({"doctor", "--bogus"}).code, 2);
}

}  // namespace
}  // namespace zel::test
