#include "host/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host/ebcdic.h"
#include "host/protocol.h"
#include "services/config.h"

namespace zel::host {
namespace {

constexpr uint64_t kListenTag = 0;
constexpr uint64_t kSignalTag = ~uint64_t{0};
// A client that lets this much of our output pile up is not reading.
constexpr size_t kMaxPendingOutput = size_t{64} << 20;
// Waits after a failed accept (out of descriptors, say): doubling from the
// first to the last, so that a listener that cannot accept never spins.
constexpr std::chrono::milliseconds kFirstAcceptBackoff{10};
constexpr std::chrono::milliseconds kLastAcceptBackoff{1000};

// kTokenSize bytes from the kernel's random source; empty if it fails.
std::string RandomToken() {
  std::string token(wire::kTokenSize, '\0');
  size_t done = 0;
  while (done < token.size()) {
    ssize_t got = getrandom(token.data() + done, token.size() - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return {};
    done += static_cast<size_t>(got);
  }
  return token;
}

template <typename T>
bool ParseNumber(std::string_view text, T& out, int base = 10) {
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

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

bool ValidObjectName(std::string_view name) {
  if (name.empty() || name.size() > 10) return false;
  for (char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '$' && c != '#' &&
        c != '@') {
      return false;
    }
  }
  return true;
}

// "ADDR:PORT", "ADDR" (port 0) or ":PORT" (loopback); "[v6]" addresses too.
bool SplitAddress(const std::string& text, std::string& host, std::string& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || (text.front() == '[' && text.back() == ']')) {
    host = text;
    port = "0";
  } else {
    host = colon == 0 ? "127.0.0.1" : text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return !host.empty() && !port.empty();
}

std::string Peer(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = "?";
  uint16_t port = 0;
  if (address.ss_family == AF_INET) {
    auto* in = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  } else if (address.ss_family == AF_INET6) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
  }
  return std::string(host) + ":" + std::to_string(port);
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

std::string ControlTokenPath(uint16_t port, std::string* error) {
  std::string dir = config::PrivateDir(error);
  if (dir.empty()) return {};
  return dir + "/zelhost." + std::to_string(port) + ".control";
}

struct Server::Session {
  std::string user;
  bool station_sent = false;
  std::string queue_name;  // the station queue name this PWS was given
  std::string pws_id;      // empty until the first RRP start
  std::string token;       // its data-queue token; empty until asked for
  std::unique_ptr<Rrp> rrp;
};

Server::Server(ServerOptions options, Log& log) : options_(std::move(options)), log_(log) {}

Server::~Server() {
  connections_.clear();
  for (int fd : {listen_fd_, signal_fd_, epoll_fd_}) {
    if (fd >= 0) close(fd);
  }
  if (!control_token_path_.empty()) unlink(control_token_path_.c_str());
}

bool Server::Listen() {
  std::string host, port;
  if (!SplitAddress(options_.listen, host, port)) {
    log_.Write("bad listen address '%s' (want ADDR:PORT)", options_.listen.c_str());
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    log_.Write("cannot resolve '%s': %s", options_.listen.c_str(), gai_strerror(rc));
    return false;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  bool ok = fd >= 0 && bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 128) == 0;
  freeaddrinfo(found);
  if (!ok) {
    log_.Write("cannot listen on %s: %s", options_.listen.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  listen_fd_ = fd;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
  std::string address = Peer(bound);
  port_ = static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
  log_.Write("listening on %s", address.c_str());
  // The control token is in place before the port is told to anybody.
  std::string error;
  std::string path = options_.control_token_file;
  if (path.empty()) path = ControlTokenPath(port_, &error);
  control_token_ = RandomToken();
  if (control_token_.empty()) error = std::string("no random bytes: ") + strerror(errno);
  if (path.empty() || control_token_.empty() ||
      !config::WritePrivateFile(path, wire::TokenToHex(control_token_) + "\n", &error)) {
    log_.Write("cannot write the control token: %s", error.c_str());
    return false;
  }
  control_token_path_ = path;
  log_.Write("control token in %s", path.c_str());
  if (!options_.port_file.empty()) {
    // Written whole and then renamed, so a reader never sees half a number.
    std::string temporary = options_.port_file + ".tmp";
    std::ofstream(temporary) << port_ << "\n";
    if (rename(temporary.c_str(), options_.port_file.c_str()) != 0) {
      log_.Write("cannot write port file %s: %s", options_.port_file.c_str(), strerror(errno));
      return false;
    }
  }
  return true;
}

int Server::Run() {
  signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  signal_fd_ = signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC);
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kListenTag;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, listen_fd_, &event);
  event.data.u64 = kSignalTag;
  epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, signal_fd_, &event);

  bool stopping = false;
  while (!stopping) {
    epoll_event events[64];
    int count = epoll_wait(epoll_fd_, events, 64, timers_.MillisToNext());
    if (count < 0 && errno != EINTR) {
      log_.Write("epoll_wait failed: %s", strerror(errno));
      return 1;
    }
    for (int i = 0; i < count; ++i) {
      uint64_t tag = events[i].data.u64;
      if (tag == kListenTag) {
        Accept();
      } else if (tag == kSignalTag) {
        signalfd_siginfo info{};
        if (read(signal_fd_, &info, sizeof info) == sizeof info) {
          log_.Write("stopping on signal %u", info.ssi_signo);
          stopping = true;
        }
      } else if (Connection* conn = Find(tag)) {
        if (events[i].events & EPOLLOUT) OnWritable(*conn);
        if (!conn->closing && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
          OnReadable(*conn);
        }
      }
      ReapClosed();
    }
    timers_.RunDue();
    ReapClosed();
  }
  for (auto& [id, conn] : connections_) Close(*conn, "server stopping");
  ReapClosed();
  log_.Write("stopped");
  return 0;
}

Server::Connection* Server::Find(uint64_t id) {
  auto it = connections_.find(id);
  return it == connections_.end() || it->second->closing ? nullptr : it->second.get();
}

void Server::Accept() {
  for (;;) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      // Out of descriptors or memory: the connection stays in the backlog
      // and the listener would report it again at once.
      log_.Write("accept failed: %s", strerror(errno));
      return PauseAccepting();
    }
    accept_backoff_ = std::chrono::milliseconds(0);
    if (connections_.size() >= options_.max_connections) {
      log_.Write("connection limit of %zu reached: a new connection is closed",
                 options_.max_connections);
      close(fd);
      continue;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    auto conn = std::make_unique<Connection>();
    uint64_t id = next_id_++;
    conn->id = id;
    conn->fd = fd;
    conn->peer = Peer(address);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event);
    conn->idle_timer = timers_.After(options_.idle_timeout, [this, id] {
      Connection* idle = Find(id);
      if (idle == nullptr) return;
      idle->idle_timer = 0;
      Close(*idle, "no request within " + std::to_string(options_.idle_timeout.count()) + " s");
    });
    log_.Write("connection %llu from %s", static_cast<unsigned long long>(id), conn->peer.c_str());
    connections_.emplace(id, std::move(conn));
  }
}

