// The host's keyed data queues: entries kept in arrival order, reads that
// wait for a matching entry, and reservations that make a read take an entry
// exactly once even when its reader gives up.
//
// Owned and used by the server's single thread only; callbacks run on it
// too, never while the store holds an iterator, so a callback may write,
// read or subscribe again.
#ifndef ZEL_HOST_QUEUE_STORE_H
#define ZEL_HOST_QUEUE_STORE_H

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/timers.h"

namespace zel::host {

struct QueueAttributes {
  uint32_t max_record_length = 0;
  uint16_t key_size = 0;
  uint16_t authority = 0;
};

struct Entry {
  uint64_t id = 0;
  std::string key;
  std::string data;
  uint64_t reserved_by = 0;  // owner holding it after a read; 0 when free
};

// Who asks: a connection's id, or 0 for the host's own programs.
using Owner = uint64_t;

struct ReadRequest {
  std::string key;
  uint16_t order = 0;        // QLXDQ_ORDER_*
  uint32_t buffer_size = 0;  // longest entry the reader takes
  int64_t wait_seconds = 0;  // < 0: without limit
  uint32_t tag = 0;          // the reader's own id of the read, for Cancel
};

// Result of a read: a status, and the entry (reserved for the reader) when
// the status is 0.
using Delivery = std::function<void(uint32_t status, const Entry* entry)>;

struct QueueSummary {
  std::string name;  // "LIBRARY/QUEUE"
  QueueAttributes attributes;
  size_t entries = 0;
  size_t reserved = 0;
  size_t waiting_reads = 0;
  size_t subscribers = 0;
};

class QueueStore {
 public:
  explicit QueueStore(Timers& timers) : timers_(timers) {}

  // Queue names are "LIBRARY/QUEUE". Results are 0 or QLXDQ_RC_* codes.
  uint32_t Create(const std::string& name, const QueueAttributes& attributes);
  uint32_t Delete(const std::string& name);
  const QueueAttributes* Find(const std::string& name) const;

  // Stores an entry, or hands it at once to the oldest read that matches.
  uint32_t Write(const std::string& name, std::string key, std::string data);

  // A reader's keyed read: `deliver` runs exactly once, now or later.
  void Read(const std::string& name, Owner owner, const ReadRequest& wanted, Delivery deliver);
  // Ends a waiting read of `owner` with QLXDQ_RC_CANCELLED; false when no
  // such read waits.
  bool Cancel(Owner owner, uint32_t tag);
  // The reader keeps the entry it was delivered (it leaves the queue) or
  // gives it back (it is offered again from its old place).
  void Commit(Owner owner, uint64_t entry_id);
  void Release(Owner owner, uint64_t entry_id);
  // A reader that ends: its waits end silently, its entries are given back.
  void DropOwner(Owner owner);
  // The entry `owner` was delivered and still holds, and the queue it is in;
  // null when it holds no such entry.
  const Entry* Held(Owner owner, uint64_t entry_id, std::string* queue_name);

  // Free entries of `name` whose key is exactly `key`.
  size_t Count(const std::string& name, std::string_view key) const;
  // Removes the oldest free entry keyed `key`; false when there is none.
  bool TakeFree(const std::string& name, std::string_view key);

  // The host's own reader: every entry whose key `match`es is taken and
  // handed to `take`, those already stored first; it never times out. Ids
  // are never 0; Unsubscribe of an unknown id does nothing.
  using Match = std::function<bool(std::string_view key)>;
  using Take = std::function<void(Entry entry)>;
  uint64_t Subscribe(const std::string& name, Match match, Take take);
  void Unsubscribe(uint64_t id);
  bool Subscribed(uint64_t id) const;

  std::vector<QueueSummary> Summaries() const;

 private:
  struct Waiter {
    uint64_t id = 0;
    Owner owner = 0;
    ReadRequest wanted;
    Delivery deliver;
    Timers::Id timer = 0;
  };
  struct Subscriber {
    uint64_t id = 0;
    Match match;
    Take take;
  };
  struct Queue {
    QueueAttributes attributes;
    std::list<Entry> entries;
    size_t bytes = 0;
    std::list<Waiter> waiters;  // oldest first
    std::vector<Subscriber> subscribers;
  };

  static bool KeyMatches(uint16_t order, std::string_view entry_key, std::string_view read_key);
  void Offer(const std::string& name, std::list<Entry>::iterator entry);
  std::list<Entry>::iterator FirstFree(Queue& queue, const ReadRequest& wanted);
  void Expire(const std::string& name, uint64_t waiter_id);
  void Remove(Queue& queue, std::list<Entry>::iterator entry);
  // Takes `entry` off `queue` for a subscriber: its bytes leave the
  // queue's count, which a move would have emptied first.
  Entry Extract(Queue& queue, std::list<Entry>::iterator entry);
  std::list<Entry>::iterator Reserved(Owner owner, uint64_t entry_id, Queue** queue);

  Timers& timers_;
  std::map<std::string, Queue> queues_;
  // Reserved entries by id: the queue they are in.
  std::unordered_map<uint64_t, std::string> reserved_;
  uint64_t next_entry_id_ = 1;
  uint64_t next_waiter_id_ = 1;
};

}  // namespace zel::host

#endif  // ZEL_HOST_QUEUE_STORE_H
