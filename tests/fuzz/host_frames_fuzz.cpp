// Fuzzes what zelhost decodes from a PWS: the frames of a sign-on
// connection and of a data-queue connection, cut as the transport cuts
// them and handed to the sign-on and data-queue services as the server
// hands them, and through the data queue the request entries its RRPs
// take (the PWS's queue, once a start request and an RRP start made it).
//
// Input: chunks (fuzz_input.h); the control byte's bits 0..1 say
//   0  bytes that arrive on the sign-on connection
//   1  bytes that arrive on the data-queue connection
//   2  the data-queue connection presents the sign-on connection's token
//      (random, so no input could name it)
//   3  the sign-on connection ends
// Every input runs against a server of its own. Beyond "no crash":
//   - a frame cut lies inside the input, its length within the protocol's
//     bounds, its body the frame less its header;
//   - once both connections have ended, no entry stays reserved and no
//     read waits in any queue.
#include <cstdint>
#include <cstring>
#include <string>

#include "host/dq_service.h"
#include "host/faults.h"
#include "host/log.h"
#include "host/options.h"
#include "host/queue_store.h"
#include "host/signon.h"
#include "host/timers.h"
#include "host/transport.h"
#include "tests/fuzz/fuzz_input.h"
#include "wire/protocol.h"

namespace zel::fuzz {
namespace {

using host::Connection;
using host::ConnectionKind;
using host::FrameCut;

constexpr uint64_t kSignOnId = 1;
constexpr uint64_t kDataQueueId = 2;

void CheckCut(const FrameCut& cut, std::string_view in, size_t header, size_t max) {
  if (cut.status != FrameCut::kFrame) return;
  Require(cut.length >= header && cut.length <= max && cut.length <= in.size());
  Require(cut.body.data() == in.data() + header && cut.body.size() == cut.length - header);
}

// The server's roles without its sockets: what they answer goes to
// connections the transport does not know, and is dropped.
class Host {
 public:
  Host() {
    log_.Open("/dev/null");
    sign_on_.id = kSignOnId;
    sign_on_.kind = ConnectionKind::kSignOn;
    data_queue_.id = kDataQueueId;
    data_queue_.kind = ConnectionKind::kDataQueue;
    signon_.Begin(kSignOnId);
  }

  ~Host() {
    End(sign_on_);
    End(data_queue_);
    for (const host::QueueSummary& queue : store_.Summaries()) {
      Require(queue.reserved == 0 && queue.waiting_reads == 0);
    }
  }

  void Receive(Connection& conn, std::string_view bytes) {
    if (conn.closing) return;
    conn.in.append(bytes);
    while (!conn.closing && NextFrame(conn)) {
    }
    conn.in.erase(0, conn.consumed);
    conn.consumed = 0;
    if (conn.closing) End(conn);
  }

  void PresentToken() {
    host::SignOnService::Session* session = signon_.Find(kSignOnId);
    if (session == nullptr || session->token.empty() || data_queue_.closing) return;
    data_queues_.OnFrame(data_queue_, wire::kToken, 0, session->token);
  }

  void EndSignOn() { End(sign_on_); }

  Connection& sign_on() { return sign_on_; }
  Connection& data_queue() { return data_queue_; }

 private:
  bool NextFrame(Connection& conn) {
    std::string_view in = std::string_view(conn.in).substr(conn.consumed);
    bool sign_on = conn.kind == ConnectionKind::kSignOn;
    FrameCut cut = sign_on ? host::CutSignOnFrame(in) : host::CutDqFrame(in);
    if (sign_on) {
      CheckCut(cut, in, sizeof(wire::SignOnFrameHeader), wire::kMaxSignOnFrame);
    } else {
      CheckCut(cut, in, sizeof(wire::DqFrameHeader), wire::kMaxDqFrame);
    }
    if (cut.status == FrameCut::kMalformed) transport_.Close(conn, cut.error);
    if (cut.status != FrameCut::kFrame) return false;
    std::string body(cut.body);
    conn.consumed += cut.length;
    if (sign_on) {
      signon_.OnFrame(conn, static_cast<uint8_t>(cut.type), body);
    } else {
      data_queues_.OnFrame(conn, cut.type, cut.request_id, body);
    }
    return true;
  }

  // As the server does when the transport reaps a connection.
  void End(Connection& conn) {
    if (ended_[conn.id - 1]) return;
    ended_[conn.id - 1] = true;
    conn.closing = true;
    signon_.End(conn.id);
    data_queues_.End(conn.id);
  }

  host::ServerOptions options_;
  host::Log log_;
  host::Timers timers_;
  host::QueueStore store_{timers_};
  host::Faults faults_;
  host::Transport transport_{options_, log_, timers_, host::ConnectionHandler{}};
  host::SignOnService signon_{options_, log_, transport_, store_, timers_, faults_};
  host::DataQueueService data_queues_{options_, log_, transport_, store_, signon_, faults_};
  Connection sign_on_;
  Connection data_queue_;
  bool ended_[2] = {false, false};
};

}  // namespace
}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zel::fuzz;
  Host host;
  Chunks chunks(data, size);
  Chunk chunk;
  while (chunks.Next(chunk)) {
    switch (chunk.control & 3) {
      case 0:
        host.Receive(host.sign_on(), chunk.bytes);
        break;
      case 1:
        host.Receive(host.data_queue(), chunk.bytes);
        break;
      case 2:
        host.PresentToken();
        break;
      default:
        host.EndSignOn();
    }
  }
  return 0;
}