void Server::PauseAccepting() {
  accept_backoff_ = std::clamp(accept_backoff_ * 2, kFirstAcceptBackoff, kLastAcceptBackoff);
  WatchListener(false);
  timers_.Cancel(accept_timer_);
  accept_timer_ = timers_.After(accept_backoff_, [this] {
    accept_timer_ = 0;
    WatchListener(true);
  });
}

void Server::ResumeAccepting() {
  if (accept_timer_ == 0) return;
  timers_.Cancel(accept_timer_);
  accept_timer_ = 0;
  WatchListener(true);
}

void Server::WatchListener(bool on) {
  epoll_event event{};
  event.events = on ? uint32_t{EPOLLIN} : 0u;
  event.data.u64 = kListenTag;
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, listen_fd_, &event);
}

void Server::Active(Connection& conn) {
  if (conn.idle_timer == 0) return;
  timers_.Cancel(conn.idle_timer);
  conn.idle_timer = 0;
}

bool Server::RefusedByFault(Connection& conn) {
  if (faults_.refuse == 0) return false;
  if (faults_.refuse > 0) --faults_.refuse;
  log_.Write("fault: connection from %s refused", conn.peer.c_str());
  Close(conn, "fault: refused");
  return true;
}

void Server::OnReadable(Connection& conn) {
  bool ended = false;
  std::string why;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(conn.fd, buffer, sizeof buffer);
    if (got > 0) {
      // Frames are handled as they complete, so a fast sender never makes
      // the input pile up beyond one frame and one read.
      conn.in.append(buffer, static_cast<size_t>(got));
      Process(conn);
      if (conn.closing) return;
      continue;
    }
    if (got == 0) {
      ended = true;
      why = "closed by the peer";
    } else if (errno != EAGAIN && errno != EINTR) {
      ended = true;
      why = std::string("read failed: ") + strerror(errno);
    }
    if (got < 0 && errno == EINTR) continue;
    break;
  }
  if (ended && !conn.closing) Close(conn, why);
}

void Server::Process(Connection& conn) {
  if (conn.kind == Kind::kUnknown && !Classify(conn)) return;
  while (!conn.closing) {
    bool more = conn.kind == Kind::kSignOn ? ProcessSignOn(conn) : ProcessDq(conn);
    if (!more) break;
  }
  // Handled frames leave the buffer in one move, not one move per frame.
  conn.in.erase(0, conn.consumed);
  conn.consumed = 0;
}

