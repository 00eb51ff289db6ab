// zelhost's server: one thread, one epoll loop. Every connection, the data
// queues, the RRPs and their timers live on that thread, so a data-queue
// wait running out and an entry arriving are ordered without locks, and a
// write on one connection wakes a read on another in the same step. Host
// programs never block: SLEEP, delayed replies and waits for a PWS program
// are timers of the loop.
//
// The server puts the roles together: the transport (host/transport.h) hands
// each connection's frames to the sign-on service (host/signon.h), the
// data-queue service (host/dq_service.h) or the operator's control channel
// (host/control.h), by the service the connection asked for.
#ifndef ZEL_HOST_SERVER_H
#define ZEL_HOST_SERVER_H

#include <cstdint>
#include <string_view>

#include "host/control.h"
#include "host/dq_service.h"
#include "host/faults.h"
#include "host/log.h"
#include "host/options.h"
#include "host/queue_store.h"
#include "host/signon.h"
#include "host/timers.h"
#include "host/transport.h"

namespace zel::host {

// Made, listened and run by main() on its one thread.
class Server {
 public:
  Server(ServerOptions options, Log& log);

  // Binds and listens, writes the control token file (mode 0600, removed
  // again by the destructor) and the port file; false (logged) on failure.
  bool Listen();
  uint16_t port() const { return transport_.port(); }
  // Serves until SIGTERM or SIGINT; returns the exit code.
  int Run() { return transport_.Run(); }

 private:
  // The transport's callbacks: each frame to the service its connection
  // asked for.
  ConnectionHandler Handler();
  bool Admit(Connection& conn, ConnectionKind kind);
  void OnDqFrame(Connection& conn, uint16_t type, uint32_t request_id, std::string_view body);
  void OnClosed(const Connection& conn);

  // Destroyed bottom up: the sessions' RRPs before the queue store and the
  // timers they use, every role before the connections it names.
  ServerOptions options_;
  Log& log_;
  Timers timers_;
  QueueStore store_{timers_};
  Faults faults_;
  Transport transport_{options_, log_, timers_, Handler()};
  SignOnService signon_{options_, log_, transport_, store_, timers_, faults_};
  DataQueueService data_queues_{options_, log_, transport_, store_, signon_, faults_};
  Control control_{options_, log_, transport_, store_, signon_, faults_};
};

}  // namespace zel::host

#endif  // ZEL_HOST_SERVER_H
