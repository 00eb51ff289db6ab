#include "host/server.h"

#include <utility>

namespace zel::host {

Server::Server(ServerOptions options, Log& log) : options_(std::move(options)), log_(log) {}

// The control token is in place before the port is told to anybody.
bool Server::Listen() {
  return transport_.Listen() && control_.WriteTokenFile(transport_.port()) &&
         transport_.WritePortFile();
}

ConnectionHandler Server::Handler() {
  return {[this](Connection& conn, ConnectionKind kind) { return Admit(conn, kind); },
          [this](Connection& conn, uint8_t kind, std::string_view payload) {
            signon_.OnFrame(conn, kind, payload);
          },
          [this](Connection& conn, uint16_t type, uint32_t request_id, std::string_view body) {
            OnDqFrame(conn, type, request_id, body);
          },
          [this](const Connection& conn) { OnClosed(conn); }};
}

// Control connections are never refused by the refuse fault: it could not
// be cleared otherwise.
bool Server::Admit(Connection& conn, ConnectionKind kind) {
  if (kind == ConnectionKind::kControl) return true;
  if (control_.RefusedByFault(conn)) return false;
  if (kind == ConnectionKind::kSignOn) signon_.Begin(conn.id);
  return true;
}

void Server::OnDqFrame(Connection& conn, uint16_t type, uint32_t request_id,
                       std::string_view body) {
  if (conn.kind == ConnectionKind::kControl) return control_.OnFrame(conn, type, request_id, body);
  data_queues_.OnFrame(conn, type, request_id, body);
}

void Server::OnClosed(const Connection& conn) {
  signon_.End(conn.id);
  data_queues_.End(conn.id);
  control_.End(conn.id);
}

}  // namespace zel::host
