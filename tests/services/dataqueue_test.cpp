// QLXDQ and QlxCo against a real zelhost: keyed reads, waits, several
// readers, reads given up as their entry arrives, errors, lost connections,
// handles of another process, of a forked child's parent and of another
// kind, the configuration file, QlxAd and QLXUNAPI.
#include "services/dataqueue.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "platform/handles.h"
#include "services/admin.h"
#include "services/connection.h"
#include "services/errhandle.h"
#include "services/unapi.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/signed_on_pws.h"
#include "tests/harness/trace_capture.h"
#include "tests/harness/waits.h"
#include "wire/protocol.h"

namespace zel::test {
namespace {

constexpr char kLibrary[] = "QZELDQ";
constexpr char kQueue[] = "TESTQ";

std::string Key(std::string text) {
  text.resize(12, ' ');
  return text;
}

struct ReadResult {
  uint32_t rc = 0;
  std::string key;
  std::string data;
};

// The queue of a PWS signed on through QlxCo; other system objects of the
// test reach it with the token the connection service keeps.
class DataQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(host_.running());
    host_.Configure();
    pws_.emplace(kQueue);
    ASSERT_TRUE(pws_->ok());
    ASSERT_EQ(pws_->queue(), kQueue);
    system_ = pws_->system();
    uint32_t attributes = qlxDQ_CreateAttr();
    ASSERT_NE(attributes, 0u);
    ASSERT_EQ(qlxDQ_SetMaxRecLen(attributes, 8320), 0u);
    ASSERT_EQ(qlxDQ_SetOrder(attributes, 2), 0u);
    ASSERT_EQ(qlxDQ_SetKeySize(attributes, 12), 0u);
    ASSERT_EQ(qlxDQ_SetAuthority(attributes, 2), 0u);
    ASSERT_EQ(qlxDQ_SetForceToStorage(attributes, 0), 0u);
    ASSERT_EQ(qlxDQ_SetSenderID(attributes, 0), 0u);
    ASSERT_EQ(qlxDQ_CreateEx(system_, kQueue, kLibrary, attributes, 0), 0u);
    EXPECT_EQ(qlxDQ_CreateEx(system_, kQueue, kLibrary, attributes, 0), QLXDQ_RC_EXISTS);
    ASSERT_EQ(qlxDQ_DeleteAttr(attributes), 0u);
    ASSERT_EQ(qlxDQ_OpenEx(system_, kQueue, kLibrary, &queue_, 0), 0u);
  }
  void TearDown() override {
    qlxDQ_Close(queue_);
    pws_.reset();
  }

  uint32_t Write(const std::string& key, const std::string& data, uint32_t queue = 0) {
    uint32_t object = qlxDQ_CreateData();
    std::string copy = data;
    qlxDQ_SetDataAddr(object, copy.data(), static_cast<uint32_t>(copy.size()));
    qlxDQ_SetConvert(object, 0);
    qlxDQ_SetKey(object, key.data(), static_cast<uint32_t>(key.size()));
    uint32_t rc = qlxDQ_Write(queue ? queue : queue_, object, 1, 0);
    qlxDQ_DeleteData(object);
    return rc;
  }

  // Starts a read; the read handle, 0 on failure.
  uint32_t StartRead(uint32_t data, std::string& buffer, const std::string& key, uint32_t order,
                     int32_t wait, uint32_t queue = 0) {
    qlxDQ_SetDataAddr(data, buffer.data(), static_cast<uint32_t>(buffer.size()));
    qlxDQ_SetKey(data, key.data(), static_cast<uint32_t>(key.size()));
    qlxDQ_SetSearchOrder(data, order);
    uint32_t read = 0;
    EXPECT_EQ(qlxDQ_AsyncRead(queue ? queue : queue_, data, wait, &read, 0), 0u);
    return read;
  }

  // One read as the PWS makes it: start, poll while in progress (bounded).
  ReadResult Read(const std::string& key, uint32_t order, int32_t wait, size_t size = 8320,
                  uint32_t queue = 0) {
    ReadResult result;
    std::string buffer(size, '\0');
    uint32_t data = qlxDQ_CreateData();
    uint32_t read = StartRead(data, buffer, key, order, wait, queue);
    result.rc = QLXDQ_RC_IN_PROGRESS;
    for (int i = 0; i < 200 && result.rc == QLXDQ_RC_IN_PROGRESS; ++i) {
      result.rc = qlxDQ_CheckData(read, 0);
    }
    if (result.rc == 0) {
      char returned[13];
      uint32_t length = 0;
      EXPECT_EQ(qlxDQ_GetRetKey(data, returned), 0u);
      EXPECT_EQ(qlxDQ_GetDataLen(data, &length), 0u);
      result.key.assign(returned, 12);
      result.data = buffer.substr(0, length);
    }
    qlxDQ_DeleteData(data);
    return result;
  }

  HostServer host_;
  std::optional<SignedOnPws> pws_;
  uint32_t system_ = 0;
  uint32_t queue_ = 0;
};

