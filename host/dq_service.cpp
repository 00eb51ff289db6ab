#include "host/dq_service.h"

#include <cstring>

#include "host/ebcdic.h"
#include "wire/names.h"
#include "wire/protocol.h"

namespace zel::host {
namespace {

// "LIBRARY/QUEUE", or empty when either name is not a valid object name.
std::string QueuePath(const wire::DqQueueName& queue) {
  std::string library = wire::UnpadName(queue.library);
  std::string name = wire::UnpadName(queue.name);
  if (!wire::ValidObjectName(library) || !wire::ValidObjectName(name)) return {};
  return library + "/" + name;
}

// A body that is exactly a T.
template <typename T>
bool Body(std::string_view body, T& out) {
  if (body.size() != sizeof(T)) return false;
  std::memcpy(&out, body.data(), sizeof(T));
  return true;
}

unsigned long long LogId(const Connection& conn) {
  return static_cast<unsigned long long>(conn.id);
}

}  // namespace

DataQueueService::DataQueueService(const ServerOptions& options, Log& log, Transport& transport,
                                   QueueStore& store, const SignOnService& signon, Faults& faults)
    : options_(options),
      log_(log),
      transport_(transport),
      store_(store),
      signon_(signon),
      faults_(faults) {}

void DataQueueService::OnFrame(Connection& conn, uint16_t type, uint32_t request_id,
                               std::string_view body) {
  auto answer = [&](uint32_t status) { transport_.SendDq(conn.id, type, request_id, status); };
  switch (type) {
    case wire::kToken:
      return answer(Token(conn, body));
    case wire::kCreate:
      return answer(Create(conn, body));
    case wire::kDelete:
      return answer(Delete(conn, body));
    case wire::kOpen:
      return Open(conn, request_id, body);
    case wire::kWrite:
      if (HoldsWrite(conn, body)) return;
      return answer(Write(conn, body));
    case wire::kRead:
      return Read(conn, request_id, body);
    case wire::kCancel:
    case wire::kCommit:
    case wire::kRelease:
      return Settle(conn, type, body);
    default:
      return answer(Unknown(conn, type));
  }
}

void DataQueueService::End(uint64_t conn_id) {
  store_.DropOwner(conn_id);
  rights_.erase(conn_id);
}

uint32_t DataQueueService::Refused(const Connection& conn, const char* what,
                                   const std::string& path) {
  log_.Write("connection %llu: %s %s refused: no token of its PWS", LogId(conn), what,
             path.c_str());
  return QLXDQ_RC_REFUSED;
}

uint32_t DataQueueService::Token(Connection& conn, std::string_view token) {
  uint64_t owner = signon_.TokenOwner(token);
  if (owner == 0) {
    log_.Write("connection %llu: unknown data-queue token refused", LogId(conn));
    return QLXDQ_RC_REFUSED;
  }
  rights_[conn.id].token_owners.insert(owner);
  log_.Write("connection %llu: token of sign-on connection %llu", LogId(conn),
             static_cast<unsigned long long>(owner));
  return 0;
}

// A queue is open to the connections that presented the token of the PWS it
// was given to. It stays open to those that used it when its PWS ends (the
// manager deletes the queue after it has signed off) until the name goes to
// another PWS.
bool DataQueueService::Allowed(Connection& conn, const std::string& path) {
  Rights& rights = rights_[conn.id];
  uint64_t owner = signon_.QueueOwner(path);
  if (owner == 0) return rights.granted.count(path) != 0;
  if (rights.token_owners.count(owner) == 0) return false;
  rights.granted.insert(path);
  return true;
}

uint32_t DataQueueService::Create(Connection& conn, std::string_view body) {
  wire::DqCreateBody create;
  if (!Body(body, create)) return QLXDQ_RC_PROTOCOL;
  std::string path = QueuePath(create.queue);
  if (!path.empty() && !Allowed(conn, path)) return Refused(conn, "create queue", path);
  QueueAttributes attributes{static_cast<uint32_t>(create.max_record_length.get()),
                             static_cast<uint16_t>(create.key_size.get()),
                             static_cast<uint16_t>(create.authority.get())};
  bool valid = !path.empty() && attributes.max_record_length > 0 &&
               attributes.max_record_length <= wire::kMaxRecordLength && attributes.key_size > 0 &&
               attributes.key_size <= wire::kMaxKeyLength &&
               create.order.get() == QLXDQ_QUEUE_KEYED;
  uint32_t rc = valid ? store_.Create(path, attributes) : QLXDQ_RC_INVALID_PARAMETER;
  log_.Write("connection %llu: create queue %s (record %u, key %u): rc %u", LogId(conn),
             path.c_str(), attributes.max_record_length, attributes.key_size, rc);
  return rc;
}

uint32_t DataQueueService::Delete(Connection& conn, std::string_view body) {
  wire::DqQueueName queue;
  if (!Body(body, queue)) return QLXDQ_RC_PROTOCOL;
  std::string path = QueuePath(queue);
  if (!path.empty() && !Allowed(conn, path)) return Refused(conn, "delete queue", path);
  uint32_t rc = path.empty() ? QLXDQ_RC_INVALID_PARAMETER : store_.Delete(path);
  log_.Write("connection %llu: delete queue %s: rc %u", LogId(conn), path.c_str(), rc);
  return rc;
}

uint32_t DataQueueService::Write(Connection& conn, std::string_view body) {
  wire::DqWriteBody write;
  if (body.size() < sizeof write) return QLXDQ_RC_PROTOCOL;
  std::memcpy(&write, body.data(), sizeof write);
  size_t key_length = write.key_length.get();
  size_t data_length = write.data_length.get();
  if (body.size() != sizeof write + key_length + data_length) return QLXDQ_RC_PROTOCOL;
  std::string path = QueuePath(write.queue);
  if (path.empty()) return QLXDQ_RC_INVALID_PARAMETER;
  if (!Allowed(conn, path)) return Refused(conn, "write to", path);
  std::string key(body.substr(sizeof write, key_length));
  std::string shown_key = FromEbcdic(key);
  uint32_t rc =
      store_.Write(path, std::move(key), std::string(body.substr(sizeof write + key_length)));
  if (rc != 0 || options_.verbose) {
    log_.Write("connection %llu: write %zu bytes to %s: rc %u, key %s", LogId(conn), data_length,
               path.c_str(), rc, shown_key.c_str());
  }
  return rc;
}

bool DataQueueService::HoldsWrite(const Connection& conn, std::string_view body) {
  wire::DqWriteBody write;
  if (faults_.hold_write.empty() || body.size() < sizeof write) return false;
  std::memcpy(&write, body.data(), sizeof write);
  size_t key_length = write.key_length.get();
  if (body.size() < sizeof write + key_length) return false;
  std::string key = FromEbcdic(body.substr(sizeof write, key_length));
  if (key.rfind(faults_.hold_write, 0) != 0) return false;
  faults_.hold_write.clear();
  log_.Write("fault: connection %llu: write to %s, key %s, held unanswered", LogId(conn),
             QueuePath(write.queue).c_str(), key.c_str());
  return true;
}

uint32_t DataQueueService::Unknown(const Connection& conn, uint16_t type) {
  log_.Write("connection %llu: unknown data-queue message type %u", LogId(conn), type);
  return QLXDQ_RC_PROTOCOL;
}

// Answered with the queue's attributes.
void DataQueueService::Open(Connection& conn, uint32_t request_id, std::string_view body) {
  auto answer = [&](uint32_t status, std::string_view reply = {}) {
    transport_.SendDq(conn.id, wire::kOpen, request_id, status, reply);
  };
  wire::DqQueueName queue;
  if (!Body(body, queue)) return answer(QLXDQ_RC_PROTOCOL);
  std::string path = QueuePath(queue);
  if (!path.empty() && !Allowed(conn, path)) return answer(Refused(conn, "open queue", path));
  const QueueAttributes* attributes = path.empty() ? nullptr : store_.Find(path);
  if (attributes == nullptr) {
    return answer(path.empty() ? QLXDQ_RC_INVALID_PARAMETER : QLXDQ_RC_NOT_FOUND);
  }
  wire::DqOpenReply open{};
  open.max_record_length.set(attributes->max_record_length);
  open.key_size.set(attributes->key_size);
  open.order.set(QLXDQ_QUEUE_KEYED);
  if (options_.verbose) log_.Write("connection %llu: open queue %s", LogId(conn), path.c_str());
  answer(0, std::string_view(reinterpret_cast<const char*>(&open), sizeof open));
}

// Answered when an entry matches, when the wait runs out or when the read is
// cancelled; the delivered entry stays reserved for the connection.
void DataQueueService::Read(Connection& conn, uint32_t request_id, std::string_view body) {
  uint64_t conn_id = conn.id;
  auto fail = [&](uint32_t status) { transport_.SendDq(conn_id, wire::kRead, request_id, status); };
  wire::DqReadBody read;
  if (body.size() < sizeof read) return fail(QLXDQ_RC_PROTOCOL);
  std::memcpy(&read, body.data(), sizeof read);
  size_t key_length = read.key_length.get();
  if (body.size() != sizeof read + key_length) return fail(QLXDQ_RC_PROTOCOL);
  std::string path = QueuePath(read.queue);
  if (path.empty()) return fail(QLXDQ_RC_INVALID_PARAMETER);
  if (!Allowed(conn, path)) return fail(Refused(conn, "read from", path));
  ReadRequest wanted;
  wanted.key = std::string(body.substr(sizeof read, key_length));
  wanted.order = static_cast<uint16_t>(read.search_order.get());
  wanted.buffer_size = static_cast<uint32_t>(read.buffer_size.get());
  uint32_t wait = static_cast<uint32_t>(read.wait_seconds.get());
  wanted.wait_seconds = wait == 0xFFFFFFFFu ? -1 : static_cast<int64_t>(wait);
  wanted.tag = request_id;
  if (options_.verbose) {
    log_.Write("connection %llu: read %u from %s, order %u, wait %lld", LogId(conn), request_id,
               path.c_str(), wanted.order, static_cast<long long>(wanted.wait_seconds));
  }
  store_.Read(path, conn_id, wanted, [this, conn_id, request_id](uint32_t status, const Entry* e) {
    if (options_.verbose) {
      log_.Write("connection %llu: read %u ends: rc %u, %zu bytes%s%s",
                 static_cast<unsigned long long>(conn_id), request_id, status,
                 e ? e->data.size() : size_t{0}, e ? ", key " : "",
                 e ? FromEbcdic(e->key).c_str() : "");
    }
    if (e == nullptr) return transport_.SendDq(conn_id, wire::kRead, request_id, status);
    wire::DqReadReply reply{};
    reply.entry_id.set(e->id);
    reply.key_length.set(e->key.size());
    reply.data_length.set(e->data.size());
    std::string out(reinterpret_cast<const char*>(&reply), sizeof reply);
    out.append(e->key);
    out.append(e->data);
    transport_.SendDq(conn_id, wire::kRead, request_id, 0, out);
  });
}

// kCancel, kCommit and kRelease: never answered, so a malformed one is only
// logged.
void DataQueueService::Settle(Connection& conn, uint16_t type, std::string_view body) {
  wire::DqIdBody which;
  if (!Body(body, which)) {
    log_.Write("connection %llu: malformed message of type %u ignored", LogId(conn), type);
    return;
  }
  if (type == wire::kCancel) {
    store_.Cancel(conn.id, static_cast<uint32_t>(which.id.get()));
  } else if (type == wire::kCommit) {
    std::string path;
    bool drop = DropsMidReply(conn, which.id.get(), &path);
    store_.Commit(conn.id, which.id.get());
    if (drop) DropMidReply(conn, path);
  } else {
    store_.Release(conn.id, which.id.get());
  }
}

bool DataQueueService::DropsMidReply(const Connection& conn, uint64_t entry_id, std::string* path) {
  if (!faults_.drop_mid_reply) return false;
  const Entry* entry = store_.Held(conn.id, entry_id, path);
  if (entry == nullptr || entry->key.empty() || entry->key[0] != ToEbcdic("S")[0] ||
      entry->data.size() < sizeof(wire::ReturnEntryHeader)) {
    return false;
  }
  wire::ReturnEntryHeader header;
  std::memcpy(&header, entry->data.data(), sizeof header);
  return FromEbcdic(std::string_view(header.msg_id, sizeof header.msg_id)) ==
             wire::kDataReturnMsgId &&
         header.bytes_left.get() != 0 &&
         header.block_length.get() + header.bytes_left.get() == header.total_length.get();
}

// The whole PWS goes: the reader, its sign-on connection and every
// data-queue connection that uses its queue.
void DataQueueService::DropMidReply(Connection& conn, const std::string& path) {
  faults_.drop_mid_reply = false;
  transport_.Close(conn, "fault: dropped after the first entry of a reply");
  uint64_t owner = signon_.QueueOwner(path);
  const char* why = "fault: its PWS was dropped in the middle of a reply";
  if (Connection* pws = transport_.Find(owner)) transport_.Close(*pws, why);
  for (const auto& [id, rights] : rights_) {
    if (rights.granted.count(path) == 0 && rights.token_owners.count(owner) == 0) continue;
    if (Connection* other = transport_.Find(id)) transport_.Close(*other, why);
  }
}

}  // namespace zel::host
