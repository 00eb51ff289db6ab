// One data-queue connection of a system object to its zelhost. Requests are
// multiplexed by request id: a receiver thread matches each reply to its
// request, so a read that waits on the host never holds up a write or a
// second read on the same connection. One connection per system object
// rather than one per read: a read then costs a frame, not a TCP handshake,
// and the host sees each PWS's queue traffic on one connection.
//
// Thread-safe; shared by the queue and read handles made through it. When
// the connection breaks, every outstanding call ends with
// QLXDQ_RC_CONNECTION and alive() turns false; the system object then makes
// a new client for the next call. The host gives back any entry it had
// handed to a read of a broken connection.
#ifndef ZEL_SERVICES_DATAQUEUE_DQ_CLIENT_H
#define ZEL_SERVICES_DATAQUEUE_DQ_CLIENT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "services/connection/socket.h"

namespace zel::qlx {

// One request in flight; its reply is filled in by the receiver thread.
struct PendingReply {
  bool done = false;
  bool abandoned = false;  // nobody will take a delivered entry: give it back
  uint32_t status = 0;
  std::string body;
};

class DqClient {
 public:
  // Connects and greets the host; null with `rc` and `why` on failure.
  static std::shared_ptr<DqClient> Connect(const std::string& address, uint32_t& rc,
                                           std::string& why);
  ~DqClient();
  DqClient(const DqClient&) = delete;
  DqClient& operator=(const DqClient&) = delete;

  bool alive() const { return alive_; }

  // Presents a data-queue token (the right to a PWS's queue) unless this
  // connection did already: 0, QLXDQ_RC_REFUSED when the host knows no such
  // token, or QLXDQ_RC_CONNECTION.
  uint32_t Present(const std::string& token);

  // Opens a queue (`name` is its wire name) and gives the host's answer.
  // The host checks every write and read itself, so a queue this connection
  // opened once is opened from memory afterwards: a queue deleted meanwhile
  // fails at its next write or read with the code the open would give.
  uint32_t Open(std::string_view name, std::string* reply);
  // Forgets an open: the queue was deleted, or the host no longer knows it.
  void Forget(std::string_view name);

  // Sends a request and waits (bounded) for its reply; the status, with the
  // reply body in `reply`.
  uint32_t Call(uint16_t type, std::string_view body, std::string* reply);

  // Sends a read; the reply arrives in the returned record (null when the
  // request could not be sent). `request_id` receives its id for Cancel.
  std::shared_ptr<PendingReply> StartRead(std::string_view body, uint32_t& request_id);
  // Waits up to `timeout` for the read's reply; true when it is there.
  bool WaitRead(const std::shared_ptr<PendingReply>& read, std::chrono::milliseconds timeout);
  // The reader gives the read up: a waiting read is cancelled on the host
  // and an entry delivered to it goes back to the queue.
  void Abandon(const std::shared_ptr<PendingReply>& read, uint32_t request_id);
  // Keep or give back the entry of a completed read. False when the frame
  // could not be sent: the connection is then broken and the host gives the
  // entry back itself.
  bool Commit(uint64_t entry_id);
  void Release(uint64_t entry_id);

 private:
  explicit DqClient(std::unique_ptr<Socket> socket);
  uint32_t NextId();
  bool SendFrame(uint16_t type, uint32_t request_id, std::string_view body);
  bool SendId(uint16_t type, uint64_t id);
  void ReceiveLoop();
  void Break();

  std::unique_ptr<Socket> socket_;
  std::atomic<bool> alive_{true};
  std::mutex send_mutex_;
  std::mutex mutex_;  // guards pending_ and every PendingReply
  std::condition_variable replied_;
  std::map<uint32_t, std::shared_ptr<PendingReply>> pending_;
  std::set<std::string> presented_;  // tokens the host accepted; guarded by mutex_
  std::map<std::string, std::string, std::less<>> opened_;  // open answers; guarded by mutex_
  uint32_t next_id_ = 1;
  std::thread receiver_;
};

}  // namespace zel::qlx

#endif  // ZEL_SERVICES_DATAQUEUE_DQ_CLIENT_H
