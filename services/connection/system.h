// A system object of the connection service and the service handle of its
// sign-on connection. Shared by the connection and data-queue services.
#ifndef ZEL_SERVICES_CONNECTION_SYSTEM_H
#define ZEL_SERVICES_CONNECTION_SYSTEM_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "services/connection/socket.h"

namespace zel::qlx {

class DqClient;

struct SystemObject {
  std::string name;
  std::string address;          // HOST:PORT of its zelhost, from the configuration
  std::string configured_user;  // the configuration's `user`, may be empty

  std::mutex mutex;              // guards every field below
  std::string user;              // set by qlxCO_SetUserID
  std::string password;          // set by qlxCO_SetPassword
  uint32_t sign_on_mode = 0;     // QLXCO_SIGNON_*
  std::shared_ptr<Socket> link;  // sign-on connection; null when not connected
  uint32_t connection_id = 0;    // the host's number for `link`
  std::string signed_on_user;    // the user the host signed `link` on as
  std::shared_ptr<DqClient> dq;  // data-queue connection, made at first use

  // Serialise whole messages on `link` in each direction.
  std::mutex send_mutex;
  std::mutex receive_mutex;
};

// A service handle: the sign-on connection of one system object.
struct ServiceLink {
  std::shared_ptr<SystemObject> system;
};

}  // namespace zel::qlx

#endif  // ZEL_SERVICES_CONNECTION_SYSTEM_H