TEST_F(DataQueueTest, KeyedReadsWithOrdersOneAndFourFirstInFirstOutPerKey) {
  ASSERT_EQ(Write(Key("SR1"), "reply 1a"), 0u);
  ASSERT_EQ(Write(Key("ZAR9"), "async"), 0u);
  ASSERT_EQ(Write(Key("SR1"), "reply 1b"), 0u);
  ASSERT_EQ(Write(Key("FFFF"), "ready"), 0u);
  ASSERT_EQ(Write(Key("ZZZZ"), "terminate"), 0u);
  ASSERT_EQ(Write(Key("SR1"), ""), 0u);
  EXPECT_EQ(Read(Key("SR1"), QLXDQ_ORDER_EQ, 0).data, "reply 1a");
  EXPECT_EQ(Read(Key("SR1"), QLXDQ_ORDER_EQ, 0).data, "reply 1b");
  ReadResult empty = Read(Key("SR1"), QLXDQ_ORDER_EQ, 0);
  EXPECT_EQ(empty.rc, 0u);
  EXPECT_EQ(empty.data, "");
  ReadResult manager = Read(Key("Z"), QLXDQ_ORDER_GE, 0);
  EXPECT_EQ(manager.data, "async");
  EXPECT_EQ(manager.key, Key("ZAR9"));
  EXPECT_EQ(Read(Key("Z"), QLXDQ_ORDER_GE, 0).data, "terminate");
  EXPECT_EQ(Read(Key("Z"), QLXDQ_ORDER_GE, 0).rc, QLXDQ_RC_TIMEOUT);
  // The manager's reader closes its queue before it asks for key and length.
  uint32_t queue = 0;
  ASSERT_EQ(qlxDQ_OpenEx(system_, kQueue, kLibrary, &queue, 0), 0u);
  std::string buffer(16, '\0');
  uint32_t data = qlxDQ_CreateData();
  uint32_t read = StartRead(data, buffer, Key("FFFF"), QLXDQ_ORDER_EQ, 5, queue);
  uint32_t rc = QLXDQ_RC_IN_PROGRESS;
  for (int i = 0; i < 20 && rc == QLXDQ_RC_IN_PROGRESS; ++i) rc = qlxDQ_CheckData(read, 0);
  ASSERT_EQ(rc, 0u);
  ASSERT_EQ(qlxDQ_Close(queue), 0u);
  char key[13];
  uint32_t length = 0;
  ASSERT_EQ(qlxDQ_GetRetKey(data, key), 0u);
  ASSERT_EQ(qlxDQ_GetDataLen(data, &length), 0u);
  EXPECT_EQ(std::string(key), Key("FFFF"));
  EXPECT_EQ(buffer.substr(0, length), "ready");
  qlxDQ_DeleteData(data);
  EXPECT_EQ(Read(Key("FFFF"), QLXDQ_ORDER_EQ, 0).rc, QLXDQ_RC_TIMEOUT);  // taken once
}

TEST_F(DataQueueTest, AReadWaitsInProgressThenRunsOutWith6017AndLeavesTheObjectUnread) {
  std::string buffer(100, 'u');
  uint32_t data = qlxDQ_CreateData();
  uint32_t read = StartRead(data, buffer, Key("SNONE"), QLXDQ_ORDER_EQ, 2);
  EXPECT_EQ(qlxDQ_CheckData(read, 0), QLXDQ_RC_IN_PROGRESS);
  uint32_t rc = QLXDQ_RC_IN_PROGRESS;
  for (int i = 0; i < 20 && rc == QLXDQ_RC_IN_PROGRESS; ++i) rc = qlxDQ_CheckData(read, 0);
  EXPECT_EQ(rc, QLXDQ_RC_TIMEOUT);
  EXPECT_EQ(qlxDQ_CheckData(read, 0), QLXDQ_RC_INVALID_HANDLE);  // spent
  char key[13];
  EXPECT_EQ(qlxDQ_GetRetKey(data, key), QLXDQ_RC_NOT_READ);
  EXPECT_EQ(buffer, std::string(100, 'u'));
  qlxDQ_DeleteData(data);
}

TEST_F(DataQueueTest, AWaitingReadTakesAnEntryWrittenLaterFromAnotherConnection) {
  std::string buffer(64, '\0');
  uint32_t data = qlxDQ_CreateData();
  uint32_t read = StartRead(data, buffer, Key("SLATER"), QLXDQ_ORDER_EQ, QLXDQ_WAIT_FOREVER);
  ASSERT_EQ(qlxDQ_CheckData(read, 0), QLXDQ_RC_IN_PROGRESS);
  // The same connection still serves writes while the read waits.
  ASSERT_EQ(Write(Key("SOTHER"), "not for the read"), 0u);
  uint32_t other = 0, other_queue = 0;
  ASSERT_EQ(qlxCO_CreateSystem("HOSTSYS", &other), 0u);
  ASSERT_EQ(qlxDQ_OpenEx(other, kQueue, kLibrary, &other_queue, 0), 0u);
  ASSERT_EQ(Write(Key("SLATER"), "arrived", other_queue), 0u);
  uint32_t rc = QLXDQ_RC_IN_PROGRESS;
  for (int i = 0; i < 20 && rc == QLXDQ_RC_IN_PROGRESS; ++i) rc = qlxDQ_CheckData(read, 0);
  ASSERT_EQ(rc, 0u);
  uint32_t length = 0;
  ASSERT_EQ(qlxDQ_GetDataLen(data, &length), 0u);
  EXPECT_EQ(buffer.substr(0, length), "arrived");
  qlxDQ_DeleteData(data);
  qlxDQ_Close(other_queue);
  qlxCO_DeleteSystem(other);
}

TEST_F(DataQueueTest, SeveralReadersOnOneQueueAreKeptApartByTheirKeys) {
  constexpr int kReaders = 4;
  std::atomic<int> waiting{0};
  std::vector<ReadResult> results(kReaders);
  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i) {
    threads.emplace_back([&, i] {
      ++waiting;
      results[i] = Read(Key("SRDR" + std::to_string(i)), QLXDQ_ORDER_EQ, 20);
    });
  }
  for (int i = kReaders - 1; i >= 0; --i) {
    ASSERT_EQ(Write(Key("SRDR" + std::to_string(i)), "for reader " + std::to_string(i)), 0u);
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kReaders; ++i) {
    EXPECT_EQ(results[i].rc, 0u);
    EXPECT_EQ(results[i].data, "for reader " + std::to_string(i));
  }
  EXPECT_EQ(Read(Key("S"), QLXDQ_ORDER_GE, 0).rc, QLXDQ_RC_TIMEOUT);
}

