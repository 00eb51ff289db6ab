#include "host/transport.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

#include "wire/protocol.h"

namespace zel::host {
namespace {

// The signals that stop the server, taken through its loop.
const sigset_t& StopSignals() {
  static const sigset_t signals = [] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
  }();
  return signals;
}

constexpr uint64_t kListenTag = 0;
constexpr uint64_t kSignalTag = ~uint64_t{0};
// A client that lets this much of our output pile up is not reading.
constexpr size_t kMaxPendingOutput = size_t{64} << 20;
// How long the loop waits with nothing to do before it writes a count of
// repeated log lines it holds back.
constexpr int kIdleMs = 50;
// Waits after a failed accept (out of descriptors, say): doubling from the
// first to the last, so that a listener that cannot accept never spins.
constexpr std::chrono::milliseconds kFirstAcceptBackoff{10};
constexpr std::chrono::milliseconds kLastAcceptBackoff{1000};

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

}  // namespace

Transport::Transport(const ServerOptions& options, Log& log, Timers& timers,
                     ConnectionHandler handler)
    : options_(options), log_(log), timers_(timers), handler_(std::move(handler)) {}

Transport::~Transport() {
  connections_.clear();
  for (int fd : {listen_fd_, signal_fd_, epoll_fd_}) {
    if (fd >= 0) close(fd);
  }
}

bool Transport::Listen() {
  // Blocked before the port file tells anybody where the server is: a stop
  // that comes at once then waits for the loop instead of killing it.
  sigprocmask(SIG_BLOCK, &StopSignals(), nullptr);
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
  return true;
}

bool Transport::WritePortFile() {
  if (options_.port_file.empty()) return true;
  // Written whole and then renamed, so a reader never sees half a number.
  std::string temporary = options_.port_file + ".tmp";
  std::ofstream(temporary) << port_ << "\n";
  if (rename(temporary.c_str(), options_.port_file.c_str()) != 0) {
    log_.Write("cannot write port file %s: %s", options_.port_file.c_str(), strerror(errno));
    return false;
  }
  return true;
}

