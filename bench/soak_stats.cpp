#include "soak_stats.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>

#include "tests/harness/request_data.h"

namespace zel::soak {

uint32_t SizeDrawer::Between(uint32_t low, uint32_t high) {
  return std::uniform_int_distribution<uint32_t>(low, high)(random_);
}

uint32_t SizeDrawer::Next() {
  uint32_t draw = Between(0, 999);
  if (draw < 5) return 0;
  if (draw < 700) return Between(1, 1024);
  if (draw < 900) return Between(1025, 64u << 10);
  if (draw < 990) return Between((64u << 10) + 1, 512u << 10);
  if (draw < 998) return Between((512u << 10) + 1, kMaxRequestSize);
  return kMaxRequestSize;
}

void AsyncLedger::Sent(const std::string& rid, uint32_t seq, uint32_t size, int64_t sent_us) {
  pending_[rid] = Pending{seq, size, sent_us};
}

AsyncLedger::Outcome AsyncLedger::Answered(const std::string& rid, uint32_t value, const char* data,
                                           uint32_t length, int64_t* sent_us) {
  auto it = pending_.find(rid);
  if (it == pending_.end()) return Outcome::kUnknown;
  Pending request = it->second;
  pending_.erase(it);
  *sent_us = request.sent_us;
  if (value != request.seq) return Outcome::kWrongValue;
  std::string expected = RequestData(request.size, request.seq);
  bool same = length == request.size && (length == 0 || memcmp(data, expected.data(), length) == 0);
  return same ? Outcome::kMatched : Outcome::kWrongData;
}

std::string RequestData(uint32_t size, uint32_t seq) { return test::Pattern(size, seq * 131); }

uint32_t Percentile(std::vector<uint32_t> values, double p) {
  if (values.empty()) return 0;
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
  size_t index = std::clamp<size_t>(rank, 1, values.size()) - 1;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index),
                   values.end());
  return values[index];
}

namespace {

double Max(std::vector<double> values) { return *std::max_element(values.begin(), values.end()); }

double Median(std::vector<double> values) {
  size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                   values.end());
  double upper = values[middle];
  if (values.size() % 2 == 1) return upper;
  return (upper +
          *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle))) /
         2;
}

Verdict Judge(const std::vector<double>& samples, size_t warmup, double ratio, double slack,
              const std::function<double(std::vector<double>)>& sum_up) {
  Verdict verdict;
  if (samples.size() < warmup + 2) return verdict;
  auto begin = samples.begin() + static_cast<std::ptrdiff_t>(warmup);
  auto middle = begin + (samples.end() - begin) / 2;
  verdict.judged = true;
  verdict.early = sum_up(std::vector<double>(begin, middle));
  verdict.late = sum_up(std::vector<double>(middle, samples.end()));
  verdict.limit = verdict.early * (1 + ratio) + slack;
  verdict.ok = verdict.late <= verdict.limit;
  return verdict;
}

}  // namespace

Verdict Flatness(const std::vector<double>& samples, size_t warmup, double ratio, double slack) {
  return Judge(samples, warmup, ratio, slack, Max);
}

Verdict Drift(const std::vector<double>& samples, size_t warmup, double ratio, double slack) {
  return Judge(samples, warmup, ratio, slack, Median);
}

}  // namespace zel::soak