// Control connections are never refused by the refuse fault: it could not
// be cleared otherwise.
bool Server::Classify(Connection& conn) {
  if (conn.in.size() < 4) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(conn.in.data());
  if (bytes[2] == wire::kFrameMarker &&
      (bytes[3] == wire::kFrameMessage || bytes[3] == wire::kFramePreamble ||
       bytes[3] == wire::kFrameToken)) {
    if (RefusedByFault(conn)) return false;
    conn.kind = Kind::kSignOn;
    conn.session = std::make_unique<Session>();
    conn.session->user = options_.default_user;
    log_.Write("connection %llu: sign-on service %u", static_cast<unsigned long long>(conn.id),
               wire::kSignOnService);
    return true;
  }
  if (std::memcmp(bytes, wire::kDqMagic, 4) != 0) {
    char text[64];
    std::snprintf(text, sizeof text, "unrecognised protocol, first bytes %02X %02X %02X %02X",
                  bytes[0], bytes[1], bytes[2], bytes[3]);
    Close(conn, text);
    return false;
  }
  if (conn.in.size() < sizeof(wire::DqHello)) return false;
  wire::DqHello hello;
  std::memcpy(&hello, conn.in.data(), sizeof hello);
  conn.in.erase(0, sizeof hello);
  wire::DqHello answer = hello;
  uint16_t role = static_cast<uint16_t>(hello.role.get());
  bool known = hello.version.get() == wire::kDqVersion &&
               (role == wire::kRoleDataQueue || role == wire::kRoleControl);
  if (known && role == wire::kRoleDataQueue && RefusedByFault(conn)) return false;
  answer.version.set(wire::kDqVersion);
  answer.role.set(known ? 0 : 1);
  Send(conn.id, std::string(reinterpret_cast<const char*>(&answer), sizeof answer));
  if (!known) {
    Close(conn, "unsupported data-queue protocol version " + std::to_string(hello.version.get()) +
                    " or role " + std::to_string(role));
    return false;
  }
  conn.kind = role == wire::kRoleDataQueue ? Kind::kDataQueue : Kind::kControl;
  log_.Write("connection %llu: %s", static_cast<unsigned long long>(conn.id),
             conn.kind == Kind::kDataQueue ? "data-queue service" : "control");
  return true;
}

void Server::Send(uint64_t conn_id, std::string bytes) {
  Connection* conn = Find(conn_id);
  if (conn == nullptr) return;
  conn->out.append(bytes);
  Flush(*conn);
}

void Server::Flush(Connection& conn) {
  while (!conn.out.empty()) {
    ssize_t sent = send(conn.fd, conn.out.data(), conn.out.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      conn.out.erase(0, static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno == EAGAIN) break;
    // Closing here could re-enter the queue store from one of its own
    // callbacks; the loop closes the connection after this step.
    conn.out.clear();
    conn.closing = true;
    closed_.push_back(conn.id);
    log_.Write("connection %llu: write failed: %s", static_cast<unsigned long long>(conn.id),
               strerror(errno));
    return;
  }
  if (conn.out.size() > kMaxPendingOutput) {
    conn.closing = true;
    closed_.push_back(conn.id);
    log_.Write("connection %llu: dropped, it does not read its replies",
               static_cast<unsigned long long>(conn.id));
    return;
  }
  bool want = !conn.out.empty();
  if (want == conn.want_write) return;
  conn.want_write = want;
  epoll_event event{};
  event.events = want ? (EPOLLIN | EPOLLOUT) : EPOLLIN;
  event.data.u64 = conn.id;
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, conn.fd, &event);
}

void Server::OnWritable(Connection& conn) { Flush(conn); }

void Server::Close(Connection& conn, const std::string& why) {
  if (!conn.closing) {
    conn.closing = true;
    closed_.push_back(conn.id);
  }
  log_.Write("connection %llu (%s) closed: %s", static_cast<unsigned long long>(conn.id),
             conn.peer.c_str(), why.c_str());
}

void Server::ReapClosed() {
  while (!closed_.empty()) {
    uint64_t id = closed_.back();
    closed_.pop_back();
    auto it = connections_.find(id);
    if (it == connections_.end()) continue;
    std::unique_ptr<Connection> conn = std::move(it->second);
    connections_.erase(it);
    epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, conn->fd, nullptr);
    close(conn->fd);
    timers_.Cancel(conn->idle_timer);
    EndSession(*conn);
    if (conn->session && !conn->session->token.empty()) tokens_.erase(conn->session->token);
    store_.DropOwner(conn->id);
    // A descriptor is free again: a listener waiting out a failed accept
    // need not wait longer.
    ResumeAccepting();
  }
}

// ---- Sign-on service 11 ----

