#include "soak_client.h"

#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "soak_stats.h"
#include "vqzmcsw.h"
#include "vqzmctw.h"
#include "zelapp.h"

namespace zel::soak {

int64_t NowMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1'000'000 + now.tv_nsec / 1000;
}

Tally& Tally::operator+=(const Tally& other) {
  sent += other.sent;
  matched += other.matched;
  failed += other.failed;
  mismatched += other.mismatched;
  unknown += other.unknown;
  lost += other.lost;
  return *this;
}

namespace {

constexpr uint16_t kAnswerMessage = 0x0500;
constexpr uint16_t kHostRequestMessage = 0x0501;
constexpr uint32_t kReplySeconds = 120;
constexpr size_t kAsyncOutstanding = 4;
constexpr size_t kMaxProblems = 20;
// How long the PC program and the async drain look for stray messages once
// no more are due.
constexpr uint32_t kQuietMs = 500;

// What the threads of one client share.
class Client {
 public:
  explicit Client(const ClientPlan& plan) : plan_(plan) {
    snprintf(pc_name_, sizeof pc_name_, "SOAKPC%02u", plan.index);
  }

  int Run();

 private:
  void SyncThread();
  void AsyncThread();
  void PcProgramThread();
  bool Serve(const CrRequestBlock& request);
  // One caProcessSync of ECHO, or of CALLPC when `host`, with request
  // `seq`'s data of `size` bytes.
  void SyncCall(bool host, uint32_t seq, uint32_t size);
  void Problem(const std::string& text);
  void Latency(Kind kind, int64_t sent_us);
  void Write() const;

