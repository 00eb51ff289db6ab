#include "services/dataqueue/dq_client.h"

#include <cstring>

#include "wire/protocol.h"
#include "services/dataqueue.h"

namespace zel::qlx {
namespace {

constexpr Millis kConnectTimeout{10'000};
// A host that leaves a request other than a waiting read unanswered this
// long is taken as gone: the connection is dropped, not waited on forever.
constexpr Millis kCallTimeout{30'000};

// The entry id of a successful read reply; 0 when the body is too short.
uint64_t EntryId(const std::string& body) {
  if (body.size() < sizeof(wire::DqReadReply)) return 0;
  wire::DqReadReply reply;
  std::memcpy(&reply, body.data(), sizeof reply);
  return reply.entry_id.get();
}

}  // namespace

std::shared_ptr<DqClient> DqClient::Connect(const std::string& address, uint32_t& rc,
                                            std::string& why) {
  std::unique_ptr<Socket> socket = Socket::Connect(address, kConnectTimeout, why);
  if (!socket) {
    rc = QLXDQ_RC_CONNECTION;
    return nullptr;
  }
  wire::DqHello hello{};
  std::memcpy(hello.magic, wire::kDqMagic, sizeof hello.magic);
  hello.version.set(wire::kDqVersion);
  hello.role.set(wire::kRoleDataQueue);
  wire::DqHello answer{};
  if (!socket->SendAll(std::string_view(reinterpret_cast<const char*>(&hello), sizeof hello),
                       why) ||
      !socket->ReceiveExact(&answer, sizeof answer, kConnectTimeout, why)) {
    rc = QLXDQ_RC_REFUSED;
    why = "data-queue service of " + address + ": " + why;
    return nullptr;
  }
  if (std::memcmp(answer.magic, wire::kDqMagic, 4) != 0 || answer.role.get() != 0) {
    rc = QLXDQ_RC_REFUSED;
    why = "data-queue service of " + address + " refused protocol version 1";
    return nullptr;
  }
  rc = QLXDQ_RC_OK;
  return std::shared_ptr<DqClient>(new DqClient(std::move(socket)));
}

DqClient::DqClient(std::unique_ptr<Socket> socket) : socket_(std::move(socket)) {
  receiver_ = std::thread([this] { ReceiveLoop(); });
}

DqClient::~DqClient() {
  Break();
  receiver_.join();
}

uint32_t DqClient::NextId() {
  std::lock_guard lock(mutex_);
  uint32_t id = next_id_++;
  if (next_id_ == 0) next_id_ = 1;
  return id;
}

bool DqClient::SendFrame(uint16_t type, uint32_t request_id, std::string_view body) {
  wire::DqFrameHeader header{};
  header.length.set(sizeof header + body.size());
  header.type.set(type);
  header.request_id.set(request_id);
  std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
  frame.append(body);
  std::string why;
  std::lock_guard lock(send_mutex_);
  if (socket_->SendAll(frame, why)) return true;
  Break();
  return false;
}

bool DqClient::SendId(uint16_t type, uint64_t id) {
  wire::DqIdBody body{};
  body.id.set(id);
  return SendFrame(type, 0, std::string_view(reinterpret_cast<const char*>(&body), sizeof body));
}

uint32_t DqClient::Call(uint16_t type, std::string_view body, std::string* reply) {
  if (!alive_) return QLXDQ_RC_CONNECTION;
  auto pending = std::make_shared<PendingReply>();
  uint32_t id = NextId();
  {
    std::lock_guard lock(mutex_);
    pending_[id] = pending;
  }
  if (!SendFrame(type, id, body)) return QLXDQ_RC_CONNECTION;
  std::unique_lock lock(mutex_);
  if (!replied_.wait_for(lock, kCallTimeout, [&] { return pending->done; })) {
    lock.unlock();
    Break();
    return QLXDQ_RC_CONNECTION;
  }
  if (reply != nullptr) *reply = std::move(pending->body);
  return pending->status;
}

std::shared_ptr<PendingReply> DqClient::StartRead(std::string_view body, uint32_t& request_id) {
  if (!alive_) return nullptr;
  auto pending = std::make_shared<PendingReply>();
  request_id = NextId();
  {
    std::lock_guard lock(mutex_);
    pending_[request_id] = pending;
  }
  return SendFrame(wire::kRead, request_id, body) ? pending : nullptr;
}

bool DqClient::WaitRead(const std::shared_ptr<PendingReply>& read,
                        std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return replied_.wait_for(lock, timeout, [&] { return read->done; });
}

void DqClient::Abandon(const std::shared_ptr<PendingReply>& read, uint32_t request_id) {
  uint64_t give_back = 0;
  bool waiting = false;
  {
    std::lock_guard lock(mutex_);
    if (read->abandoned) return;
    read->abandoned = true;
    if (read->done && read->status == QLXDQ_RC_OK) give_back = EntryId(read->body);
    waiting = !read->done;
  }
  if (give_back != 0) Release(give_back);
  if (waiting) {
    wire::DqIdBody body{};
    body.id.set(request_id);
    SendFrame(wire::kCancel, 0,
              std::string_view(reinterpret_cast<const char*>(&body), sizeof body));
  }
}

uint32_t DqClient::Present(const std::string& token) {
  {
    std::lock_guard lock(mutex_);
    if (presented_.count(token) != 0) return QLXDQ_RC_OK;
  }
  uint32_t rc = Call(wire::kToken, token, nullptr);
  if (rc == QLXDQ_RC_OK) {
    std::lock_guard lock(mutex_);
    presented_.insert(token);
  }
  return rc;
}

uint32_t DqClient::Open(std::string_view name, std::string* reply) {
  {
    std::lock_guard lock(mutex_);
    if (auto it = opened_.find(name); it != opened_.end()) {
      *reply = it->second;
      return QLXDQ_RC_OK;
    }
  }
  uint32_t rc = Call(wire::kOpen, name, reply);
  if (rc == QLXDQ_RC_OK) {
    std::lock_guard lock(mutex_);
    opened_.insert_or_assign(std::string(name), *reply);
  }
  return rc;
}

void DqClient::Forget(std::string_view name) {
  std::lock_guard lock(mutex_);
  if (auto it = opened_.find(name); it != opened_.end()) opened_.erase(it);
}

bool DqClient::Commit(uint64_t entry_id) { return SendId(wire::kCommit, entry_id); }

void DqClient::Release(uint64_t entry_id) { SendId(wire::kRelease, entry_id); }

void DqClient::ReceiveLoop() {
  for (;;) {
    std::string why;
    wire::DqFrameHeader header{};
    if (!socket_->ReceiveExact(&header, sizeof header, Millis(-1), why)) break;
    size_t length = header.length.get();
    if (length < sizeof header || length > wire::kMaxDqFrame) break;
    std::string body(length - sizeof header, '\0');
    if (!socket_->ReceiveExact(body.data(), body.size(), Millis(-1), why)) break;
    uint32_t id = static_cast<uint32_t>(header.request_id.get());
    uint32_t status = static_cast<uint32_t>(header.status.get());
    bool entry = header.type.get() == wire::kRead && status == QLXDQ_RC_OK;
    uint64_t give_back = 0;
    {
      std::lock_guard lock(mutex_);
      auto it = pending_.find(id);
      if (it == pending_.end() || it->second->abandoned) {
        // Nobody takes this entry any more: it goes back to the queue.
        if (entry) give_back = EntryId(body);
      } else {
        it->second->status = status;
        it->second->body = std::move(body);
      }
      if (it != pending_.end()) {
        it->second->done = true;
        pending_.erase(it);
      }
    }
    replied_.notify_all();
    if (give_back != 0) Release(give_back);
  }
  Break();
}

void DqClient::Break() {
  alive_ = false;
  socket_->Shutdown();
  {
    std::lock_guard lock(mutex_);
    for (auto& [id, pending] : pending_) {
      pending->done = true;
      pending->status = QLXDQ_RC_CONNECTION;
    }
    pending_.clear();
  }
  replied_.notify_all();
}

}  // namespace zel::qlx
