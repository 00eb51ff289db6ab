// Sign-on service 11: signs a connection on (the preamble), hands out its
// PWS's data-queue token, answers the start request with the station
// information (choosing the PWS's queue name), the RRP start with the started
// message (assigning the PWS ID and starting its RRPs) and the termination
// signal with its acknowledgement.
//
// Owns the session of each sign-on connection (with its RRPs), the PWS IDs in
// use, which session each station queue was given to and which connection
// each data-queue token belongs to. Runs on the server's thread only.
#ifndef ZEL_HOST_SIGNON_H
#define ZEL_HOST_SIGNON_H

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "host/faults.h"
#include "host/log.h"
#include "host/options.h"
#include "host/queue_store.h"
#include "host/rrp.h"
#include "host/timers.h"
#include "host/transport.h"

namespace zel::host {

class SignOnService {
 public:
  // What the host knows of the PWS on one sign-on connection.
  struct Session {
    std::string user;           // the user ID it runs under
    bool station_sent = false;  // the start request was answered
    std::string queue_name;     // the station queue name this PWS was given
    std::string pws_id;         // empty until the first RRP start
    std::string token;          // its data-queue token; empty until asked for
    std::unique_ptr<Rrp> rrp;   // its RRPs; null until an RRP start succeeds
  };

  SignOnService(const ServerOptions& options, Log& log, Transport& transport, QueueStore& store,
                Timers& timers, Faults& faults);

  // A sign-on connection came: its session, under the default user.
  void Begin(uint64_t conn_id);
  // A whole frame of a connection that Begin saw.
  void OnFrame(Connection& conn, uint8_t kind, std::string_view payload);
  // The connection is gone: its PWS ends, its token and queue name are free.
  // Nothing happens for a connection Begin never saw.
  void End(uint64_t conn_id);

  // The session of a sign-on connection; null for other connections.
  Session* Find(uint64_t conn_id);
  // The sign-on connection whose data-queue token this is; 0 when none.
  uint64_t TokenOwner(std::string_view token) const;
  // The live session's connection that "LIBRARY/QUEUE" was given to; 0 when none.
  uint64_t QueueOwner(const std::string& path) const;

 private:
  void OnPreamble(Connection& conn, std::string_view payload);
  void OnInitBuffer(Connection& conn, std::string_view payload);
  void OnStartRequest(Connection& conn, std::string_view payload);
  void OnRrpStart(Connection& conn, std::string_view payload);
  void OnTermination(Connection& conn);
  void OnTokenRequest(Connection& conn, std::string_view payload);
  void SendToken(uint64_t conn_id, const Session& session);
  std::string ChooseQueueName(const std::string& proposed, uint64_t conn_id);
  std::string AllocatePwsId();
  void EndSession(Session& session);
  std::string StationPath(const std::string& queue_name) const;

  const ServerOptions& options_;
  Log& log_;
  Transport& transport_;
  QueueStore& store_;
  Timers& timers_;
  Faults& faults_;
  std::map<uint64_t, Session> sessions_;  // by sign-on connection
  uint32_t pws_cursor_ = 0;               // where the search for a free PWS ID starts
  std::set<std::string> pws_ids_;         // in use by live sessions
  // "LIBRARY/QUEUE" of each live session's station queue -> its connection.
  std::map<std::string, uint64_t> queue_owners_;
  // Data-queue token -> the sign-on connection it was handed to.
  std::map<std::string, uint64_t> tokens_;
};

}  // namespace zel::host

#endif  // ZEL_HOST_SIGNON_H