TEST_F(DataQueueTest, AnEntryIsNeverLostNorTakenTwiceWhenItsReaderGivesUp) {
  // The write races the reader's give-up: the entry is either still waiting
  // for the read or already on its way back; either way it stays on the queue.
  for (int round = 0; round < 20; ++round) {
    uint32_t reader_queue = 0;
    ASSERT_EQ(qlxDQ_OpenEx(system_, kQueue, kLibrary, &reader_queue, 0), 0u);
    std::string buffer(64, '\0');
    uint32_t data = qlxDQ_CreateData();
    uint32_t read =
        StartRead(data, buffer, Key("SGIVE"), QLXDQ_ORDER_EQ, QLXDQ_WAIT_FOREVER, reader_queue);
    std::string text = "entry " + std::to_string(round);
    ASSERT_EQ(Write(Key("SGIVE"), text), 0u);
    if (round % 2 == 0) std::this_thread::yield();
    ASSERT_EQ(qlxDQ_Close(reader_queue), 0u);
    EXPECT_EQ(qlxDQ_CheckData(read, 0), QLXDQ_RC_INVALID_HANDLE);
    ReadResult next = Read(Key("SGIVE"), QLXDQ_ORDER_EQ, 10);
    EXPECT_EQ(next.rc, 0u) << round;
    EXPECT_EQ(next.data, text);
    EXPECT_EQ(Read(Key("SGIVE"), QLXDQ_ORDER_EQ, 0).rc, QLXDQ_RC_TIMEOUT) << round;
    qlxDQ_DeleteData(data);
  }
}

TEST_F(DataQueueTest, BadRequestsGetTheirOwnCodesAndLoseNothing) {
  uint32_t missing = 0;
  // A queue that is not this PWS's is refused, whether it exists or not.
  EXPECT_EQ(qlxDQ_OpenEx(system_, "NOSUCHQ", kLibrary, &missing, 0), QLXDQ_RC_REFUSED);
  EXPECT_EQ(qlxDQ_OpenEx(system_, "NAME TOO LONG", kLibrary, &missing, 0),
            QLXDQ_RC_INVALID_PARAMETER);
  EXPECT_EQ(qlxDQ_DeleteEx(system_, "NOSUCHQ", kLibrary, 0), QLXDQ_RC_REFUSED);
  EXPECT_EQ(Write(Key("SBIG"), std::string(8321, 'x')), QLXDQ_RC_TOO_LONG);
  EXPECT_EQ(Write("SHORT", "x"), QLXDQ_RC_KEY_SIZE);
  ASSERT_EQ(Write(Key("SBIG"), std::string(8320, 'x')), 0u);
  EXPECT_EQ(Read(Key("SBIG"), QLXDQ_ORDER_EQ, 0, 100).rc, QLXDQ_RC_BUFFER_TOO_SMALL);
  EXPECT_EQ(Read(Key("SBIG"), QLXDQ_ORDER_EQ, 0).data.size(), 8320u);
  EXPECT_EQ(qlxDQ_SetOrder(qlxDQ_CreateAttr(), 1), QLXDQ_RC_INVALID_PARAMETER);
  EXPECT_EQ(qlxDQ_SetSearchOrder(qlxDQ_CreateData(), 7), QLXDQ_RC_INVALID_PARAMETER);
  EXPECT_EQ(qlxDQ_Write(0x12345, 0x54321, 1, 0), QLXDQ_RC_INVALID_HANDLE);
  EXPECT_EQ(qlxDQ_CheckData(queue_, 0), QLXDQ_RC_INVALID_HANDLE);  // a queue is no read
  EXPECT_EQ(qlxDQ_CreateEx(0, kQueue, kLibrary, qlxDQ_CreateAttr(), 0), QLXDQ_RC_INVALID_HANDLE);
  EXPECT_EQ(qlxDQ_DeleteEx(system_, kQueue, kLibrary, 0), 0u);
  EXPECT_EQ(Write(Key("SGONE"), "x"), QLXDQ_RC_NOT_FOUND);
  EXPECT_EQ(qlxDQ_OpenEx(system_, kQueue, kLibrary, &missing, 0), QLXDQ_RC_NOT_FOUND);
  EXPECT_EQ(qlxDQ_DeleteEx(system_, kQueue, kLibrary, 0), QLXDQ_RC_NOT_FOUND);
}

// A connection opens a queue once; the host still judges every write and
// read, so a queue deleted through another connection fails there, and a
// queue made again under the name is used again.
TEST_F(DataQueueTest, AQueueDeletedThroughAnotherConnectionFailsItsNextWriteAndReadThenComesBack) {
  uint32_t other = 0, other_queue = 0;
  ASSERT_EQ(qlxCO_CreateSystem("HOSTSYS", &other), 0u);
  ASSERT_EQ(qlxDQ_OpenEx(other, kQueue, kLibrary, &other_queue, 0), 0u);
  ASSERT_EQ(Write(Key("SFIRST"), "before", other_queue), 0u);
  ASSERT_EQ(qlxDQ_DeleteEx(system_, kQueue, kLibrary, 0), 0u);
  EXPECT_EQ(Write(Key("SGONE"), "x", other_queue), QLXDQ_RC_NOT_FOUND);
  EXPECT_EQ(Read(Key("SFIRST"), QLXDQ_ORDER_EQ, 0, 8320, other_queue).rc, QLXDQ_RC_NOT_FOUND);
  qlxDQ_Close(other_queue);
  uint32_t missing = 0;
  EXPECT_EQ(qlxDQ_OpenEx(other, kQueue, kLibrary, &missing, 0), QLXDQ_RC_NOT_FOUND);

  uint32_t attributes = qlxDQ_CreateAttr();
  ASSERT_EQ(qlxDQ_SetMaxRecLen(attributes, 100), 0u);
  ASSERT_EQ(qlxDQ_CreateEx(system_, kQueue, kLibrary, attributes, 0), 0u);
  qlxDQ_DeleteAttr(attributes);
  ASSERT_EQ(qlxDQ_OpenEx(other, kQueue, kLibrary, &other_queue, 0), 0u);
  EXPECT_EQ(Write(Key("SNEW"), std::string(101, 'x'), other_queue), QLXDQ_RC_TOO_LONG);
  ASSERT_EQ(Write(Key("SNEW"), "after", other_queue), 0u);
  EXPECT_EQ(Read(Key("SNEW"), QLXDQ_ORDER_EQ, 0).data, "after");
  qlxDQ_Close(other_queue);
  qlxCO_DeleteSystem(other);
}

