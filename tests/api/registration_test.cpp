// Terminate-window registrations and the information queries, on system
// records made by hand: active or not as each test needs, with no manager
// and no host behind them.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "ctrlblk/ctrlblk.h"
#include "platform/netdrive.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

namespace zel::test {
namespace {

using namespace zel::platform;
namespace fs = std::filesystem;

constexpr uint32_t kWindow = 0x7001;

// A system record of the shared list and a conversation on it.
struct FakeSystem {
  explicit FakeSystem(const char* name) {
    EXPECT_EQ(cmAddSystemByName(name, &record), 0);
    EXPECT_EQ(cbReturnNewConvId(&conv, record, 1), 0);
    record->usCommState = ZEL_COMM_ACTIVE;
    strcpy(record->szUserProfile, "ZELUSER");
    strcpy(record->szDQLib, "QZNETWORK1");
    strcpy(record->szDQName, "QZLOCALLU1");
    memcpy(record->achPWSSysID, "ABC", 3);
  }
  ~FakeSystem() {
    caStopZELComm(conv);
    while (TermWndStruct* rec = cbRetNextTermWndStruct(record, nullptr)) {
      cbDeleteTermWndStruct(record, rec);
    }
    record->ulTermWndCount = 0;
  }

  // The program IDs of the system's list, in order.
  std::string List() const {
    std::string ids;
    for (TermWndStruct* rec = cbRetNextTermWndStruct(record, nullptr); rec != nullptr;
         rec = cbRetNextTermWndStruct(record, rec)) {
      if (!ids.empty()) ids += ' ';
      ids += rec->szPgmID;
    }
    return ids;
  }