  ClientPlan plan_;
  char pc_name_[22];
  uint32_t conv_ = 0;
  std::atomic<int> pc_state_{0};  // 1 registered, -1 could not register
  std::atomic<bool> sync_done_{false};
  std::mutex mutex_;  // guards report_
  ClientReport report_;
};

void Client::Problem(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (report_.problems.size() < kMaxProblems) report_.problems.push_back(text);
}

void Client::Latency(Kind kind, int64_t sent_us) {
  int64_t now = NowMicros();
  std::lock_guard lock(mutex_);
  report_.latencies.push_back(
      LatencySample{kind, (now - plan_.start_us) / 1000, static_cast<uint32_t>(now - sent_us)});
}

void Client::SyncCall(bool host, uint32_t seq, uint32_t size) {
  std::string data = RequestData(size, seq);
  // CALLPC's data names the PC program, then carries what it gets.
  std::string request = host ? std::string(pc_name_) + '\0' + data : data;
  ProcessRequest parms{};
  parms.ulConvId = conv_;
  strcpy(parms.szPgmName, host ? "CALLPC" : "ECHO");
  parms.ulValue = seq;
  parms.pData = request.data();
  parms.ulDataLen = static_cast<uint32_t>(request.size());
  parms.ulTimeout = kReplySeconds;
  ProcessReply reply{};
  Kind kind = host ? kHost : kSync;
  int64_t sent = NowMicros();
  uint16_t rc = caProcessSync(&parms, &reply);
  Tally tally;
  tally.sent = 1;
  if (rc != 0) {
    tally.failed = 1;
    Problem(std::string(kKindNames[kind]) + " request " + std::to_string(seq) + " of " +
            std::to_string(size) + " bytes: rc " + std::to_string(rc));
  } else if (reply.ulValue != seq || reply.ulDataLen != size ||
             (size != 0 && memcmp(reply.pData, data.data(), size) != 0)) {
    tally.mismatched = 1;
    Problem(std::string(kKindNames[kind]) + " request " + std::to_string(seq) + ": reply value " +
            std::to_string(reply.ulValue) + ", " + std::to_string(reply.ulDataLen) +
            " bytes, not its request's");
  } else {
    tally.matched = 1;
    Latency(kind, sent);
  }
  if (reply.pData != nullptr) zelFreeBlock(reply.pData);
  std::lock_guard lock(mutex_);
  report_.tallies[kind] += tally;
}

void Client::SyncThread() {
  SizeDrawer sizes(plan_.seed * 1000 + plan_.index * 10 + 1);
  std::mt19937_64 choice(plan_.seed * 1000 + plan_.index * 10 + 2);
  bool have_pc = pc_state_.load() == 1;
  for (uint32_t seq = 1; NowMicros() < plan_.deadline_us; ++seq) {
    bool host = have_pc && choice() % 3 == 0;
    SyncCall(host, seq, sizes.Next());
  }
  sync_done_ = true;
}

void Client::AsyncThread() {
  uint32_t hwnd = 0;
  if (zelCreateWindow(&hwnd) != 0) {
    Problem("async: no window");
    return;
  }
  SizeDrawer sizes(plan_.seed * 1000 + plan_.index * 10 + 3);
  AsyncLedger ledger;
  Tally tally;
  // Answers are matched by RID, so the data of each request stays alive
  // only as long as the call.
  auto take = [&](uint32_t wait_ms) {
    ZelMessage msg{};
    uint16_t rc = zelWaitMessage(hwnd, wait_ms, &msg);
    if (rc != 0) return false;
    if (msg.message != kAnswerMessage) return true;
    const char* block = reinterpret_cast<const char*>(msg.lParam);
    if (msg.wParam != 0 || block == nullptr) {
      ++tally.failed;
      Problem("async: a return-code answer " + std::to_string(msg.wParam));
      if (block != nullptr) zelFreeBlock(const_cast<char*>(block));
      return true;
    }
    AsyncRetPrefix prefix;
    memcpy(&prefix, block, sizeof prefix);
    std::string rid(prefix.achRID, sizeof prefix.achRID);
    int64_t sent = 0;
    auto outcome =
        ledger.Answered(rid, prefix.ulValue, block + sizeof prefix, prefix.ulDataLen, &sent);
    zelFreeBlock(const_cast<char*>(block));
    switch (outcome) {
      case AsyncLedger::Outcome::kMatched:
        ++tally.matched;
        Latency(kAsync, sent);
        break;
      case AsyncLedger::Outcome::kUnknown:
        ++tally.unknown;
        Problem("async: an answer to no outstanding request, RID " + rid);
        break;
      default:
        ++tally.mismatched;
        Problem("async: answer " + rid + " is not its request's");
    }
    return true;
  };
  for (uint32_t seq = 1; NowMicros() < plan_.deadline_us; ++seq) {
    while (ledger.outstanding() >= kAsyncOutstanding && take(kReplySeconds * 1000)) {
    }
    if (ledger.outstanding() >= kAsyncOutstanding) break;
    uint32_t size = sizes.Next();
    std::string data = RequestData(size, seq);
    AsyncRequest request{};
    request.ulConvId = conv_;
    strcpy(request.szPgmName, "ECHO");
    request.ulValue = seq;
    request.pData = data.data();
    request.ulDataLen = size;
    request.hwndNotify = hwnd;
    request.usNotifyMsg = kAnswerMessage;
    char rid[11];
    ++tally.sent;
    int64_t sent = NowMicros();
    uint16_t rc = caProcessAsync(&request, rid);
    if (rc != 0) {
      ++tally.failed;
      Problem("async request " + std::to_string(seq) + ": rc " + std::to_string(rc));
      continue;
    }
    ledger.Sent(std::string(rid, sizeof rid), seq, size, sent);
  }
  // Every answer still due, each within the reply time; then nothing more.
  while (ledger.outstanding() > 0 && take(kReplySeconds * 1000)) {
  }
  tally.lost = ledger.outstanding();
  if (tally.lost != 0) Problem("async: " + std::to_string(tally.lost) + " answer(s) never came");
  while (take(kQuietMs)) {
  }
  zelDestroyWindow(hwnd);
  std::lock_guard lock(mutex_);
  report_.tallies[kAsync] += tally;
}

bool Client::Serve(const CrRequestBlock& request) {
  std::string rid(request.achRID, ZEL_RID_LEN);
  RtvDataParms rtv{};
  rtv.pRID = rid.c_str();
  rtv.ulTimeout = kReplySeconds;
  RtvDataResult data{};
  uint16_t rc = caRtvData(&rtv, &data);
  if (rc != 0) {
    Problem("PC program: caRtvData " + rid + ": rc " + std::to_string(rc));
    return false;
  }
  ReturnDataParms ret{};
  ret.pRID = rid.c_str();
  ret.ulValue = request.ulValue;
  ret.ulDataVersion = data.ulDataVersion;
  ret.pData = data.pData;
  ret.ulDataLen = data.ulDataLen;
  rc = caReturnData(&ret, nullptr, 0);
  zelFreeBlock(data.pData);
  if (rc != 0) Problem("PC program: caReturnData " + rid + ": rc " + std::to_string(rc));
  return rc == 0;
}

void Client::PcProgramThread() {
  uint32_t hwnd = 0;
  uint16_t rc = zelCreateWindow(&hwnd);
  if (rc == 0) rc = crRegisterProgram(pc_name_, hwnd, kHostRequestMessage);
  pc_state_ = rc == 0 ? 1 : -1;
  if (rc != 0) {
    Problem(std::string("PC program: cannot register ") + pc_name_ + ": rc " + std::to_string(rc));
    if (hwnd != 0) zelDestroyWindow(hwnd);
    return;
  }
  std::set<uint32_t> seen;
  uint64_t served = 0, twice = 0;
  // Serves until the sync thread is done and nothing more comes.
  for (;;) {
    ZelMessage msg{};
    if (zelWaitMessage(hwnd, kQuietMs, &msg) != 0) {
      if (sync_done_) break;
      continue;
    }
    if (msg.message != kHostRequestMessage) continue;
    CrRequestBlock request;
    memcpy(&request, reinterpret_cast<const void*>(msg.lParam), sizeof request);
    zelFreeBlock(reinterpret_cast<void*>(msg.lParam));
    // A copy: the block is packed, and a reference to its field would not be aligned.
    const uint32_t value = request.ulValue;
    if (!seen.insert(value).second) {
      ++twice;
      Problem("PC program: request " + std::to_string(value) + " came twice");
    }
    if (Serve(request)) ++served;
  }
  crUnregisterProgram(pc_name_);
  zelDestroyWindow(hwnd);
  std::lock_guard lock(mutex_);
  report_.served = served;
  report_.served_twice = twice;
}

void Client::Write() const {
  for (int k = 0; k < kKinds; ++k) {
    const Tally& t = report_.tallies[k];
    printf("tally %s %llu %llu %llu %llu %llu %llu\n", kKindNames[k],
           static_cast<unsigned long long>(t.sent), static_cast<unsigned long long>(t.matched),
           static_cast<unsigned long long>(t.failed), static_cast<unsigned long long>(t.mismatched),
           static_cast<unsigned long long>(t.unknown), static_cast<unsigned long long>(t.lost));
  }
  printf("served %llu %llu\n", static_cast<unsigned long long>(report_.served),
         static_cast<unsigned long long>(report_.served_twice));
  for (const LatencySample& s : report_.latencies) {
    printf("lat %d %lld %u\n", s.kind, static_cast<long long>(s.at_ms), s.micros);
  }
  for (const std::string& p : report_.problems) printf("problem %s\n", p.c_str());
  printf("end\n");
}

int Client::Run() {
  if (caInitializeZELComm(plan_.system, 0, 0, 0, &conv_, 0) != 0) {
    fprintf(stderr, "soak client %u: the system did not start\n", plan_.index);
    return 1;
  }
  std::thread pc([this] { PcProgramThread(); });
  while (pc_state_.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread async([this] { AsyncThread(); });
  SyncThread();
  async.join();
  pc.join();
  caStopZELComm(conv_);
  Write();
  return 0;
}

}  // namespace

int RunClient(const ClientPlan& plan) {
  Client client(plan);
  return client.Run();
}

ClientReport ReadClientReport(std::istream& in) {
  ClientReport report;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string tag;
    words >> tag;
    if (tag == "tally") {
      std::string name;
      words >> name;
      for (int k = 0; k < kKinds; ++k) {
        if (name != kKindNames[k]) continue;
        Tally& t = report.tallies[k];
        words >> t.sent >> t.matched >> t.failed >> t.mismatched >> t.unknown >> t.lost;
      }
    } else if (tag == "served") {
      words >> report.served >> report.served_twice;
    } else if (tag == "lat") {
      int kind = 0;
      LatencySample s{};
      words >> kind >> s.at_ms >> s.micros;
      if (kind >= 0 && kind < kKinds && words) {
        s.kind = static_cast<Kind>(kind);
        report.latencies.push_back(s);
      }
    } else if (tag == "problem") {
      report.problems.push_back(line.substr(sizeof "problem"));
    } else if (tag == "end") {
      report.complete = true;
    }
  }
  return report;
}

void MergeReport(const ClientReport& client, uint32_t index, ClientReport* run) {
  for (int k = 0; k < kKinds; ++k) run->tallies[k] += client.tallies[k];
  run->served += client.served;
  run->served_twice += client.served_twice;
  run->latencies.insert(run->latencies.end(), client.latencies.begin(), client.latencies.end());
  for (const std::string& p : client.problems) {
    run->problems.push_back("client " + std::to_string(index) + ": " + p);
  }
}

bool AllAnswered(const ClientReport& run) {
  bool answered = run.complete && run.served_twice == 0 && run.served == run.tallies[kHost].matched;
  for (const Tally& tally : run.tallies) answered = answered && tally.sent > 0 && tally.Clean();
  return answered;
}

}  // namespace zel::soak
