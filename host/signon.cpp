#include "host/signon.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/ebcdic.h"
#include "host/random_token.h"
#include "wire/names.h"
#include "wire/protocol.h"

namespace zel::host {
namespace {

// A fixed EBCDIC field up to its first NUL, in ASCII.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  size_t length = strnlen(field, N);
  return FromEbcdic(std::string_view(field, length));
}

// Copies `text` in EBCDIC into a field, NUL terminated; false when too long.
template <size_t N>
bool SetField(char (&field)[N], std::string_view text) {
  std::memset(field, 0, N);
  if (text.size() + 1 > N) return false;
  std::string ebcdic = ToEbcdic(text);
  std::memcpy(field, ebcdic.data(), ebcdic.size());
  return true;
}

}  // namespace

SignOnService::SignOnService(const ServerOptions& options, Log& log, Transport& transport,
                             QueueStore& store, Timers& timers, Faults& faults)
    : options_(options),
      log_(log),
      transport_(transport),
      store_(store),
      timers_(timers),
      faults_(faults) {}

void SignOnService::Begin(uint64_t conn_id) { sessions_[conn_id].user = options_.default_user; }

void SignOnService::OnFrame(Connection& conn, uint8_t kind, std::string_view payload) {
  if (kind == wire::kFramePreamble) return OnPreamble(conn, payload);
  if (kind == wire::kFrameToken) return OnTokenRequest(conn, payload);
  OnInitBuffer(conn, payload);
}

void SignOnService::End(uint64_t conn_id) {
  auto it = sessions_.find(conn_id);
  if (it == sessions_.end()) return;
  EndSession(it->second);
  if (!it->second.token.empty()) tokens_.erase(it->second.token);
  sessions_.erase(it);
}

SignOnService::Session* SignOnService::Find(uint64_t conn_id) {
  auto it = sessions_.find(conn_id);
  return it == sessions_.end() ? nullptr : &it->second;
}

uint64_t SignOnService::TokenOwner(std::string_view token) const {
  auto it = tokens_.find(std::string(token));
  return it == tokens_.end() ? 0 : it->second;
}

uint64_t SignOnService::QueueOwner(const std::string& path) const {
  auto it = queue_owners_.find(path);
  return it == queue_owners_.end() ? 0 : it->second;
}

std::string SignOnService::StationPath(const std::string& queue_name) const {
  return options_.library + "/" + queue_name;
}

void SignOnService::OnPreamble(Connection& conn, std::string_view payload) {
  if (payload.size() != sizeof(wire::SignOnRequest)) {
    return transport_.Close(conn,
                            "sign-on preamble of " + std::to_string(payload.size()) + " bytes");
  }
  wire::SignOnRequest request;
  std::memcpy(&request, payload.data(), sizeof request);
  std::string user(request.user, strnlen(request.user, sizeof request.user));
  for (char& c : user) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  Session& session = sessions_.at(conn.id);
  wire::SignOnReply reply{};
  if (!user.empty() && !wire::ValidObjectName(user)) {
    reply.rc.set(1);
    log_.Write("connection %llu: sign-on refused, bad user ID", (unsigned long long)conn.id);
  } else {
    if (!user.empty()) session.user = user;
    log_.Write("connection %llu: signed on as %s", (unsigned long long)conn.id,
               session.user.c_str());
  }
  reply.connection_id.set(static_cast<uint32_t>(conn.id));
  std::memcpy(reply.user, session.user.data(), session.user.size());
  transport_.SendSignOn(conn.id, wire::kFramePreamble, &reply, sizeof reply);
  if (reply.rc.get() != 0) transport_.Close(conn, "sign-on refused");
}

