// One application client of the soak run: a process of the instance that,
// until its deadline, keeps three threads busy against the system:
//   sync   caProcessSync of ECHO, or of CALLPC, which has the host ask this
//          client's registered PC program for the same data back
//   async  caProcessAsync of ECHO on a window, a few requests outstanding
//   PC     the registered PC program that serves those host requests
// It checks every reply against its request and writes its tallies and
// latencies to stdout in the form ReadClientReport takes.
#ifndef ZEL_BENCH_SOAK_CLIENT_H
#define ZEL_BENCH_SOAK_CLIENT_H

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace zel::soak {

// Microseconds on the monotonic clock, which all processes share.
int64_t NowMicros();

struct ClientPlan {
  uint32_t index = 0;       // client number, 0-based
  uint64_t seed = 0;        // the run's seed
  const char* system = "";  // the system to converse with
  int64_t start_us = 0;     // the run's start (NowMicros)
  int64_t deadline_us = 0;  // when to stop sending
};

// What a client counted of one kind of request.
struct Tally {
  uint64_t sent = 0;        // requests made
  uint64_t matched = 0;     // replies that were their request's
  uint64_t failed = 0;      // calls that gave a nonzero code
  uint64_t mismatched = 0;  // replies with another value or other data
  uint64_t unknown = 0;     // answers to no outstanding request (duplicates)
  uint64_t lost = 0;        // requests never answered

  Tally& operator+=(const Tally& other);
  bool Clean() const { return failed + mismatched + unknown + lost == 0 && matched == sent; }
};

enum Kind { kSync, kAsync, kHost, kKinds };
inline constexpr const char* kKindNames[kKinds] = {"sync", "async", "host"};

struct LatencySample {
  Kind kind;
  int64_t at_ms;    // when the reply came, from the run's start
  uint32_t micros;  // request to reply
};

struct ClientReport {
  Tally tallies[kKinds];
  uint64_t served = 0;        // host requests the PC program answered
  uint64_t served_twice = 0;  // of them, ones it had served before
  std::vector<LatencySample> latencies;
  std::vector<std::string> problems;  // the first few, in words
  bool complete = false;              // the report's last line was read
};

// Runs the client; the process's exit code (0 when it could start).
int RunClient(const ClientPlan& plan);

ClientReport ReadClientReport(std::istream& in);

// Adds client `index`'s report to `run`: tallies, counts and latencies add
// up, its problems are named after it. Leaves `run.complete` alone.
void MergeReport(const ClientReport& client, uint32_t index, ClientReport* run);

// The replies verdict on a run's merged report: it is complete, every kind
// of request was made and each one matched its reply, and the PC programs
// served each host request exactly once.
bool AllAnswered(const ClientReport& run);

}  // namespace zel::soak

#endif  // ZEL_BENCH_SOAK_CLIENT_H
