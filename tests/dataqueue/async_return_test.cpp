// The manager's side of asynchronous answers, fed entry by entry as its
// reader hands them on: reassembly into the request's record, the message
// to the application's window, broken sequences, aborted requests, gone
// windows, and answers kept while a window's queue is full.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "dataqueue/dataqueue.h"
#include "platform/globalmem.h"
#include "platform/posix/heap.h"
#include "services/call_faults.h"
#include "tests/harness/ebcdic_text.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/waits.h"
#include "tests/harness/zel_test.h"
#include "vqzmcb.h"
#include "vqzmcsw.h"
#include "wire/protocol.h"
#include "zelapp.h"

namespace zel::test {
namespace {

constexpr uint16_t kAnswer = 0x8123;
constexpr uint32_t kQueueLimit = 10000;

// An entry of an answer as the host writes it.
std::string Entry(std::string_view msg_id, uint32_t value, uint32_t total, const std::string& block,
                  uint32_t left) {
  wire::ReturnEntryHeader header{};
  memcpy(header.msg_id, Ebcdic(std::string(msg_id)).data(), sizeof header.msg_id);
  header.value.set(value);
  header.total_length.set(total);
  header.block_length.set(static_cast<uint32_t>(block.size()));
  header.bytes_left.set(left);
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + block;
}

// Hands one entry, keyed "Z" + RID, to the manager's dispatch.
void Dispatch(const std::string& rid, std::string entry) {
  RZ700SysStruct system{};
  DQReadItem item{};
  item.pBuffer = entry.data();
  item.ulLength = static_cast<uint32_t>(entry.size());
  memcpy(item.achKey, ("Z" + rid).data(), 12);
  ASSERT_EQ(cdProcDQBuffer(&system, &item), 0);
}

// The entries of a data answer split into blocks of `block` bytes.
std::vector<std::string> DataEntries(const std::string& data, size_t block, uint32_t value = 5) {
  std::vector<std::string> entries;
  auto total = static_cast<uint32_t>(data.size());
  size_t sent = 0;
  do {
    std::string part = data.substr(sent, block);
    sent += part.size();
    entries.push_back(Entry(wire::kDataReturnMsgId, value, total, part,
                            static_cast<uint32_t>(data.size() - sent)));
  } while (sent < data.size());
  return entries;
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + 1);
  return data;
}

class AsyncReturn : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(zelCreateWindow(&hwnd_), 0);
    used_blocks_ = platform::internal::CheckGlobalHeap().used_blocks;
  }
  void TearDown() override { zelDestroyWindow(hwnd_); }

  // A listed record for the request `rid`, as caProcessAsync leaves it.
  AsyncRetStruct* Outstanding(const std::string& rid, uint32_t hwnd = 0) {
    AsyncRetStruct* rec = nullptr;
    EXPECT_EQ(ctrlblk::cbInitAsyncRetStruct(&rec), 0);
    memcpy(rec->achRID, rid.data(), ZEL_RID_LEN);
    rec->hwndNotify = hwnd != 0 ? hwnd : hwnd_;
    rec->usNotifyMsg = kAnswer;
    ctrlblk::cbAddAsyncRetStruct(rec);
    return rec;
  }

  static bool Listed(const std::string& rid) {
    return ctrlblk::cbRetAsyncRetFromRid(rid.data()) != nullptr;
  }

  // The next message for the window within `wait_ms`, or nothing.
  std::optional<ZelMessage> Next(uint32_t wait_ms = 0) {
    ZelMessage message{};
    if (zelWaitMessage(hwnd_, wait_ms, &message) != 0) return std::nullopt;
    return message;
  }

  // The code of the next message, a return-code answer (its block freed);
  // nothing when no such answer came.
  std::optional<uint16_t> CodeAnswer() {
    std::optional<ZelMessage> message = Next();
    if (!message) return std::nullopt;
    auto* block = reinterpret_cast<void*>(message->lParam);
    uint16_t code = 0;
    memcpy(&code, block, sizeof code);
    zelFreeBlock(block);
    if (message->wParam != 1) return std::nullopt;
    return code;
  }

  uint64_t UsedBlocks() const { return platform::internal::CheckGlobalHeap().used_blocks; }

  uint32_t hwnd_ = 0;
  uint64_t used_blocks_ = 0;
};