void SignOnService::OnInitBuffer(Connection& conn, std::string_view payload) {
  if (payload.size() != wire::kInitBufferSize) {
    return transport_.Close(conn,
                            "init buffer of " + std::to_string(payload.size()) + " bytes, want 48");
  }
  switch (static_cast<uint8_t>(payload[0])) {
    case wire::kStartRequest:
      return OnStartRequest(conn, payload);
    case wire::kRrpStart:
      return OnRrpStart(conn, payload);
    case wire::kTermination:
      return OnTermination(conn);
    default:
      transport_.Close(conn, "init buffer of unknown type " + std::to_string(uint8_t(payload[0])));
  }
}

void SignOnService::OnTokenRequest(Connection& conn, std::string_view payload) {
  if (!payload.empty()) {
    return transport_.Close(
        conn, "token request of " + std::to_string(payload.size()) + " bytes, want 0");
  }
  Session& session = sessions_.at(conn.id);
  if (session.token.empty()) {
    std::string token = RandomToken();
    if (token.empty()) {
      return transport_.Close(conn, std::string("no random bytes: ") + strerror(errno));
    }
    session.token = token;
    tokens_[token] = conn.id;
  }
  log_.Write("connection %llu: data-queue token handed out", (unsigned long long)conn.id);
  SendToken(conn.id, session);
}

void SignOnService::SendToken(uint64_t conn_id, const Session& session) {
  wire::SignOnToken message{};
  std::memcpy(message.token, session.token.data(), wire::kTokenSize);
  bool named = !session.queue_name.empty();
  wire::PadName(named ? std::string_view(options_.library) : std::string_view(), message.library);
  wire::PadName(named ? std::string_view(session.queue_name) : std::string_view(), message.queue);
  transport_.SendSignOn(conn_id, wire::kFrameToken, &message, sizeof message);
}

// The proposed name when it is valid and free, else the first free
// "ZQ" + 8 hex digits counting from the connection's number.
std::string SignOnService::ChooseQueueName(const std::string& proposed, uint64_t conn_id) {
  auto free = [&](const std::string& name) {
    std::string path = StationPath(name);
    return wire::ValidObjectName(name) && queue_owners_.count(path) == 0 &&
           store_.Find(path) == nullptr;
  };
  if (free(proposed)) return proposed;
  for (uint32_t n = static_cast<uint32_t>(conn_id);; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "ZQ%08X", n);
    if (free(name)) return name;
  }
}

void SignOnService::OnStartRequest(Connection& conn, std::string_view payload) {
  wire::StartRequest request;
  std::memcpy(&request, payload.data(), sizeof request);
  Session& session = sessions_.at(conn.id);
  std::string proposed = FieldText(request.proposed_queue);
  if (!session.queue_name.empty()) queue_owners_.erase(StationPath(session.queue_name));
  session.queue_name = ChooseQueueName(proposed, conn.id);
  queue_owners_[StationPath(session.queue_name)] = conn.id;
  session.station_sent = true;

  wire::StationInfo info{};
  info.format = 1;
  if (faults_.start_format >= 0) {
    info.format = static_cast<uint8_t>(faults_.start_format);
    faults_.start_format = -1;
    log_.Write("connection %llu: fault: station information with format %u",
               (unsigned long long)conn.id, info.format);
  }
  SetField(info.user_profile, session.user);
  SetField(info.library, options_.library);
  SetField(info.queue, session.queue_name);
  log_.Write(
      "connection %llu: start request (system %s, proposed queue '%s'): user %s, queue %s/%s",
      (unsigned long long)conn.id, FieldText(request.sys_id).c_str(), proposed.c_str(),
      session.user.c_str(), options_.library.c_str(), session.queue_name.c_str());
  // The token's queue is known before the queue is: the PWS stores it for
  // its applications before it makes the queue.
  if (!session.token.empty()) SendToken(conn.id, session);
  transport_.SendSignOn(conn.id, wire::kFrameMessage, &info, sizeof info);
}

