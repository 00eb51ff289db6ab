// A blocking TCP connection to zelhost with bounded waits. Sends may come
// from one thread while another receives; Shutdown() from any thread ends a
// receive in progress.
#ifndef ZEL_SERVICES_CONNECTION_SOCKET_H
#define ZEL_SERVICES_CONNECTION_SOCKET_H

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace zel::qlx {

using Millis = std::chrono::milliseconds;

class Socket {
 public:
  // Connects to HOST:PORT; null with `why` on failure.
  static std::unique_ptr<Socket> Connect(const std::string& address, Millis timeout,
                                         std::string& why);
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool SendAll(std::string_view bytes, std::string& why);
  // Exactly `size` bytes, waiting at most `timeout` (negative: no limit).
  bool ReceiveExact(void* buffer, size_t size, Millis timeout, std::string& why);
  // True when the host has closed its side (nothing is consumed).
  bool PeerClosed() const;
  void Shutdown();

 private:
  explicit Socket(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace zel::qlx

#endif  // ZEL_SERVICES_CONNECTION_SOCKET_H