int Transport::Run() {
  signal(SIGPIPE, SIG_IGN);
  sigprocmask(SIG_BLOCK, &StopSignals(), nullptr);
  signal_fd_ = signalfd(-1, &StopSignals(), SFD_NONBLOCK | SFD_CLOEXEC);
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
    int wait = timers_.MillisToNext();
    if (log_.HoldsRepeats()) wait = wait < 0 ? kIdleMs : std::min(wait, kIdleMs);
    int count = epoll_wait(epoll_fd_, events, 64, wait);
    if (count < 0 && errno != EINTR) {
      log_.Write("epoll_wait failed: %s", strerror(errno));
      return 1;
    }
    if (count == 0) log_.FlushRepeats();
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
        if (events[i].events & EPOLLOUT) Flush(*conn);
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

Connection* Transport::Find(uint64_t id) {
  auto it = connections_.find(id);
  return it == connections_.end() || it->second->closing ? nullptr : it->second.get();
}

void Transport::Accept() {
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

void Transport::PauseAccepting() {
  accept_backoff_ = std::clamp(accept_backoff_ * 2, kFirstAcceptBackoff, kLastAcceptBackoff);
  WatchListener(false);
  timers_.Cancel(accept_timer_);
  accept_timer_ = timers_.After(accept_backoff_, [this] {
    accept_timer_ = 0;
    WatchListener(true);
  });
}

void Transport::ResumeAccepting() {
  if (accept_timer_ == 0) return;
  timers_.Cancel(accept_timer_);
  accept_timer_ = 0;
  WatchListener(true);
}

void Transport::WatchListener(bool on) {
  epoll_event event{};
  event.events = on ? uint32_t{EPOLLIN} : 0u;
  event.data.u64 = kListenTag;
  epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, listen_fd_, &event);
}

void Transport::Active(Connection& conn) {
  if (conn.idle_timer == 0) return;
  timers_.Cancel(conn.idle_timer);
  conn.idle_timer = 0;
}

void Transport::OnReadable(Connection& conn) {
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

void Transport::Process(Connection& conn) {
  if (conn.kind == ConnectionKind::kUnknown && !Classify(conn)) return;
  while (!conn.closing && NextFrame(conn)) {
  }
  // Handled frames leave the buffer in one move, not one move per frame.
  conn.in.erase(0, conn.consumed);
  conn.consumed = 0;
}

// A sign-on connection starts with a frame header; the others with the
// data-queue protocol's hello. True once the connection's kind is known and
// admitted.
bool Transport::Classify(Connection& conn) {
  if (conn.in.size() < 4) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(conn.in.data());
  if (bytes[2] == wire::kFrameMarker &&
      (bytes[3] == wire::kFrameMessage || bytes[3] == wire::kFramePreamble ||
       bytes[3] == wire::kFrameToken)) {
    if (!handler_.admit(conn, ConnectionKind::kSignOn)) return false;
    conn.kind = ConnectionKind::kSignOn;
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
  return ClassifyDq(conn);
}

// The hello is answered with the version and 0 (accepted) or 1 in place of
// the role.
bool Transport::ClassifyDq(Connection& conn) {
  if (conn.in.size() < sizeof(wire::DqHello)) return false;
  wire::DqHello hello;
  std::memcpy(&hello, conn.in.data(), sizeof hello);
  conn.in.erase(0, sizeof hello);
  wire::DqHello answer = hello;
  uint16_t role = static_cast<uint16_t>(hello.role.get());
  bool known = hello.version.get() == wire::kDqVersion &&
               (role == wire::kRoleDataQueue || role == wire::kRoleControl);
  ConnectionKind kind =
      role == wire::kRoleDataQueue ? ConnectionKind::kDataQueue : ConnectionKind::kControl;
  if (known && !handler_.admit(conn, kind)) return false;
  answer.version.set(wire::kDqVersion);
  answer.role.set(known ? 0 : 1);
  Send(conn.id, std::string(reinterpret_cast<const char*>(&answer), sizeof answer));
  if (!known) {
    Close(conn, "unsupported data-queue protocol version " + std::to_string(hello.version.get()) +
                    " or role " + std::to_string(role));
    return false;
  }
  conn.kind = kind;
  log_.Write("connection %llu: %s", static_cast<unsigned long long>(conn.id),
             kind == ConnectionKind::kDataQueue ? "data-queue service" : "control");
  return true;
}

FrameCut CutSignOnFrame(std::string_view in) {
  FrameCut cut;
  if (in.size() < sizeof(wire::SignOnFrameHeader)) return cut;
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
    cut.status = FrameCut::kMalformed;
    cut.error = text;
    return cut;
  }
  if (in.size() < length) return cut;
  cut.status = FrameCut::kFrame;
  cut.length = length;
  cut.type = header.kind;
  cut.body = in.substr(sizeof header, length - sizeof header);
  return cut;
}

FrameCut CutDqFrame(std::string_view in) {
  FrameCut cut;
  if (in.size() < sizeof(wire::DqFrameHeader)) return cut;
  wire::DqFrameHeader header;
  std::memcpy(&header, in.data(), sizeof header);
  size_t length = header.length.get();
  if (length < sizeof header || length > wire::kMaxDqFrame) {
    cut.status = FrameCut::kMalformed;
    cut.error = "malformed data-queue frame of length " + std::to_string(length);
    return cut;
  }
  if (in.size() < length) return cut;
  cut.status = FrameCut::kFrame;
  cut.length = length;
  cut.type = static_cast<uint16_t>(header.type.get());
  cut.request_id = static_cast<uint32_t>(header.request_id.get());
  cut.body = in.substr(sizeof header, length - sizeof header);
  return cut;
}

// Hands the next whole frame to the handler; false when none is complete
// yet or the connection closed.
bool Transport::NextFrame(Connection& conn) {
  std::string_view in = std::string_view(conn.in).substr(conn.consumed);
  bool sign_on = conn.kind == ConnectionKind::kSignOn;
  FrameCut cut = sign_on ? CutSignOnFrame(in) : CutDqFrame(in);
  if (cut.status == FrameCut::kMalformed) {
    Close(conn, cut.error);
    return false;
  }
  if (cut.status == FrameCut::kIncomplete) return false;
  std::string body(cut.body);
  conn.consumed += cut.length;
  if (conn.drop_at_next_frame) {
    Close(conn, "fault: dropped at its next frame");
    return false;
  }
  Active(conn);
  if (sign_on) {
    handler_.sign_on_frame(conn, static_cast<uint8_t>(cut.type), body);
  } else {
    handler_.dq_frame(conn, cut.type, cut.request_id, body);
  }
  return true;
}

void Transport::SendSignOn(uint64_t conn_id, uint8_t kind, const void* payload, size_t size) {
  wire::SignOnFrameHeader header{};
  header.length.set(sizeof header + size);
  header.marker = wire::kFrameMarker;
  header.kind = kind;
  std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
  frame.append(static_cast<const char*>(payload), size);
  Send(conn_id, std::move(frame));
}

void Transport::SendDq(uint64_t conn_id, uint16_t type, uint32_t request_id, uint32_t status,
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

void Transport::Send(uint64_t conn_id, std::string bytes) {
  Connection* conn = Find(conn_id);
  if (conn == nullptr) return;
  conn->out.append(bytes);
  Flush(*conn);
}

void Transport::Flush(Connection& conn) {
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

void Transport::Close(Connection& conn, const std::string& why) {
  if (!conn.closing) {
    conn.closing = true;
    closed_.push_back(conn.id);
  }
  log_.Write("connection %llu (%s) closed: %s", static_cast<unsigned long long>(conn.id),
             conn.peer.c_str(), why.c_str());
}

void Transport::ReapClosed() {
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
    handler_.closed(*conn);
    // A descriptor is free again: a listener waiting out a failed accept
    // need not wait longer.
    ResumeAccepting();
  }
}

}  // namespace zel::host
