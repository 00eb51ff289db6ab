// The operator's control channel (wire/protocol.h, role 2) and the faults it
// switches on. A control connection first presents the control token, which
// only the user running zelhost can read from its file; then each command
// ("list", "stop PWS", "drop CONN|PWS [next]", "hold PWS|all [N]",
// "release PWS|all", "interleave PWS|all N|off", "fault ...") is answered
// with a text that starts with "ok" or "error".
//
// "interleave PWS|all N" makes the next N (at least 2) multi-entry replies
// of the PWS wait once complete; when the Nth is complete all N are written
// as one batch, entry by entry in turns: the first entry of each in the
// order they completed, then the second ones, and so on. Single-entry
// replies pass meanwhile. "interleave PWS|all off" ends it and writes what
// was kept back, in turns, at once.
//
// Owns the control token and its file (removed by the destructor) and the
// set of connections that presented the token; changes the Faults that the
// sign-on service and the RRPs consult, and applies the refuse fault itself.
// Runs on the server's thread only.
#ifndef ZEL_HOST_CONTROL_H
#define ZEL_HOST_CONTROL_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/faults.h"
#include "host/log.h"
#include "host/options.h"
#include "host/queue_store.h"
#include "host/signon.h"
#include "host/transport.h"

namespace zel::host {

// The control token file of the zelhost listening on `port` when no file is
// named: "<private dir>/zelhost.<port>.control"; empty with `error` when the
// private directory cannot be trusted.
std::string ControlTokenPath(uint16_t port, std::string* error);

class Control {
 public:
  Control(const ServerOptions& options, Log& log, Transport& transport, const QueueStore& store,
          SignOnService& signon, Faults& faults);
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // Makes the control token and writes it (mode 0600) to
  // options.control_token_file or ControlTokenPath(port); false (logged)
  // when it cannot.
  bool WriteTokenFile(uint16_t port);
  // The refuse fault: true when it is on, after closing `conn`.
  bool RefusedByFault(Connection& conn);
  // A whole frame of a control connection: kToken, then kControl commands.
  void OnFrame(Connection& conn, uint16_t type, uint32_t request_id, std::string_view body);
  // The connection is gone.
  void End(uint64_t conn_id);

 private:
  std::string Command(const std::string& command);
  std::string List();
  std::string Stop(const std::string& which);
  std::string Drop(const std::string& which, bool at_next_frame);
  // Keeps `count` RRPs (all current ones when negative) of the PWS, or of
  // every started PWS, busy; nullopt ends the hold.
  std::string Hold(const std::string& which, std::optional<int> count);
  // Interleaves the next `count` multi-entry replies; 0 ends it.
  std::string Interleave(const std::string& which, int count);
  // The RRPs of the PWS `which`, or of every started PWS for "all"; false
  // when `which` names no started PWS.
  bool StartedRrps(const std::string& which, std::vector<Rrp*>& rrps);
  std::string Fault(const std::vector<std::string>& words);
  Connection* FindByNameOrPws(const std::string& which);

  const ServerOptions& options_;
  Log& log_;
  Transport& transport_;
  const QueueStore& store_;
  SignOnService& signon_;
  Faults& faults_;
  std::string token_;
  std::string token_path_;         // removed by the destructor; empty: none written
  std::set<uint64_t> authorised_;  // connections that presented the token
};

}  // namespace zel::host

#endif  // ZEL_HOST_CONTROL_H
