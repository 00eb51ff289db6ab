// Test helpers for zelhost and the client services: a real zelhost on an
// ephemeral loopback port, raw TCP connections for byte-exact checks, raw
// data-queue requests with a token, and the connection configuration that
// points the client services at it.
#ifndef ZEL_TESTS_HARNESS_HOST_HARNESS_H
#define ZEL_TESTS_HARNESS_HOST_HARNESS_H

#include <sys/resource.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/harness/zel_test.h"

namespace zel::test {

// bin/zelhost of this build tree.
std::string ZelhostBinary();

// A zelhost serving this test; stopped with SIGTERM when destroyed. Its
// control token goes to a file in the test directory unless `extra_args`
// name one with --control-token. With `max_files` above 0 the server runs
// with that RLIMIT_NOFILE. `binary` is the program to run, by default
// ZelhostBinary().
class HostServer {
 public:
  explicit HostServer(std::vector<std::string> extra_args = {}, rlim_t max_files = 0,
                      std::string binary = ZelhostBinary());
  ~HostServer();

  bool running() const { return port_ != 0; }
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  uint16_t port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  const std::string& log_path() const { return log_path_; }
  const std::string& control_token_path() const { return control_token_path_; }
  std::string LogText() const;

  // Sends a control command over the control protocol, after the control
  // token; the answer text.
  std::string Control(const std::string& command) const;
  // Stops the server with SIGTERM; its exit code.
  int Stop();

  // Writes ZEL_CONFIG (in the test directory) with `system NAME` for this
  // server and `default NAME`, plus `extra` lines, and points ZEL_CONFIG at it.
  void Configure(const std::string& name = "HOSTSYS", const std::string& extra = "") const;

 private:
  std::optional<ChildProcess> process_;
  std::string log_path_;
  std::string control_token_path_;
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

// Asks for the data-queue token on a raw sign-on connection (a 0xF1 frame);
// the token, empty when the answer is not a token frame.
std::string RequestToken(RawConnection& pws);

// A raw data-queue connection (hello answered) for requests written by hand.
class RawDataQueue {
 public:
  explicit RawDataQueue(uint16_t port);
  bool ready() const { return ready_; }
  // One request and its reply; the reply's status (0xFFFFFFFF when none came),
  // its body in `reply` when not null.
  uint32_t Call(uint16_t type, std::string_view body, std::string* reply = nullptr);
  uint32_t Present(std::string_view token);
  // Creates LIBRARY/NAME, record length 8320, key size 12.
  uint32_t Create(const std::string& name, const std::string& library = "QZELDQ");

 private:
  RawConnection conn_;
  bool ready_ = false;
  uint32_t next_id_ = 1;
};

// The whole text of a file (a log), empty when it cannot be read.
std::string ReadFile(const std::string& path);

// How often `what` occurs in `text`, overlaps included.
size_t Count(const std::string& text, const std::string& what);

// Bytes written out by hand in tests: "00 34 12 FF" -> 4 bytes.
std::string Hex(std::string_view spaced_hex);
// Bytes as "00 34 12 FF" for failure messages.
std::string ToHex(std::string_view bytes);

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_HOST_HARNESS_H
