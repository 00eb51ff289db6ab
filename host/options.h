// zelhost's settings, from its command line. Filled in by main() before the
// server is made; the server and its roles only read them.
#ifndef ZEL_HOST_OPTIONS_H
#define ZEL_HOST_OPTIONS_H

#include <chrono>
#include <cstddef>
#include <string>

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
  // How long CALLPC waits for the PWS program's answer before it answers
  // its requester 0x7003.
  std::chrono::seconds pc_answer_timeout{120};
};

}  // namespace zel::host

#endif  // ZEL_HOST_OPTIONS_H
