// A system object of the connection service. Shared by the connection,
// data-queue and QLXUNAPI services, which look system handles up under
// SystemKind().
#ifndef ZEL_SERVICES_CONNECTION_SYSTEM_H
#define ZEL_SERVICES_CONNECTION_SYSTEM_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "services/connection/service_object.h"
#include "services/connection/socket.h"

namespace zel::qlx {

class DqClient;

// The handle kind of system objects, registered at first use.
HandleKind SystemKind();

struct SystemObject : ServiceObject {
  SystemObject() : ServiceObject(SystemKind()) {}

  std::string name;
  std::string address;          // HOST:PORT of its zelhost, from the configuration
  std::string configured_user;  // the configuration's `user`, may be empty

  std::mutex mutex;              // guards every field below
  bool deleted = false;          // qlxCO_DeleteSystem ran: a call still holding it connects nothing
  std::string user;              // set by qlxCO_SetUserID
  std::string password;          // set by qlxCO_SetPassword
  uint32_t sign_on_mode = 0;     // QLXCO_SIGNON_*
  std::shared_ptr<Socket> link;  // sign-on connection; null when not connected
  uint32_t connection_id = 0;    // the host's number for `link`
  std::string signed_on_user;    // the user the host signed `link` on as
  std::string token;             // data-queue token the host handed `link`; empty when none
  std::string token_file;        // where `token` is kept for other processes; empty when none
  std::shared_ptr<DqClient> dq;  // data-queue connection, made at first use

  // Serialise whole messages on `link` in each direction.
  std::mutex send_mutex;
  std::mutex receive_mutex;
};

}  // namespace zel::qlx

#endif  // ZEL_SERVICES_CONNECTION_SYSTEM_H