TEST_F(DataQueueTest, ALostConnectionEndsTheWaitingReadAndTheNextCallReconnects) {
  std::string buffer(64, '\0');
  uint32_t data = qlxDQ_CreateData();
  uint32_t read = StartRead(data, buffer, Key("SLOST"), QLXDQ_ORDER_EQ, QLXDQ_WAIT_FOREVER);
  ASSERT_EQ(qlxDQ_CheckData(read, 0), QLXDQ_RC_IN_PROGRESS);
  std::string list = host_.Control("list");
  size_t at = list.find(" dataqueue");
  ASSERT_NE(at, std::string::npos) << list;
  std::string line = list.substr(list.rfind("connection ", at) + 11);
  EXPECT_EQ(host_.Control("drop " + line.substr(0, line.find(' '))).rfind("ok", 0), 0u);
  uint32_t rc = QLXDQ_RC_IN_PROGRESS;
  for (int i = 0; i < 20 && rc == QLXDQ_RC_IN_PROGRESS; ++i) rc = qlxDQ_CheckData(read, 0);
  EXPECT_EQ(rc, QLXDQ_RC_CONNECTION);
  qlxDQ_DeleteData(data);
  // The open queue handle rides on the broken connection; a new open works.
  EXPECT_EQ(Write(Key("SLOST"), "x"), QLXDQ_RC_CONNECTION);
  qlxDQ_Close(queue_);
  ASSERT_EQ(qlxDQ_OpenEx(system_, kQueue, kLibrary, &queue_, 0), 0u);
  ASSERT_EQ(Write(Key("SLOST"), "after"), 0u);
  EXPECT_EQ(Read(Key("SLOST"), QLXDQ_ORDER_EQ, 0).data, "after");
}

// A handle value that another process made means nothing here.
ZEL_CHILD_COMMAND(use_foreign_handles) {
  uint32_t system = static_cast<uint32_t>(std::stoul(args[0]));
  uint32_t queue = static_cast<uint32_t>(std::stoul(args[1]));
  uint32_t connected = 7;
  bool refused =
      qlxCO_TestConnection(system, QLXCO_SERVICE_SIGNON, &connected) == QLXCO_RC_INVALID_HANDLE &&
      connected == 0 && qlxDQ_Close(queue) == QLXDQ_RC_INVALID_HANDLE &&
      qlxCO_DeleteSystem(system) == QLXCO_RC_INVALID_HANDLE;
  child::Report(refused ? "refused" : "accepted");
  return 0;
}

TEST_F(DataQueueTest, HandlesAreRefusedInAnotherProcess) {
  ChildProcess child =
      ChildProcess::Start("use_foreign_handles", {std::to_string(system_), std::to_string(queue_)});
  EXPECT_TRUE(child.Expect("refused"));
  EXPECT_EQ(child.Wait(), 0);
  ASSERT_EQ(Write(Key("SSTILL"), "mine"), 0u);  // our own handles still work
}

// Runs `body` in a child forked without exec; its result (0 to 255), or -1
// when it gave none within the bound (the child is then killed).
int RunInForkedChild(const std::function<int()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    unsigned char result = static_cast<unsigned char>(body());
    _exit(write(fds[1], &result, 1) == 1 ? 0 : 1);
  }
  close(fds[1]);
  int result = -1;
  if (pid > 0) {
    pollfd ready{fds[0], POLLIN, 0};
    unsigned char byte = 0;
    if (poll(&ready, 1, static_cast<int>(kChildTimeout.count())) == 1 &&
        read(fds[0], &byte, 1) == 1) {
      result = byte;
    } else {
      kill(pid, SIGKILL);
    }
    waitpid(pid, nullptr, 0);
  }
  close(fds[0]);
  return result;
}

// The child inherits a copy of the parent's handle table; the parent's
// objects (its connections and their receiver threads) are not its own to
// use or to destroy.
TEST_F(DataQueueTest, AChildForkedWithoutExecRefusesItsParentsHandlesAndLeavesThemAlone) {
  uint32_t error = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&error), QLXSV_OK);
  ASSERT_EQ(qlx::SetError(error, 6101, "the parent's"), QLXSV_OK);
  uint32_t data = qlxDQ_CreateData();
  std::string key = Key("SFORK");
  ASSERT_EQ(qlxDQ_SetKey(data, key.data(), 12), 0u);
  int result = RunInForkedChild([&] {
    char text[QLXSV_MAX_TEXT];
    uint32_t connected = 7;
    if (qlxCO_TestConnection(system_, 11, &connected) != QLXCO_RC_INVALID_HANDLE) return 1;
    if (qlxDQ_Write(queue_, data, 1, 0) != QLXDQ_RC_INVALID_HANDLE) return 2;
    if (qlxSV_GetErrText(error, text, sizeof text) != QLXSV_INVALID_HANDLE) return 3;
    if (qlxDQ_Close(queue_) != QLXDQ_RC_INVALID_HANDLE) return 4;
    if (qlxCO_DeleteSystem(system_) != QLXCO_RC_INVALID_HANDLE) return 5;
    if (qlxDQ_DeleteData(data) != QLXDQ_RC_INVALID_HANDLE) return 6;
    if (qlxSV_DeleteErrHandle(error) != QLXSV_INVALID_HANDLE) return 7;
    // Handles the child makes are its own.
    uint32_t own = 0;
    if (qlxSV_CreateErrHandle(&own) != QLXSV_OK) return 8;
    if (qlx::SetError(own, 6102, "the child's") != QLXSV_OK) return 9;
    if (qlxSV_GetErrText(own, text, sizeof text) != QLXSV_OK) return 10;
    if (std::strcmp(text, "QLX6102: the child's") != 0) return 11;
    return qlxSV_DeleteErrHandle(own) == QLXSV_OK ? 0 : 12;
  });
  EXPECT_EQ(result, 0);
  // The parent's connection, objects and texts are as they were.
  ASSERT_EQ(Write(Key("SFORK"), "still ours"), 0u);
  EXPECT_EQ(Read(Key("SFORK"), QLXDQ_ORDER_EQ, 0).data, "still ours");
  char text[QLXSV_MAX_TEXT];
  ASSERT_EQ(qlxSV_GetErrText(error, text, sizeof text), QLXSV_OK);
  EXPECT_STREQ(text, "QLX6101: the parent's");
  EXPECT_EQ(qlxDQ_DeleteData(data), 0u);
  EXPECT_EQ(qlxSV_DeleteErrHandle(error), QLXSV_OK);
}

