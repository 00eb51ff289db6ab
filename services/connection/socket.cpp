#include "services/connection/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zel::qlx {
namespace {

constexpr Millis kSendTimeout{30'000};

// Waits for `events` on fd until the deadline; false on time-out.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline, bool forever) {
  for (;;) {
    int millis = -1;
    if (!forever) {
      auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      millis = static_cast<int>(left.count());
    }
    pollfd p{fd, events, 0};
    int rc = poll(&p, 1, millis);
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return true;  // let the call itself report the error
  }
}

}  // namespace

std::unique_ptr<Socket> Socket::Connect(const std::string& address, Millis timeout,
                                        std::string& why) {
  size_t colon = address.rfind(':');
  if (colon == std::string::npos) {
    why = "bad address '" + address + "'";
    return nullptr;
  }
  std::string host = address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (int rc = getaddrinfo(host.c_str(), address.c_str() + colon + 1, &hints, &found); rc != 0) {
    why = "cannot resolve " + address + ": " + gai_strerror(rc);
    return nullptr;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int rc = fd < 0 ? -1 : connect(fd, found->ai_addr, found->ai_addrlen);
  freeaddrinfo(found);
  if (rc != 0 && errno == EINPROGRESS) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int error = ETIMEDOUT;
    socklen_t length = sizeof error;
    if (WaitFor(fd, POLLOUT, deadline, false))
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    rc = error == 0 ? 0 : -1;
    errno = error;
  }
  if (rc != 0) {
    why = "cannot connect to " + address + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return std::unique_ptr<Socket>(new Socket(fd));
}

Socket::~Socket() { close(fd_); }

bool Socket::SendAll(std::string_view bytes, std::string& why) {
  auto deadline = std::chrono::steady_clock::now() + kSendTimeout;
  size_t done = 0;
  // The send is tried first: the socket buffer nearly always has room, and
  // the wait for room is only for when it has not.
  while (done < bytes.size()) {
    ssize_t sent = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno != EAGAIN && errno != EINTR) {
      why = std::string("send failed: ") + strerror(errno);
      return false;
    }
    if (!WaitFor(fd_, POLLOUT, deadline, false)) {
      why = "send timed out";
      return false;
    }
  }
  return true;
}

bool Socket::ReceiveExact(void* buffer, size_t size, Millis timeout, std::string& why) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  // Without a time limit the receive itself waits (the socket blocks, and
  // Shutdown ends the wait): one call per piece instead of a poll and a
  // call.
  const bool forever = timeout.count() < 0;
  size_t done = 0;
  while (done < size) {
    if (!forever && !WaitFor(fd_, POLLIN, deadline, false)) {
      why = "no answer from the host within " + std::to_string(timeout.count()) + " ms";
      return false;
    }
    ssize_t got = recv(fd_, static_cast<char*>(buffer) + done, size - done,
                       forever ? 0 : MSG_DONTWAIT);
    if (got > 0) {
      done += static_cast<size_t>(got);
    } else if (got == 0) {
      why = "the host closed the connection";
      return false;
    } else if (errno != EAGAIN && errno != EINTR) {
      why = std::string("receive failed: ") + strerror(errno);
      return false;
    }
  }
  return true;
}

bool Socket::PeerClosed() const {
  pollfd p{fd_, POLLIN | POLLRDHUP, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) return true;
  char byte;
  return recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void Socket::Shutdown() { shutdown(fd_, SHUT_RDWR); }

}  // namespace zel::qlx