bool Server::ProcessSignOn(Connection& conn) {
  std::string_view in = std::string_view(conn.in).substr(conn.consumed);
  if (in.size() < sizeof(wire::SignOnFrameHeader)) return false;
  wire::SignOnFrameHeader header;
  std::memcpy(&header, in.data(), sizeof header);
  size_t length = header.length.get();
  bool kind_ok = header.kind == wire::kFrameMessage || header.kind == wire::kFramePreamble ||
                 header.kind == wire::kFrameToken;
  if (header.marker != wire::kFrameMarker || !kind_ok || length < sizeof header ||
      length > wire::kMaxSignOnFrame) {
    char text[96];
    std::snprintf(text, sizeof text, "malformed sign-on frame (length %zu, bytes %02X %02X)",
                  length, header.marker, header.kind);
    Close(conn, text);
    return false;
  }
  if (in.size() < length) return false;
  std::string payload(in.substr(sizeof header, length - sizeof header));
  conn.consumed += length;
  if (conn.drop_at_next_frame) {
    Close(conn, "fault: dropped at its next frame");
    return false;
  }
  Active(conn);
  if (header.kind == wire::kFramePreamble) {
    OnPreamble(conn, payload);
  } else if (header.kind == wire::kFrameToken) {
    OnTokenRequest(conn, payload);
  } else {
    OnInitBuffer(conn, payload);
  }
  return true;
}

void Server::SendSignOn(Connection& conn, uint8_t kind, const void* payload, size_t size) {
  wire::SignOnFrameHeader header{};
  header.length.set(sizeof header + size);
  header.marker = wire::kFrameMarker;
  header.kind = kind;
  std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
  frame.append(static_cast<const char*>(payload), size);
  Send(conn.id, std::move(frame));
}

void Server::OnPreamble(Connection& conn, std::string_view payload) {
  if (payload.size() != sizeof(wire::SignOnRequest)) {
    return Close(conn, "sign-on preamble of " + std::to_string(payload.size()) + " bytes");
  }
  wire::SignOnRequest request;
  std::memcpy(&request, payload.data(), sizeof request);
  std::string user(request.user, strnlen(request.user, sizeof request.user));
  for (char& c : user) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  wire::SignOnReply reply{};
  if (!user.empty() && !ValidObjectName(user)) {
    reply.rc.set(1);
    log_.Write("connection %llu: sign-on refused, bad user ID", (unsigned long long)conn.id);
  } else {
    if (!user.empty()) conn.session->user = user;
    log_.Write("connection %llu: signed on as %s", (unsigned long long)conn.id,
               conn.session->user.c_str());
  }
  reply.connection_id.set(static_cast<uint32_t>(conn.id));
  std::memcpy(reply.user, conn.session->user.data(), conn.session->user.size());
  SendSignOn(conn, wire::kFramePreamble, &reply, sizeof reply);
  if (reply.rc.get() != 0) Close(conn, "sign-on refused");
}

void Server::OnInitBuffer(Connection& conn, std::string_view payload) {
  if (payload.size() != wire::kInitBufferSize) {
    return Close(conn, "init buffer of " + std::to_string(payload.size()) + " bytes, want 48");
  }
  switch (static_cast<uint8_t>(payload[0])) {
    case wire::kStartRequest:
      return OnStartRequest(conn, payload);
    case wire::kRrpStart:
      return OnRrpStart(conn, payload);
    case wire::kTermination:
      return OnTermination(conn);
    default:
      Close(conn, "init buffer of unknown type " + std::to_string(uint8_t(payload[0])));
  }
}

void Server::OnTokenRequest(Connection& conn, std::string_view payload) {
  if (!payload.empty()) {
    return Close(conn, "token request of " + std::to_string(payload.size()) + " bytes, want 0");
  }
  Session& session = *conn.session;
  if (session.token.empty()) {
    std::string token = RandomToken();
    if (token.empty()) return Close(conn, std::string("no random bytes: ") + strerror(errno));
    session.token = token;
    tokens_[token] = conn.id;
  }
  log_.Write("connection %llu: data-queue token handed out", (unsigned long long)conn.id);
  SendToken(conn);
}

void Server::SendToken(Connection& conn) {
  const Session& session = *conn.session;
  wire::SignOnToken message{};
  std::memcpy(message.token, session.token.data(), wire::kTokenSize);
  bool named = !session.queue_name.empty();
  wire::PadName(named ? std::string_view(options_.library) : std::string_view(), message.library);
  wire::PadName(named ? std::string_view(session.queue_name) : std::string_view(), message.queue);
  SendSignOn(conn, wire::kFrameToken, &message, sizeof message);
}

std::string Server::ChooseQueueName(const std::string& proposed, uint64_t conn_id) {
  auto free = [&](const std::string& name) {
    std::string path = options_.library + "/" + name;
    return ValidObjectName(name) && queue_owners_.count(path) == 0 && store_.Find(path) == nullptr;
  };
  if (free(proposed)) return proposed;
  for (uint32_t n = static_cast<uint32_t>(conn_id);; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "ZQ%08X", n);
    if (free(name)) return name;
  }
}

