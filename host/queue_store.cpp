#include "host/queue_store.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "wire/dataqueue_codes.h"

namespace zel::host {
namespace {

// Bytes one queue may hold; a writer past it is refused rather than letting
// one runaway sender exhaust the host.
constexpr size_t kMaxQueueBytes = size_t{256} << 20;

}  // namespace

bool QueueStore::KeyMatches(uint16_t order, std::string_view entry_key, std::string_view read_key) {
  int c = entry_key.compare(read_key);
  switch (order) {
    case QLXDQ_ORDER_EQ:
      return c == 0;
    case QLXDQ_ORDER_NE:
      return c != 0;
    case QLXDQ_ORDER_GT:
      return c > 0;
    case QLXDQ_ORDER_GE:
      return c >= 0;
    case QLXDQ_ORDER_LT:
      return c < 0;
    case QLXDQ_ORDER_LE:
      return c <= 0;
    default:
      return false;
  }
}

uint32_t QueueStore::Create(const std::string& name, const QueueAttributes& attributes) {
  if (queues_.count(name) != 0) return QLXDQ_RC_EXISTS;
  queues_[name].attributes = attributes;
  return QLXDQ_RC_OK;
}

uint32_t QueueStore::Delete(const std::string& name) {
  auto it = queues_.find(name);
  if (it == queues_.end()) return QLXDQ_RC_NOT_FOUND;
  Queue gone = std::move(it->second);
  queues_.erase(it);
  for (const Entry& entry : gone.entries) reserved_.erase(entry.id);
  for (Waiter& waiter : gone.waiters) {
    if (waiter.timer != 0) timers_.Cancel(waiter.timer);
  }
  for (Waiter& waiter : gone.waiters) waiter.deliver(QLXDQ_RC_CANCELLED, nullptr);
  return QLXDQ_RC_OK;
}

const QueueAttributes* QueueStore::Find(const std::string& name) const {
  auto it = queues_.find(name);
  return it == queues_.end() ? nullptr : &it->second.attributes;
}

uint32_t QueueStore::Write(const std::string& name, std::string key, std::string data) {
  auto it = queues_.find(name);
  if (it == queues_.end()) return QLXDQ_RC_NOT_FOUND;
  Queue& queue = it->second;
  if (key.size() != queue.attributes.key_size) return QLXDQ_RC_KEY_SIZE;
  if (data.size() > queue.attributes.max_record_length) return QLXDQ_RC_TOO_LONG;
  if (queue.bytes + data.size() > kMaxQueueBytes) return QLXDQ_RC_NO_MEMORY;
  queue.bytes += data.size();
  queue.entries.push_back(Entry{next_entry_id_++, std::move(key), std::move(data), 0});
  Offer(name, std::prev(queue.entries.end()));
  return QLXDQ_RC_OK;
}

void QueueStore::Offer(const std::string& name, std::list<Entry>::iterator entry) {
  Queue& queue = queues_.at(name);
  for (Subscriber& subscriber : queue.subscribers) {
    if (!subscriber.match(entry->key)) continue;
    Take take = subscriber.take;
    take(Extract(queue, entry));
    return;
  }
  std::vector<Waiter> too_small;
  std::optional<Waiter> winner;
  for (auto w = queue.waiters.begin(); w != queue.waiters.end();) {
    if (!KeyMatches(w->wanted.order, entry->key, w->wanted.key)) {
      ++w;
      continue;
    }
    bool fits = entry->data.size() <= w->wanted.buffer_size;
    if (w->timer != 0) timers_.Cancel(w->timer);
    if (fits) {
      winner.emplace(std::move(*w));
      queue.waiters.erase(w);
      break;
    }
    too_small.push_back(std::move(*w));
    w = queue.waiters.erase(w);
  }
  if (winner) {
    entry->reserved_by = winner->owner;
    reserved_[entry->id] = name;
  }
  for (Waiter& waiter : too_small) waiter.deliver(QLXDQ_RC_BUFFER_TOO_SMALL, nullptr);
  if (winner) winner->deliver(QLXDQ_RC_OK, &*entry);
}

std::list<Entry>::iterator QueueStore::FirstFree(Queue& queue, const ReadRequest& wanted) {
  return std::find_if(queue.entries.begin(), queue.entries.end(), [&](const Entry& entry) {
    return entry.reserved_by == 0 && KeyMatches(wanted.order, entry.key, wanted.key);
  });
}

void QueueStore::Read(const std::string& name, Owner owner, const ReadRequest& wanted,
                      Delivery deliver) {
  auto it = queues_.find(name);
  if (it == queues_.end()) return deliver(QLXDQ_RC_NOT_FOUND, nullptr);
  Queue& queue = it->second;
  if (wanted.key.size() != queue.attributes.key_size) return deliver(QLXDQ_RC_KEY_SIZE, nullptr);
  if (wanted.order < QLXDQ_ORDER_EQ || wanted.order > QLXDQ_ORDER_LE) {
    return deliver(QLXDQ_RC_INVALID_PARAMETER, nullptr);
  }
  auto entry = FirstFree(queue, wanted);
  if (entry != queue.entries.end()) {
    if (entry->data.size() > wanted.buffer_size) return deliver(QLXDQ_RC_BUFFER_TOO_SMALL, nullptr);
    entry->reserved_by = owner;
    reserved_[entry->id] = name;
    return deliver(QLXDQ_RC_OK, &*entry);
  }
  if (wanted.wait_seconds == 0) return deliver(QLXDQ_RC_TIMEOUT, nullptr);
  Waiter waiter{next_waiter_id_++, owner, wanted, std::move(deliver), 0};
  if (wanted.wait_seconds > 0) {
    uint64_t id = waiter.id;
    waiter.timer = timers_.After(std::chrono::seconds(wanted.wait_seconds),
                                 [this, name, id] { Expire(name, id); });
  }
  queue.waiters.push_back(std::move(waiter));
}

void QueueStore::Expire(const std::string& name, uint64_t waiter_id) {
  auto it = queues_.find(name);
  if (it == queues_.end()) return;
  auto& waiters = it->second.waiters;
  auto w = std::find_if(waiters.begin(), waiters.end(),
                        [&](const Waiter& waiter) { return waiter.id == waiter_id; });
  if (w == waiters.end()) return;
  Delivery deliver = std::move(w->deliver);
  waiters.erase(w);
  deliver(QLXDQ_RC_TIMEOUT, nullptr);
}

bool QueueStore::Cancel(Owner owner, uint32_t tag) {
  for (auto& [name, queue] : queues_) {
    for (auto w = queue.waiters.begin(); w != queue.waiters.end(); ++w) {
      if (w->owner != owner || w->wanted.tag != tag) continue;
      if (w->timer != 0) timers_.Cancel(w->timer);
      Delivery deliver = std::move(w->deliver);
      queue.waiters.erase(w);
      deliver(QLXDQ_RC_CANCELLED, nullptr);
      return true;
    }
  }
  return false;
}

std::list<Entry>::iterator QueueStore::Reserved(Owner owner, uint64_t entry_id, Queue** queue) {
  *queue = nullptr;
  auto r = reserved_.find(entry_id);
  if (r == reserved_.end()) return {};
  Queue& q = queues_.at(r->second);
  auto entry = std::find_if(q.entries.begin(), q.entries.end(),
                            [&](const Entry& e) { return e.id == entry_id; });
  if (entry == q.entries.end() || entry->reserved_by != owner) return {};
  *queue = &q;
  return entry;
}

void QueueStore::Commit(Owner owner, uint64_t entry_id) {
  Queue* queue = nullptr;
  auto entry = Reserved(owner, entry_id, &queue);
  if (queue == nullptr) return;
  reserved_.erase(entry_id);
  Remove(*queue, entry);
}

void QueueStore::Release(Owner owner, uint64_t entry_id) {
  Queue* queue = nullptr;
  auto entry = Reserved(owner, entry_id, &queue);
  if (queue == nullptr) return;
  std::string name = reserved_.at(entry_id);
  reserved_.erase(entry_id);
  entry->reserved_by = 0;
  Offer(name, entry);
}

void QueueStore::DropOwner(Owner owner) {
  for (auto& [name, queue] : queues_) {
    for (auto w = queue.waiters.begin(); w != queue.waiters.end();) {
      if (w->owner != owner) {
        ++w;
        continue;
      }
      if (w->timer != 0) timers_.Cancel(w->timer);
      w = queue.waiters.erase(w);
    }
  }
  std::vector<uint64_t> held;
  for (const auto& [id, name] : reserved_) {
    Queue* queue = nullptr;
    Reserved(owner, id, &queue);
    if (queue != nullptr) held.push_back(id);
  }
  std::sort(held.begin(), held.end());  // give back in arrival order
  for (uint64_t id : held) Release(owner, id);
}

const Entry* QueueStore::Held(Owner owner, uint64_t entry_id, std::string* queue_name) {
  Queue* queue = nullptr;
  auto entry = Reserved(owner, entry_id, &queue);
  if (queue == nullptr) return nullptr;
  *queue_name = reserved_.at(entry_id);
  return &*entry;
}

size_t QueueStore::Count(const std::string& name, std::string_view key) const {
  auto it = queues_.find(name);
  if (it == queues_.end()) return 0;
  return std::count_if(it->second.entries.begin(), it->second.entries.end(),
                       [&](const Entry& e) { return e.reserved_by == 0 && e.key == key; });
}

bool QueueStore::TakeFree(const std::string& name, std::string_view key) {
  auto it = queues_.find(name);
  if (it == queues_.end()) return false;
  auto& entries = it->second.entries;
  auto entry = std::find_if(entries.begin(), entries.end(),
                            [&](const Entry& e) { return e.reserved_by == 0 && e.key == key; });
  if (entry == entries.end()) return false;
  Remove(it->second, entry);
  return true;
}

uint64_t QueueStore::Subscribe(const std::string& name, Match match, Take take) {
  auto it = queues_.find(name);
  if (it == queues_.end()) return 0;
  uint64_t id = next_waiter_id_++;
  it->second.subscribers.push_back(Subscriber{id, match, take});
  // Entries written before the subscriber came are its too, oldest first.
  for (;;) {
    auto q = queues_.find(name);
    if (q == queues_.end()) break;
    auto& entries = q->second.entries;
    auto entry = std::find_if(entries.begin(), entries.end(),
                              [&](const Entry& e) { return e.reserved_by == 0 && match(e.key); });
    if (entry == entries.end()) break;
    take(Extract(q->second, entry));
  }
  return id;
}

void QueueStore::Unsubscribe(uint64_t id) {
  for (auto& [name, queue] : queues_) {
    std::erase_if(queue.subscribers, [&](const Subscriber& s) { return s.id == id; });
  }
}

bool QueueStore::Subscribed(uint64_t id) const {
  for (const auto& [name, queue] : queues_) {
    for (const Subscriber& s : queue.subscribers) {
      if (s.id == id) return true;
    }
  }
  return false;
}

void QueueStore::Remove(Queue& queue, std::list<Entry>::iterator entry) {
  queue.bytes -= entry->data.size();
  queue.entries.erase(entry);
}

Entry QueueStore::Extract(Queue& queue, std::list<Entry>::iterator entry) {
  Entry taken = std::move(*entry);
  queue.bytes -= taken.data.size();
  queue.entries.erase(entry);
  return taken;
}

std::vector<QueueSummary> QueueStore::Summaries() const {
  std::vector<QueueSummary> out;
  for (const auto& [name, queue] : queues_) {
    QueueSummary summary{name, queue.attributes,     queue.entries.size(),
                         0,    queue.waiters.size(), queue.subscribers.size()};
    for (const Entry& entry : queue.entries) summary.reserved += entry.reserved_by != 0;
    out.push_back(summary);
  }
  return out;
}

}  // namespace zel::host