TEST_F(AsyncReturn, AMultiEntryAnswerArrivesOnceWithItsPrefixAndData) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{8193}}) {
    std::string rid = "A" + std::to_string(1000 + size % 1000) + "AAA000";
    Outstanding(rid);
    std::string data = Pattern(size);
    for (const std::string& entry : DataEntries(data, 4096)) Dispatch(rid, entry);
    std::optional<ZelMessage> message = Next();
    ASSERT_TRUE(message) << size << " bytes";
    EXPECT_EQ(message->message, kAnswer);
    EXPECT_EQ(message->wParam, 0u);
    auto* block = reinterpret_cast<char*>(message->lParam);
    AsyncRetPrefix prefix;
    memcpy(&prefix, block, sizeof prefix);
    EXPECT_EQ(std::string(prefix.achRID, 11), rid);
    EXPECT_EQ(V(prefix.ulValue), 5u);
    EXPECT_EQ(V(prefix.ulDataLen), size);
    EXPECT_EQ(V(prefix.ulDataAddr), reinterpret_cast<uintptr_t>(block) + 27);
    EXPECT_EQ(std::string(block + 27, size), data);
    EXPECT_EQ(zelBlockSize(block), std::max<size_t>(27 + size, 27));
    zelFreeBlock(block);
    EXPECT_FALSE(Listed(rid));
    EXPECT_FALSE(Next()) << "posted once";
  }
  EXPECT_EQ(UsedBlocks(), used_blocks_);
}

TEST_F(AsyncReturn, AReturnCodeAnswerCarriesTheCodeInItsBlock) {
  std::string rid = "A0002AAA000";
  Outstanding(rid);
  Dispatch(rid, Entry(wire::kCodeReturnMsgId, 0x17007001, 0, "", 0));
  EXPECT_EQ(CodeAnswer(), 0x7001) << "the low 16 bits of the value";
  EXPECT_FALSE(Listed(rid));
}

TEST_F(AsyncReturn, EntriesThatBreakTheSequenceAreDroppedAndTheRecordKeepsItsState) {
  TraceCapture capture;
  std::string rid = "A0003AAA000";
  AsyncRetStruct* rec = Outstanding(rid);
  std::vector<std::string> entries = DataEntries(Pattern(400), 100);
  Dispatch(rid, entries[0]);
  Dispatch(rid, entries[2]);  // the second never came
  EXPECT_TRUE(capture.RaisedErrorPoint("LOST_BLOCK_ERROR2", "vqzmcd0"));
  EXPECT_EQ(V(rec->ulRcvdLen), 100u);
  EXPECT_EQ(V(rec->ulBytesLeft), 300u);

  std::string other_total = Entry(wire::kDataReturnMsgId, 5, 401, std::string(100, 'x'), 101);
  Dispatch(rid, other_total);
  EXPECT_TRUE(capture.RaisedErrorPoint("TOTAL_DATA_ERROR"));
  EXPECT_EQ(V(rec->ulRcvdLen), 100u);

  // A first entry of an answer larger than the global heap, which could
  // never be handed on, reserves nothing.
  auto beyond_heap = static_cast<uint32_t>(platform::kGlobalHeapSize + 1);
  Dispatch(rid,
           Entry(wire::kDataReturnMsgId, 5, beyond_heap, std::string(100, 'x'), beyond_heap - 100));
  EXPECT_TRUE(capture.RaisedErrorPoint("MALLOC_PBUFFER_ERROR"));
  EXPECT_EQ(V(rec->ulTotalLen), 400u);
  EXPECT_FALSE(Next()) << "entries with bytes left wait for the rest";

  for (size_t i = 1; i < entries.size(); ++i) Dispatch(rid, entries[i]);
  std::optional<ZelMessage> message = Next();
  ASSERT_TRUE(message) << "the sequence goes on where it broke off";
  EXPECT_EQ(std::string(reinterpret_cast<char*>(message->lParam) + 27, 400), Pattern(400));
  zelFreeBlock(reinterpret_cast<void*>(message->lParam));

  Dispatch("A0999AAA000", entries[0]);
  EXPECT_TRUE(capture.RaisedErrorPoint("EXT_FIND_ASYNC_RET"));
  EXPECT_FALSE(Next()) << "an unknown RID's entry is dropped";
}