void Server::OnStartRequest(Connection& conn, std::string_view payload) {
  wire::StartRequest request;
  std::memcpy(&request, payload.data(), sizeof request);
  Session& session = *conn.session;
  std::string proposed = FieldText(request.proposed_queue);
  if (!session.queue_name.empty()) queue_owners_.erase(options_.library + "/" + session.queue_name);
  session.queue_name = ChooseQueueName(proposed, conn.id);
  queue_owners_[options_.library + "/" + session.queue_name] = conn.id;
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
  if (!session.token.empty()) SendToken(conn);
  SendSignOn(conn, wire::kFrameMessage, &info, sizeof info);
}

std::string Server::AllocatePwsId() {
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

void Server::OnRrpStart(Connection& conn, std::string_view payload) {
  wire::RrpStart start;
  std::memcpy(&start, payload.data(), sizeof start);
  Session& session = *conn.session;
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
  } else if (queue != options_.library + "/" + session.queue_name) {
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
      session.rrp = std::make_unique<Rrp>(RrpContext{store_, timers_, log_, faults_}, queue,
                                          session.pws_id, sys_id.empty() ? "000" : sys_id);
    }
    if (!session.rrp->AddInstance()) rc = wire::kHostRcNoQueue;
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
  SendSignOn(conn, wire::kFrameMessage, &message, sizeof message);
}

void Server::OnTermination(Connection& conn) {
  wire::TerminationAck ack{};
  ack.format = 3;
  SetField(ack.pws_id, conn.session->pws_id);
  log_.Write("connection %llu: termination signal from PWS %s", (unsigned long long)conn.id,
             conn.session->pws_id.c_str());
  SendSignOn(conn, wire::kFrameMessage, &ack, sizeof ack);
  EndSession(conn);
}

void Server::EndSession(Connection& conn) {
  if (!conn.session) return;
  Session& session = *conn.session;
  session.rrp.reset();
  if (!session.pws_id.empty()) pws_ids_.erase(session.pws_id);
  if (!session.queue_name.empty()) queue_owners_.erase(options_.library + "/" + session.queue_name);
  session.pws_id.clear();
  session.queue_name.clear();
  session.station_sent = false;
}

// ---- Data-queue service and control ----

bool Server::ProcessDq(Connection& conn) {
  std::string_view in = std::string_view(conn.in).substr(conn.consumed);
  if (in.size() < sizeof(wire::DqFrameHeader)) return false;
  wire::DqFrameHeader header;
  std::memcpy(&header, in.data(), sizeof header);
  size_t length = header.length.get();
  if (length < sizeof header || length > wire::kMaxDqFrame) {
    Close(conn, "malformed data-queue frame of length " + std::to_string(length));
    return false;
  }
  if (in.size() < length) return false;
  std::string body(in.substr(sizeof header, length - sizeof header));
  conn.consumed += length;
  if (conn.drop_at_next_frame) {
    Close(conn, "fault: dropped at its next frame");
    return false;
  }
  Active(conn);
  OnDqFrame(conn, static_cast<uint16_t>(header.type.get()),
            static_cast<uint32_t>(header.request_id.get()), body);
  return true;
}

void Server::SendDq(uint64_t conn_id, uint16_t type, uint32_t request_id, uint32_t status,
                    std::string_view body) {
  wire::DqFrameHeader header{};
  header.length.set(sizeof header + body.size());
  header.type.set(type);
  header.request_id.set(request_id);
  header.status.set(status);
  std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
  frame.append(body);
  Send(conn_id, std::move(frame));
}

namespace {

// "LIBRARY/QUEUE", or empty when either name is not a valid object name.
std::string QueuePath(const wire::DqQueueName& queue) {
  std::string library = wire::UnpadName(queue.library);
  std::string name = wire::UnpadName(queue.name);
  if (!ValidObjectName(library) || !ValidObjectName(name)) return {};
  return library + "/" + name;
}

template <typename T>
bool Body(std::string_view body, T& out, size_t exact_extra = 0) {
  if (body.size() != sizeof(T) + exact_extra) return false;
  std::memcpy(&out, body.data(), sizeof(T));
  return true;
}

}  // namespace

