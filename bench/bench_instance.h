// What the benchmarks that run against zelhost and the communication
// manager of this build share: an instance of their own (the library joins
// its instance as it loads, so a fresh one needs a new run of the program),
// a zelhost on loopback, and a configuration naming it.
#ifndef ZEL_BENCH_BENCH_INSTANCE_H
#define ZEL_BENCH_BENCH_INSTANCE_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

namespace zel::bench {

// Polls `done` every millisecond until it holds or `limit` has passed.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::steady_clock::duration limit = std::chrono::seconds(30));

// Runs `body` in an instance of its own: the first call re-runs this
// program with ZEL_INSTANCE set and does not return; in the re-run, makes a
// work directory, starts zelhost in it, configures `system` to reach it,
// runs `body`, and then ends the manager and zelhost and removes the
// directory. Returns the process's exit code.
int RunWithHost(char** argv, const char* system, const std::function<int()>& body);

// The work directory of the run.
const std::filesystem::path& WorkDir();

// zelhost's process ID, 0 when it did not start.
pid_t HostPid();

// The manager's process ID, 0 when none runs.
pid_t ManagerPid();

// Ends the manager as a SIGTERM does and waits for it; it is a child of
// this process.
bool StopManager();

// Request data of `size` bytes: the alphabet over and over.
std::vector<char> Pattern(size_t size);

// One caProcessSync of `data` to the host program ECHO on conversation
// `conv`; its code, and in *same whether the reply was the request. The
// reply block is freed.
uint16_t Echo(uint32_t conv, const std::vector<char>& data, bool* same);

}  // namespace zel::bench

#endif  // ZEL_BENCH_BENCH_INSTANCE_H