// The host has sent all of the answer, but not all of it arrived whole.
TEST_F(AsyncReturn, ABrokenLastEntryEndsTheAnswerWithACode) {
  std::vector<std::string> entries = DataEntries(Pattern(300), 100);
  std::string small_entry = entries[2];
  small_entry.resize(small_entry.size() - 1);
  const std::vector<std::vector<std::string>> answers = {
      {entries[0], entries[2]},               // a block lost on the way
      {entries[2]},                           // the first one lost
      {entries[0], entries[1], small_entry},  // a block cut short
  };
  for (size_t i = 0; i < answers.size(); ++i) {
    SCOPED_TRACE(i);
    std::string rid = "A0005AAA00" + std::to_string(i);
    Outstanding(rid);
    for (const std::string& entry : answers[i]) Dispatch(rid, entry);
    EXPECT_EQ(CodeAnswer(), VQZM_RC_INTERNAL_ERROR) << "the window would wait for ever";
    EXPECT_FALSE(Listed(rid));
    EXPECT_FALSE(Next()) << "answered once";
  }
  EXPECT_EQ(UsedBlocks(), used_blocks_);
}

TEST_F(AsyncReturn, AnEntryWhoseHeaderCannotBeReadAnswersTheRequestWithTheCode) {
  std::string rid = "A0004AAA000";
  Outstanding(rid);
  std::vector<std::string> entries = DataEntries(Pattern(300), 100);
  Dispatch(rid, entries[0]);
  services::ArmCallFaults("qlxNL_GetHostCcsid:1");
  Dispatch(rid, entries[1]);
  services::ArmCallFaults("");
  EXPECT_EQ(CodeAnswer(), VQZM_RC_CONVERSION_FAILED) << "the answer can no longer be put together";
  EXPECT_FALSE(Listed(rid));
  Dispatch(rid, entries[2]);
  EXPECT_FALSE(Next()) << "a later entry finds no record";
  EXPECT_EQ(UsedBlocks(), used_blocks_);
}

TEST_F(AsyncReturn, AnAbortedRequestsAnswerIsThrownAwayWithItsRecord) {
  std::string rid = "A0004AAA000";
  Outstanding(rid);
  std::vector<std::string> entries = DataEntries(Pattern(300), 100);
  Dispatch(rid, entries[0]);
  ASSERT_EQ(caAbortProcessAsync(nullptr, hwnd_), 0);
  Dispatch(rid, entries[1]);
  EXPECT_TRUE(Listed(rid)) << "kept until the last entry";
  Dispatch(rid, entries[2]);
  EXPECT_FALSE(Listed(rid));
  EXPECT_FALSE(Next());
  EXPECT_EQ(caAbortProcessAsync(nullptr, hwnd_), VQZM_RC_NO_ASYNC_FOR_WINDOW);
  EXPECT_EQ(caAbortProcessAsync(nullptr, 0), VQZM_RC_NO_RID_OR_WINDOW);
  EXPECT_EQ(UsedBlocks(), used_blocks_);
}