void Server::OnDqFrame(Connection& conn, uint16_t type, uint32_t request_id,
                       std::string_view body) {
  auto reply = [&](uint32_t status, std::string_view reply_body = {}) {
    SendDq(conn.id, type, request_id, status, reply_body);
  };
  auto id = static_cast<unsigned long long>(conn.id);
  if (conn.kind == Kind::kControl) return OnControlFrame(conn, type, request_id, body);
  // A queue request on a queue the connection has no right to.
  auto refuse = [&](const char* what, const std::string& path) {
    log_.Write("connection %llu: %s %s refused: no token of its PWS", id, what, path.c_str());
    reply(QLXDQ_RC_REFUSED);
  };
  switch (type) {
    case wire::kToken:
      return reply(OnDqToken(conn, body));
    case wire::kCreate: {
      wire::DqCreateBody create;
      if (!Body(body, create)) return reply(QLXDQ_RC_PROTOCOL);
      std::string path = QueuePath(create.queue);
      if (!path.empty() && !Allowed(conn, path)) return refuse("create queue", path);
      QueueAttributes attributes{static_cast<uint32_t>(create.max_record_length.get()),
                                 static_cast<uint16_t>(create.key_size.get()),
                                 static_cast<uint16_t>(create.authority.get())};
      bool valid = !path.empty() && attributes.max_record_length > 0 &&
                   attributes.max_record_length <= wire::kMaxRecordLength &&
                   attributes.key_size > 0 && attributes.key_size <= wire::kMaxKeyLength &&
                   create.order.get() == QLXDQ_QUEUE_KEYED;
      uint32_t rc = valid ? store_.Create(path, attributes) : QLXDQ_RC_INVALID_PARAMETER;
      log_.Write("connection %llu: create queue %s (record %u, key %u): rc %u", id, path.c_str(),
                 attributes.max_record_length, attributes.key_size, rc);
      return reply(rc);
    }
    case wire::kDelete: {
      wire::DqQueueName queue;
      if (!Body(body, queue)) return reply(QLXDQ_RC_PROTOCOL);
      std::string path = QueuePath(queue);
      if (!path.empty() && !Allowed(conn, path)) return refuse("delete queue", path);
      uint32_t rc = path.empty() ? QLXDQ_RC_INVALID_PARAMETER : store_.Delete(path);
      log_.Write("connection %llu: delete queue %s: rc %u", id, path.c_str(), rc);
      return reply(rc);
    }
    case wire::kOpen: {
      wire::DqQueueName queue;
      if (!Body(body, queue)) return reply(QLXDQ_RC_PROTOCOL);
      std::string path = QueuePath(queue);
      if (!path.empty() && !Allowed(conn, path)) return refuse("open queue", path);
      const QueueAttributes* attributes = path.empty() ? nullptr : store_.Find(path);
      if (attributes == nullptr) {
        return reply(path.empty() ? QLXDQ_RC_INVALID_PARAMETER : QLXDQ_RC_NOT_FOUND);
      }
      wire::DqOpenReply open{};
      open.max_record_length.set(attributes->max_record_length);
      open.key_size.set(attributes->key_size);
      open.order.set(QLXDQ_QUEUE_KEYED);
      if (options_.verbose) log_.Write("connection %llu: open queue %s", id, path.c_str());
      return reply(0, std::string_view(reinterpret_cast<const char*>(&open), sizeof open));
    }
    case wire::kWrite: {
      wire::DqWriteBody write;
      if (body.size() < sizeof write) return reply(QLXDQ_RC_PROTOCOL);
      std::memcpy(&write, body.data(), sizeof write);
      size_t key_length = write.key_length.get();
      size_t data_length = write.data_length.get();
      if (body.size() != sizeof write + key_length + data_length) {
        return reply(QLXDQ_RC_PROTOCOL);
      }
      std::string path = QueuePath(write.queue);
      if (path.empty()) return reply(QLXDQ_RC_INVALID_PARAMETER);
      if (!Allowed(conn, path)) return refuse("write to", path);
      uint32_t rc = store_.Write(path, std::string(body.substr(sizeof write, key_length)),
                                 std::string(body.substr(sizeof write + key_length)));
      if (rc != 0 || options_.verbose) {
        log_.Write("connection %llu: write %zu bytes to %s: rc %u", id, data_length, path.c_str(),
                   rc);
      }
      return reply(rc);
    }
    case wire::kRead:
      return OnRead(conn, request_id, body);
    case wire::kCancel:
    case wire::kCommit:
    case wire::kRelease: {
      wire::DqIdBody which;
      if (!Body(body, which)) {
        log_.Write("connection %llu: malformed message of type %u ignored", id, type);
        return;
      }
      if (type == wire::kCancel) {
        store_.Cancel(conn.id, static_cast<uint32_t>(which.id.get()));
      } else if (type == wire::kCommit) {
        store_.Commit(conn.id, which.id.get());
      } else {
        store_.Release(conn.id, which.id.get());
      }
      return;
    }
    default:
      log_.Write("connection %llu: unknown data-queue message type %u", id, type);
      return reply(QLXDQ_RC_PROTOCOL);
  }
}

