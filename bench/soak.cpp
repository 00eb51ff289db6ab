// The soak run: application clients (16 by default) against one zelhost and
// the communication manager of this build for minutes (10 by default), each
// mixing synchronous, asynchronous and host-initiated requests of 0 bytes to
// 1 MiB from a seeded generator (soak_client.h). Every 10 s it samples the
// manager's and zelhost's resident memory, the control-block heap's
// high-water mark and the global heap's use; at the end it prints the
// tallies, the samples and the latency per minute, and judges:
//   replies    every reply was its request's; none failed, none was lost or
//              came twice (always judged)
//   heaps      once the clients have ended, the global heap is back to its
//              use before they started (always judged)
//   memory     after the first minute, the later half's maximum of each
//              sampled figure is within 10% (plus a small slack) of the
//              earlier half's maximum
//   latency    after the first minute, the median of the later half's
//              per-minute p99 is within 50% (plus 5 ms) of the earlier half's
// Exit code 0 when every judged criterion holds.
//
//   zelsoak [--minutes M | --seconds S] [--clients N] [--seed N]
//           [--sample-seconds S] [--window-seconds S] [--no-drift]
// --no-drift leaves the memory and latency criteria unjudged (printed only):
// a run of seconds has no settled state to judge them on.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_instance.h"
#include "ctrlblk/ctrlblk.h"
#include "platform/instance_view.h"
#include "soak_client.h"
#include "soak_stats.h"
#include "vqzmcsw.h"

extern char** environ;

namespace zel::soak {
namespace {

constexpr char kSystem[] = "SOAKSYS";
// How long the clients may take past the deadline to finish what is due:
// the reply time of one request and of the async drain, and then some.
constexpr int64_t kFinishMicros = 300'000'000;
// What the global heap may hold beyond its use before the clients started,
// once they have all ended.
constexpr double kHeapBackSlack = 64 << 10;

struct Options {
  double seconds = 600;
  uint32_t clients = 16;
  uint64_t seed = 1;
  uint32_t sample_seconds = 10;
  uint32_t window_seconds = 60;
  bool judge_drift = true;
  // In a client process: its number, and the run's start and deadline.
  int client = -1;
  int64_t start_us = 0;
  int64_t deadline_us = 0;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--no-drift") {
      o->judge_drift = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--minutes") {
      o->seconds = strtod(value, nullptr) * 60;
    } else if (arg == "--seconds") {
      o->seconds = strtod(value, nullptr);
    } else if (arg == "--clients") {
      o->clients = static_cast<uint32_t>(strtoul(value, nullptr, 10));
    } else if (arg == "--seed") {
      o->seed = strtoull(value, nullptr, 10);
    } else if (arg == "--sample-seconds") {
      o->sample_seconds = static_cast<uint32_t>(strtoul(value, nullptr, 10));
    } else if (arg == "--window-seconds") {
      o->window_seconds = static_cast<uint32_t>(strtoul(value, nullptr, 10));
    } else if (arg == "--client") {
      o->client = atoi(value);
    } else if (arg == "--start") {
      o->start_us = strtoll(value, nullptr, 10);
    } else if (arg == "--deadline") {
      o->deadline_us = strtoll(value, nullptr, 10);
    } else {
      return false;
    }
  }
  return o->seconds > 0 && o->clients > 0 && o->clients <= 60 && o->sample_seconds > 0 &&
         o->window_seconds > 0;
}

// ---- Samples ----

struct Sample {
  double at_s;             // seconds from the run's start
  double manager_rss_kib;  // VmRSS of the manager
  double host_rss_kib;     // VmRSS of zelhost
  double cb_high_water;    // bytes of the control-block heap ever handed out
  double global_used;      // bytes of the global heap in use, headers included
};

double ResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string word;
  while (status >> word) {
    if (word != "VmRSS:") continue;
    double kib = 0;
    status >> kib;
    return kib;
  }
  return 0;
}

