// zelhost's transport: the listening socket, accepting (with a backoff when
// accept fails and a limit on connections), each connection's idle time-out,
// the epoll loop and the framing of wire/protocol.h. It tells a connection's
// service from its first bytes, cuts its input into whole frames, hands each
// frame to the ConnectionHandler and writes the frames the services answer
// with.
//
// Everything here runs on the server's single thread: the loop, the handler
// calls out of it and every call into it (the handler's, and the queue
// store's and the timers' callbacks that answer later).
#ifndef ZEL_HOST_TRANSPORT_H
#define ZEL_HOST_TRANSPORT_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/log.h"
#include "host/options.h"
#include "host/timers.h"

namespace zel::host {

// The service a connection asked for with its first bytes.
enum class ConnectionKind { kUnknown, kSignOn, kDataQueue, kControl };

// One accepted connection: its socket and buffers. Owned by the Transport;
// it stays in place after Close until the loop's step ends, so a reference
// held during a step stays valid.
struct Connection {
  uint64_t id = 0;  // never 0, never reused
  int fd = -1;
  std::string peer;  // "ADDRESS:PORT" for the log
  ConnectionKind kind = ConnectionKind::kUnknown;
  std::string in;
  size_t consumed = 0;  // bytes of `in` already handled
  std::string out;      // not yet taken by the socket
  bool want_write = false;
  bool closing = false;
  bool drop_at_next_frame = false;  // the operator's fault: close it at its next frame
  Timers::Id idle_timer = 0;        // closes it unless a whole frame comes first
};

// The next whole frame at the front of a connection's input, as the
// transport cuts it; the server's frame decoding, callable without a socket.
struct FrameCut {
  enum Status { kIncomplete, kFrame, kMalformed };
  Status status = kIncomplete;
  size_t length = 0;        // kFrame: the whole frame, its header included
  uint16_t type = 0;        // kFrame: a sign-on frame's kind, a data-queue frame's type
  uint32_t request_id = 0;  // kFrame: a data-queue frame's request id
  std::string_view body;    // kFrame: the bytes after the header, inside `in`
  std::string error;        // kMalformed: why, for the log
};

// Sign-on frames (wire::SignOnFrameHeader) and data-queue frames
// (wire::DqFrameHeader). A frame is malformed as soon as its header is.
FrameCut CutSignOnFrame(std::string_view in);
FrameCut CutDqFrame(std::string_view in);

// The services behind the transport, each called on the server's thread
// only. Plain callbacks, not virtual functions: the sanitizer build's first
// type check of a virtual call probes memory through a pipe, and a server
// out of descriptors, which cannot open one, would abort there.
struct ConnectionHandler {
  // A connection asked for service `kind`: false when the service refuses
  // it, after closing it.
  std::function<bool(Connection& conn, ConnectionKind kind)> admit;
  // A whole sign-on frame of kind kFrameMessage, kFramePreamble or kFrameToken.
  std::function<void(Connection& conn, uint8_t kind, std::string_view payload)> sign_on_frame;
  // A whole data-queue frame, on a data-queue or a control connection.
  std::function<void(Connection& conn, uint16_t type, uint32_t request_id, std::string_view body)>
      dq_frame;
  // The connection's socket is closed; the connection goes right after.
  std::function<void(const Connection& conn)> closed;
};

class Transport {
 public:
  Transport(const ServerOptions& options, Log& log, Timers& timers, ConnectionHandler handler);
  ~Transport();
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Binds and listens on options.listen; false (logged) on failure.
  bool Listen();
  // Writes the port to options.port_file, if one is named; false (logged)
  // on failure.
  bool WritePortFile();
  uint16_t port() const { return port_; }
  // Serves until SIGTERM or SIGINT, then closes every connection; returns
  // the exit code.
  int Run();

  // The connection with this id, null when it is gone or closing.
  Connection* Find(uint64_t id);
  // Every connection, those closing in this step too, by id.
  const std::map<uint64_t, std::unique_ptr<Connection>>& connections() const {
    return connections_;
  }
  // One frame to a connection; dropped when the connection is gone or closing.
  void SendSignOn(uint64_t conn_id, uint8_t kind, const void* payload, size_t size);
  void SendDq(uint64_t conn_id, uint16_t type, uint32_t request_id, uint32_t status,
              std::string_view body = {});
  // Logs the close with `why`; the socket closes when the loop's step ends.
  void Close(Connection& conn, const std::string& why);

 private:
  void Accept();
  void PauseAccepting();
  void ResumeAccepting();
  void WatchListener(bool on);
  void Active(Connection& conn);
  void OnReadable(Connection& conn);
  void Process(Connection& conn);
  bool Classify(Connection& conn);
  bool ClassifyDq(Connection& conn);
  bool NextFrame(Connection& conn);
  void Send(uint64_t conn_id, std::string bytes);
  void Flush(Connection& conn);
  void ReapClosed();

  const ServerOptions& options_;
  Log& log_;
  Timers& timers_;
  ConnectionHandler handler_;
  int epoll_fd_ = -1;
  int listen_fd_ = -1;
  int signal_fd_ = -1;
  uint16_t port_ = 0;
  std::chrono::milliseconds accept_backoff_{0};  // wait after a failed accept
  Timers::Id accept_timer_ = 0;                  // resumes accepting; 0: accepting
  uint64_t next_id_ = 1;
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::vector<uint64_t> closed_;  // closing, not yet reaped
};

}  // namespace zel::host

#endif  // ZEL_HOST_TRANSPORT_H
