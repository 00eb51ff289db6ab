// The soak run's arithmetic, apart from its processes so that it can be
// checked on made-up figures: the request sizes it draws, the ledger of
// asynchronous requests a client keeps, percentiles, and the two verdicts
// on a series sampled over a run (flat after warm-up, not drifting).
#ifndef ZEL_BENCH_SOAK_STATS_H
#define ZEL_BENCH_SOAK_STATS_H

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace zel::soak {

inline constexpr uint32_t kMaxRequestSize = 1u << 20;

// Draws request sizes from 0 bytes to 1 MiB: most of a few hundred bytes,
// some of tens of kilobytes, a few of hundreds of kilobytes up to a whole
// MiB. The same seed gives the same sizes.
class SizeDrawer {
 public:
  explicit SizeDrawer(uint64_t seed) : random_(seed) {}
  uint32_t Next();

 private:
  uint32_t Between(uint32_t low, uint32_t high);
  std::mt19937_64 random_;
};

// The asynchronous requests a client has sent and not yet had answered, by
// RID. Single thread.
class AsyncLedger {
 public:
  enum class Outcome { kMatched, kUnknown, kWrongValue, kWrongData };

  void Sent(const std::string& rid, uint32_t seq, uint32_t size, int64_t sent_us);
  // Takes the request `rid` off the ledger against its answer; kUnknown for
  // an RID never sent or already answered (a duplicate). `*sent_us` gets the
  // request's send time when the RID was outstanding.
  Outcome Answered(const std::string& rid, uint32_t value, const char* data, uint32_t length,
                   int64_t* sent_us);
  size_t outstanding() const { return pending_.size(); }

 private:
  struct Pending {
    uint32_t seq;     // the request's value, and the seed of its data
    uint32_t size;    // bytes sent
    int64_t sent_us;  // when, on the shared monotonic clock
  };
  std::map<std::string, Pending> pending_;
};

// The data of request `seq` of `size` bytes: different for each seq.
std::string RequestData(uint32_t size, uint32_t seq);

// The p-th percentile (0 < p <= 100) by nearest rank; 0 for no values.
uint32_t Percentile(std::vector<uint32_t> values, double p);

// A series sampled over a run, judged after its first `warmup` samples: the
// rest is split into an earlier and a later half, each summed up by its
// maximum (Flatness) or its median (Drift), and the later may exceed the
// earlier by `ratio` of it plus `slack`.
struct Verdict {
  bool judged = false;  // false: fewer than two samples after the warm-up
  double early = 0;     // the earlier half's figure
  double late = 0;      // the later half's figure
  double limit = 0;     // what the later may reach
  bool ok = true;       // late <= limit, or not judged
};
Verdict Flatness(const std::vector<double>& samples, size_t warmup, double ratio, double slack);
Verdict Drift(const std::vector<double>& samples, size_t warmup, double ratio, double slack);

}  // namespace zel::soak

#endif  // ZEL_BENCH_SOAK_STATS_H