void Server::OnRead(Connection& conn, uint32_t request_id, std::string_view body) {
  wire::DqReadBody read;
  uint64_t conn_id = conn.id;
  auto fail = [&](uint32_t status) { SendDq(conn_id, wire::kRead, request_id, status, {}); };
  if (body.size() < sizeof read) return fail(QLXDQ_RC_PROTOCOL);
  std::memcpy(&read, body.data(), sizeof read);
  size_t key_length = read.key_length.get();
  if (body.size() != sizeof read + key_length) return fail(QLXDQ_RC_PROTOCOL);
  std::string path = QueuePath(read.queue);
  if (path.empty()) return fail(QLXDQ_RC_INVALID_PARAMETER);
  if (!Allowed(conn, path)) {
    log_.Write("connection %llu: read from %s refused: no token of its PWS",
               static_cast<unsigned long long>(conn_id), path.c_str());
    return fail(QLXDQ_RC_REFUSED);
  }
  ReadRequest wanted;
  wanted.key = std::string(body.substr(sizeof read, key_length));
  wanted.order = static_cast<uint16_t>(read.search_order.get());
  wanted.buffer_size = static_cast<uint32_t>(read.buffer_size.get());
  uint32_t wait = static_cast<uint32_t>(read.wait_seconds.get());
  wanted.wait_seconds = wait == 0xFFFFFFFFu ? -1 : static_cast<int64_t>(wait);
  wanted.tag = request_id;
  if (options_.verbose) {
    log_.Write("connection %llu: read %u from %s, order %u, wait %lld",
               static_cast<unsigned long long>(conn_id), request_id, path.c_str(), wanted.order,
               static_cast<long long>(wanted.wait_seconds));
  }
  store_.Read(path, conn_id, wanted, [this, conn_id, request_id](uint32_t status, const Entry* e) {
    if (options_.verbose) {
      log_.Write("connection %llu: read %u ends: rc %u, %zu bytes",
                 static_cast<unsigned long long>(conn_id), request_id, status,
                 e ? e->data.size() : size_t{0});
    }
    if (e == nullptr) return SendDq(conn_id, wire::kRead, request_id, status, {});
    wire::DqReadReply reply{};
    reply.entry_id.set(e->id);
    reply.key_length.set(e->key.size());
    reply.data_length.set(e->data.size());
    std::string out(reinterpret_cast<const char*>(&reply), sizeof reply);
    out.append(e->key);
    out.append(e->data);
    SendDq(conn_id, wire::kRead, request_id, 0, out);
  });
}

uint32_t Server::OnDqToken(Connection& conn, std::string_view token) {
  auto id = static_cast<unsigned long long>(conn.id);
  auto owner = tokens_.find(std::string(token));
  if (owner == tokens_.end()) {
    log_.Write("connection %llu: unknown data-queue token refused", id);
    return QLXDQ_RC_REFUSED;
  }
  conn.token_owners.insert(owner->second);
  log_.Write("connection %llu: token of sign-on connection %llu", id,
             static_cast<unsigned long long>(owner->second));
  return 0;
}

// A queue is open to the connections that presented the token of the PWS it
// was given to. It stays open to those that used it when its PWS ends (the
// manager deletes the queue after it has signed off) until the name goes to
// another PWS.
bool Server::Allowed(Connection& conn, const std::string& path) {
  auto owner = queue_owners_.find(path);
  if (owner == queue_owners_.end()) return conn.granted.count(path) != 0;
  if (conn.token_owners.count(owner->second) == 0) return false;
  conn.granted.insert(path);
  return true;
}

void Server::OnControlFrame(Connection& conn, uint16_t type, uint32_t request_id,
                            std::string_view body) {
  auto reply = [&](uint32_t status, std::string_view reply_body = {}) {
    SendDq(conn.id, type, request_id, status, reply_body);
  };
  auto id = static_cast<unsigned long long>(conn.id);
  if (type == wire::kToken) {
    if (body == control_token_) {
      conn.control_token_ok = true;
      return reply(0);
    }
    reply(QLXDQ_RC_REFUSED);
    return Close(conn, "wrong control token");
  }
  if (type != wire::kControl) return reply(QLXDQ_RC_PROTOCOL);
  std::string command(body);
  if (!conn.control_token_ok) {
    log_.Write("connection %llu: control '%s' refused: no control token", id, command.c_str());
    return reply(QLXDQ_RC_REFUSED, "error: the control token must come first");
  }
  std::string answer = Control(command);
  log_.Write("connection %llu: control '%s': %s", id, command.c_str(),
             answer.substr(0, answer.find('\n')).c_str());
  reply(0, answer);
}

Server::Connection* Server::FindByNameOrPws(const std::string& which) {
  uint64_t number = 0;
  if (ParseNumber(which, number)) return Find(number);
  for (auto& [id, conn] : connections_) {
    if (!conn->closing && conn->session && conn->session->pws_id == which) return conn.get();
  }
  return nullptr;
}