// "AAA".."ZZZ" round the cursor: the first ID no live session holds; empty
// when every one is in use.
std::string SignOnService::AllocatePwsId() {
  constexpr uint32_t kIds = 26 * 26 * 26;
  for (uint32_t i = 0; i < kIds; ++i) {
    uint32_t n = (pws_cursor_ + i) % kIds;
    std::string id = {char('A' + n / 676), char('A' + n / 26 % 26), char('A' + n % 26)};
    if (pws_ids_.count(id) != 0) continue;
    pws_cursor_ = n + 1;
    pws_ids_.insert(id);
    return id;
  }
  return {};
}

void SignOnService::OnRrpStart(Connection& conn, std::string_view payload) {
  wire::RrpStart start;
  std::memcpy(&start, payload.data(), sizeof start);
  Session& session = sessions_.at(conn.id);
  std::string queue = FieldText(start.library) + "/" + FieldText(start.queue);
  std::string sys_id = FieldText(start.sys_id);
  uint32_t rc = 0;
  if (faults_.rrp_rc >= 0) {
    rc = static_cast<uint32_t>(faults_.rrp_rc);
    faults_.rrp_rc = -1;
    log_.Write("connection %llu: fault: RRP start answered with return code %u",
               (unsigned long long)conn.id, rc);
  } else if (!session.station_sent) {
    rc = wire::kHostRcNoStation;
  } else if (queue != StationPath(session.queue_name)) {
    rc = wire::kHostRcNotOwnQueue;
  } else if (store_.Find(queue) == nullptr) {
    rc = wire::kHostRcNoQueue;
  } else if (session.pws_id.empty() && (session.pws_id = AllocatePwsId()).empty()) {
    rc = wire::kHostRcNoPwsId;
  }
  if (rc == 0) {
    // A queue deleted and made again under the RRP needs a new RRP.
    if (session.rrp && (session.rrp->queue() != queue || !session.rrp->serving())) {
      session.rrp.reset();
    }
    if (!session.rrp) {
      session.rrp = std::make_unique<Rrp>(
          RrpContext{store_, timers_, log_, faults_, options_.pc_answer_timeout}, queue,
          session.pws_id, sys_id.empty() ? "000" : sys_id);
    }
    if (!session.rrp->AddInstance(static_cast<uint32_t>(start.max_record_length.get()))) {
      rc = wire::kHostRcNoQueue;
    }
  }
  wire::StartedMessage message{};
  message.format = 2;
  message.host_rc.set(rc);
  if (rc == 0) SetField(message.pws_id, session.pws_id);
  log_.Write(
      "connection %llu: RRP start (value %u, queue %s, record length %u, system %s): "
      "rc %u, PWS %s, %d RRPs",
      (unsigned long long)conn.id, static_cast<uint32_t>(start.start_value.get()), queue.c_str(),
      static_cast<uint32_t>(start.max_record_length.get()), sys_id.c_str(), rc,
      session.pws_id.c_str(), session.rrp ? session.rrp->instances() : 0);
  transport_.SendSignOn(conn.id, wire::kFrameMessage, &message, sizeof message);
}

void SignOnService::OnTermination(Connection& conn) {
  Session& session = sessions_.at(conn.id);
  wire::TerminationAck ack{};
  ack.format = 3;
  SetField(ack.pws_id, session.pws_id);
  log_.Write("connection %llu: termination signal from PWS %s", (unsigned long long)conn.id,
             session.pws_id.c_str());
  transport_.SendSignOn(conn.id, wire::kFrameMessage, &ack, sizeof ack);
  EndSession(session);
}

// The PWS ends; the connection stays signed on and may start again.
void SignOnService::EndSession(Session& session) {
  session.rrp.reset();
  if (!session.pws_id.empty()) pws_ids_.erase(session.pws_id);
  if (!session.queue_name.empty()) queue_owners_.erase(StationPath(session.queue_name));
  session.pws_id.clear();
  session.queue_name.clear();
  session.station_sent = false;
}

}  // namespace zel::host
