#include "host/rrp.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "host/ebcdic.h"
#include "host/packets.h"
#include "wire/protocol.h"

namespace zel::host {
namespace {

using wire::kEntryHeaderSize;

// Largest buffer one request or return may carry.
constexpr uint32_t kMaxBuffer = 64u << 20;
// SLEEP longer than this is refused.
constexpr uint32_t kMaxSleepMillis = 600'000;

constexpr char kReadyKey[] = "FFFFFFFFFFFF";
// First key characters of entries that are not returns: requests ("A",
// "B"), what the PWS reads ("S"), the manager's entries ("Z") and ready
// entries ("F").
constexpr std::string_view kNotReturnTypes = "ABSZF";

// CALLPC's data version for packets in the PC's form after the name.
constexpr uint32_t kCallPcPackets = 2;
constexpr uint32_t kPacketVersion = 1;

// The fields of a request or return entry header, in host byte order.
struct Header {
  bool request = false;
  bool return_code = false;
  std::string program;
  uint32_t value = 0;
  uint32_t data_version = 0;
  uint32_t total = 0;
  uint32_t block = 0;
  uint32_t left = 0;
  std::string_view data;

  // The entry's block and the bytes still to come make `expected`; summed
  // in 64 bits, so that a block longer than the total cannot wrap to it.
  bool AddsUpTo(uint64_t expected) const { return uint64_t{block} + left == expected; }
};

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

// Empty on success, else why the entry is refused.
std::string ParseHeader(const std::string& entry, Header& out) {
  if (entry.size() < kEntryHeaderSize) return "entry shorter than its header";
  std::string msg_id = FromEbcdic(std::string_view(entry).substr(0, 10));
  if (msg_id == wire::kRequestMsgId) {
    wire::RequestEntryHeader h;
    std::memcpy(&h, entry.data(), sizeof h);
    out.request = true;
    out.program = Trimmed(FromEbcdic(std::string_view(h.program, sizeof h.program)));
    out.value = h.value.get();
    out.data_version = h.data_version.get();
    out.total = h.total_length.get();
    out.block = h.block_length.get();
    out.left = h.bytes_left.get();
  } else if (msg_id == wire::kDataReturnMsgId || msg_id == wire::kCodeReturnMsgId) {
    wire::ReturnEntryHeader h;
    std::memcpy(&h, entry.data(), sizeof h);
    out.return_code = msg_id == wire::kCodeReturnMsgId;
    out.value = h.value.get();
    out.data_version = h.data_version.get();
    out.total = h.total_length.get();
    out.block = h.block_length.get();
    out.left = h.bytes_left.get();
  } else {
    return "unknown message ID '" + msg_id + "'";
  }
  if (out.block > entry.size() - kEntryHeaderSize) return "block length beyond the entry";
  if (out.total > kMaxBuffer) return "total length too large";
  out.data = std::string_view(entry).substr(kEntryHeaderSize, out.block);
  return {};
}

}  // namespace

Rrp::Rrp(RrpContext context, std::string queue, std::string pws_id, std::string sys_id)
    : context_(context),
      queue_(std::move(queue)),
      pws_id_(std::move(pws_id)),
      sys_id_(std::move(sys_id)) {
  // Requests, returns under any free type byte, and whatever names a call
  // of a PWS program (to refuse a return under a type byte in use).
  const std::string requests = ToEbcdic("AB"), in_use = ToEbcdic(kNotReturnTypes);
  subscription_ = context_.store.Subscribe(
      queue_,
      [this, requests, in_use](std::string_view key) {
        if (writing_ || key.empty()) return false;
        if (requests.find(key[0]) != std::string::npos) return true;
        if (in_use.find(key[0]) == std::string::npos) return true;
        return pc_calls_.count(FromEbcdic(key.substr(1))) != 0;
      },
      [this](Entry entry) { OnEntry(std::move(entry)); });
}

Rrp::~Rrp() {
  context_.store.Unsubscribe(subscription_);
  for (Timers::Id id : timers_) context_.timers.Cancel(id);
}

Timers::Id Rrp::After(uint32_t millis, std::function<void()> action) {
  // The id is known only after scheduling; the action forgets it when it runs.
  auto id = std::make_shared<Timers::Id>(0);
  *id = context_.timers.After(std::chrono::milliseconds(millis), [this, id, action] {
    timers_.erase(*id);
    action();
  });
  timers_.insert(*id);
  return *id;
}

std::string Rrp::NextRid(char type) {
  char rid[16];
  std::snprintf(rid, sizeof rid, "%c%04u%.3s%.3s", type, sequence_++ % 10000, pws_id_.c_str(),
                sys_id_.c_str());
  return rid;
}

bool Rrp::AddInstance(uint32_t record_length) {
  if (!serving() || context_.store.Find(queue_) == nullptr) return false;
  record_length_ = record_length;
  ++instances_;
  RunPending();
  Rebalance();
  return true;
}

void Rrp::Hold(int count) {
  held_ = count < 0 ? instances_ : count;
  context_.log.Write("pws %s: operator holds %d of %d RRPs", pws_id_.c_str(), held_, instances_);
  Rebalance();
}

void Rrp::Release() {
  held_ = 0;
  context_.log.Write("pws %s: operator releases its RRPs", pws_id_.c_str());
  RunPending();
  Rebalance();
}

size_t Rrp::ready() const { return context_.store.Count(queue_, ToEbcdic(kReadyKey)); }

// What the PWS did with the ready entries since the last look: those gone
// were obtained, those given back by a reader that gave up are free again.
void Rrp::Sync() {
  int on_queue = static_cast<int>(ready());
  if (on_queue < ready_) claimed_ += ready_ - on_queue;
  if (on_queue > ready_) claimed_ -= std::min(claimed_, on_queue - ready_);
  ready_ = on_queue;
}

int Rrp::Idle() const {
  return instances_ - busy_ - held_ - claimed_ - static_cast<int>(assemblies_.size()) -
         static_cast<int>(pending_.size());
}

// One ready entry per idle instance. A ready entry a waiting obtain takes at
// once claims its instance, so the writing ends.
void Rrp::Rebalance() {
  Sync();
  while (ready_ < Idle()) {
    if (!WriteEntries(Outgoing{.key = kReadyKey, .msg_id = wire::kDataReturnMsgId})) {
      context_.log.Write("pws %s: ready entry not written to %s", pws_id_.c_str(), queue_.c_str());
      return;
    }
    ++ready_;
    Sync();
  }
  while (ready_ > std::max(Idle(), 0) && context_.store.TakeFree(queue_, ToEbcdic(kReadyKey))) {
    --ready_;
  }
}

// A request came: it was obtained, or it takes a ready entry off.
void Rrp::TakeObtain() {
  Sync();
  if (claimed_ > 0) {
    --claimed_;
    return;
  }
  if (ready_ > 0 && context_.store.TakeFree(queue_, ToEbcdic(kReadyKey))) --ready_;
}

bool Rrp::WriteTermination() {
  std::string rid = NextRid('Z');
  context_.log.Write("pws %s: termination requested, entry Z%s", pws_id_.c_str(), rid.c_str());
  return WriteEntries(Outgoing{.key = "Z" + rid, .msg_id = wire::kRequestMsgId});
}

void Rrp::OnEntry(Entry entry) {
  std::string key = FromEbcdic(entry.key);
  char type = key[0];
  std::string rid = key.substr(1);
  bool return_type = kNotReturnTypes.find(type) == std::string_view::npos;
  if (pc_calls_.count(rid) != 0) {
    return return_type ? OnReturnEntry(rid, entry) : OnForeignReturn(type, rid);
  }
  if (!return_type) return OnRequestEntry(type, rid, entry);
  context_.log.Write("pws %s: return %c%s for no call of a PWS program dropped", pws_id_.c_str(),
                     type, rid.c_str());
}

void Rrp::OnForeignReturn(char type, const std::string& rid) {
  context_.log.Write("pws %s: return %c%s refused: type byte %c keys other entries",
                     pws_id_.c_str(), type, rid.c_str(), type);
  EndPcCall(rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
}

void Rrp::OnRequestEntry(char type, const std::string& rid, const Entry& entry) {
  Header header;
  std::string error = ParseHeader(entry.data, header);
  if (error.empty() && !header.request) error = "not a request entry";
  if (type == 'A') {
    TakeObtain();
    if (error.empty() && !header.AddsUpTo(header.total)) {
      error = "first block does not add up to the total";
    }
    if (!error.empty()) {
      context_.log.Write("pws %s: request %s refused: %s", pws_id_.c_str(), rid.c_str(),
                         error.c_str());
      assemblies_.erase(rid);
      ++busy_;
      return Finish(rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
    }
    Assembly& assembly = assemblies_[rid];
    assembly = Assembly{
        Request{rid, header.program, header.value, header.data_version, std::string(header.data)},
        false, header.total, header.left};
  } else {
    auto it = assemblies_.find(rid);
    if (it == assemblies_.end()) {
      context_.log.Write("pws %s: following entry of %s without a first entry dropped",
                         pws_id_.c_str(), rid.c_str());
      return;
    }
    Assembly& assembly = it->second;
    if (error.empty() && header.total != assembly.total) error = "total length changed";
    if (error.empty() && !header.AddsUpTo(assembly.left)) error = "a block was lost";
    if (!error.empty()) {
      context_.log.Write("pws %s: request %s refused: %s", pws_id_.c_str(), rid.c_str(),
                         error.c_str());
      assemblies_.erase(it);
      ++busy_;
      return Finish(rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
    }
    assembly.request.data.append(header.data);
    assembly.left = header.left;
  }
  Assembly& done = assemblies_[rid];
  if (done.left != 0) return;
  Request request = std::move(done.request);
  assemblies_.erase(rid);
  Enqueue(std::move(request));
}

void Rrp::Enqueue(Request request) {
  context_.log.Write("pws %s: request %s for %s, %zu bytes, value %u, version %u", pws_id_.c_str(),
                     request.rid.c_str(), request.program.c_str(), request.data.size(),
                     request.value, request.data_version);
  if (busy_ + held_ >= instances_) {
    pending_.push_back(std::move(request));
    return;
  }
  Run(std::move(request));
}

void Rrp::RunPending() {
  while (!pending_.empty() && busy_ + held_ < instances_) {
    Request next = std::move(pending_.front());
    pending_.pop_front();
    Run(std::move(next));
  }
}

void Rrp::Run(Request request) {
  ++busy_;
  const std::string& program = request.program;
  const std::string& rid = request.rid;
  if (program == "ECHO") {
    return Finish(rid, Reply{false, request.value, request.data_version, request.data});
  }
  if (program == "PKTECHO") {
    if (request.data_version != kPacketVersion || !ValidHostPackets(request.data)) {
      context_.log.Write("pws %s: PKTECHO %s: not packet data", pws_id_.c_str(), rid.c_str());
      return Finish(rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
    }
    return Finish(rid, Reply{false, request.value, kPacketVersion, request.data});
  }
  if (program == "BIGREPLY") {
    if (request.value > kMaxBuffer) return Finish(rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
    std::string data(request.value, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    return Finish(rid, Reply{false, request.value, 0, std::move(data)});
  }
  if (program == "SLEEP") {
    if (request.value > kMaxSleepMillis) {
      return Finish(rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
    }
    Reply reply{false, request.value, request.data_version, request.data};
    After(request.value, [this, rid, reply] { Finish(rid, reply); });
    return;
  }
  if (program == "RETCODE") return Finish(rid, Reply{true, request.value, 0, {}});
  if (program == "CALLPC") return CallPc(request);
  context_.log.Write("pws %s: request %s: no host program '%s'", pws_id_.c_str(), rid.c_str(),
                     program.c_str());
  Finish(rid, Reply{true, wire::kHostRcProgramNotFound, 0, {}});
}

void Rrp::Finish(const std::string& rid, Reply reply) {
  uint32_t delay = context_.faults.delay_ms;
  if (delay == 0) return WriteReply(rid, std::move(reply));
  context_.log.Write("pws %s: fault: reply to %s delayed %u ms", pws_id_.c_str(), rid.c_str(),
                     delay);
  After(delay, [this, rid, reply] { WriteReply(rid, reply); });
}

void Rrp::WriteReply(const std::string& rid, Reply reply) {
  // A synchronous requester reads "S" + RID; an asynchronous answer goes to
  // the manager's reader as "Z" + RID.
  char prefix = rid[0] == 'A' ? 'Z' : 'S';
  bool written = WriteEntries(
      Outgoing{prefix + rid, reply.return_code ? wire::kCodeReturnMsgId : wire::kDataReturnMsgId,
               "", reply.value, reply.data_version, reply.data, &context_.faults.reply});
  context_.log.Write("pws %s: reply %c%s: %s, %zu bytes, value %u%s", pws_id_.c_str(), prefix,
                     rid.c_str(), reply.return_code ? "return code" : "data", reply.data.size(),
                     reply.value, written ? "" : " NOT WRITTEN");
  if (busy_ > 0) --busy_;
  RunPending();
  Rebalance();
}

size_t Rrp::BlockMax() const {
  const QueueAttributes* attributes = context_.store.Find(queue_);
  if (attributes == nullptr) return 0;
  uint32_t limit = attributes->max_record_length;
  if (record_length_ != 0) limit = std::min(limit, record_length_);
  return limit <= kEntryHeaderSize ? 0 : limit - kEntryHeaderSize;
}

std::vector<std::string> Rrp::MakeEntries(const Outgoing& out, size_t block_max) {
  std::string_view data = out.data;
  const uint32_t total = static_cast<uint32_t>(data.size());
  const bool request = out.msg_id == wire::kRequestMsgId;
  const std::string id = ToEbcdic(out.msg_id);
  const std::string program =
      out.program.empty() ? std::string(21, '\0')
                          : ToEbcdic(out.program + std::string(21 - out.program.size(), ' '));
  size_t count = data.empty() ? 1 : (data.size() + block_max - 1) / block_max;
  bool lose = out.faults != nullptr && out.faults->lose_entry && count >= 2;
  bool bad_total = out.faults != nullptr && out.faults->bad_total;
  if (lose) {
    out.faults->lose_entry = false;
    context_.log.Write("pws %s: fault: second entry of %s lost", pws_id_.c_str(), out.key.c_str());
  }
  if (bad_total) {
    out.faults->bad_total = false;
    context_.log.Write("pws %s: fault: wrong total length in %s", pws_id_.c_str(), out.key.c_str());
  }
  std::vector<std::string> entries;
  size_t offset = 0;
  for (size_t i = 0; i < count; ++i) {
    uint32_t block = static_cast<uint32_t>(std::min(block_max, data.size() - offset));
    uint32_t left = static_cast<uint32_t>(data.size() - offset - block);
    uint32_t entry_total = bad_total && i + 1 == count ? total + 1 : total;
    std::string entry(kEntryHeaderSize, '\0');
    auto fill = [&](auto header) {
      std::memcpy(header.msg_id, id.data(), sizeof header.msg_id);
      header.value.set(out.value);
      header.data_version.set(out.data_version);
      header.total_length.set(entry_total);
      header.block_length.set(block);
      header.bytes_left.set(left);
      std::memcpy(entry.data(), &header, sizeof header);
    };
    if (request) {
      wire::RequestEntryHeader header{};
      std::memcpy(header.program, program.data(), sizeof header.program);
      fill(header);
    } else {
      fill(wire::ReturnEntryHeader{});
    }
    entry.append(data.substr(offset, block));
    offset += block;
    if (lose && i == 1) continue;
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool Rrp::WriteEntries(const Outgoing& out) {
  const size_t block_max = BlockMax();
  if (block_max == 0) return false;
  std::vector<std::string> entries = MakeEntries(out, block_max);
  const bool reply = out.faults == &context_.faults.reply;
  if (reply && interleave_left_ > 0 && out.data.size() > block_max) {
    return KeepBack(out, std::move(entries));
  }
  if (reply && context_.faults.pace_ms > 0 && entries.size() > 1) {
    return WritePaced(out, std::move(entries));
  }
  const std::string key = ToEbcdic(out.key);
  bool ok = true;
  for (size_t i = 0; ok && i < entries.size(); ++i) ok = WriteOne(key, std::move(entries[i]));
  return ok;
}

bool Rrp::WriteOne(const std::string& key, std::string entry) {
  writing_ = true;
  bool ok = context_.store.Write(queue_, key, std::move(entry)) == 0;
  writing_ = false;
  return ok;
}

// A reader is then caught between two entries of one reply for as long as
// a test needs; the timers go with the RRP, so a PWS that ends stops them.
bool Rrp::WritePaced(const Outgoing& out, std::vector<std::string> entries) {
  const uint32_t pace = std::exchange(context_.faults.pace_ms, 0);
  context_.log.Write("pws %s: fault: the %zu entries of %s written %u ms apart", pws_id_.c_str(),
                     entries.size(), out.key.c_str(), pace);
  const std::string key = ToEbcdic(out.key);
  for (size_t i = 1; i < entries.size(); ++i) {
    After(static_cast<uint32_t>(pace * i), [this, key, entry = std::move(entries[i])] {
      if (!WriteOne(key, entry)) {
        context_.log.Write("pws %s: paced entry NOT WRITTEN", pws_id_.c_str());
      }
    });
  }
  return WriteOne(key, std::move(entries[0]));
}

void Rrp::Interleave(int count) {
  interleave_left_ = count;
  if (count > 0) {
    context_.log.Write("pws %s: operator interleaves its next %d multi-entry replies",
                       pws_id_.c_str(), count);
    return;
  }
  context_.log.Write("pws %s: operator ends interleaving, %zu replies kept back", pws_id_.c_str(),
                     kept_.size());
  if (!kept_.empty()) WriteInTurns();
}

// The reply waits for the others of its batch; the last one writes them all.
bool Rrp::KeepBack(const Outgoing& out, std::vector<std::string> entries) {
  --interleave_left_;
  context_.log.Write("pws %s: interleave: reply %s kept back, %zu entries, %d more to come",
                     pws_id_.c_str(), out.key.c_str(), entries.size(), interleave_left_);
  kept_.push_back(KeptReply{ToEbcdic(out.key), std::move(entries)});
  return interleave_left_ > 0 || WriteInTurns();
}

// First the first entry of each kept-back reply in the order they were
// kept, then the second ones, and so on; a shorter reply drops out of the
// turns once it is written whole.
bool Rrp::WriteInTurns() {
  std::vector<KeptReply> batch = std::move(kept_);
  kept_.clear();
  size_t turns = 0, written = 0;
  for (const KeptReply& reply : batch) turns = std::max(turns, reply.entries.size());
  writing_ = true;
  bool ok = true;
  for (size_t turn = 0; ok && turn < turns; ++turn) {
    for (size_t i = 0; ok && i < batch.size(); ++i) {
      if (turn >= batch[i].entries.size()) continue;
      ok = context_.store.Write(queue_, batch[i].key, std::move(batch[i].entries[turn])) == 0;
      written += ok;
    }
  }
  writing_ = false;
  context_.log.Write("pws %s: interleave: %zu replies written in turns, %zu entries%s",
                     pws_id_.c_str(), batch.size(), written, ok ? "" : ", then a write failed");
  return ok;
}

void Rrp::CallPc(const Request& request) {
  size_t end = request.data.find('\0');
  std::string program = Trimmed(request.data.substr(0, end));
  std::string payload = end == std::string::npos ? std::string() : request.data.substr(end + 1);
  if (program.empty() || program.size() > 21) {
    context_.log.Write("pws %s: CALLPC %s: bad PWS program name", pws_id_.c_str(),
                       request.rid.c_str());
    return Finish(request.rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
  }
  uint32_t data_version = request.data_version;
  if (data_version == kCallPcPackets) {
    // Only the part after the name is packet data.
    std::optional<std::string> converted = PacketsToHost(payload);
    if (!converted) {
      context_.log.Write("pws %s: CALLPC %s: not packet data", pws_id_.c_str(),
                         request.rid.c_str());
      return Finish(request.rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
    }
    payload = std::move(*converted);
    data_version = kPacketVersion;
  }
  std::string pc_rid = NextRid('R');
  context_.log.Write("pws %s: CALLPC %s calls PWS program %s as %s, %zu bytes, version %u",
                     pws_id_.c_str(), request.rid.c_str(), program.c_str(), pc_rid.c_str(),
                     payload.size(), data_version);
  PcCall& call = pc_calls_[pc_rid];
  call.requester_rid = request.rid;
  call.timer = After(static_cast<uint32_t>(context_.pc_answer.count()), [this, pc_rid] {
    context_.log.Write("pws %s: PWS program of %s did not answer", pws_id_.c_str(), pc_rid.c_str());
    auto it = pc_calls_.find(pc_rid);
    if (it != pc_calls_.end()) it->second.timer = 0;
    EndPcCall(pc_rid, Reply{true, wire::kHostRcPcNoAnswer, 0, {}});
  });
  // The request towards the PWS names the program in its header; the data
  // follows as the entries the PWS program retrieves.
  bool ok = WriteEntries(Outgoing{"Z" + pc_rid, wire::kRequestMsgId, program, request.value,
                                  data_version, payload, &context_.faults.pc_request}) &&
            WriteEntries(Outgoing{"S" + pc_rid, wire::kDataReturnMsgId, "", request.value,
                                  data_version, payload});
  if (!ok) EndPcCall(pc_rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
}

void Rrp::OnReturnEntry(const std::string& rid, const Entry& entry) {
  PcCall& call = pc_calls_.at(rid);
  Header header;
  std::string error = ParseHeader(entry.data, header);
  if (error.empty() && header.request) error = "not a return entry";
  Assembly& returned = call.returned;
  uint32_t expected = call.started ? returned.left : header.total;
  if (error.empty() && call.started && header.total != returned.total) {
    error = "total length changed";
  }
  if (error.empty() && !header.AddsUpTo(expected)) error = "a block was lost";
  if (!error.empty()) {
    context_.log.Write("pws %s: return for %s refused: %s", pws_id_.c_str(), rid.c_str(),
                       error.c_str());
    return EndPcCall(rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
  }
  if (!call.started) {
    call.started = true;
    returned.return_code = header.return_code;
    returned.total = header.total;
    returned.request.value = header.value;
    returned.request.data_version = header.data_version;
  }
  returned.request.data.append(header.data);
  returned.left = header.left;
  if (returned.left != 0) return;
  context_.log.Write("pws %s: PWS program returned %s for %s, version %u", pws_id_.c_str(),
                     returned.return_code ? "a return code" : "data", rid.c_str(),
                     returned.request.data_version);
  // The PWS converts packet data to the host's form before it sends it.
  if (!returned.return_code && returned.request.data_version == kPacketVersion &&
      !ValidHostPackets(returned.request.data)) {
    context_.log.Write("pws %s: return for %s refused: not host packet data", pws_id_.c_str(),
                       rid.c_str());
    return EndPcCall(rid, Reply{true, wire::kHostRcBadRequest, 0, {}});
  }
  EndPcCall(rid, Reply{returned.return_code, returned.request.value, returned.request.data_version,
                       std::move(returned.request.data)});
}

void Rrp::EndPcCall(const std::string& pc_rid, Reply reply) {
  auto it = pc_calls_.find(pc_rid);
  if (it == pc_calls_.end()) return;
  std::string requester = it->second.requester_rid;
  if (it->second.timer != 0) {
    context_.timers.Cancel(it->second.timer);
    timers_.erase(it->second.timer);
  }
  pc_calls_.erase(it);
  Finish(requester, std::move(reply));
}

}  // namespace zel::host