double GlobalHeapUsed(const platform::InstanceView& view) {
  platform::GlobalHeapUse use{};
  return view.MeasureGlobalHeap(&use) ? static_cast<double>(use.used_bytes) : 0;
}

Sample TakeSample(const platform::InstanceView& view, int64_t start_us) {
  const auto* shared = reinterpret_cast<const ctrlblk::SharedData*>(ctrlblk::kSharedDataAddress);
  return Sample{static_cast<double>(NowMicros() - start_us) / 1e6, ResidentKib(bench::ManagerPid()),
                ResidentKib(bench::HostPid()),
                static_cast<double>(__atomic_load_n(&shared->ulHeapUsed, __ATOMIC_RELAXED)),
                GlobalHeapUsed(view)};
}

// ---- Clients ----

struct ClientProcess {
  pid_t pid = 0;
  int status = 0;
  bool ended = false;
  std::string output;  // the file its report goes to
};

bool SpawnClient(const Options& o, uint32_t index, ClientProcess* client) {
  client->output = (bench::WorkDir() / ("client-" + std::to_string(index) + ".out")).string();
  std::string self = "/proc/self/exe";
  std::vector<std::string> args = {"zelsoak",
                                   "--client",
                                   std::to_string(index),
                                   "--seed",
                                   std::to_string(o.seed),
                                   "--start",
                                   std::to_string(o.start_us),
                                   "--deadline",
                                   std::to_string(o.deadline_us)};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, client->output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int rc = posix_spawn(&client->pid, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0;
}

bool AllEnded(std::vector<ClientProcess>& clients) {
  bool all = true;
  for (ClientProcess& c : clients) {
    if (!c.ended && waitpid(c.pid, &c.status, WNOHANG) == c.pid) c.ended = true;
    all = all && c.ended;
  }
  return all;
}

// Samples every sample_seconds until the clients have ended; false when
// they had to be killed past the finishing time.
bool SampleUntilEnded(const Options& o, const platform::InstanceView& view,
                      std::vector<ClientProcess>& clients, std::vector<Sample>* samples) {
  int64_t next = o.start_us;
  while (!AllEnded(clients)) {
    int64_t now = NowMicros();
    if (now > o.deadline_us + kFinishMicros) {
      for (ClientProcess& c : clients) {
        if (!c.ended) kill(c.pid, SIGKILL);
      }
      while (!AllEnded(clients)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return false;
    }
    if (now >= next && now < o.deadline_us) {
      samples->push_back(TakeSample(view, o.start_us));
      next += int64_t{o.sample_seconds} * 1'000'000;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return true;
}

// ---- Report ----

// The clients' reports merged; complete when every client ended on its own
// with a whole report.
ClientReport Gather(std::vector<ClientProcess>& clients) {
  ClientReport run;
  run.complete = true;
  for (uint32_t i = 0; i < clients.size(); ++i) {
    std::ifstream in(clients[i].output);
    ClientReport report = ReadClientReport(in);
    bool exited = WIFEXITED(clients[i].status) && WEXITSTATUS(clients[i].status) == 0;
    if (!exited || !report.complete) {
      run.complete = false;
      run.problems.push_back("client " + std::to_string(i) + " did not finish its run");
    }
    MergeReport(report, i, &run);
  }
  return run;
}

void PrintReplies(const ClientReport& run) {
  printf("\n## Replies\n\n| kind | sent | matched | failed | mismatched | unknown | lost |\n");
  printf("|---|---:|---:|---:|---:|---:|---:|\n");
  for (int k = 0; k < kKinds; ++k) {
    const Tally& x = run.tallies[k];
    printf("| %s | %llu | %llu | %llu | %llu | %llu | %llu |\n", kKindNames[k],
           static_cast<unsigned long long>(x.sent), static_cast<unsigned long long>(x.matched),
           static_cast<unsigned long long>(x.failed), static_cast<unsigned long long>(x.mismatched),
           static_cast<unsigned long long>(x.unknown), static_cast<unsigned long long>(x.lost));
  }
  printf("\nhost requests served by the PC programs: %llu (%llu of them twice)\n",
         static_cast<unsigned long long>(run.served),
         static_cast<unsigned long long>(run.served_twice));
  for (const std::string& p : run.problems) printf("problem: %s\n", p.c_str());
}

void PrintSamples(const std::vector<Sample>& samples) {
  printf(
      "\n## Samples\n\n| t (s) | CPMgr RSS (KiB) | zelhost RSS (KiB) | "
      "control-block heap high water (B) | global heap used (B) |\n");
  printf("|---:|---:|---:|---:|---:|\n");
  for (const Sample& s : samples) {
    printf("| %.0f | %.0f | %.0f | %.0f | %.0f |\n", s.at_s, s.manager_rss_kib, s.host_rss_kib,
           s.cb_high_water, s.global_used);
  }
}

// Prints one verdict line; true unless it was judged and failed while
// `binding`.
bool PrintVerdict(const char* what, const Verdict& v, bool binding) {
  const char* word = !v.judged ? "not judged (too few samples)" : v.ok ? "ok" : "VIOLATED";
  printf("%-34s earlier %12.0f  later %12.0f  limit %12.0f  %s%s\n", what, v.early, v.late, v.limit,
         word, binding || !v.judged ? "" : " (not binding)");
  return !binding || v.ok;
}

bool JudgeMemory(const Options& o, const std::vector<Sample>& samples) {
  size_t warmup = std::max<size_t>(1, o.window_seconds / o.sample_seconds);
  auto series = [&](double Sample::*field) {
    std::vector<double> values;
    for (const Sample& s : samples) values.push_back(s.*field);
    return values;
  };
  printf("\n## Memory after warm-up (%zu sample(s)): later max <= earlier max * 1.10 + slack\n\n",
         warmup);
  bool ok =
      PrintVerdict("CPMgr RSS (KiB, slack 4096)",
                   Flatness(series(&Sample::manager_rss_kib), warmup, 0.10, 4096), o.judge_drift);
  ok &= PrintVerdict("zelhost RSS (KiB, slack 4096)",
                     Flatness(series(&Sample::host_rss_kib), warmup, 0.10, 4096), o.judge_drift);
  ok &= PrintVerdict("control-block high water (B, 4096)",
                     Flatness(series(&Sample::cb_high_water), warmup, 0.10, 4096), o.judge_drift);
  // The global heap holds the data of the requests in flight at the moment
  // of the sample, up to tens of MiB; its leaks show in the end state.
  ok &= PrintVerdict("global heap used (B, slack 32 MiB)",
                     Flatness(series(&Sample::global_used), warmup, 0.10, 32 << 20), o.judge_drift);
  return ok;
}

bool JudgeLatency(const Options& o, const std::vector<LatencySample>& latencies) {
  size_t windows = std::max<size_t>(1, static_cast<size_t>(o.seconds / o.window_seconds));
  std::vector<std::vector<uint32_t>> by[kKinds];
  for (auto& kind : by) kind.resize(windows);
  for (const LatencySample& s : latencies) {
    size_t w = std::min(windows - 1, static_cast<size_t>(s.at_ms / 1000 / o.window_seconds));
    by[s.kind][w].push_back(s.micros);
  }
  printf("\n## Latency per %u s (ms): count / p50 / p99\n\n| window |", o.window_seconds);
  for (const char* name : kKindNames) printf(" %s |", name);
  printf("\n|---:|---:|---:|---:|\n");
  std::vector<double> p99[kKinds];
  for (size_t w = 0; w < windows; ++w) {
    printf("| %zu |", w + 1);
    for (int k = 0; k < kKinds; ++k) {
      const std::vector<uint32_t>& v = by[k][w];
      p99[k].push_back(Percentile(v, 99) / 1000.0);
      printf(" %zu / %.1f / %.1f |", v.size(), Percentile(v, 50) / 1000.0, p99[k].back());
    }
    printf("\n");
  }
  printf("\n## Latency drift after the first window: later median p99 <= earlier * 1.5 + 5 ms\n\n");
  bool ok = true;
  for (int k = 0; k < kKinds; ++k) {
    std::string what = std::string(kKindNames[k]) + " p99 (ms)";
    ok &= PrintVerdict(what.c_str(), Drift(p99[k], 1, 0.5, 5), o.judge_drift);
  }
  return ok;
}

// The work directory goes when the run ends; the logs of a failed run are
// copied to the current directory for a look at what happened.
void KeepLogs() {
  for (const char* log : {"zelhost.log", "cpmgr.log"}) {
    std::filesystem::path kept = std::string("zelsoak-") + log;
    std::error_code error;
    std::filesystem::copy_file(bench::WorkDir() / log, kept,
                               std::filesystem::copy_options::overwrite_existing, error);
    if (!error) printf("kept %s\n", kept.c_str());
  }
}

int Drive(const Options& given) {
  Options o = given;
  uint32_t conv = 0;
  if (caInitializeZELComm(kSystem, 0, 0, 0, &conv, 0) != 0) {
    fprintf(stderr, "zelsoak: the system did not start\n");
    return 1;
  }
  platform::InstanceView view;
  view.Open();
  Sample before = TakeSample(view, NowMicros());
  o.start_us = NowMicros();
  o.deadline_us = o.start_us + static_cast<int64_t>(o.seconds * 1e6);
  printf("# Soak: %u clients, %.0f s, seed %llu\n", o.clients, o.seconds,
         static_cast<unsigned long long>(o.seed));
  fflush(stdout);
  std::vector<ClientProcess> clients(o.clients);
  uint32_t started = 0;
  while (started < o.clients && SpawnClient(o, started, &clients[started])) ++started;
  bool spawned = started == o.clients;
  if (!spawned) {
    // Those that did start still run their course and are waited for.
    fprintf(stderr, "zelsoak: client %u could not be started\n", started);
    clients.resize(started);
  }
  std::vector<Sample> samples;
  bool finished = SampleUntilEnded(o, view, clients, &samples);
  // The blocks of the ended clients go back as the manager and the
  // instance notice their end.
  bench::WaitFor([&] { return GlobalHeapUsed(view) <= before.global_used + kHeapBackSlack; },
                 std::chrono::seconds(10));
  Sample after = TakeSample(view, o.start_us);
  caStopZELComm(conv);

  ClientReport run = Gather(clients);
  bool ok = spawned && finished;
  if (!finished) {
    printf("\nclients still running %lld s past the deadline were killed\n",
           static_cast<long long>(kFinishMicros / 1'000'000));
  }
  PrintReplies(run);
  ok &= AllAnswered(run);
  PrintSamples(samples);
  ok &= JudgeMemory(o, samples);
  bool heap_back = after.global_used <= before.global_used + kHeapBackSlack;
  printf("%-34s before %12.0f  after  %12.0f  limit %12.0f  %s\n",
         "global heap once the clients ended", before.global_used, after.global_used,
         before.global_used + kHeapBackSlack, heap_back ? "ok" : "VIOLATED");
  ok &= heap_back;
  ok &= JudgeLatency(o, run.latencies);
  printf("\nverdict: %s\n", ok ? "PASS" : "FAIL");
  if (!ok) KeepLogs();
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace zel::soak

int main(int argc, char** argv) {
  using namespace zel::soak;
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    fprintf(stderr,
            "usage: zelsoak [--minutes M | --seconds S] [--clients N] [--seed N]\n"
            "               [--sample-seconds S] [--window-seconds S] [--no-drift]\n");
    return 2;
  }
  if (options.client >= 0) {
    ClientPlan plan;
    plan.index = static_cast<uint32_t>(options.client);
    plan.seed = options.seed;
    plan.system = kSystem;
    plan.start_us = options.start_us;
    plan.deadline_us = options.deadline_us;
    return RunClient(plan);
  }
  return zel::bench::RunWithHost(argv, kSystem, [&] { return Drive(options); });
}