// Every service looks its handles up by kind in the one handle table: a
// handle of another kind gets the service's own invalid-handle code, and a
// delete function given one closes nothing.
TEST_F(DataQueueTest, AHandleOfAnotherKindIsRefusedWithEachServicesCodeAndStaysOpen) {
  uint32_t error = 0, list = 0;
  ASSERT_EQ(qlxSV_CreateErrHandle(&error), QLXSV_OK);
  ASSERT_EQ(qlxCO_CreateSysList(&list), 0u);
  uint32_t attributes = qlxDQ_CreateAttr();
  uint32_t data = qlxDQ_CreateData();
  ASSERT_EQ(qlxCO_Connect(system_, QLXCO_SERVICE_SIGNON, 0), 0u);
  uint32_t service = qlxCO_GetSrvHandle(system_, QLXCO_SERVICE_SIGNON);
  std::string buffer(16, '\0');
  uint32_t read = StartRead(data, buffer, Key("SKIND"), QLXDQ_ORDER_EQ, QLXDQ_WAIT_FOREVER);
  ASSERT_NE(attributes, 0u);
  ASSERT_NE(service, 0u);
  ASSERT_NE(read, 0u);

  uint32_t connected = 7;
  char name[64];
  uint32_t needed = 0;
  for (uint32_t other : {queue_, data, attributes, read, error, service, list}) {
    SCOPED_TRACE("system object " + std::to_string(other));
    EXPECT_EQ(qlxCO_TestConnection(other, QLXCO_SERVICE_SIGNON, &connected),
              QLXCO_RC_INVALID_HANDLE);
    EXPECT_EQ(qlxCO_DeleteSystem(other), QLXCO_RC_INVALID_HANDLE);
    uint32_t opened = 0;
    EXPECT_EQ(qlxDQ_OpenEx(other, kQueue, kLibrary, &opened, 0), QLXDQ_RC_INVALID_HANDLE);
    uint32_t copy = other;
    EXPECT_EQ(qlxUN_GetSystemHandle("HOSTSYS", "zel", &copy), QLXCO_RC_INVALID_HANDLE);
  }
  for (uint32_t other : {system_, queue_, data, read, error, list}) {
    SCOPED_TRACE("service handle " + std::to_string(other));
    EXPECT_EQ(qlxCO_Send(other, "x", 1), QLXCO_RC_INVALID_HANDLE);
    EXPECT_EQ(qlxCO_ReleaseSrvHandle(system_, other), QLXCO_RC_INVALID_HANDLE);
  }
  for (uint32_t other : {system_, queue_, data, error, service}) {
    SCOPED_TRACE("system list " + std::to_string(other));
    EXPECT_EQ(qlxCO_GetNextSysName(other, name, sizeof name, &needed), QLXCO_RC_INVALID_HANDLE);
    EXPECT_EQ(qlxCO_DeleteSysList(other), QLXCO_RC_INVALID_HANDLE);
  }
  for (uint32_t other : {system_, data, attributes, read, error, service, list}) {
    SCOPED_TRACE("queue " + std::to_string(other));
    EXPECT_EQ(qlxDQ_Write(other, data, 1, 0), QLXDQ_RC_INVALID_HANDLE);
    EXPECT_EQ(qlxDQ_Close(other), QLXDQ_RC_INVALID_HANDLE);
  }
  for (uint32_t other : {system_, queue_, attributes, read, error, service, list}) {
    SCOPED_TRACE("data object " + std::to_string(other));
    EXPECT_EQ(qlxDQ_DeleteData(other), QLXDQ_RC_INVALID_HANDLE);
  }
  for (uint32_t other : {system_, queue_, data, read, error, service, list}) {
    SCOPED_TRACE("attributes " + std::to_string(other));
    EXPECT_EQ(qlxDQ_DeleteAttr(other), QLXDQ_RC_INVALID_HANDLE);
  }
  for (uint32_t other : {system_, queue_, data, attributes, error, service, list}) {
    SCOPED_TRACE("read " + std::to_string(other));
    EXPECT_EQ(qlxDQ_CheckData(other, 0), QLXDQ_RC_INVALID_HANDLE);
  }
  for (uint32_t other : {system_, queue_, data, attributes, read, service, list}) {
    SCOPED_TRACE("error handle " + std::to_string(other));
    EXPECT_EQ(qlxSV_GetErrText(other, name, sizeof name), QLXSV_INVALID_HANDLE);
    EXPECT_EQ(qlx::SetError(other, 6001, "x"), QLXSV_INVALID_HANDLE);
    EXPECT_EQ(qlxSV_DeleteErrHandle(other), QLXSV_INVALID_HANDLE);
  }

  // Nothing was closed: each handle still works as what it is.
  EXPECT_EQ(qlxCO_TestConnection(system_, QLXCO_SERVICE_SIGNON, &connected), 0u);
  EXPECT_EQ(qlxCO_SendComplete(service), 0u);
  EXPECT_EQ(qlxCO_GetNextSysName(list, name, sizeof name, &needed), 0u);
  EXPECT_STREQ(name, "HOSTSYS");
  EXPECT_EQ(qlxDQ_SetKeySize(attributes, 12), 0u);
  EXPECT_EQ(qlxSV_GetErrText(error, name, sizeof name), QLXSV_OK);
  ASSERT_EQ(Write(Key("SKIND"), "for the read"), 0u);
  uint32_t rc = QLXDQ_RC_IN_PROGRESS;
  for (int i = 0; i < 20 && rc == QLXDQ_RC_IN_PROGRESS; ++i) rc = qlxDQ_CheckData(read, 0);
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(buffer.substr(0, 12), "for the read");

  EXPECT_EQ(qlxCO_ReleaseSrvHandle(system_, service), 0u);
  EXPECT_EQ(qlxCO_DeleteSysList(list), 0u);
  EXPECT_EQ(qlxDQ_DeleteAttr(attributes), 0u);
  EXPECT_EQ(qlxDQ_DeleteData(data), 0u);
  EXPECT_EQ(qlxSV_DeleteErrHandle(error), QLXSV_OK);
}

