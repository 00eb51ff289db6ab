// The remote request processor of one PWS: it keeps ready entries on the
// PWS's data queue, takes the request entries the PWS writes ("A" + RID for
// the first entry, "B" + RID for the others), runs the named host program
// and writes its answer ("S" + RID for a synchronous request, "Z" + RID for
// an asynchronous one). CALLPC turns the direction round: it asks a PWS
// program for work ("Z" + an "R" RID), hands it its data ("S" + RID) and
// collects its return, keyed "X" + RID or the type byte the PWS program chose
// + RID. Type bytes that name other entries ("A", "B", "S", "Z", "F") are
// refused: the CALLPC requester gets return code 0x7002.
//
// Host programs (request value = the request header's value):
//   ECHO      the data back unchanged, same data version and value
//   PKTECHO   packet data (version 1) checked and echoed
//   BIGREPLY  `value` bytes, byte i = i % 251
//   SLEEP     the data back after `value` milliseconds
//   RETCODE   a return-code answer of `value` (0: an empty answer)
//   CALLPC    data = PWS program name, NUL, data for it; answers with what
//             the PWS program returns. With data version 2 the data after
//             the name is packets in the PC's form: CALLPC converts them to
//             the host's and asks the PWS program with data version 1. An
//             answer of data version 1 must be host-form packets.
// Return-code answers of the RRP itself ("ZEL/700002" values):
//   0x7001 (28673)  no host program of that name
//   0x7002 (28674)  a malformed request, or a return under a refused type byte,
//                   or packet data that is not packets
//   0x7003 (28675)  CALLPC: the PWS program did not answer within the
//                   context's pc_answer (zelhost --pc-answer-timeout, 120 s)
//
// Ready entries ("FFFFFFFFFFFF") stand for idle instances: one for each
// instance that is neither busy, held by the operator, nor already obtained
// by the PWS for a request still to come (an obtain whose request never
// comes keeps its instance until the PWS ends). A request that arrives
// without an obtain takes one off. An entry holds at most the smaller of the queue's
// record length and the one the PWS named in its latest RRP start.
//
// Owned by the sign-on session of its PWS; runs on the server's thread. Its
// destructor withdraws its queue subscription and every timer it set.
#ifndef ZEL_HOST_RRP_H
#define ZEL_HOST_RRP_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/faults.h"
#include "host/log.h"
#include "host/queue_store.h"
#include "host/timers.h"

namespace zel::host {

struct RrpContext {
  QueueStore& store;
  Timers& timers;
  Log& log;
  Faults& faults;
  // How long CALLPC waits for the PWS program's answer.
  std::chrono::milliseconds pc_answer{120'000};
};

class Rrp {
 public:
  // `queue` is "LIBRARY/QUEUE"; `pws_id` and `sys_id` are the three-letter
  // PWS ID and the PWS's three-digit system ID, in ASCII.
  Rrp(RrpContext context, std::string queue, std::string pws_id, std::string sys_id);
  ~Rrp();
  Rrp(const Rrp&) = delete;
  Rrp& operator=(const Rrp&) = delete;

  // One more RRP for this PWS, started with `record_length` (the PWS's
  // longest entry): it writes its ready entry. False when the queue is gone.
  bool AddInstance(uint32_t record_length);
  // The operator keeps `count` instances busy (all current ones when
  // negative), so fewer or no ready entries are offered; Release ends that.
  void Hold(int count);
  void Release();
  // The next `count` multi-entry replies are kept back once complete and
  // then written as one batch, an entry of each in turns (a test's way to
  // make replies of concurrent requests interleave on the queue); replies
  // already kept back stay in the batch. 0 ends that and writes at once, in
  // turns, what was kept back.
  void Interleave(int count);
  // Asks the PWS to end: an entry keyed "Z" + a RID of type "Z".
  bool WriteTermination();

