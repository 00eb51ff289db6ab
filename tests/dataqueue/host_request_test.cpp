// Requests that host programs start towards the PWS, fed entry by entry as
// the manager's reader hands them on, with no request processor installed;
// the error returns they earn are read back from a real zelhost's queue.
// And the host message codes' table.
#include <cstring>
#include <string>

#include "ctrlblk/ctrlblk.h"
#include "dataqueue/dataqueue.h"
#include "platform/user.h"
#include "tests/harness/ebcdic_text.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/manager_system.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "vqzmrc.h"
#include "wire/protocol.h"

namespace zel::test {
namespace {

// An entry of a request as the host writes it.
std::string RequestEntry(uint32_t total, const std::string& block, uint32_t left) {
  wire::RequestEntryHeader header{};
  memcpy(header.msg_id, Ebcdic(std::string(wire::kRequestMsgId)).data(), sizeof header.msg_id);
  memcpy(header.program, Ebcdic("PCPGM" + std::string(16, ' ')).data(), sizeof header.program);
  header.total_length.set(total);
  header.block_length.set(static_cast<uint32_t>(block.size()));
  header.bytes_left.set(left);
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + block;
}

class HostRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host_.running());
    manager_ = std::make_unique<ManagerSystem>(host_);
    system_ = manager_->record();
    if (system_->ulDQMaxRecLen == 0) system_->ulDQMaxRecLen = 32768;
  }

  // A RID of the system, type "R".
  std::string Rid(int sequence) const {
    char rid[12];
    snprintf(rid, sizeof rid, "R%04dAAA%.3s", sequence, system_->szSysID);
    return rid;
  }

  void Dispatch(const std::string& rid, std::string entry) {
    DQReadItem item{};
    item.pBuffer = entry.data();
    item.ulLength = static_cast<uint32_t>(entry.size());
    memcpy(item.achKey, ("Z" + rid).data(), 12);
    ASSERT_EQ(cdProcDQBuffer(system_, &item), 0);
  }

  // The value of the error return the host got for `rid`, or -1.
  int64_t ErrorReturn(const std::string& rid) {
    std::string buffer(system_->ulDQMaxRecLen, '\0');
    DQReadItem item{};
    item.pBuffer = buffer.data();
    item.ulLength = static_cast<uint32_t>(buffer.size());
    memcpy(item.achKey, Ebcdic("X" + rid).data(), 12);
    item.usSearchOrder = dataqueue::kSearchEqual;
    if (cdReadDataQueue(system_, &item, 5) != 0) return -1;
    wire::ReturnEntryHeader header;
    memcpy(&header, buffer.data(), sizeof header);
    return header.value.get();
  }

  HostServer host_;
  std::unique_ptr<ManagerSystem> manager_;
  RZ700SysStruct* system_ = nullptr;
};

TEST_F(HostRequest, WithoutAProcessorTheUserIsToldAndTheHostGets1026) {
  // An installation without SHARED/VQZMCTW.DLL (the build tree has one).
  setenv("ZEL_HOME", TestDir().c_str(), 1);
  TraceCapture capture;
  std::string rid = Rid(1);
  Dispatch(rid, RequestEntry(5, "hello", 0));
  platform::MessageBoxRecord box{};
  ASSERT_TRUE(platform::GetLastMessageBox(&box));
  EXPECT_EQ(box.caption, "MM APIs");
  EXPECT_EQ(box.style, platform::MB_ICONSTOP);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_PWS_RRP", "vqzmcd0"));
  EXPECT_EQ(ErrorReturn(rid), 0x8404);
  EXPECT_EQ(ctrlblk::cbRetRZ700ReqFromRid(rid.c_str()), nullptr);
}

TEST_F(HostRequest, ABrokenSequenceIsAnsweredWith1026AndDropsTheRecord) {
  TraceCapture capture;
  std::string lost = Rid(2);
  Dispatch(lost, RequestEntry(300, std::string(100, 'a'), 200));
  ASSERT_NE(ctrlblk::cbRetRZ700ReqFromRid(lost.c_str()), nullptr) << "waits for the rest";
  Dispatch(lost, RequestEntry(300, std::string(100, 'c'), 0));  // the second never came
  EXPECT_TRUE(capture.RaisedErrorPoint("LOST_BLOCK_ERROR2"));
  EXPECT_EQ(ErrorReturn(lost), 0x8404);
  EXPECT_EQ(ctrlblk::cbRetRZ700ReqFromRid(lost.c_str()), nullptr);

  std::string changed = Rid(3);
  Dispatch(changed, RequestEntry(300, std::string(100, 'a'), 200));
  Dispatch(changed, RequestEntry(301, std::string(100, 'b'), 101));
  EXPECT_TRUE(capture.RaisedErrorPoint("TOTAL_DATA_ERROR"));
  EXPECT_EQ(ErrorReturn(changed), 0x8404);
  EXPECT_EQ(ctrlblk::cbRetRZ700ReqFromRid(changed.c_str()), nullptr);

  std::string stray = Rid(4);
  Dispatch(stray, RequestEntry(300, std::string(100, 'b'), 100));
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_RID_NOT_FOUND"));
  EXPECT_EQ(ErrorReturn(stray), 0x8404);
}

TEST(HostMessageCode, MapsTheKnownCodesAndKeepsWhatItExamined) {
  RZ700SysStruct system{};
  struct Case {
    const char* message;
    uint16_t rc;
    const char* kept;
  };
  for (const Case& c : {Case{"6847", VQZM_RC_TIMED_OUT, "6847"},
                        Case{"5067XYZ", VQZM_RC_CONNECTION_FAILED, "5067"},
                        Case{"6876", VQZM_RC_CONNECTION_FAILED, "6876"},
                        Case{"5071", VQZM_RC_HOST_MESSAGE, "5071"},
                        Case{"6849", VQZM_RC_HOST_MESSAGE, "6849"},
                        Case{"1234", VQZM_RC_DATA_QUEUE_ERROR, "1234"},
                        Case{"KVX1234567", VQZM_RC_DATA_QUEUE_ERROR, "KVX1234"},
                        Case{"68G7", VQZM_RC_DATA_QUEUE_ERROR, ""},
                        Case{"68a7", VQZM_RC_DATA_QUEUE_ERROR, ""},
                        Case{"684", VQZM_RC_DATA_QUEUE_ERROR, ""}}) {
    memcpy(system.szReasonCode, "junk", 5);
    EXPECT_EQ(cdGetDKTReasonCode(c.message, &system), c.rc) << c.message;
    EXPECT_STREQ(system.szReasonCode, c.kept) << c.message;
  }
}

}  // namespace
}  // namespace zel::test
