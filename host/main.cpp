// bin/zelhost: the host server, and its control command.
//
//   zelhost [--listen ADDR:PORT] [--port-file FILE] [--log FILE]
//           [--user USERID] [--library LIBRARY] [--verbose]
//   zelhost --control ADDR:PORT COMMAND...
//   zelhost --help
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/log.h"
#include "host/protocol.h"
#include "host/server.h"

namespace {

constexpr char kUsage[] =
    "usage: zelhost [--listen ADDR:PORT] [--port-file FILE] [--log FILE]\n"
    "               [--user USERID] [--library LIBRARY] [--verbose]\n"
    "       zelhost --control ADDR:PORT COMMAND...\n"
    "\n"
    "Serves the sign-on service 11, keyed data queues and the remote request\n"
    "processor for any number of PWS connections on one TCP port.\n"
    "  --listen     address to listen on (default 127.0.0.1:0; port 0 picks a free one)\n"
    "  --port-file  file that receives the port once listening\n"
    "  --log        log file (default: standard error)\n"
    "  --user       user profile of connections that do not sign on (default ZELUSER)\n"
    "  --library    library of the PWS data queues (default QZELDQ)\n"
    "  --verbose    log every data-queue open, write and read as well\n"
    "\n"
    "Control commands:\n"
    "  list                          connections and queues\n"
    "  stop PWSID|CONN               ask a PWS to end (termination entry)\n"
    "  drop CONN|PWSID [next]        drop a connection now or at its next frame\n"
    "  fault refuse [N|all|off]      refuse the next N (default 1) connections\n"
    "  fault start-format BYTE       next station information has this format byte\n"
    "  fault rrp-rc CODE             next RRP start is answered with this return code\n"
    "  fault delay MS                hold every RRP reply back MS milliseconds (0: off)\n"
    "  fault lose-entry              next multi-entry reply loses its second entry\n"
    "  fault bad-total               next reply carries a wrong total length\n"
    "  fault clear                   clear every fault\n";

bool SendAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return true;
}

bool ReceiveAll(int fd, void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t got = recv(fd, static_cast<char*>(buffer) + done, size - done, 0);
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

int Control(const std::string& address, const std::string& command) {
  size_t colon = address.rfind(':');
  if (colon == std::string::npos) {
    std::fprintf(stderr, "zelhost: bad address '%s' (want ADDR:PORT)\n", address.c_str());
    return 2;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string host = address.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  if (getaddrinfo(host.c_str(), address.c_str() + colon + 1, &hints, &found) != 0) {
    std::fprintf(stderr, "zelhost: cannot resolve %s\n", address.c_str());
    return 2;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  timeval timeout{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
  freeaddrinfo(found);
  if (!connected) {
    std::fprintf(stderr, "zelhost: cannot connect to %s: %s\n", address.c_str(), strerror(errno));
    return 2;
  }
  zel::wire::DqHello hello{};
  std::memcpy(hello.magic, zel::wire::kDqMagic, 4);
  hello.version.set(zel::wire::kDqVersion);
  hello.role.set(zel::wire::kRoleControl);
  zel::wire::DqFrameHeader header{};
  header.length.set(sizeof header + command.size());
  header.type.set(zel::wire::kControl);
  header.request_id.set(1);
  std::string out(reinterpret_cast<const char*>(&hello), sizeof hello);
  out.append(reinterpret_cast<const char*>(&header), sizeof header);
  out.append(command);
  zel::wire::DqHello answer{};
  zel::wire::DqFrameHeader reply{};
  bool ok = SendAll(fd, out) && ReceiveAll(fd, &answer, sizeof answer) && answer.role.get() == 0 &&
            ReceiveAll(fd, &reply, sizeof reply) && reply.length.get() >= sizeof reply &&
            reply.length.get() <= zel::wire::kMaxDqFrame;
  std::string text(ok ? reply.length.get() - sizeof reply : 0, '\0');
  ok = ok && ReceiveAll(fd, text.data(), text.size());
  close(fd);
  if (!ok) {
    std::fprintf(stderr, "zelhost: no answer from %s\n", address.c_str());
    return 2;
  }
  std::fputs(text.c_str(), stdout);
  if (text.empty() || text.back() != '\n') std::fputc('\n', stdout);
  return text.rfind("ok", 0) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  zel::host::ServerOptions options;
  std::string log_path;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool has_value = i + 1 < args.size();
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--verbose") {
      options.verbose = true;
      continue;
    }
    if (arg == "--control") {
      if (i + 2 >= args.size()) {
        std::fputs("zelhost: --control ADDR:PORT COMMAND...\n", stderr);
        return 2;
      }
      std::string command;
      for (size_t j = i + 2; j < args.size(); ++j) command += (j > i + 2 ? " " : "") + args[j];
      return Control(args[i + 1], command);
    }
    std::string* target = arg == "--listen"      ? &options.listen
                          : arg == "--port-file" ? &options.port_file
                          : arg == "--log"       ? &log_path
                          : arg == "--user"      ? &options.default_user
                          : arg == "--library"   ? &options.library
                                                 : nullptr;
    if (target == nullptr || !has_value) {
      std::fprintf(stderr, "zelhost: %s '%s'\n%s", target ? "missing value for" : "unknown option",
                   arg.c_str(), kUsage);
      return 2;
    }
    *target = args[++i];
  }
  zel::host::Log log;
  if (!log.Open(log_path)) {
    std::fprintf(stderr, "zelhost: cannot open log %s: %s\n", log_path.c_str(), strerror(errno));
    return 1;
  }
  zel::host::Server server(options, log);
  if (!server.Listen()) return 1;
  std::printf("zelhost listening on port %u\n", server.port());
  std::fflush(stdout);
  return server.Run();
}