std::string Server::Control(const std::string& command) {
  std::vector<std::string> words = Words(command);
  if (words.empty()) return "error: empty command";
  const std::string& verb = words[0];
  if (verb == "list") return ControlList();
  if (verb == "fault") return ControlFault(words);
  if (verb == "stop" && words.size() == 2) {
    Connection* conn = FindByNameOrPws(words[1]);
    if (conn == nullptr || !conn->session || !conn->session->rrp) {
      return "error: no started PWS " + words[1];
    }
    if (!conn->session->rrp->WriteTermination()) return "error: termination entry not written";
    return "ok termination entry written for PWS " + conn->session->pws_id;
  }
  if (verb == "drop" && (words.size() == 2 || (words.size() == 3 && words[2] == "next"))) {
    Connection* conn = FindByNameOrPws(words[1]);
    if (conn == nullptr) return "error: no connection " + words[1];
    if (words.size() == 3) {
      conn->drop_at_next_frame = true;
      log_.Write("fault: connection %llu will be dropped at its next frame",
                 (unsigned long long)conn->id);
      return "ok connection " + std::to_string(conn->id) + " dropped at its next frame";
    }
    Close(*conn, "fault: dropped by the operator");
    return "ok connection " + std::to_string(conn->id) + " dropped";
  }
  return "error: unknown command '" + command +
         "' (list | stop PWS | drop CONN|PWS [next] | fault ...)";
}

std::string Server::ControlList() {
  std::ostringstream out;
  size_t live = 0;
  for (auto& [id, conn] : connections_) live += !conn->closing;
  std::vector<QueueSummary> queues = store_.Summaries();
  out << "ok " << live << " connections, " << queues.size() << " queues\n";
  for (auto& [id, conn] : connections_) {
    if (conn->closing) continue;
    out << "connection " << id << " " << conn->peer << " ";
    switch (conn->kind) {
      case Kind::kUnknown:
        out << "new";
        break;
      case Kind::kDataQueue:
        out << "dataqueue";
        break;
      case Kind::kControl:
        out << "control";
        break;
      case Kind::kSignOn: {
        const Session& s = *conn->session;
        out << "signon user=" << s.user
            << " queue=" << (s.queue_name.empty() ? "-" : options_.library + "/" + s.queue_name)
            << " pws=" << (s.pws_id.empty() ? "-" : s.pws_id)
            << " rrps=" << (s.rrp ? s.rrp->instances() : 0)
            << " busy=" << (s.rrp ? s.rrp->busy() : 0);
        break;
      }
    }
    out << "\n";
  }
  for (const QueueSummary& q : queues) {
    out << "queue " << q.name << " entries=" << q.entries << " reserved=" << q.reserved
        << " reads=" << q.waiting_reads << " record=" << q.attributes.max_record_length
        << " key=" << q.attributes.key_size << "\n";
  }
  return out.str();
}

std::string Server::ControlFault(const std::vector<std::string>& words) {
  const std::string what = words.size() > 1 ? words[1] : "";
  const std::string arg = words.size() > 2 ? words[2] : "";
  std::string done = "ok fault " + what + (arg.empty() ? "" : " " + arg);
  if (what == "clear" && words.size() == 2) {
    faults_ = Faults{};
    return "ok faults cleared";
  }
  if (what == "refuse" && words.size() <= 3) {
    int count = 1;
    if (arg == "all") {
      count = -1;
    } else if (arg == "off") {
      count = 0;
    } else if (!arg.empty() && !ParseNumber(arg, count)) {
      return "error: fault refuse [COUNT|all|off]";
    }
    faults_.refuse = count;
    return done;
  }
  if (what == "start-format" && words.size() == 3) {
    uint32_t byte = 0;
    if (!ParseNumber(arg, byte) || byte > 255) return "error: fault start-format BYTE";
    faults_.start_format = static_cast<int>(byte);
    return done;
  }
  if (what == "rrp-rc" && words.size() == 3) {
    uint32_t rc = 0;
    if (!ParseNumber(arg, rc) && !ParseNumber(arg, rc, 16)) return "error: fault rrp-rc CODE";
    faults_.rrp_rc = rc;
    return done;
  }
  if (what == "delay" && words.size() == 3) {
    uint32_t millis = 0;
    if (!ParseNumber(arg, millis)) return "error: fault delay MILLISECONDS";
    faults_.delay_ms = millis;
    return done;
  }
  if (what == "lose-entry" && words.size() == 2) {
    faults_.lose_entry = true;
    return done;
  }
  if (what == "bad-total" && words.size() == 2) {
    faults_.bad_total = true;
    return done;
  }
  return "error: fault refuse [N|all|off] | start-format BYTE | rrp-rc CODE | delay MS | "
         "lose-entry | bad-total | clear";
}

}  // namespace zel::host
