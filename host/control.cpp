#include "host/control.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <sstream>

#include "base/config.h"
#include "host/random_token.h"
#include "wire/protocol.h"

namespace zel::host {
namespace {

template <typename T>
bool ParseNumber(std::string_view text, T& out, int base = 10) {
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

}  // namespace

std::string ControlTokenPath(uint16_t port, std::string* error) {
  std::string dir = config::PrivateDir(error);
  if (dir.empty()) return {};
  return dir + "/zelhost." + std::to_string(port) + ".control";
}

Control::Control(const ServerOptions& options, Log& log, Transport& transport,
                 const QueueStore& store, SignOnService& signon, Faults& faults)
    : options_(options),
      log_(log),
      transport_(transport),
      store_(store),
      signon_(signon),
      faults_(faults) {}

Control::~Control() {
  if (!token_path_.empty()) unlink(token_path_.c_str());
}

bool Control::WriteTokenFile(uint16_t port) {
  std::string error;
  std::string path = options_.control_token_file;
  if (path.empty()) path = ControlTokenPath(port, &error);
  token_ = RandomToken();
  if (token_.empty()) error = std::string("no random bytes: ") + strerror(errno);
  if (path.empty() || token_.empty() ||
      !config::WritePrivateFile(path, wire::TokenToHex(token_) + "\n", &error)) {
    log_.Write("cannot write the control token: %s", error.c_str());
    return false;
  }
  token_path_ = path;
  log_.Write("control token in %s", path.c_str());
  return true;
}

bool Control::RefusedByFault(Connection& conn) {
  if (faults_.refuse == 0) return false;
  if (faults_.refuse > 0) --faults_.refuse;
  log_.Write("fault: connection from %s refused", conn.peer.c_str());
  transport_.Close(conn, "fault: refused");
  return true;
}

void Control::OnFrame(Connection& conn, uint16_t type, uint32_t request_id, std::string_view body) {
  auto reply = [&](uint32_t status, std::string_view reply_body = {}) {
    transport_.SendDq(conn.id, type, request_id, status, reply_body);
  };
  auto id = static_cast<unsigned long long>(conn.id);
  if (type == wire::kToken) {
    if (body == token_) {
      authorised_.insert(conn.id);
      return reply(0);
    }
    reply(QLXDQ_RC_REFUSED);
    return transport_.Close(conn, "wrong control token");
  }
  if (type != wire::kControl) return reply(QLXDQ_RC_PROTOCOL);
  std::string command(body);
  if (authorised_.count(conn.id) == 0) {
    log_.Write("connection %llu: control '%s' refused: no control token", id, command.c_str());
    return reply(QLXDQ_RC_REFUSED, "error: the control token must come first");
  }
  std::string answer = Command(command);
  log_.Write("connection %llu: control '%s': %s", id, command.c_str(),
             answer.substr(0, answer.find('\n')).c_str());
  reply(0, answer);
}

void Control::End(uint64_t conn_id) { authorised_.erase(conn_id); }

// A connection by its number, or the sign-on connection of a PWS by its ID.
Connection* Control::FindByNameOrPws(const std::string& which) {
  uint64_t number = 0;
  if (ParseNumber(which, number)) return transport_.Find(number);
  for (auto& [id, conn] : transport_.connections()) {
    if (conn->closing) continue;
    const SignOnService::Session* session = signon_.Find(id);
    if (session != nullptr && session->pws_id == which) return conn.get();
  }
  return nullptr;
}

std::string Control::Command(const std::string& command) {
  std::vector<std::string> words = Words(command);
  if (words.empty()) return "error: empty command";
  const std::string& verb = words[0];
  if (verb == "list") return List();
  if (verb == "fault") return Fault(words);
  if (verb == "stop" && words.size() == 2) return Stop(words[1]);
  if (verb == "drop" && (words.size() == 2 || (words.size() == 3 && words[2] == "next"))) {
    return Drop(words[1], words.size() == 3);
  }
  if (verb == "hold" && (words.size() == 2 || words.size() == 3)) {
    int count = -1;
    if (words.size() == 3 && (!ParseNumber(words[2], count) || count < 0)) {
      return "error: hold PWS|all [N]";
    }
    return Hold(words[1], count);
  }
  if (verb == "release" && words.size() == 2) return Hold(words[1], std::nullopt);
  if (verb == "interleave" && words.size() == 3) {
    int count = 0;
    if (words[2] != "off" && (!ParseNumber(words[2], count) || count < 2)) {
      return "error: interleave PWS|all N|off (N at least 2)";
    }
    return Interleave(words[1], count);
  }
  return "error: unknown command '" + command +
         "' (list | stop PWS | drop CONN|PWS [next] | hold PWS|all [N] | release PWS|all | "
         "interleave PWS|all N|off | fault ...)";
}

// Asks a started PWS to end, through the termination entry its RRP writes.
std::string Control::Stop(const std::string& which) {
  Connection* conn = FindByNameOrPws(which);
  SignOnService::Session* session = conn == nullptr ? nullptr : signon_.Find(conn->id);
  if (session == nullptr || !session->rrp) return "error: no started PWS " + which;
  if (!session->rrp->WriteTermination()) return "error: termination entry not written";
  return "ok termination entry written for PWS " + session->pws_id;
}

bool Control::StartedRrps(const std::string& which, std::vector<Rrp*>& rrps) {
  if (which == "all") {
    for (auto& [id, conn] : transport_.connections()) {
      SignOnService::Session* session = conn->closing ? nullptr : signon_.Find(id);
      if (session != nullptr && session->rrp) rrps.push_back(session->rrp.get());
    }
    return true;
  }
  Connection* conn = FindByNameOrPws(which);
  SignOnService::Session* session = conn == nullptr ? nullptr : signon_.Find(conn->id);
  if (session == nullptr || !session->rrp) return false;
  rrps.push_back(session->rrp.get());
  return true;
}

std::string Control::Hold(const std::string& which, std::optional<int> count) {
  std::vector<Rrp*> rrps;
  if (!StartedRrps(which, rrps)) return "error: no started PWS " + which;
  for (Rrp* rrp : rrps) {
    if (count) {
      rrp->Hold(*count);
    } else {
      rrp->Release();
    }
  }
  return std::string(count ? "ok held " : "ok released ") + std::to_string(rrps.size()) + " PWS";
}

std::string Control::Interleave(const std::string& which, int count) {
  std::vector<Rrp*> rrps;
  if (!StartedRrps(which, rrps)) return "error: no started PWS " + which;
  for (Rrp* rrp : rrps) rrp->Interleave(count);
  std::string pws = std::to_string(rrps.size()) + " PWS";
  if (count == 0) return "ok interleaving ended for " + pws;
  return "ok interleaving the next " + std::to_string(count) + " multi-entry replies of " + pws;
}

std::string Control::Drop(const std::string& which, bool at_next_frame) {
  Connection* conn = FindByNameOrPws(which);
  if (conn == nullptr) return "error: no connection " + which;
  if (at_next_frame) {
    conn->drop_at_next_frame = true;
    log_.Write("fault: connection %llu will be dropped at its next frame",
               (unsigned long long)conn->id);
    return "ok connection " + std::to_string(conn->id) + " dropped at its next frame";
  }
  transport_.Close(*conn, "fault: dropped by the operator");
  return "ok connection " + std::to_string(conn->id) + " dropped";
}

std::string Control::List() {
  std::ostringstream out;
  size_t live = 0;
  for (auto& [id, conn] : transport_.connections()) live += !conn->closing;
  std::vector<QueueSummary> queues = store_.Summaries();
  out << "ok " << live << " connections, " << queues.size() << " queues\n";
  for (auto& [id, conn] : transport_.connections()) {
    if (conn->closing) continue;
    out << "connection " << id << " " << conn->peer << " ";
    switch (conn->kind) {
      case ConnectionKind::kUnknown:
        out << "new";
        break;
      case ConnectionKind::kDataQueue:
        out << "dataqueue";
        break;
      case ConnectionKind::kControl:
        out << "control";
        break;
      case ConnectionKind::kSignOn: {
        const SignOnService::Session& s = *signon_.Find(id);
        out << "signon user=" << s.user
            << " queue=" << (s.queue_name.empty() ? "-" : options_.library + "/" + s.queue_name)
            << " pws=" << (s.pws_id.empty() ? "-" : s.pws_id)
            << " rrps=" << (s.rrp ? s.rrp->instances() : 0)
            << " busy=" << (s.rrp ? s.rrp->busy() : 0) << " held=" << (s.rrp ? s.rrp->held() : 0)
            << " ready=" << (s.rrp ? s.rrp->ready() : 0);
        break;
      }
    }
    out << "\n";
  }
  for (const QueueSummary& q : queues) {
    out << "queue " << q.name << " entries=" << q.entries << " reserved=" << q.reserved
        << " reads=" << q.waiting_reads << " record=" << q.attributes.max_record_length
        << " key=" << q.attributes.key_size << "\n";
  }
  return out.str();
}

std::string Control::Fault(const std::vector<std::string>& words) {
  const std::string what = words.size() > 1 ? words[1] : "";
  const std::string arg = words.size() > 2 ? words[2] : "";
  std::string done = "ok fault " + what + (arg.empty() ? "" : " " + arg);
  if (what == "clear" && words.size() == 2) {
    faults_ = Faults{};
    return "ok faults cleared";
  }
  if (what == "refuse" && words.size() <= 3) {
    int count = 1;
    if (arg == "all") {
      count = -1;
    } else if (arg == "off") {
      count = 0;
    } else if (!arg.empty() && !ParseNumber(arg, count)) {
      return "error: fault refuse [COUNT|all|off]";
    }
    faults_.refuse = count;
    return done;
  }
  if (what == "start-format" && words.size() == 3) {
    uint32_t byte = 0;
    if (!ParseNumber(arg, byte) || byte > 255) return "error: fault start-format BYTE";
    faults_.start_format = static_cast<int>(byte);
    return done;
  }
  if (what == "rrp-rc" && words.size() == 3) {
    uint32_t rc = 0;
    if (!ParseNumber(arg, rc) && !ParseNumber(arg, rc, 16)) return "error: fault rrp-rc CODE";
    faults_.rrp_rc = rc;
    return done;
  }
  if (what == "delay" && words.size() == 3) {
    uint32_t millis = 0;
    if (!ParseNumber(arg, millis)) return "error: fault delay MILLISECONDS";
    faults_.delay_ms = millis;
    return done;
  }
  if (what == "pace" && words.size() == 3) {
    uint32_t millis = 0;
    if (!ParseNumber(arg, millis) || millis == 0) return "error: fault pace MILLISECONDS";
    faults_.pace_ms = millis;
    return done;
  }
  if ((what == "lose-entry" || what == "bad-total") && words.size() <= 3 &&
      (arg.empty() || arg == "pc")) {
    EntryFaults& target = arg.empty() ? faults_.reply : faults_.pc_request;
    (what == "lose-entry" ? target.lose_entry : target.bad_total) = true;
    return done;
  }
  if (what == "hold-write" && words.size() == 3) {
    faults_.hold_write = arg;
    return done;
  }
  if (what == "drop-mid-reply" && words.size() == 2) {
    faults_.drop_mid_reply = true;
    return done;
  }
  return "error: fault refuse [N|all|off] | start-format BYTE | rrp-rc CODE | delay MS | pace MS | "
         "lose-entry [pc] | bad-total [pc] | drop-mid-reply | hold-write KEY | clear";
}

}  // namespace zel::host