// Reads started while their queue is being closed: each is either refused
// or given up with the queue, none is left waiting on the host.
TEST_F(DataQueueTest, ClosingAQueueGivesUpEveryReadStartedOnItEvenWhileReadsStart) {
  uint32_t reader_queue = 0;
  ASSERT_EQ(qlxDQ_OpenEx(system_, kQueue, kLibrary, &reader_queue, 0), 0u);
  std::string buffer(64, '\0');
  std::string key = Key("SRACE");
  std::atomic<int> started{0};
  std::vector<uint32_t> reads, objects;
  uint32_t last_rc = 0;
  std::thread reader([&] {
    for (int i = 0; i < 20'000 && last_rc == 0; ++i) {
      uint32_t data = qlxDQ_CreateData();
      objects.push_back(data);
      qlxDQ_SetDataAddr(data, buffer.data(), static_cast<uint32_t>(buffer.size()));
      qlxDQ_SetKey(data, key.data(), static_cast<uint32_t>(key.size()));
      uint32_t read = 0;
      last_rc = qlxDQ_AsyncRead(reader_queue, data, QLXDQ_WAIT_FOREVER, &read, 0);
      if (last_rc == 0) reads.push_back(read);
      ++started;
    }
  });
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (started.load() < 3 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(qlxDQ_Close(reader_queue), 0u);
  reader.join();
  EXPECT_EQ(last_rc, QLXDQ_RC_INVALID_HANDLE);
  for (uint32_t read : reads) ASSERT_EQ(qlxDQ_CheckData(read, 0), QLXDQ_RC_INVALID_HANDLE);
  // No given-up read takes the entry: it waits on the queue for this reader.
  ASSERT_EQ(Write(key, "kept"), 0u);
  EXPECT_EQ(Read(key, QLXDQ_ORDER_EQ, 10).data, "kept");
  for (uint32_t data : objects) qlxDQ_DeleteData(data);
}

// A read handle closed through the platform's CloseHandle, not through this
// service, still gives its read up: the entry goes to the next reader.
TEST_F(DataQueueTest, AReadHandleClosedAnotherWayGivesItsReadUp) {
  std::string buffer(64, '\0');
  uint32_t data = qlxDQ_CreateData();
  uint32_t read = StartRead(data, buffer, Key("SOTHERWAY"), QLXDQ_ORDER_EQ, QLXDQ_WAIT_FOREVER);
  ASSERT_EQ(qlxDQ_CheckData(read, 0), QLXDQ_RC_IN_PROGRESS);
  ASSERT_TRUE(platform::CloseHandle(read));
  EXPECT_EQ(qlxDQ_CheckData(read, 0), QLXDQ_RC_INVALID_HANDLE);
  ASSERT_EQ(Write(Key("SOTHERWAY"), "next reader's"), 0u);
  EXPECT_EQ(Read(Key("SOTHERWAY"), QLXDQ_ORDER_EQ, 10).data, "next reader's");
  qlxDQ_DeleteData(data);
}

class ConnectionTest : public ::testing::Test {
 protected:
  HostServer host_;
};

TEST_F(ConnectionTest, SignOnSendReceiveAndConnectionTest) {
  host_.Configure("HOSTSYS", "user CONFUSER\n");
  uint32_t system = 0;
  ASSERT_EQ(qlxCO_CreateSystem("HOSTSYS", &system), 0u);
  EXPECT_EQ(qlxCO_GetSrvHandle(system, 11), 0u);  // not connected yet
  ASSERT_EQ(qlxCO_SetUserID(system, "PWSUSER"), 0u);
  ASSERT_EQ(qlxCO_SetPassword(system, "secret"), 0u);
  ASSERT_EQ(qlxCO_SetSignOnMode(system, QLXCO_SIGNON_USE_SET), 0u);
  EXPECT_EQ(qlxCO_Connect(system, 12, 0), QLXCO_RC_SERVICE);
  ASSERT_EQ(qlxCO_Connect(system, 11, 0), 0u);
  uint32_t connected = 0;
  EXPECT_EQ(qlxCO_TestConnection(system, 11, &connected), 0u);
  EXPECT_EQ(connected, 1u);
  char user[11], password[33];
  ASSERT_EQ(qlxCO_GetSignOnInfo(system, user, sizeof user, password, sizeof password), 0u);
  EXPECT_STREQ(user, "PWSUSER");
  EXPECT_STREQ(password, "secret");
  uint32_t service = qlxCO_GetSrvHandle(system, 11);
  ASSERT_NE(service, 0u);
  unsigned char work[QLXCO_TOKEN_SIZE];
  void* token = qlxCO_GetConnToken(service, work);
  ASSERT_EQ(token, static_cast<void*>(work));
  uint32_t number = qlxCO_GetTokenValue(token);
  EXPECT_NE(number, 0u);
  EXPECT_EQ(qlxCO_GetTokenValue("not a token at all"), 0u);

  // The start request proposes the queue named after the host's number.
  char proposed[9];
  std::snprintf(proposed, sizeof proposed, "%08X", number);
  wire::StartRequest request{};
  request.type = wire::kStartRequest;
  std::string digits = Hex("F0 F0 F0 F0 F0 F0 F0 F0");
  for (int i = 0; i < 8; ++i) {
    char c = proposed[i];
    request.proposed_queue[i] =
        c <= '9' ? static_cast<char>(0xF0 + (c - '0')) : static_cast<char>(0xC1 + (c - 'A'));
  }
  std::string frame = Hex("00 34 12 FF");
  frame.append(reinterpret_cast<const char*>(&request), sizeof request);
  ASSERT_EQ(frame.size(), 52u);
  ASSERT_EQ(qlxCO_Send(service, frame.data(), 52), 0u);
  ASSERT_EQ(qlxCO_SendComplete(service), 0u);
  unsigned char station[34] = {};
  uint32_t length = 0;
  ASSERT_EQ(qlxCO_Recv(service, station, &length, sizeof station), 0u);
  ASSERT_EQ(length, 34u);
  EXPECT_EQ(station[0], 1);
  // PWSUSER in EBCDIC, as signed on.
  EXPECT_EQ(ToHex(std::string(reinterpret_cast<char*>(station) + 1, 8)),
            ToHex(Hex("D7 E6 E2 E4 E2 C5 D9 00")));
  EXPECT_EQ(std::memcmp(station + 23, request.proposed_queue, 8), 0);

  EXPECT_EQ(qlxCO_ReleaseSrvHandle(system, service), 0u);
  EXPECT_EQ(qlxCO_Send(service, frame.data(), 52), QLXCO_RC_INVALID_HANDLE);
  std::string list = host_.Control("list");
  EXPECT_EQ(host_.Control("drop " + std::to_string(number)).rfind("ok", 0), 0u) << list;
  EXPECT_TRUE(Eventually([&] {  // the host's close arrives
    return qlxCO_TestConnection(system, 11, &connected) == QLXCO_RC_NOT_CONNECTED;
  }));
  EXPECT_EQ(connected, 0u);
  ASSERT_EQ(qlxCO_Connect(system, 11, 0), 0u);  // reconnects
  EXPECT_EQ(qlxCO_Disconnect(system, 11, 0), 0u);
  EXPECT_EQ(qlxCO_Disconnect(system, 11, 0), QLXCO_RC_NOT_CONNECTED);
  EXPECT_EQ(qlxCO_DeleteSystem(system), 0u);
  EXPECT_EQ(qlxCO_DeleteSystem(system), QLXCO_RC_INVALID_HANDLE);
}

TEST_F(ConnectionTest, RefusedConnectionsAndUnknownSystemsFail) {
  host_.Configure();
  uint32_t system = 0;
  EXPECT_EQ(qlxCO_CreateSystem("NOSUCH", &system), QLXCO_RC_NOT_CONFIGURED);
  ASSERT_EQ(qlxCO_CreateSystem("HOSTSYS", &system), 0u);
  EXPECT_EQ(host_.Control("fault refuse 2").rfind("ok", 0), 0u);
  EXPECT_EQ(qlxCO_Connect(system, 11, 0), QLXCO_RC_CONNECT);
  EXPECT_EQ(qlxDQ_CreateEx(system, kQueue, kLibrary, qlxDQ_CreateAttr(), 0), QLXDQ_RC_REFUSED);
  EXPECT_EQ(qlxCO_Connect(system, 11, 0), 0u);
  host_.Stop();
  uint32_t connected = 0;
  EXPECT_TRUE(Eventually([&] { return qlxCO_TestConnection(system, 11, &connected) != 0; }));
  EXPECT_EQ(qlxCO_Connect(system, 11, 0), QLXCO_RC_CONNECT);
  qlxCO_DeleteSystem(system);
}

// A second handle to a system object (a platform duplicate) stands for a
// call that still holds the object while it is deleted: the object is not
// connected again through it.
TEST_F(ConnectionTest, ADeletedSystemIsNotConnectedAgainThroughAnotherHandle) {
  host_.Configure();
  uint32_t system = 0, copy = 0;
  ASSERT_EQ(qlxCO_CreateSystem("HOSTSYS", &system), 0u);
  ASSERT_TRUE(platform::DuplicateHandle(platform::GetCurrentProcess(), system,
                                        platform::GetCurrentProcess(), &copy, 0, false,
                                        platform::DUPLICATE_SAME_ACCESS));
  ASSERT_EQ(qlxCO_Connect(copy, QLXCO_SERVICE_SIGNON, 0), 0u);
  ASSERT_EQ(qlxCO_DeleteSystem(system), 0u);
  uint32_t connected = 7;
  EXPECT_EQ(qlxCO_TestConnection(copy, QLXCO_SERVICE_SIGNON, &connected), QLXCO_RC_NOT_CONNECTED);
  EXPECT_EQ(qlxCO_Connect(copy, QLXCO_SERVICE_SIGNON, 0), QLXCO_RC_INVALID_HANDLE);
  uint32_t queue = 0;
  EXPECT_EQ(qlxDQ_OpenEx(copy, kQueue, kLibrary, &queue, 0), QLXDQ_RC_INVALID_HANDLE);
  EXPECT_EQ(qlxCO_DeleteSystem(copy), 0u);
}

TEST(ConnectionConfig, DefaultNameSystemListAndBadLinesWithTheirNumbers) {
  std::string path = TestPath("zel.conf");
  setenv("ZEL_CONFIG", path.c_str(), 1);
  std::ofstream(path) << "# systems\n\nsystem FIRST 127.0.0.1:1\nsystem " << std::string(300, 'L')
                      << " 127.0.0.1:2\n";
  char name[265];
  uint32_t needed = 0, list = 0;
  TraceCapture capture;
  EXPECT_EQ(qlxCO_GetDefaultSystemName(name, sizeof name, 0), QLXCO_RC_CONFIG);
  EXPECT_TRUE(capture.Traced("zel.conf:4: system name longer than 255 characters"));
  std::ofstream(path) << "system FIRST 127.0.0.1:1   # first\nsystem SECOND localhost:2\n"
                      << "system " << std::string(200, 'L') << " [::1]:3\n";
  EXPECT_EQ(qlxCO_GetDefaultSystemName(name, sizeof name, 0), 0u);
  EXPECT_STREQ(name, "");
  ASSERT_EQ(qlxCO_CreateSysList(&list), 0u);
  ASSERT_EQ(qlxCO_GetNextSysName(list, name, sizeof name, &needed), 0u);
  EXPECT_STREQ(name, "FIRST");
  ASSERT_EQ(qlxCO_GetNextSysName(list, name, sizeof name, &needed), 0u);
  EXPECT_STREQ(name, "SECOND");
  EXPECT_EQ(qlxCO_GetNextSysName(list, name, 100, &needed), QLXCO_RC_BUFFER_OVERFLOW);
  EXPECT_EQ(needed, 201u);
  ASSERT_EQ(qlxCO_GetNextSysName(list, name, sizeof name, &needed), 0u);
  EXPECT_EQ(std::string(name), std::string(200, 'L'));
  EXPECT_EQ(qlxCO_GetNextSysName(list, name, sizeof name, &needed), QLXCO_RC_END_OF_LIST);
  EXPECT_EQ(qlxCO_DeleteSysList(list), 0u);

  std::ofstream(path) << "system A 127.0.0.1:1\ndefault A\nuser TOOLONGUSERID\n";
  EXPECT_EQ(qlxCO_GetDefaultSystemName(name, sizeof name, 0), QLXCO_RC_CONFIG);
  EXPECT_TRUE(capture.Traced("zel.conf:3: user ID longer than 10 characters"));
  std::ofstream(path) << "system A 127.0.0.1:1\ncolour blue\n";
  uint32_t system = 0;
  EXPECT_EQ(qlxCO_CreateSystem("A", &system), QLXCO_RC_CONFIG);
  EXPECT_TRUE(capture.Traced("zel.conf:2: unknown directive 'colour'"));
  std::ofstream(path) << "system A nohostport\n";
  EXPECT_EQ(qlxCO_CreateSysList(&list), QLXCO_RC_CONFIG);
  EXPECT_TRUE(capture.Traced("zel.conf:1: bad address 'nohostport'"));
  std::ofstream(path) << "default B\n";
  EXPECT_EQ(qlxCO_GetDefaultSystemName(name, sizeof name, 0), QLXCO_RC_CONFIG);
  std::ofstream(path) << "system A 127.0.0.1:1\ndefault A\nuser ME\n";
  EXPECT_EQ(qlxCO_GetDefaultSystemName(name, 1, 0), QLXCO_RC_BUFFER_OVERFLOW);
  ASSERT_EQ(qlxCO_GetDefaultSystemName(name, sizeof name, 0), 0u);
  EXPECT_STREQ(name, "A");
  ASSERT_EQ(qlxCO_CreateSystem("A", &system), 0u);
  EXPECT_EQ(qlxCO_GetUserID(system, name, sizeof name), 0u);
  EXPECT_STREQ(name, "ME");  // the configured user until one is set
  EXPECT_EQ(qlxCO_GetUserID(system, name, 2), QLXCO_RC_BUFFER_OVERFLOW);

  // QLXUNAPI hands the application's handle on, or makes one.
  uint32_t handle = system;
  EXPECT_EQ(qlxUN_GetSystemHandle("A", "zel", &handle), 0u);
  EXPECT_EQ(qlxUN_GetSystemHandle("OTHER", "zel", &handle), QLXCO_RC_NOT_CONFIGURED);
  uint32_t made = 0;
  EXPECT_EQ(qlxUN_GetSystemHandle("A", "zel", &made), 0u);
  EXPECT_NE(made, 0u);
  EXPECT_NE(made, system);
  uint32_t stale = 0xFFF00001;
  EXPECT_EQ(qlxUN_GetSystemHandle("A", "zel", &stale), QLXCO_RC_INVALID_HANDLE);
}

TEST(Administration, InstallationDirectoryFromZelHomeOrFromTheLibrary) {
  char dir[257];
  uint32_t length = sizeof dir;
  setenv("ZEL_HOME", "/opt/zel/", 1);
  ASSERT_EQ(qlxAD_GetInstallDir(dir, &length), 0u);
  EXPECT_STREQ(dir, "/opt/zel");
  EXPECT_EQ(length, 8u);
  length = 5;
  EXPECT_EQ(qlxAD_GetInstallDir(dir, &length), QLXAD_RC_BUFFER_OVERFLOW);
  EXPECT_EQ(length, 9u);
  unsetenv("ZEL_HOME");
  length = sizeof dir;
  ASSERT_EQ(qlxAD_GetInstallDir(dir, &length), 0u);
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&qlxAD_GetInstallDir), &info), 0);
  auto library = std::filesystem::canonical(info.dli_fname);
  EXPECT_EQ(std::string(dir), library.parent_path().parent_path().string());
  EXPECT_TRUE(std::filesystem::exists(std::string(dir) + "/bin/zelhost"));
}

}  // namespace
}  // namespace zel::test
