// The soak run's arithmetic on made-up figures: what it draws, how it tells
// a matched answer from a duplicate or a wrong one, and when it calls a
// series flat or drifting.
#include "soak_stats.h"

#include <algorithm>
#include <sstream>
#include <vector>

#include "soak_client.h"
#include "tests/harness/zel_test.h"

namespace zel::soak {
namespace {

TEST(SoakSizes, ASeedDrawsTheSameMostlySmallSizesFromNothingToOneMiB) {
  SizeDrawer first(7), again(7), other(8);
  std::vector<uint32_t> sizes;
  bool other_differs = false;
  for (int i = 0; i < 20000; ++i) {
    uint32_t size = first.Next();
    ASSERT_EQ(size, again.Next());
    other_differs = other_differs || other.Next() != size;
    sizes.push_back(size);
  }
  EXPECT_TRUE(other_differs);
  EXPECT_EQ(*std::max_element(sizes.begin(), sizes.end()), kMaxRequestSize);
  EXPECT_EQ(*std::min_element(sizes.begin(), sizes.end()), 0u);
  EXPECT_LE(Percentile(sizes, 50), 1024u) << "most are small";
  EXPECT_GT(Percentile(sizes, 95), 64u << 10) << "some are large";
}

TEST(SoakLedger, AnAnswerMatchesOnceAndOnlyWithItsOwnValueAndData) {
  AsyncLedger ledger;
  ledger.Sent("A0000000001", 1, 300, 100);
  ledger.Sent("A0000000002", 2, 300, 200);
  ledger.Sent("A0000000003", 3, 0, 300);
  std::string one = RequestData(300, 1), two = RequestData(300, 2);
  ASSERT_NE(one, two) << "requests of one size differ";
  int64_t sent = 0;
  EXPECT_EQ(ledger.Answered("A0000000001", 1, one.data(), 300, &sent),
            AsyncLedger::Outcome::kMatched);
  EXPECT_EQ(sent, 100);
  EXPECT_EQ(ledger.Answered("A0000000001", 1, one.data(), 300, &sent),
            AsyncLedger::Outcome::kUnknown)
      << "a second answer is a duplicate";
  EXPECT_EQ(ledger.Answered("A0000000009", 9, one.data(), 300, &sent),
            AsyncLedger::Outcome::kUnknown);
  EXPECT_EQ(ledger.Answered("A0000000002", 2, one.data(), 300, &sent),
            AsyncLedger::Outcome::kWrongData)
      << "request 1's data is not request 2's";
  EXPECT_EQ(ledger.Answered("A0000000003", 4, nullptr, 0, &sent),
            AsyncLedger::Outcome::kWrongValue);
  EXPECT_EQ(ledger.outstanding(), 0u);
  ledger.Sent("A0000000004", 4, 10, 0);
  EXPECT_EQ(ledger.Answered("A0000000004", 4, RequestData(9, 4).data(), 9, &sent),
            AsyncLedger::Outcome::kWrongData)
      << "a short answer";
}

TEST(SoakPercentile, TakesTheNearestRank) {
  std::vector<uint32_t> values;
  for (uint32_t i = 100; i >= 1; --i) values.push_back(i);
  EXPECT_EQ(Percentile(values, 99), 99u);
  EXPECT_EQ(Percentile(values, 50), 50u);
  EXPECT_EQ(Percentile(values, 100), 100u);
  EXPECT_EQ(Percentile({7}, 99), 7u);
  EXPECT_EQ(Percentile({}, 99), 0u);
}

TEST(SoakVerdicts, AFlatSeriesPassesAndOneThatKeepsGrowingFails) {
  // A warm-up climb, then a plateau with noise: flat.
  std::vector<double> flat = {10, 50, 100, 98, 101, 99, 100, 102, 100, 101};
  Verdict v = Flatness(flat, 2, 0.10, 0);
  EXPECT_TRUE(v.judged);
  EXPECT_TRUE(v.ok) << v.late << " against " << v.limit;
  // A leak: a steady climb after the warm-up.
  std::vector<double> leak = {10, 50, 100, 105, 110, 115, 120, 125, 130, 135};
  v = Flatness(leak, 2, 0.10, 0);
  EXPECT_FALSE(v.ok);
  EXPECT_EQ(v.early, 115);
  EXPECT_EQ(v.late, 135);
  // The slack lets a small absolute rise through.
  EXPECT_TRUE(Flatness(leak, 2, 0.10, 20).ok);
  Verdict unjudged = Flatness({1, 2, 3}, 2, 0.10, 0);
  EXPECT_FALSE(unjudged.judged);
  EXPECT_TRUE(unjudged.ok);
}

TEST(SoakVerdicts, DriftIgnoresOneSlowWindowButNotASustainedRise) {
  std::vector<double> one_spike = {50, 10, 11, 10, 12, 10, 40, 11, 10};
  Verdict v = Drift(one_spike, 1, 0.5, 0);
  EXPECT_TRUE(v.ok) << v.late << " against " << v.limit;
  std::vector<double> rising = {50, 10, 11, 10, 12, 20, 22, 24, 26};
  v = Drift(rising, 1, 0.5, 0);
  EXPECT_FALSE(v.ok);
  EXPECT_DOUBLE_EQ(v.early, 10.5);
  EXPECT_DOUBLE_EQ(v.late, 23);
}

TEST(SoakReport, AClientReportIsReadBackAndKnownWholeOnlyByItsLastLine) {
  std::istringstream whole(
      "tally sync 10 9 1 0 0 0\n"
      "tally async 20 18 0 1 1 1\n"
      "tally host 5 5 0 0 0 0\n"
      "served 5 0\n"
      "lat 1 1500 2300\n"
      "lat 2 61000 900\n"
      "problem async: answer A1 is not its request's\n"
      "end\n");
  ClientReport r = ReadClientReport(whole);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.tallies[kSync].failed, 1u);
  EXPECT_FALSE(r.tallies[kSync].Clean());
  EXPECT_EQ(r.tallies[kAsync].mismatched, 1u);
  EXPECT_EQ(r.tallies[kAsync].lost, 1u);
  EXPECT_TRUE(r.tallies[kHost].Clean());
  EXPECT_EQ(r.served, 5u);
  ASSERT_EQ(r.latencies.size(), 2u);
  EXPECT_EQ(r.latencies[1].kind, kHost);
  EXPECT_EQ(r.latencies[1].at_ms, 61000);
  EXPECT_EQ(r.latencies[0].micros, 2300u);
  ASSERT_EQ(r.problems.size(), 1u);
  EXPECT_EQ(r.problems[0], "async: answer A1 is not its request's");

