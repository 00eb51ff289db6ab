// zelhost's server: one thread, one epoll loop. Every connection, the data
// queues, the RRPs and their timers live on that thread, so a data-queue
// wait running out and an entry arriving are ordered without locks, and a
// write on one connection wakes a read on another in the same step. Host
// programs never block: SLEEP, delayed replies and waits for a PWS program
// are timers of the loop.
#ifndef ZEL_HOST_SERVER_H
#define ZEL_HOST_SERVER_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/faults.h"
#include "host/log.h"
#include "host/queue_store.h"
#include "host/rrp.h"
#include "host/timers.h"

namespace zel::host {

struct ServerOptions {
  std::string listen = "127.0.0.1:0";
  std::string port_file;
  // Where the control token goes; empty: ControlTokenPath(port).
  std::string control_token_file;
  std::string default_user = "ZELUSER";
  std::string library = "QZELDQ";
  bool verbose = false;  // log every data-queue open, write and read too
  // A connection that has sent no whole frame this long after it came is closed.
  std::chrono::seconds idle_timeout{30};
  // Connections beyond this many are closed as soon as they are accepted.
  size_t max_connections = 1000;
};

// The control token file of the zelhost listening on `port` when no file is
// named: "<private dir>/zelhost.<port>.control"; empty with `error` when the
// private directory cannot be trusted.
std::string ControlTokenPath(uint16_t port, std::string* error);

class Server {
 public:
  Server(ServerOptions options, Log& log);
  ~Server();

  // Binds and listens, writes the port file and the control token file
  // (mode 0600, removed again by the destructor); false (logged) on failure.
  bool Listen();
  uint16_t port() const { return port_; }
  // Serves until SIGTERM or SIGINT; returns the exit code.
  int Run();

 private:
  enum class Kind { kUnknown, kSignOn, kDataQueue, kControl };
  struct Session;  // sign-on state of one PWS
  struct Connection {
    uint64_t id = 0;
    int fd = -1;
    std::string peer;
    Kind kind = Kind::kUnknown;
    std::string in;
    size_t consumed = 0;  // bytes of `in` already handled
    std::string out;
    bool want_write = false;
    bool closing = false;
    bool drop_at_next_frame = false;
    Timers::Id idle_timer = 0;  // closes it unless a whole frame comes first
    std::unique_ptr<Session> session;
    // Data-queue connections: the sign-on connections whose tokens it
    // presented, and the queues it was let into (kept after their PWS ends,
    // see Allowed).
    std::set<uint64_t> token_owners;
    std::set<std::string> granted;
    bool control_token_ok = false;  // control connections: the token came
  };

  void Accept();
  void PauseAccepting();
  void ResumeAccepting();
  void WatchListener(bool on);
  void Active(Connection& conn);
  bool RefusedByFault(Connection& conn);
  void OnReadable(Connection& conn);
  void OnWritable(Connection& conn);
  void Process(Connection& conn);
  bool Classify(Connection& conn);
  void Send(uint64_t conn_id, std::string bytes);
  void Flush(Connection& conn);
  void Close(Connection& conn, const std::string& why);
  void ReapClosed();
  Connection* Find(uint64_t id);

  // Sign-on service 11.
  bool ProcessSignOn(Connection& conn);
  void OnPreamble(Connection& conn, std::string_view payload);
  void OnInitBuffer(Connection& conn, std::string_view payload);
  void OnStartRequest(Connection& conn, std::string_view payload);
  void OnRrpStart(Connection& conn, std::string_view payload);
  void OnTermination(Connection& conn);
  void OnTokenRequest(Connection& conn, std::string_view payload);
  void SendToken(Connection& conn);
  void SendSignOn(Connection& conn, uint8_t kind, const void* payload, size_t size);
  std::string ChooseQueueName(const std::string& proposed, uint64_t conn_id);
  std::string AllocatePwsId();
  void EndSession(Connection& conn);

  // Data-queue and control protocol.
  bool ProcessDq(Connection& conn);
  void OnDqFrame(Connection& conn, uint16_t type, uint32_t request_id, std::string_view body);
  void SendDq(uint64_t conn_id, uint16_t type, uint32_t request_id, uint32_t status,
              std::string_view body);
  void OnRead(Connection& conn, uint32_t request_id, std::string_view body);
  uint32_t OnDqToken(Connection& conn, std::string_view token);
  bool Allowed(Connection& conn, const std::string& path);
  void OnControlFrame(Connection& conn, uint16_t type, uint32_t request_id, std::string_view body);
  std::string Control(const std::string& command);
  std::string ControlList();
  std::string ControlFault(const std::vector<std::string>& words);
  Connection* FindByNameOrPws(const std::string& which);

  ServerOptions options_;
  Log& log_;
  Timers timers_;
  QueueStore store_{timers_};
  Faults faults_;
  int epoll_fd_ = -1;
  int listen_fd_ = -1;
  int signal_fd_ = -1;
  uint16_t port_ = 0;
  std::string control_token_;
  std::string control_token_path_;               // removed by the destructor
  std::chrono::milliseconds accept_backoff_{0};  // wait after a failed accept
  Timers::Id accept_timer_ = 0;                  // resumes accepting; 0: accepting
  uint64_t next_id_ = 1;
  uint32_t pws_cursor_ = 0;  // where the search for a free PWS ID starts
  std::map<uint64_t, std::unique_ptr<Connection>> connections_;
  std::vector<uint64_t> closed_;
  std::set<std::string> pws_ids_;  // in use by live sessions
  // "LIBRARY/QUEUE" of each live session's station queue -> its connection.
  std::map<std::string, uint64_t> queue_owners_;
  // Data-queue token -> the sign-on connection it was handed to.
  std::map<std::string, uint64_t> tokens_;
};

}  // namespace zel::host

#endif  // ZEL_HOST_SERVER_H
