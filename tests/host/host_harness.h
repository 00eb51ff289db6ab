// Test helpers for zelhost and the client services: a real zelhost on an
// ephemeral loopback port, raw TCP connections for byte-exact checks, and
// the connection configuration that points the client services at it.
#ifndef ZEL_TESTS_HOST_HOST_HARNESS_H
#define ZEL_TESTS_HOST_HOST_HARNESS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/harness/zel_test.h"

namespace zel::test {

// bin/zelhost of this build tree.
std::string ZelhostBinary();

// A zelhost serving this test; stopped with SIGTERM when destroyed.
class HostServer {
 public:
  explicit HostServer(std::vector<std::string> extra_args = {});
  ~HostServer();

  bool running() const { return port_ != 0; }
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::string& log_path() const { return log_path_; }
  std::string LogText() const;

  // Sends a control command over the control protocol; the answer text.
  std::string Control(const std::string& command) const;
  // Stops the server with SIGTERM; its exit code.
  int Stop();

  // Writes ZEL_CONFIG (in the test directory) with `system NAME` for this
  // server and `default NAME`, plus `extra` lines, and points ZEL_CONFIG at it.
  void Configure(const std::string& name = "HOSTSYS", const std::string& extra = "") const;

 private:
  std::optional<ChildProcess> process_;
  std::string log_path_;
  uint16_t port_ = 0;
};

// A plain blocking TCP connection to 127.0.0.1:port.
class RawConnection {
 public:
  explicit RawConnection(uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(std::string_view bytes);
  // Exactly `size` bytes within the timeout, or nothing.
  std::optional<std::string> Receive(size_t size, Millis timeout = 10s);
  // True when the server closes the connection within the timeout (any
  // bytes before the close are skipped).
  bool ClosedByPeer(Millis timeout = 10s);

 private:
  int fd_ = -1;
};

// Bytes written out by hand in tests: "00 34 12 FF" -> 4 bytes.
std::string Hex(std::string_view spaced_hex);
// Bytes as "00 34 12 FF" for failure messages.
std::string ToHex(std::string_view bytes);

}  // namespace zel::test

#endif  // ZEL_TESTS_HOST_HOST_HARNESS_H
