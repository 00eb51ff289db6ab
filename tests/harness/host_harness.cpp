#include "tests/harness/host_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/harness/waits.h"
#include "wire/protocol.h"

namespace zel::test {

// The test binary runs zelhost in its child slot: the child replaces itself
// with the server, so ChildProcess tracks the server's own pid. The first
// argument is the descriptor limit for the server, 0 for none; the second
// the server's program.
ZEL_CHILD_COMMAND(zelhost) {
  rlim_t max_files = std::stoul(args[0]);
  if (max_files > 0) {
    rlimit limit{max_files, max_files};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) perror("setrlimit");
  }
  std::string binary = args[1];
  std::vector<char*> argv = {binary.data()};
  std::vector<std::string> copies(args.begin() + 2, args.end());
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  execv(binary.c_str(), argv.data());
  perror("execv zelhost");
  return 127;
}

std::string ZelhostBinary() {
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
  return (self.parent_path().parent_path() / "bin" / "zelhost").string();
}

HostServer::HostServer(std::vector<std::string> extra_args, rlim_t max_files, std::string binary) {
  static int count = 0;
  std::string tag = std::to_string(count++);
  std::string port_file = TestPath("zelhost" + tag + ".port");
  log_path_ = TestPath("zelhost" + tag + ".log");
  std::vector<std::string> args = {std::to_string(max_files),
                                   std::move(binary),
                                   "--listen",
                                   "127.0.0.1:0",
                                   "--port-file",
                                   port_file,
                                   "--log",
                                   log_path_};
  auto named = std::find(extra_args.begin(), extra_args.end(), "--control-token");
  if (named != extra_args.end() && named + 1 != extra_args.end()) {
    control_token_path_ = named[1];
  } else {
    control_token_path_ = TestPath("zelhost" + tag + ".control");
    args.insert(args.end(), {"--control-token", control_token_path_});
  }
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  process_.emplace(ChildProcess::Start("zelhost", args));
  // The port file appears once the server listens.
  bool listening = Eventually([&] {
    std::ifstream file(port_file);
    unsigned port = 0;
    if (!(file >> port) || port == 0) return !process_->running();
    port_ = static_cast<uint16_t>(port);
    return true;
  });
  if (!listening || port_ == 0) ADD_FAILURE() << "zelhost did not start; log:\n" << LogText();
}

HostServer::~HostServer() {
  if (process_ && process_->running()) Stop();
}

int HostServer::Stop() {
  process_->Kill(SIGTERM);
  return process_->Wait(10s);
}

std::string HostServer::LogText() const { return ReadFile(log_path_); }

namespace {

std::string DqHelloBytes(uint16_t role) {
  wire::DqHello hello{};
  std::memcpy(hello.magic, wire::kDqMagic, 4);
  hello.version.set(wire::kDqVersion);
  hello.role.set(role);
  return std::string(reinterpret_cast<const char*>(&hello), sizeof hello);
}

std::string DqFrame(uint16_t type, uint32_t request_id, std::string_view body) {
  wire::DqFrameHeader header{};
  header.length.set(sizeof header + body.size());
  header.type.set(type);
  header.request_id.set(request_id);
  std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
  frame.append(body);
  return frame;
}

// The next reply frame's status and body; nothing when none came in time.
std::optional<std::pair<uint32_t, std::string>> DqReply(RawConnection& conn) {
  auto head = conn.Receive(sizeof(wire::DqFrameHeader));
  if (!head) return std::nullopt;
  wire::DqFrameHeader header{};
  std::memcpy(&header, head->data(), sizeof header);
  auto body = conn.Receive(header.length.get() - sizeof header);
  if (!body) return std::nullopt;
  return std::make_pair(static_cast<uint32_t>(header.status.get()), *body);
}

}  // namespace

std::string HostServer::Control(const std::string& command) const {
  std::ifstream file(control_token_path_);
  std::string hex;
  file >> hex;
  RawConnection conn(port_);
  std::string out = DqHelloBytes(wire::kRoleControl) +
                    DqFrame(wire::kToken, 6, wire::TokenFromHex(hex)) +
                    DqFrame(wire::kControl, 7, command);
  if (!conn.Send(out)) return "send failed";
  auto answer = conn.Receive(sizeof(wire::DqHello));
  auto token = DqReply(conn);
  if (!answer || !token) return "no answer";
  if (token->first != 0) return "control token refused";
  auto reply = DqReply(conn);
  return reply ? reply->second : "no answer";
}

void HostServer::Configure(const std::string& name, const std::string& extra) const {
  std::string path = TestPath("zel.conf");
  std::ofstream(path) << "# written by the test\nsystem " << name << " " << address()
                      << "\ndefault " << name << "\n"
                      << extra;
  setenv("ZEL_CONFIG", path.c_str(), 1);
}

RawConnection::RawConnection(uint16_t port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd_);
    fd_ = -1;
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) close(fd_);
}

bool RawConnection::Send(std::string_view bytes) {
  return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> RawConnection::Receive(size_t size, Millis timeout) {
  std::string out(size, '\0');
  size_t done = 0;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (done < size) {
    auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    ssize_t got = recv(fd_, out.data() + done, size - done, 0);
    if (got <= 0) return std::nullopt;
    done += static_cast<size_t>(got);
  }
  return out;
}

bool RawConnection::ClosedByPeer(Millis timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
    if (got <= 0) return true;
  }
}

std::string RequestToken(RawConnection& pws) {
  if (!pws.Send(Hex("00 04 12 F1"))) return {};
  auto frame = pws.Receive(sizeof(wire::SignOnFrameHeader) + sizeof(wire::SignOnToken));
  if (!frame || static_cast<uint8_t>((*frame)[3]) != wire::kFrameToken) return {};
  return frame->substr(sizeof(wire::SignOnFrameHeader), wire::kTokenSize);
}

RawDataQueue::RawDataQueue(uint16_t port) : conn_(port) {
  ready_ = conn_.Send(DqHelloBytes(wire::kRoleDataQueue)) &&
           conn_.Receive(sizeof(wire::DqHello)).has_value();
}

uint32_t RawDataQueue::Call(uint16_t type, std::string_view body, std::string* reply) {
  uint32_t id = next_id_++;
  if (!conn_.Send(DqFrame(type, id, body))) return 0xFFFFFFFFu;
  auto answer = DqReply(conn_);
  if (!answer) return 0xFFFFFFFFu;
  if (reply != nullptr) *reply = answer->second;
  return answer->first;
}

uint32_t RawDataQueue::Present(std::string_view token) { return Call(wire::kToken, token); }

uint32_t RawDataQueue::Create(const std::string& name, const std::string& library) {
  wire::DqCreateBody create{};
  wire::PadName(library, create.queue.library);
  wire::PadName(name, create.queue.name);
  create.max_record_length.set(8320);
  create.key_size.set(12);
  create.order.set(2);
  return Call(wire::kCreate,
              std::string_view(reinterpret_cast<const char*>(&create), sizeof create));
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

std::string Hex(std::string_view spaced_hex) {
  std::string out;
  std::istringstream in{std::string(spaced_hex)};
  for (std::string byte; in >> byte;)
    out.push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
  return out;
}

std::string ToHex(std::string_view bytes) {
  std::string out;
  char text[4];
  for (unsigned char c : bytes) {
    std::snprintf(text, sizeof text, "%02X ", c);
    out += text;
  }
  return out;
}

}  // namespace zel::test