  RZ700SysStruct* record = nullptr;
  uint32_t conv = 0;
};

void WriteConfig(const std::string& lines) {
  std::string path = TestPath("registration.conf");
  FILE* file = fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  fputs(lines.c_str(), file);
  fclose(file);
  setenv("ZEL_CONFIG", path.c_str(), 1);
}

TEST(TerminateWindows, AreCheckedInOrderAndKeptPerSystemByType) {
  FakeSystem a("SYSA");
  FakeSystem b("SYSB");
  const std::string id21(21, 'P');
  const std::string id22(22, 'P');
  EXPECT_EQ(caRegisterTermWnd(a.conv, 1, kWindow, 1024, id22.c_str()), VQZM_RC_BAD_PROGRAM_ID);
  EXPECT_EQ(caRegisterTermWnd(a.conv, 1, 0, 1024, "A"), VQZM_RC_NO_ASYNC_FOR_WINDOW);
  EXPECT_EQ(caRegisterTermWnd(a.conv, 1, kWindow, 1023, "A"), VQZM_RC_BAD_MESSAGE_NUMBER);
  EXPECT_EQ(caRegisterTermWnd(a.conv, 4, kWindow, 1024, "A"), VQZM_RC_BAD_TERM_TYPE);
  EXPECT_EQ(caRegisterTermWnd(a.conv, 0x10001, kWindow, 1024, "A"), 0) << "type in the low 16 bits";
  EXPECT_EQ(caRegisterTermWnd(0xFFFFFF, 1, kWindow, 1024, "X"), VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_EQ(a.List(), "A") << "only the valid registration is kept";

  EXPECT_EQ(caRegisterTermWnd(a.conv, 2, kWindow, 1025, "B"), 0);
  EXPECT_EQ(caRegisterTermWnd(a.conv, 1, kWindow, 1026, id21.c_str()), 0);
  EXPECT_EQ(caRegisterTermWnd(a.conv, 3, kWindow, 1027, "D"), 0);
  EXPECT_EQ(a.List(), "D B A " + id21);
  EXPECT_EQ(caRegisterTermWnd(a.conv, 2, kWindow + 1, 2000, "B"), VQZM_RC_PROGRAM_REGISTERED);
  TermWndStruct* d = cbRetNextTermWndStruct(a.record, nullptr);
  EXPECT_EQ(V(d->hwndTerm), kWindow);
  EXPECT_EQ(V(d->usTermMsg), 1027);
  EXPECT_EQ(V(d->usTermType), 3);

  // The other system has a list of its own.
  EXPECT_EQ(caRegisterTermWnd(b.conv, 1, kWindow, 1024, "B"), 0);
  EXPECT_EQ(b.List(), "B");
  EXPECT_EQ(caUnRegisterTermWnd(b.conv, "D"), VQZM_RC_PROGRAM_NOT_REGISTERED);
  EXPECT_EQ(caUnRegisterTermWnd(a.conv, "NEVER"), VQZM_RC_PROGRAM_NOT_REGISTERED);
  EXPECT_EQ(caUnRegisterTermWnd(0xFFFFFF, "B"), VQZM_RC_CONV_NOT_ISSUED);
  EXPECT_EQ(caUnRegisterTermWnd(a.conv, "B"), 0);
  EXPECT_EQ(a.List(), "D A " + id21);
  EXPECT_EQ(b.List(), "B");
}

TEST(TerminateWindows, OnlyTypeThreeCountsAndAStoppedSystemTakesRegistrations) {
  FakeSystem a("SYSA");
  a.record->usCommState = ZEL_COMM_STOPPED;
  uint32_t before = a.record->ulTermWndCount;
  ASSERT_EQ(caRegisterTermWnd(a.conv, 3, kWindow, 1024, "KEEP"), 0);
  ASSERT_EQ(caRegisterTermWnd(a.conv, 3, kWindow, 1024, "KEEP2"), 0);
  ASSERT_EQ(caRegisterTermWnd(a.conv, 2, kWindow, 1024, "TWO"), 0);
  EXPECT_EQ(V(a.record->ulTermWndCount), before + 2);
  EXPECT_EQ(caUnRegisterTermWnd(a.conv, "TWO"), 0);
  EXPECT_EQ(caUnRegisterTermWnd(a.conv, "KEEP"), 0);
  EXPECT_EQ(V(a.record->ulTermWndCount), before + 1);
  EXPECT_EQ(caUnRegisterTermWnd(a.conv, "KEEP2"), 0);
  EXPECT_EQ(V(a.record->ulTermWndCount), before);
}

TEST(Information, TellsTheActiveSystemsProfileNameAndIds) {
  FakeSystem a("SYSA");
  char buffer[256];
  EXPECT_EQ(caRtvZELCommInfo(a.conv, ZEL_INFO_USER_PROFILE, buffer), 0);
  EXPECT_STREQ(buffer, "ZELUSER");
  strcpy(a.record->szUserProfile, "TENCHARSXY");
  EXPECT_EQ(caRtvZELCommInfo(a.conv, ZEL_INFO_USER_PROFILE, buffer), 0);
  EXPECT_STREQ(buffer, "TENCHARSXY");
  strcpy(a.record->szUserProfile, "BOB  XX");
  EXPECT_EQ(caRtvZELCommInfo(a.conv, ZEL_INFO_USER_PROFILE, buffer), 0);
  EXPECT_STREQ(buffer, "BOB") << "up to the first blank";
  EXPECT_EQ(caRtvZELCommInfo(a.conv, ZEL_INFO_SYSTEM_NAME, buffer), 0);
  EXPECT_STREQ(buffer, "SYSA");
  EXPECT_EQ(caRtvZELCommInfo(a.conv, ZEL_INFO_LOCAL_LU, buffer), 0);
  EXPECT_STREQ(buffer, "LOCALLU1");
  strcpy(a.record->szDQLib, "QZNET");
  EXPECT_EQ(caRtvZELCommInfo(a.conv, ZEL_INFO_NETWORK_ID, buffer), 0);
  EXPECT_STREQ(buffer, "NET     ") << "blank-padded to eight";
  EXPECT_EQ(caRtvZELCommInfo(a.conv, 6, buffer), VQZM_RC_BAD_INFO_ID);
  EXPECT_EQ(caRtvZELCommInfo(a.conv, 0, buffer), VQZM_RC_BAD_INFO_ID);
  EXPECT_EQ(caRtvZELCommInfo(0xFFFFFF, 1, buffer), VQZM_RC_CONV_NOT_ISSUED);

  char pws[4] = "???";
  EXPECT_EQ(vqzmRtvPWSId(a.conv, pws), 0);
  EXPECT_STREQ(pws, "ABC");
  EXPECT_EQ(vqzmRtvPWSId(0xFFFFFF, pws), VQZM_RC_CONV_NOT_ISSUED);

  // Not active: the PWS ID is still told, the rest is refused.
  a.record->usCommState = ZEL_COMM_TERM_SENT;
  strcpy(buffer, "unchanged");
  EXPECT_EQ(caRtvZELCommInfo(a.conv, ZEL_INFO_SYSTEM_NAME, buffer), VQZM_RC_NOT_ACTIVE);
  EXPECT_STREQ(buffer, "unchanged");
  char rid[ZEL_RID_LEN];
  EXPECT_EQ(vqzmRtvPwsRID(a.conv, rid), VQZM_RC_NOT_ACTIVE);
  EXPECT_EQ(vqzmRtvPWSId(a.conv, pws), 0);
}

int Sequence(const std::string& rid) { return std::stoi(rid.substr(1, 4)); }

std::string NextRid(uint32_t conv) {
  char rid[ZEL_RID_LEN];
  uint16_t rc = vqzmRtvPwsRID(conv, rid);
  return rc == 0 ? std::string(rid, ZEL_RID_LEN) : "rc " + std::to_string(rc);
}

ZEL_CHILD_COMMAND(next_rid) {
  if (args.empty()) return 2;
  child::Report(NextRid(static_cast<uint32_t>(std::stoul(args[0]))));
  return 0;
}

TEST(Rids, FollowOneAnotherAcrossProcesses) {
  FakeSystem a("SYSA");
  std::string first = NextRid(a.conv);
  ASSERT_EQ(first.size(), size_t{ZEL_RID_LEN}) << first;
  EXPECT_EQ(first[0], '9');
  EXPECT_EQ(first.substr(5, 3), "ABC");
  EXPECT_EQ(first.substr(8, 3), std::string(a.record->szSysID));
  ChildProcess other = ChildProcess::Start("next_rid", {std::to_string(a.conv)});
  std::string second = other.ReadLine().value_or("");
  EXPECT_EQ(other.Wait(), 0);
  ASSERT_EQ(second.size(), size_t{ZEL_RID_LEN}) << second;
  std::string third = NextRid(a.conv);
  EXPECT_EQ(Sequence(second), Sequence(first) + 1);
  EXPECT_EQ(Sequence(third), Sequence(second) + 1);
}

// ---- The network drive of a system's shared folder ----

class NetworkDrive : public testing::Test {
 protected:
  void SetUp() override {
    share_ = TestPath("share");
    ASSERT_EQ(mkdir(share_.c_str(), 0700), 0);
  }
  void TearDown() override {
    for (char letter = 'D'; letter <= 'Z'; ++letter) {
      std::string name = std::string(1, letter) + ":";
      WNetCancelConnection2(name.c_str(), 0, false);
    }
  }

  static void Connect(const char* local, const std::string& remote) {
    NETRESOURCE resource{};
    resource.dwType = RESOURCETYPE_DISK;
    resource.lpLocalName = const_cast<char*>(local);
    resource.lpRemoteName = const_cast<char*>(remote.c_str());
    ASSERT_EQ(WNetAddConnection2(&resource, nullptr, nullptr, 0), NO_ERROR) << local;
  }

  static std::string Drive(uint32_t conv) {
    char buffer[3] = {'?', '?', '?'};
    uint16_t rc = caRtvZELCommInfo(conv, ZEL_INFO_NETWORK_DRIVE, buffer);
    if (rc != 0) return "rc " + std::to_string(rc);
    return buffer[1] == '\0' ? std::string(buffer) : "no NUL";
  }

  static std::string LinkTarget(char letter) {
    std::error_code error;
    fs::path link = TestPath("zel/" + Instance() + "/drives/" + std::string(1, letter));
    return fs::read_symlink(link, error).string();
  }

  std::string share_;
};

TEST_F(NetworkDrive, MapsTheShareToTheFirstFreeLetterFromDOnce) {
  WriteConfig("system SYSA 127.0.0.1:1\nshare SYSA " + share_ + "\n");
  FakeSystem a("SYSA");
  for (const char* local : {"D:", "E:", "F:", "H:"}) Connect(local, TestPath("elsewhere"));
  EXPECT_EQ(Drive(a.conv), "G");
  EXPECT_EQ(LinkTarget('G'), share_);
  EXPECT_EQ(Drive(a.conv), "G") << "the connection made is reused";
  EXPECT_EQ(GetLogicalDrives(), 0xFCu) << "C: to H:, and no other";
}

TEST_F(NetworkDrive, ReusesAnExistingConnectionOfTheShare) {
  WriteConfig("system SYSA 127.0.0.1:1\nshare SYSA " + share_ + "\n");
  FakeSystem a("SYSA");
  Connect("G:", share_);
  EXPECT_EQ(Drive(a.conv), "G");
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 6)) << "no new connection";
}

TEST_F(NetworkDrive, WithoutAShareGivesTheLetterAndTracesTheFailure) {
  WriteConfig("system SYSA 127.0.0.1:1\nshare SYSB " + share_ + "\n");
  FakeSystem a("SYSA");
  TraceCapture capture;
  EXPECT_EQ(Drive(a.conv), "D");
  EXPECT_TRUE(capture.Traced("Network drive was not mapped"));
  EXPECT_EQ(GetLogicalDrives(), 1u << 2) << "nothing was connected";
}

}  // namespace
}  // namespace zel::test
