// The host's keyed queues without a network: search orders, first in first
// out per key, waits, reservations that make a read take an entry exactly
// once, and the RRP's subscription.
#include "host/queue_store.h"

#include <thread>

#include "services/dataqueue.h"
#include "tests/harness/zel_test.h"

namespace zel::host {
namespace {

using namespace std::chrono_literals;

struct Outcome {
  int calls = 0;
  uint32_t status = 0xFFFFFFFF;
  uint64_t entry_id = 0;
  std::string key, data;
};

class QueueStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(store_.Create("LIB/Q", {1000, 2, 1}), 0u); }

  void Write(const std::string& key, const std::string& data) {
    ASSERT_EQ(store_.Write("LIB/Q", key, data), 0u);
  }

  // Starts a read; the outcome fills in when it is delivered.
  std::shared_ptr<Outcome> Read(Owner owner, const std::string& key, uint16_t order,
                                int64_t wait = 0, uint32_t tag = 0, uint32_t buffer = 1000) {
    auto outcome = std::make_shared<Outcome>();
    ReadRequest wanted{key, order, buffer, wait, tag};
    store_.Read("LIB/Q", owner, wanted, [outcome](uint32_t status, const Entry* entry) {
      ++outcome->calls;
      outcome->status = status;
      if (entry != nullptr) {
        outcome->entry_id = entry->id;
        outcome->key = entry->key;
        outcome->data = entry->data;
      }
    });
    return outcome;
  }

  // Reads and keeps the entry; its data, or "-" with the status.
  std::string Take(const std::string& key, uint16_t order) {
    auto outcome = Read(1, key, order);
    if (outcome->status != 0) return "-" + std::to_string(outcome->status);
    store_.Commit(1, outcome->entry_id);
    return outcome->data;
  }

  Timers timers_;
  QueueStore store_{timers_};
};

TEST_F(QueueStoreTest, SearchOrdersMatchKeysAndTheOldestMatchComesFirst) {
  Write("ZB", "zb1");
  Write("SA", "sa1");
  Write("ZA", "za1");
  Write("SA", "sa2");
  Write("FF", "ready");
  EXPECT_EQ(Take("SA", QLXDQ_ORDER_EQ), "sa1");
  EXPECT_EQ(Take("Z ", QLXDQ_ORDER_GE), "zb1");  // oldest of ZB, ZA
  EXPECT_EQ(Take("Z ", QLXDQ_ORDER_GE), "za1");
  EXPECT_EQ(Take("Z ", QLXDQ_ORDER_GE), "-" + std::to_string(QLXDQ_RC_TIMEOUT));
  EXPECT_EQ(Take("SA", QLXDQ_ORDER_NE), "ready");
  EXPECT_EQ(Take("SA", QLXDQ_ORDER_LE), "sa2");
  EXPECT_EQ(Take("SA", QLXDQ_ORDER_EQ), "-" + std::to_string(QLXDQ_RC_TIMEOUT));
  EXPECT_EQ(Take("S", QLXDQ_ORDER_EQ), "-" + std::to_string(QLXDQ_RC_KEY_SIZE));
  EXPECT_EQ(Take("SA", 9), "-" + std::to_string(QLXDQ_RC_INVALID_PARAMETER));
}

TEST_F(QueueStoreTest, AWaitingReadTakesALaterEntryOrTimesOut) {
  auto waiting = Read(1, "SA", QLXDQ_ORDER_EQ, -1);
  auto timed = Read(2, "SB", QLXDQ_ORDER_EQ, 1);
  EXPECT_EQ(waiting->calls, 0);
  Write("SC", "other");
  EXPECT_EQ(waiting->calls, 0);
  Write("SA", "mine");
  EXPECT_EQ(waiting->calls, 1);
  EXPECT_EQ(waiting->data, "mine");
  // The one-second wait runs out on the timer; bounded by the deadline itself.
  for (int i = 0; i < 300 && timed->calls == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::max(timers_.MillisToNext(), 1)));
    timers_.RunDue();
  }
  EXPECT_EQ(timed->calls, 1);
  EXPECT_EQ(timed->status, QLXDQ_RC_TIMEOUT);
  Write("SB", "late");  // nobody waits any more: it stays
  EXPECT_EQ(Take("SB", QLXDQ_ORDER_EQ), "late");
}

TEST_F(QueueStoreTest, AReservedEntryIsTakenOnceAndComesBackWhenItsReaderGivesUp) {
  Write("SA", "one");
  Write("SA", "two");
  auto first = Read(1, "SA", QLXDQ_ORDER_EQ);
  ASSERT_EQ(first->data, "one");
  auto second = Read(2, "SA", QLXDQ_ORDER_EQ);  // "one" is held by reader 1
  EXPECT_EQ(second->data, "two");
  auto third = Read(3, "SA", QLXDQ_ORDER_EQ, -1);
  EXPECT_EQ(third->calls, 0);
  store_.Release(2, first->entry_id);  // not reader 2's to give back
  EXPECT_EQ(third->calls, 0);
  store_.Release(1, first->entry_id);
  EXPECT_EQ(third->data, "one");
  store_.DropOwner(3);  // reader 3 ends without keeping it
  store_.Commit(2, second->entry_id);
  EXPECT_EQ(Take("SA", QLXDQ_ORDER_EQ), "one");
  EXPECT_EQ(Take("SA", QLXDQ_ORDER_EQ), "-" + std::to_string(QLXDQ_RC_TIMEOUT));
}