TEST_F(AsyncReturn, AnAnswerForAWindowThatIsGoneIsFreedWithItsRecord) {
  uint32_t gone = 0;
  ASSERT_EQ(zelCreateWindow(&gone), 0);
  ASSERT_EQ(zelDestroyWindow(gone), 0);
  Outstanding("A0005AAA000", gone);
  Outstanding("A0006AAA000", gone);
  for (const std::string& entry : DataEntries(Pattern(5000), 4096)) Dispatch("A0005AAA000", entry);
  Dispatch("A0006AAA000", Entry(wire::kCodeReturnMsgId, 9, 0, "", 0));
  EXPECT_FALSE(Listed("A0005AAA000"));
  EXPECT_FALSE(Listed("A0006AAA000"));
  EXPECT_EQ(UsedBlocks(), used_blocks_);
}

// Fills the window's queue so that the next post to it fails.
void Fill(uint32_t hwnd) {
  for (uint32_t i = 0; i < kQueueLimit; ++i) ASSERT_EQ(zelPostMessage(hwnd, 1, i, 0), 0);
  ASSERT_NE(zelPostMessage(hwnd, 1, 0, 0), 0) << "the queue is full";
}

TEST_F(AsyncReturn, AnAnswerTheWindowCannotTakeIsKeptAndPostedOnceItCan) {
  dataqueue::StartAnswerKeeper();
  Fill(hwnd_);
  std::string rid = "A0007AAA000";
  AsyncRetStruct* rec = Outstanding(rid);
  Dispatch(rid, DataEntries("kept", 10)[0]);
  ASSERT_TRUE(Listed(rid));
  EXPECT_EQ(V(rec->usPostState), 41);
  EXPECT_EQ(V(rec->usPostKind), 0);
  for (uint32_t i = 0; i < kQueueLimit; ++i) ASSERT_TRUE(Next()) << i;
  std::optional<ZelMessage> message = Next(5000);
  ASSERT_TRUE(message) << "posted again once the queue had room";
  EXPECT_EQ(message->message, kAnswer);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(message->lParam) + 27, 4), "kept");
  zelFreeBlock(reinterpret_cast<void*>(message->lParam));
  EXPECT_TRUE(Eventually([&] { return !Listed(rid); }));
  EXPECT_FALSE(Next(300)) << "posted once";
}

TEST_F(AsyncReturn, AKeptAnswerWhoseWindowGoesIsDropped) {
  dataqueue::StartAnswerKeeper();
  uint32_t window = 0;
  ASSERT_EQ(zelCreateWindow(&window), 0);
  Fill(window);
  std::string rid = "A0008AAA000";
  Outstanding(rid, window);
  Dispatch(rid, Entry(wire::kCodeReturnMsgId, 3, 0, "", 0));
  ASSERT_TRUE(Listed(rid));
  ASSERT_EQ(zelDestroyWindow(window), 0);
  EXPECT_TRUE(Eventually([&] { return !Listed(rid); }));
  EXPECT_EQ(UsedBlocks(), used_blocks_);
}

TEST_F(AsyncReturn, WhenItsSystemEndsEachWaitingRequestIsAnsweredWithTheCode) {
  RZ700SysStruct* system = nullptr;
  ASSERT_EQ(cbInitRZ700SysStruct(&system), 0);
  strcpy(system->szSysName, "ENDING");
  memcpy(system->szSysID, "042", 4);
  ASSERT_EQ(cbAddRZ700SysStruct(system), 0);
  Outstanding("A0010AAA042");
  Outstanding("A0011AAA043");
  Outstanding("A0012AAA042");
  ASSERT_EQ(caAbortProcessAsync("A0012AAA042", 0), VQZM_RC_NOT_ACTIVE)
      << "the system is not active";
  AsyncRetStruct* aborted = ctrlblk::cbRetAsyncRetFromRid("A0012AAA042");
  aborted->ulAborted = 1;
  Dispatch("A0010AAA042", DataEntries(Pattern(300), 100)[0]);

  cdReleaseAsyncOfSystem(system, VQZM_RC_CONNECTION_FAILED);
  EXPECT_EQ(CodeAnswer(), VQZM_RC_CONNECTION_FAILED);
  EXPECT_FALSE(Next()) << "the aborted request is dropped, the other system's kept";
  EXPECT_FALSE(Listed("A0010AAA042"));
  EXPECT_FALSE(Listed("A0012AAA042"));
  EXPECT_TRUE(Listed("A0011AAA043"));
  cbDeleteAsyncRetStruct(ctrlblk::cbRetAsyncRetFromRid("A0011AAA043"));
  cbDeleteRZ700SysStruct(system);
  EXPECT_EQ(UsedBlocks(), used_blocks_);
}

