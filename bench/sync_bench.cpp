// Synchronous requests against zelhost and the communication manager of this
// build, beside the transports they compete with, over loopback:
//   SyncEcho/N        caProcessSync to the host program ECHO, N bytes each way
//   TcpEcho/N         a raw TCP echo: a length word and the bytes, each way
//   ZmqEcho/N         a ZeroMQ REQ/REP echo (skipped without libzmq)
//   *Rps/threads:T    requests per second of 64 bytes from T client threads
//   SyncRpsProcesses  the same from 16 client processes, each its own
//                     application of the system
// Latency benchmarks report p50_us and p99_us of the single round trips.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifdef ZEL_BENCH_HAVE_ZMQ
#include <zmq.h>
#endif

#include "bench_instance.h"
#include "vqzmcsw.h"
#include "zelapp.h"

namespace {

using zel::bench::Pattern;

using Clock = std::chrono::steady_clock;

constexpr char kSystem[] = "BENCHSYS";
constexpr char kClientArg[] = "--sync-client";
constexpr int kClientProcesses = 16;
constexpr int kRequestsPerClient = 500;
constexpr size_t kRpsSize = 64;

uint32_t g_conv = 0;

// Reports the median and the 99th percentile of the round trips.
class Latencies {
 public:
  explicit Latencies(benchmark::State& state) : state_(state) {
    samples_.reserve(static_cast<size_t>(state.max_iterations));
  }
  ~Latencies() {
    if (samples_.empty()) return;
    std::sort(samples_.begin(), samples_.end());
    state_.counters["p50_us"] = samples_[samples_.size() / 2] / 1e3;
    state_.counters["p99_us"] = samples_[samples_.size() * 99 / 100] / 1e3;
    state_.SetBytesProcessed(state_.iterations() * state_.range(0) * 2);
  }
  template <typename Call>
  void Time(Call call) {
    Clock::time_point start = Clock::now();
    call();
    samples_.push_back(static_cast<double>((Clock::now() - start).count()));
  }

