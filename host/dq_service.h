// The data-queue service (wire/protocol.h, role 1): creates, deletes, opens,
// writes and reads the keyed queues of the QueueStore for data-queue
// connections, and settles the entries their reads were handed. A connection
// reaches a queue only with the data-queue token of the PWS the queue was
// given to (SignOnService), and keeps that right after its PWS ends until the
// name goes to another PWS.
//
// Owns each data-queue connection's rights: the sign-on connections whose
// tokens it presented and the queues it was let into. Runs on the server's
// thread only; the answers of waiting reads go out from the queue store's
// callbacks on that thread.
#ifndef ZEL_HOST_DQ_SERVICE_H
#define ZEL_HOST_DQ_SERVICE_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "host/faults.h"
#include "host/log.h"
#include "host/options.h"
#include "host/queue_store.h"
#include "host/signon.h"
#include "host/transport.h"

namespace zel::host {

class DataQueueService {
 public:
  DataQueueService(const ServerOptions& options, Log& log, Transport& transport, QueueStore& store,
                   const SignOnService& signon, Faults& faults);

  // A whole frame of a data-queue connection; every request but kCommit,
  // kRelease and kCancel is answered, now or (kRead) when the read ends.
  void OnFrame(Connection& conn, uint16_t type, uint32_t request_id, std::string_view body);
  // The connection is gone: its waiting reads end unanswered, the entries it
  // holds go back to their queues, its rights are forgotten.
  void End(uint64_t conn_id);

 private:
  struct Rights {
    std::set<uint64_t> token_owners;  // sign-on connections whose tokens it presented
    std::set<std::string> granted;    // queues it was let into
  };

  // The handlers of requests with a plain status answer return it.
  uint32_t Token(Connection& conn, std::string_view token);
  uint32_t Create(Connection& conn, std::string_view body);
  uint32_t Delete(Connection& conn, std::string_view body);
  uint32_t Write(Connection& conn, std::string_view body);
  uint32_t Unknown(const Connection& conn, uint16_t type);
  // These answer for themselves, or (Settle) not at all.
  void Open(Connection& conn, uint32_t request_id, std::string_view body);
  void Read(Connection& conn, uint32_t request_id, std::string_view body);
  void Settle(Connection& conn, uint16_t type, std::string_view body);
  // Logs the refusal of a request on a queue the connection has no right to;
  // QLXDQ_RC_REFUSED.
  uint32_t Refused(const Connection& conn, const char* what, const std::string& path);
  // The drop-mid-reply fault: true when `conn` is about to take the first
  // entry of a multi-entry reply and the fault is on.
  bool DropsMidReply(const Connection& conn, uint64_t entry_id, std::string* path);
  void DropMidReply(Connection& conn, const std::string& path);
  // The hold-write fault: true when the write `body` is the one it holds.
  bool HoldsWrite(const Connection& conn, std::string_view body);
  bool Allowed(Connection& conn, const std::string& path);

  const ServerOptions& options_;
  Log& log_;
  Transport& transport_;
  QueueStore& store_;
  const SignOnService& signon_;
  Faults& faults_;
  std::map<uint64_t, Rights> rights_;  // by data-queue connection
};

}  // namespace zel::host

#endif  // ZEL_HOST_DQ_SERVICE_H