TEST_F(AsyncReturn, AfterTheManagersDeathThisProcesssRequestsAreAnsweredAndOthersLeft) {
  uint32_t full = 0;
  ASSERT_EQ(zelCreateWindow(&full), 0);
  Fill(full);
  Outstanding("A0020AAA000");
  Outstanding("A0021AAA000", full);
  Dispatch("A0021AAA000", DataEntries("kept", 10)[0]);
  ASSERT_EQ(V(ctrlblk::cbRetAsyncRetFromRid("A0021AAA000")->usPostState), 41);
  Outstanding("A0022AAA000", 0x7fff0001);  // no window of this process
  const auto self = static_cast<uint32_t>(getpid());

  EXPECT_EQ(cdReleaseAsyncOfDeadManager(VQZM_RC_CPMGR_ENDED, self), 1u)
      << "the kept answer waits for room";
  EXPECT_EQ(CodeAnswer(), VQZM_RC_CPMGR_ENDED);
  EXPECT_FALSE(Listed("A0020AAA000"));

  for (uint32_t i = 0; i < kQueueLimit; ++i) {
    ZelMessage filler{};
    ASSERT_EQ(zelWaitMessage(full, 0, &filler), 0) << i;
  }
  EXPECT_EQ(cdReleaseAsyncOfDeadManager(VQZM_RC_CPMGR_ENDED, self), 0u);
  ZelMessage kept{};
  ASSERT_EQ(zelWaitMessage(full, 0, &kept), 0) << "the kept answer itself, not a code";
  EXPECT_EQ(kept.wParam, 0u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(kept.lParam) + 27, 4), "kept");
  zelFreeBlock(reinterpret_cast<void*>(kept.lParam));
  EXPECT_FALSE(Listed("A0021AAA000"));
  EXPECT_TRUE(Listed("A0022AAA000"));
  EXPECT_EQ(cdCountAsyncOfProcess(self), 0u);
  cbDeleteAsyncRetStruct(ctrlblk::cbRetAsyncRetFromRid("A0022AAA000"));
  zelDestroyWindow(full);
  EXPECT_EQ(UsedBlocks(), used_blocks_);
}

TEST_F(AsyncReturn, APublishedNameGoesWithItsRequest) {
  dataqueue::StartAnswerKeeper();
  std::string rid = "A0009AAA000";
  Outstanding(rid);
  NamedAsyncStruct* named = nullptr;
  ASSERT_EQ(cbInitNamedAsyncStruct(&named), 0);
  strcpy(named->szName, "JOB");
  memcpy(named->achRID, rid.data(), 11);
  cbAddNamedAsyncStruct(named);
  char found[11] = {};
  ASSERT_EQ(caRtvNamedAsyncID("JOB", 0, found), 0);
  EXPECT_EQ(std::string(found, 11), rid);
  EXPECT_EQ(caRtvNamedAsyncID("JOB", 0, found), VQZM_RC_TIMED_OUT) << "handed out once";

  ASSERT_EQ(cbInitNamedAsyncStruct(&named), 0);
  strcpy(named->szName, "JOB");
  memcpy(named->achRID, rid.data(), 11);
  cbAddNamedAsyncStruct(named);
  Dispatch(rid, Entry(wire::kCodeReturnMsgId, 0, 0, "", 0));
  zelFreeBlock(reinterpret_cast<void*>(Next()->lParam));
  EXPECT_TRUE(Eventually([&] { return cbRetNamedAsyncFromName("JOB") == nullptr; }))
      << "the name of an answered request is dropped";
}

}  // namespace
}  // namespace zel::test