  std::istringstream cut("tally sync 10 10 0 0 0 0\nlat 0 10");
  ClientReport partial = ReadClientReport(cut);
  EXPECT_FALSE(partial.complete);
  EXPECT_TRUE(partial.latencies.empty()) << "a cut latency line is not taken";
}

// A client's report in which every request of each kind matched.
ClientReport CleanClient(uint64_t each) {
  ClientReport report;
  for (Tally& tally : report.tallies) tally.sent = tally.matched = each;
  report.served = each;
  report.latencies.push_back(LatencySample{kSync, 10, 100});
  report.complete = true;
  return report;
}

TEST(SoakReport, TheRunIsAnsweredOnlyWhenEveryClientsRequestsMatchedOnce) {
  ClientReport run;
  run.complete = true;
  MergeReport(CleanClient(3), 0, &run);
  MergeReport(CleanClient(4), 1, &run);
  EXPECT_EQ(run.tallies[kAsync].sent, 7u);
  EXPECT_EQ(run.served, 7u);
  EXPECT_EQ(run.latencies.size(), 2u);
  EXPECT_TRUE(AllAnswered(run));

  ClientReport unfinished = run;
  unfinished.complete = false;
  EXPECT_FALSE(AllAnswered(unfinished));

  ClientReport served_twice = run;
  served_twice.served_twice = 1;
  EXPECT_FALSE(AllAnswered(served_twice));

  ClientReport host_unserved = run;
  host_unserved.served = 6;
  EXPECT_FALSE(AllAnswered(host_unserved)) << "a host request matched that no program served";

  ClientReport no_async = run;
  no_async.tallies[kAsync] = Tally{};
  EXPECT_FALSE(AllAnswered(no_async)) << "a kind never made is no clean run";

  ClientReport unaccounted = run;
  ++unaccounted.tallies[kSync].sent;
  EXPECT_FALSE(AllAnswered(unaccounted)) << "a request with no outcome at all";

  ClientReport with_problem = CleanClient(1);
  with_problem.problems.push_back("sync request 5: rc 1034");
  MergeReport(with_problem, 2, &run);
  ASSERT_EQ(run.problems.size(), 1u);
  EXPECT_EQ(run.problems[0], "client 2: sync request 5: rc 1034");
}

}  // namespace
}  // namespace zel::soak
