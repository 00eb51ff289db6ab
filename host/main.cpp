// bin/zelhost: the host server, and its control command.
//
//   zelhost [--listen ADDR:PORT] [--port-file FILE] [--log FILE]
//           [--user USERID] [--library LIBRARY] [--verbose]
//           [--idle-timeout SECONDS] [--max-connections N] [--control-token FILE]
//           [--pc-answer-timeout SECONDS]
//   zelhost [--control-token FILE] --control ADDR:PORT COMMAND...
//   zelhost --help
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/config.h"
#include "host/log.h"
#include "host/server.h"
#include "wire/protocol.h"

namespace {

constexpr char kUsage[] =
    "usage: zelhost [--listen ADDR:PORT] [--port-file FILE] [--log FILE]\n"
    "               [--user USERID] [--library LIBRARY] [--verbose]\n"
    "               [--idle-timeout SECONDS] [--max-connections N] [--control-token FILE]\n"
    "               [--pc-answer-timeout SECONDS]\n"
    "       zelhost [--control-token FILE] --control ADDR:PORT COMMAND...\n"
    "\n"
    "Serves the sign-on service 11, keyed data queues and the remote request\n"
    "processor for any number of PWS connections on one TCP port.\n"
    "  --listen           address to listen on (default 127.0.0.1:0; port 0 picks a free one)\n"
    "  --port-file        file that receives the port once listening\n"
    "  --log              log file, made with mode 0600 (default: standard error)\n"
    "  --user             user profile of connections that do not sign on (default ZELUSER)\n"
    "  --library          library of the PWS data queues (default QZELDQ)\n"
    "  --verbose          log every data-queue open, write and read as well\n"
    "  --idle-timeout     close a connection that sends no whole frame within\n"
    "                     SECONDS of connecting (default 30)\n"
    "  --max-connections  close new connections at once beyond N (default 1000)\n"
    "  --pc-answer-timeout  how long CALLPC waits for the PWS program's answer\n"
    "                     (default 120)\n"
    "  --control-token    the control token file (default: zelhost.PORT.control in\n"
    "                     the private directory, $XDG_RUNTIME_DIR/zel or /tmp/zel-UID)\n"
    "\n"
    "Only the user who runs zelhost can control it: it writes a random control\n"
    "token to a file of mode 0600 that --control reads and presents.\n"
    "\n"
    "Control commands:\n"
    "  list                          connections and queues\n"
    "  stop PWSID|CONN               ask a PWS to end (termination entry)\n"
    "  drop CONN|PWSID [next]        drop a connection now or at its next frame\n"
    "  hold PWSID|all [N]            keep N (default: all) RRPs busy: no ready entry for them\n"
    "  release PWSID|all             end the hold\n"
    "  interleave PWSID|all N|off    keep the next N (at least 2) multi-entry replies back\n"
    "                                until all N are complete, then write them entry by\n"
    "                                entry in turns; off writes what was kept back\n"
    "  fault refuse [N|all|off]      refuse the next N (default 1) sign-on and data-queue\n"
    "                                connections (control connections are always served)\n"
    "  fault start-format BYTE       next station information has this format byte\n"
    "  fault rrp-rc CODE             next RRP start is answered with this return code\n"
    "  fault delay MS                hold every RRP reply back MS milliseconds (0: off)\n"
    "  fault pace MS                 next multi-entry reply: its entries MS ms apart\n"
    "  fault lose-entry [pc]         next multi-entry reply (pc: next request CALLPC\n"
    "                                writes towards a PWS program) loses its second entry\n"
    "  fault bad-total [pc]          its last entry carries a wrong total length\n"
    "  fault drop-mid-reply          drop the PWS once it took the first entry of a\n"
    "                                multi-entry reply\n"
    "  fault hold-write KEY          neither store nor answer the next data-queue write\n"
    "                                of an entry whose key begins with KEY\n"
    "  fault clear                   clear every fault\n";

bool PositiveNumber(const std::string& text, uint32_t& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out > 0;
}

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

// The control token of the zelhost at `address`, from `file` or the default
// file for its port; empty after a message on stderr.
std::string ControlToken(const std::string& address, std::string file) {
  std::string error;
  uint16_t port = 0;
  std::string_view port_text = std::string_view(address).substr(address.rfind(':') + 1);
  auto [end, ec] = std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
  if (file.empty() && (ec != std::errc() || end != port_text.data() + port_text.size())) {
    std::fprintf(stderr, "zelhost: bad port in '%s'\n", address.c_str());
    return {};
  }
  if (file.empty()) file = zel::host::ControlTokenPath(port, &error);
  std::string text;
  zel::config::PrivateRead read = file.empty() ? zel::config::PrivateRead::kRefused
                                               : zel::config::ReadPrivateFile(file, &text, &error);
  if (read == zel::config::PrivateRead::kMissing) {
    std::fprintf(stderr,
                 "zelhost: no control token in %s (is zelhost listening on %s as this user?)\n",
                 file.c_str(), address.c_str());
    return {};
  }
  if (read == zel::config::PrivateRead::kRefused) {
    std::fprintf(stderr, "zelhost: control token: %s\n", error.c_str());
    return {};
  }
  std::string token = zel::wire::TokenFromHex(text);
  if (token.empty()) std::fprintf(stderr, "zelhost: %s holds no control token\n", file.c_str());
  return token;
}

std::string DqFrame(uint16_t type, std::string_view body) {
  zel::wire::DqFrameHeader header{};
  header.length.set(sizeof header + body.size());
  header.type.set(type);
  header.request_id.set(1);
  std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
  frame.append(body);
  return frame;
}

// One reply frame; its status, and its body in `body`. False when none came.
bool ReceiveReply(int fd, uint32_t& status, std::string& body) {
  zel::wire::DqFrameHeader reply{};
  if (!ReceiveAll(fd, &reply, sizeof reply) || reply.length.get() < sizeof reply ||
      reply.length.get() > zel::wire::kMaxDqFrame) {
    return false;
  }
  status = static_cast<uint32_t>(reply.status.get());
  body.assign(reply.length.get() - sizeof reply, '\0');
  return ReceiveAll(fd, body.data(), body.size());
}

int Control(const std::string& address, const std::string& token_file, const std::string& command) {
  size_t colon = address.rfind(':');
  if (colon == std::string::npos) {
    std::fprintf(stderr, "zelhost: bad address '%s' (want ADDR:PORT)\n", address.c_str());
    return 2;
  }
  std::string token = ControlToken(address, token_file);
  if (token.empty()) return 2;
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
  std::string out(reinterpret_cast<const char*>(&hello), sizeof hello);
  out += DqFrame(zel::wire::kToken, token);
  out += DqFrame(zel::wire::kControl, command);
  zel::wire::DqHello answer{};
  uint32_t token_status = 0, status = 0;
  std::string text;
  bool greeted = SendAll(fd, out) && ReceiveAll(fd, &answer, sizeof answer) &&
                 answer.role.get() == 0 && ReceiveReply(fd, token_status, text);
  bool ok = greeted && token_status == 0 && ReceiveReply(fd, status, text);
  close(fd);
  if (greeted && token_status != 0) {
    std::fprintf(stderr, "zelhost: %s refused the control token\n", address.c_str());
    return 2;
  }
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
  std::string log_path, idle_timeout, max_connections, pc_answer_timeout;
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
      return Control(args[i + 1], options.control_token_file, command);
    }
    std::string* target = arg == "--listen"              ? &options.listen
                          : arg == "--port-file"         ? &options.port_file
                          : arg == "--log"               ? &log_path
                          : arg == "--user"              ? &options.default_user
                          : arg == "--library"           ? &options.library
                          : arg == "--control-token"     ? &options.control_token_file
                          : arg == "--idle-timeout"      ? &idle_timeout
                          : arg == "--max-connections"   ? &max_connections
                          : arg == "--pc-answer-timeout" ? &pc_answer_timeout
                                                         : nullptr;
    if (target == nullptr || !has_value) {
      std::fprintf(stderr, "zelhost: %s '%s'\n%s", target ? "missing value for" : "unknown option",
                   arg.c_str(), kUsage);
      return 2;
    }
    *target = args[++i];
  }
  if (!idle_timeout.empty()) {
    uint32_t seconds = 0;
    if (!PositiveNumber(idle_timeout, seconds)) {
      std::fprintf(stderr, "zelhost: --idle-timeout wants a number of seconds above 0\n");
      return 2;
    }
    options.idle_timeout = std::chrono::seconds(seconds);
  }
  if (!max_connections.empty()) {
    uint32_t count = 0;
    if (!PositiveNumber(max_connections, count)) {
      std::fprintf(stderr, "zelhost: --max-connections wants a number above 0\n");
      return 2;
    }
    options.max_connections = count;
  }
  if (!pc_answer_timeout.empty()) {
    uint32_t seconds = 0;
    if (!PositiveNumber(pc_answer_timeout, seconds)) {
      std::fprintf(stderr, "zelhost: --pc-answer-timeout wants a number of seconds above 0\n");
      return 2;
    }
    options.pc_answer_timeout = std::chrono::seconds(seconds);
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