 private:
  benchmark::State& state_;
  std::vector<double> samples_;
};

// One caProcessSync to ECHO; false (with the reason set) when it fails or
// the reply is not the request.
bool SyncEcho(benchmark::State& state, const std::vector<char>& data) {
  bool same = false;
  uint16_t rc = zel::bench::Echo(g_conv, data, &same);
  if (!same) state.SkipWithError(("caProcessSync rc " + std::to_string(rc)).c_str());
  return same;
}

void SyncEchoLatency(benchmark::State& state) {
  std::vector<char> data = Pattern(static_cast<size_t>(state.range(0)));
  Latencies latencies(state);
  for (auto _ : state) {
    bool ok = true;
    latencies.Time([&] { ok = SyncEcho(state, data); });
    if (!ok) break;
  }
}

void SyncRps(benchmark::State& state) {
  std::vector<char> data = Pattern(kRpsSize);
  for (auto _ : state) {
    if (!SyncEcho(state, data)) break;
  }
  state.SetItemsProcessed(state.iterations());
}

// The client processes write one byte when their application has started
// and one when its requests are done; they start on end-of-file of stdin.
struct Client {
  pid_t pid = 0;
  int to = -1;
  int from = -1;
};

Client SpawnClient() {
  int go[2], report[2];
  Client client;
  if (pipe(go) != 0 || pipe(report) != 0) return client;
  client.pid = fork();
  if (client.pid == 0) {
    dup2(go[0], STDIN_FILENO);
    dup2(report[1], STDOUT_FILENO);
    for (int fd : {go[0], go[1], report[0], report[1]}) close(fd);
    char count[16];
    snprintf(count, sizeof count, "%d", kRequestsPerClient);
    execl("/proc/self/exe", "sync_bench", kClientArg, count, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(go[0]);
  close(report[1]);
  client.to = go[1];
  client.from = report[0];
  return client;
}

bool ReadByte(int fd) {
  pollfd ready{fd, POLLIN, 0};
  char byte;
  return poll(&ready, 1, 120000) == 1 && read(fd, &byte, 1) == 1 && byte == 'y';
}

void SyncRpsProcesses(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<Client> clients;
    for (int i = 0; i < kClientProcesses; ++i) clients.push_back(SpawnClient());
    bool ok = std::all_of(clients.begin(), clients.end(), [](const Client& c) {
      return c.pid > 0 && ReadByte(c.from);
    });
    Clock::time_point start = Clock::now();
    for (Client& client : clients) close(client.to);
    for (Client& client : clients) ok = ReadByte(client.from) && ok;
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    for (Client& client : clients) {
      close(client.from);
      int status = 0;
      ok = waitpid(client.pid, &status, 0) == client.pid && status == 0 && ok;
    }
    if (!ok) {
      state.SkipWithError("a client process failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kClientProcesses * kRequestsPerClient);
}

int RunClient(int requests) {
  uint16_t rc = caInitializeZELComm(kSystem, 0, 0, 0, &g_conv, 0);
  if (rc != 0) return 1;
  std::vector<char> data = Pattern(kRpsSize);
  char byte = 'y';
  if (write(STDOUT_FILENO, &byte, 1) != 1) return 1;
  while (read(STDIN_FILENO, &byte, 1) > 0) {
  }
  int failed = 0;
  for (int i = 0; i < requests; ++i) {
    bool same = false;
    zel::bench::Echo(g_conv, data, &same);
    if (!same) ++failed;
  }
  byte = failed == 0 ? 'y' : 'n';
  (void)!write(STDOUT_FILENO, &byte, 1);
  caStopZELComm(g_conv);
  return failed == 0 ? 0 : 1;
}

// A raw TCP echo: each message is a 32-bit length and its bytes.
bool SendAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(int fd, void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = recv(fd, p, size, 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TcpRoundTrip(int fd, const std::vector<char>& data, std::vector<char>& reply) {
  uint32_t length = static_cast<uint32_t>(data.size());
  if (!SendAll(fd, &length, sizeof length) || !SendAll(fd, data.data(), data.size())) return false;
  if (!RecvAll(fd, &length, sizeof length) || length != data.size()) return false;
  reply.resize(length);
  return RecvAll(fd, reply.data(), length) && reply == data;
}

class TcpEchoServer {
 public:
  TcpEchoServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    listen(listener_, 64);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~TcpEchoServer() {
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    close(listener_);
    for (std::thread& t : connections_) t.join();
  }
  int Connect() const {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

 private:
  void Accept() {
    for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0;) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      connections_.emplace_back([fd] { Echo(fd); });
    }
  }
  static void Echo(int fd) {
    std::vector<char> data;
    for (uint32_t length; RecvAll(fd, &length, sizeof length);) {
      data.resize(length);
      if (!RecvAll(fd, data.data(), length) || !SendAll(fd, &length, sizeof length) ||
          !SendAll(fd, data.data(), length)) {
        break;
      }
    }
    close(fd);
  }

  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> connections_;
};

TcpEchoServer* g_tcp = nullptr;

void TcpEchoLatency(benchmark::State& state) {
  std::vector<char> data = Pattern(static_cast<size_t>(state.range(0))), reply;
  int fd = g_tcp->Connect();
  Latencies latencies(state);
  for (auto _ : state) {
    bool ok = true;
    latencies.Time([&] { ok = TcpRoundTrip(fd, data, reply); });
    if (!ok) {
      state.SkipWithError("tcp echo failed");
      break;
    }
  }
  close(fd);
}

void TcpRps(benchmark::State& state) {
  std::vector<char> data = Pattern(kRpsSize), reply;
  int fd = g_tcp->Connect();
  for (auto _ : state) {
    if (!TcpRoundTrip(fd, data, reply)) {
      state.SkipWithError("tcp echo failed");
      break;
    }
  }
  close(fd);
  state.SetItemsProcessed(state.iterations());
}

#ifdef ZEL_BENCH_HAVE_ZMQ
// A ZeroMQ REP socket that echoes every message until its context ends.
class ZmqEchoServer {
 public:
  ZmqEchoServer() : context_(zmq_ctx_new()), socket_(zmq_socket(context_, ZMQ_REP)) {
    zmq_bind(socket_, "tcp://127.0.0.1:*");
    size_t size = sizeof endpoint_;
    zmq_getsockopt(socket_, ZMQ_LAST_ENDPOINT, endpoint_, &size);
    server_ = std::thread([this] { Echo(); });
  }
  ~ZmqEchoServer() {
    zmq_ctx_shutdown(context_);
    server_.join();
    zmq_ctx_term(context_);
  }
  void* context() const { return context_; }
  const char* endpoint() const { return endpoint_; }

 private:
  void Echo() {
    zmq_msg_t message;
    zmq_msg_init(&message);
    while (zmq_msg_recv(&message, socket_, 0) >= 0 && zmq_msg_send(&message, socket_, 0) >= 0) {
    }
    zmq_msg_close(&message);
    int linger = 0;
    zmq_setsockopt(socket_, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(socket_);
  }

  void* context_;
  void* socket_;
  char endpoint_[256] = {};
  std::thread server_;
};

ZmqEchoServer* g_zmq = nullptr;

void* ZmqConnect() {
  void* socket = zmq_socket(g_zmq->context(), ZMQ_REQ);
  int linger = 0;
  zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
  zmq_connect(socket, g_zmq->endpoint());
  return socket;
}

bool ZmqRoundTrip(void* socket, const std::vector<char>& data) {
  if (zmq_send(socket, data.data(), data.size(), 0) < 0) return false;
  zmq_msg_t reply;
  zmq_msg_init(&reply);
  bool same = zmq_msg_recv(&reply, socket, 0) == static_cast<int>(data.size()) &&
              memcmp(zmq_msg_data(&reply), data.data(), data.size()) == 0;
  zmq_msg_close(&reply);
  return same;
}

void ZmqEchoLatency(benchmark::State& state) {
  std::vector<char> data = Pattern(static_cast<size_t>(state.range(0)));
  void* socket = ZmqConnect();
  Latencies latencies(state);
  for (auto _ : state) {
    bool ok = true;
    latencies.Time([&] { ok = ZmqRoundTrip(socket, data); });
    if (!ok) {
      state.SkipWithError("zmq echo failed");
      break;
    }
  }
  zmq_close(socket);
}

void ZmqRps(benchmark::State& state) {
  std::vector<char> data = Pattern(kRpsSize);
  void* socket = ZmqConnect();
  for (auto _ : state) {
    if (!ZmqRoundTrip(socket, data)) {
      state.SkipWithError("zmq echo failed");
      break;
    }
  }
  zmq_close(socket);
  state.SetItemsProcessed(state.iterations());
}
#endif

int64_t IterationsFor(int64_t size) { return size >= (1 << 20) ? 50 : size >= 8192 ? 1000 : 3000; }

void Register() {
  using Function = void (*)(benchmark::State&);
  std::vector<std::pair<const char*, Function>> latency = {{"SyncEcho", SyncEchoLatency},
                                                           {"TcpEcho", TcpEchoLatency}};
  std::vector<std::pair<const char*, Function>> rps = {{"SyncRps", SyncRps}, {"TcpRps", TcpRps}};
#ifdef ZEL_BENCH_HAVE_ZMQ
  latency.emplace_back("ZmqEcho", ZmqEchoLatency);
  rps.emplace_back("ZmqRps", ZmqRps);
#else
  fprintf(stderr, "sync_bench: built without libzmq, the ZeroMQ column is skipped\n");
#endif
  for (int64_t size : {int64_t{64}, int64_t{8192}, int64_t{1} << 20}) {
    for (auto& [name, function] : latency) {
      benchmark::RegisterBenchmark(name, function)
          ->Arg(size)
          ->Iterations(IterationsFor(size))
          ->Unit(benchmark::kMicrosecond);
    }
  }
  for (auto& [name, function] : rps) {
    benchmark::RegisterBenchmark(name, function)
        ->Threads(1)
        ->Threads(16)
        ->Iterations(1000)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("SyncRpsProcesses", SyncRpsProcesses)
      ->Iterations(3)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

int RunBenchmarks(int argc, char** argv) {
  if (caInitializeZELComm(kSystem, 0, 0, 0, &g_conv, 0) != 0) {
    fprintf(stderr, "sync_bench: the system did not start\n");
    return 1;
  }
  TcpEchoServer tcp;
  g_tcp = &tcp;
#ifdef ZEL_BENCH_HAVE_ZMQ
  ZmqEchoServer zmq;
  g_zmq = &zmq;
#endif
  Register();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  caStopZELComm(g_conv);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], kClientArg) == 0) return RunClient(atoi(argv[2]));
  return zel::bench::RunWithHost(argv, kSystem, [&] { return RunBenchmarks(argc, argv); });
}