TEST_F(QueueStoreTest, TooSmallBuffersCancelsAndDeletesEndReadsWithoutLosingEntries) {
  Write("SA", std::string(50, 'x'));
  auto small = Read(1, "SA", QLXDQ_ORDER_EQ, 0, 0, 10);
  EXPECT_EQ(small->status, QLXDQ_RC_BUFFER_TOO_SMALL);
  auto waiting_small = Read(1, "SB", QLXDQ_ORDER_EQ, -1, 0, 10);
  auto waiting_big = Read(2, "SB", QLXDQ_ORDER_EQ, -1);
  Write("SB", std::string(50, 'y'));
  EXPECT_EQ(waiting_small->status, QLXDQ_RC_BUFFER_TOO_SMALL);
  EXPECT_EQ(waiting_big->data, std::string(50, 'y'));
  EXPECT_EQ(Take("SA", QLXDQ_ORDER_EQ), std::string(50, 'x'));

  auto cancelled = Read(4, "SC", QLXDQ_ORDER_EQ, -1, 77);
  EXPECT_FALSE(store_.Cancel(4, 78));
  EXPECT_TRUE(store_.Cancel(4, 77));
  EXPECT_EQ(cancelled->status, QLXDQ_RC_CANCELLED);
  auto orphan = Read(5, "SD", QLXDQ_ORDER_EQ, -1);
  EXPECT_EQ(store_.Write("LIB/Q", "SA", std::string(1001, 'z')), QLXDQ_RC_TOO_LONG);
  EXPECT_EQ(store_.Delete("LIB/Q"), 0u);
  EXPECT_EQ(orphan->status, QLXDQ_RC_CANCELLED);
  EXPECT_EQ(store_.Write("LIB/Q", "SA", "x"), QLXDQ_RC_NOT_FOUND);
}

TEST_F(QueueStoreTest, TheHostsOwnReaderTakesItsKeysOldAndNewAndNothingElse) {
  Write("AX", "early");
  Write("SX", "reply");
  std::vector<std::string> taken;
  uint64_t id = store_.Subscribe(
      "LIB/Q", [](std::string_view key) { return key[0] == 'A'; },
      [&](Entry entry) { taken.push_back(entry.data); });
  ASSERT_NE(id, 0u);
  Write("AY", "late");
  EXPECT_EQ(taken, (std::vector<std::string>{"early", "late"}));
  store_.Unsubscribe(id);
  Write("AZ", "unserved");
  EXPECT_EQ(taken.size(), 2u);
  EXPECT_EQ(Take("SX", QLXDQ_ORDER_EQ), "reply");
  EXPECT_EQ(Take("AZ", QLXDQ_ORDER_EQ), "unserved");
}

TEST_F(QueueStoreTest, WhatTheHostsOwnReaderTakesNoLongerCountsAgainstTheQueuesSize) {
  // The queue holds at most 256 MiB; 300 MiB pass through the reader.
  ASSERT_EQ(store_.Create("LIB/BIG", {1u << 20, 2, 1}), 0u);
  size_t taken = 0;
  uint64_t id = store_.Subscribe(
      "LIB/BIG", [](std::string_view) { return true; }, [&](Entry) { ++taken; });
  std::string mib(1u << 20, 'm');
  for (int i = 0; i < 300; ++i) ASSERT_EQ(store_.Write("LIB/BIG", "AX", mib), 0u) << "write " << i;
  EXPECT_EQ(taken, 300u);
  store_.Unsubscribe(id);
}

TEST_F(QueueStoreTest, CountAndTakeFreeLeaveEntriesAReaderHolds) {
  Write("FF", "first");
  Write("FF", "second");
  Write("FG", "other key");
  auto held = Read(7, "FF", QLXDQ_ORDER_EQ);
  ASSERT_EQ(held->data, "first");
  EXPECT_EQ(store_.Count("LIB/Q", "FF"), 1u);
  std::string queue;
  const Entry* entry = store_.Held(7, held->entry_id, &queue);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->data, "first");
  EXPECT_EQ(queue, "LIB/Q");
  EXPECT_EQ(store_.Held(8, held->entry_id, &queue), nullptr);  // another reader's
  ASSERT_TRUE(store_.TakeFree("LIB/Q", "FF"));                 // "second", not the held one
  EXPECT_FALSE(store_.TakeFree("LIB/Q", "FF"));
  store_.Release(7, held->entry_id);
  EXPECT_EQ(store_.Count("LIB/Q", "FF"), 1u);
  EXPECT_EQ(Take("FF", QLXDQ_ORDER_EQ), "first");
  EXPECT_EQ(Take("FG", QLXDQ_ORDER_EQ), "other key");
}

}  // namespace
}  // namespace zel::host