  // False once its queue was deleted: nothing reaches it any more.
  bool serving() const { return context_.store.Subscribed(subscription_); }
  int instances() const { return instances_; }
  int busy() const { return busy_; }
  int held() const { return held_; }
  // Ready entries on the queue now.
  size_t ready() const;
  const std::string& queue() const { return queue_; }

 private:
  struct Request {
    std::string rid;      // 11 characters, ASCII
    std::string program;  // upper case, blanks removed
    uint32_t value = 0;
    uint32_t data_version = 0;
    std::string data;
  };
  struct Reply {
    bool return_code = false;  // "ZEL/700002" with `value` as the code
    uint32_t value = 0;
    uint32_t data_version = 0;
    std::string data;
  };
  // An incoming buffer that arrives in several entries.
  struct Assembly {
    Request request;
    bool return_code = false;
    uint32_t total = 0;
    uint32_t left = 0;
  };
  // A reply the interleave control keeps back: its key and entries, EBCDIC.
  struct KeptReply {
    std::string key;
    std::vector<std::string> entries;
  };
  struct PcCall {
    std::string requester_rid;  // the request CALLPC answers
    Timers::Id timer = 0;
    bool started = false;  // its first return entry came
    Assembly returned;
  };

  void OnEntry(Entry entry);
  void OnRequestEntry(char type, const std::string& rid, const Entry& entry);
  void OnReturnEntry(const std::string& rid, const Entry& entry);
  void OnForeignReturn(char type, const std::string& rid);
  void TakeObtain();
  void Sync();
  int Idle() const;
  void Rebalance();
  void Enqueue(Request request);
  void RunPending();
  void Run(Request request);
  void Finish(const std::string& rid, Reply reply);
  void WriteReply(const std::string& rid, Reply reply);
  void CallPc(const Request& request);
  void EndPcCall(const std::string& pc_rid, Reply reply);
  // The fields every entry of one buffer repeats.
  struct Outgoing {
    std::string key;           // ASCII
    std::string_view msg_id;   // "ZEL/700000" makes request entries
    std::string program = {};  // requests only; sent blank padded
    uint32_t value = 0;
    uint32_t data_version = 0;
    std::string_view data = {};
    EntryFaults* faults = nullptr;  // the operator's faults that may strike it
  };
  // Splits `out` into entries as the PWS reassembles them; false when one
  // could not be written.
  bool WriteEntries(const Outgoing& out);
  // Data bytes one entry holds; 0 when the queue is gone or its records
  // cannot hold a header.
  size_t BlockMax() const;
  // The entries of `out`, with the entry faults applied.
  std::vector<std::string> MakeEntries(const Outgoing& out, size_t block_max);
  bool KeepBack(const Outgoing& out, std::vector<std::string> entries);
  // The pace fault: the first entry now, each further one the fault's
  // milliseconds after the one before.
  bool WritePaced(const Outgoing& out, std::vector<std::string> entries);
  bool WriteOne(const std::string& key, std::string entry);
  bool WriteInTurns();
  Timers::Id After(uint32_t millis, std::function<void()> action);
  std::string NextRid(char type);

  RrpContext context_;
  std::string queue_;
  std::string pws_id_;
  std::string sys_id_;
  uint64_t subscription_ = 0;
  uint32_t record_length_ = 0;  // of the latest RRP start
  int instances_ = 0;
  int busy_ = 0;          // serving a request
  int held_ = 0;          // kept busy by the operator
  int claimed_ = 0;       // ready entries taken whose request has not come yet
  int ready_ = 0;         // ready entries on the queue at the last look
  bool writing_ = false;  // our own entries are not offered to our subscription
  uint32_t sequence_ = 0;
  std::deque<Request> pending_;
  std::map<std::string, Assembly> assemblies_;  // by RID
  std::map<std::string, PcCall> pc_calls_;      // by the "R" RID
  std::set<Timers::Id> timers_;

  int interleave_left_ = 0;  // multi-entry replies still to keep back
  std::vector<KeptReply> kept_;
};

}  // namespace zel::host

#endif  // ZEL_HOST_RRP_H
