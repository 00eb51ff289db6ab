// zel stop: stops one system, or every system and then the manager, as the
// manager's own start/stop thread does it: under the manager-state lock the
// system's comm-state lock is taken, the stop is handed to the manager
// (cmStopAndWaitComm) and its answer awaited. The manager itself ends in
// order on SIGTERM: it stops whatever still runs, resets the control blocks
// and exits.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/handles.h"
#include "platform/mutex.h"
#include "platform/user.h"
#include "platform/window.h"
#include "tools/zel/cli.h"
#include "tools/zel/commands.h"
#include "tools/zel/component.h"
#include "tools/zel/messages.h"
#include "tools/zel/shared_view.h"
#include "vqzmcm.h"

namespace zel::tool {
namespace {

namespace platform = zel::platform;

constexpr uint64_t kDefaultTimeoutSeconds = 60;
constexpr auto kPollSlice = std::chrono::milliseconds(50);

using Clock = std::chrono::steady_clock;

void PrintHelp() {
  std::printf(
      "usage: zel stop [SYSTEM | --all] [--timeout SECONDS] [--json]\n"
      "\n"
      "Stops the communication of SYSTEM (default: the default system), or with\n"
      "--all every running system and then the manager, each in order, waiting\n"
      "at most SECONDS (default %llu) for each step.\n"
      "\n"
      "Exit status: 0 stopped, 1 a stop failed (its code and message are shown),\n"
      "2 bad command line, 3 no manager runs.\n",
      static_cast<unsigned long long>(kDefaultTimeoutSeconds));
}

// What the run did, for the report.
struct Outcome {
  std::vector<std::string> stopped;  // systems stopped, in order
  bool manager_stopped = false;
  std::string failure;  // why it failed; empty when nothing failed
  uint16_t rc = 0;      // the failing code, when there is one
};

// Holds a named mutex of the manager, waiting at most a bound for it.
class ManagerLock {
 public:
  ManagerLock(const std::string& name, std::chrono::seconds bound)
      : handle_(platform::CreateMutex(false, name.c_str())) {
    if (!handle_) return;
    platform::DWORD wait = platform::WaitForSingleObject(
        handle_.get(), static_cast<platform::DWORD>(bound.count() * 1000));
    held_ = wait == platform::WAIT_OBJECT_0 || wait == platform::WAIT_ABANDONED;
  }
  ~ManagerLock() { Release(); }
  ManagerLock(const ManagerLock&) = delete;
  ManagerLock& operator=(const ManagerLock&) = delete;

  bool held() const { return held_; }
  void Release() {
    if (held_) platform::ReleaseMutex(handle_.get());
    held_ = false;
  }

 private:
  platform::UniqueHandle handle_;
  bool held_ = false;
};

// Hands the stop of `system` to the manager and waits for the answer at
// most `bound`. The wait inside the component has no bound of its own
// while the manager lives, so it runs on a thread of its own; when the
// bound passes, nothing can take it back, and the process must end
// without unloading the component under that thread.
uint16_t StopAndWait(RZ700SysStruct* system, std::chrono::seconds bound, bool* timed_out) {
  std::packaged_task<uint16_t()> task(
      [system] { return ZEL_COMPONENT(cmStopAndWaitComm)(system); });
  std::future<uint16_t> answer = task.get_future();
  std::thread(std::move(task)).detach();
  *timed_out = answer.wait_for(bound) != std::future_status::ready;
  return *timed_out ? uint16_t{VQZM_RC_MANAGER_HANDOVER_FAILED} : answer.get();
}

// Stops the running system `name`; false with `outcome` saying why not.
bool StopSystem(const std::string& name, std::chrono::seconds bound, Outcome* outcome) {
  ManagerLock state(kStateMutex, bound);
  if (!state.held()) {
    outcome->rc = VQZM_RC_MUTEX_WAIT_FAILED;
    outcome->failure = "the manager-state lock stayed taken";
    return false;
  }
  RZ700SysStruct* system = nullptr;
  uint16_t rc = ZEL_COMPONENT(cmFindCommNotStoppedEx)(&system, name.c_str());
  if (rc != 0) {
    outcome->rc = rc;
    outcome->failure = "system " + name + " does not run";
    return false;
  }
  ManagerLock comm_state(kCommStatePrefix + std::string(system->szSysID, 3), bound);
  state.Release();
  if (!comm_state.held()) {
    outcome->rc = VQZM_RC_MUTEX_WAIT_FAILED;
    outcome->failure = "the comm-state lock of system " + name + " stayed taken";
    return false;
  }
  bool timed_out = false;
  rc = StopAndWait(system, bound, &timed_out);
  if (timed_out) {
    std::fprintf(stderr, "zel stop: the manager did not answer the stop of %s within %lld s\n",
                 name.c_str(), static_cast<long long>(bound.count()));
    std::fflush(stdout);
    _exit(kExitFailed);
  }
  if (rc != 0 && rc != VQZM_RC_PASSED_ON_1289) {
    outcome->rc = rc;
    outcome->failure = "system " + name + " was not stopped";
    return false;
  }
  outcome->stopped.push_back(name);
  return true;
}

// The names of the active systems. As when the manager stops itself, a
// system still starting or already ending is left to the manager's end.
std::vector<std::string> ActiveSystems() {
  std::vector<std::string> names;
  auto next = ZEL_COMPONENT(cbRetNextRZ700SysStruct);
  for (RZ700SysStruct* system = next(nullptr); system != nullptr; system = next(system)) {
    if (system->usCommState == ZEL_COMM_ACTIVE) names.emplace_back(system->szSysName);
  }
  return names;
}

// Ends the manager, whose window is `hwnd`, and waits for it to be gone.
bool StopManager(platform::HWND hwnd, uint32_t pid, std::chrono::seconds bound, Outcome* outcome) {
  platform::DWORD owner = 0;
  platform::GetWindowThreadProcessId(hwnd, &owner);
  // With its last system stopped, an idle manager may have ended by itself.
  if (owner == 0 && !platform::IsWindow(hwnd)) {
    outcome->manager_stopped = true;
    return true;
  }
  if (owner != pid || kill(static_cast<pid_t>(pid), SIGTERM) != 0) {
    outcome->rc = VQZM_RC_CPMGR_ENDED;
    outcome->failure = "the manager could not be told to end";
    return false;
  }
  for (auto until = Clock::now() + bound; platform::IsWindow(hwnd);) {
    if (Clock::now() >= until) {
      outcome->rc = VQZM_RC_MANAGER_HANDOVER_FAILED;
      outcome->failure = "the manager did not end within " + std::to_string(bound.count()) + " s";
      return false;
    }
    std::this_thread::sleep_for(kPollSlice);
  }
  outcome->manager_stopped = true;
  return true;
}

bool StopAll(std::chrono::seconds bound, Outcome* outcome) {
  ZELAnchorCB* anchor = ZEL_COMPONENT(GetZELAnchorCB)();
  if (anchor == nullptr) {
    outcome->rc = VQZM_RC_INTERNAL_ERROR;
    outcome->failure = "the shared control blocks are not available";
    return false;
  }
  platform::HWND hwnd = anchor->hwndCPMgr;
  uint32_t pid = anchor->ulCPMgrPid;
  for (const std::string& name : ActiveSystems()) {
    if (!StopSystem(name, bound, outcome)) return false;
  }
  return StopManager(hwnd, pid, bound, outcome);
}

void Report(const std::string& instance, const Outcome& outcome, bool json) {
  if (json) {
    Json out;
    out.BeginObject().String("instance", instance).BeginArray("stopped");
    for (const std::string& name : outcome.stopped) out.String({}, name);
    out.EndArray().Bool("manager_stopped", outcome.manager_stopped);
    if (outcome.failure.empty()) {
      out.Null("failure");
    } else {
      out.BeginObject("failure")
          .String("reason", outcome.failure)
          .Integer("rc", outcome.rc)
          .String("message", ReturnCodeText(outcome.rc))
          .EndObject();
    }
    std::printf("%s\n", out.EndObject().text().c_str());
    return;
  }
  for (const std::string& name : outcome.stopped) std::printf("stopped system %s\n", name.c_str());
  if (outcome.manager_stopped)
    std::printf("stopped the manager of instance %s\n", instance.c_str());
  if (!outcome.failure.empty()) {
    std::fprintf(stderr, "zel stop: %s: rc %u (%s)\n", outcome.failure.c_str(), outcome.rc,
                 ReturnCodeText(outcome.rc).c_str());
  }
}

// The system to stop when none is named: the default system.
bool DefaultSystem(std::string* name, Outcome* outcome) {
  char buffer[256] = {};
  uint16_t rc = ZEL_COMPONENT(cmRetDefaultRouterSys)(buffer);
  if (rc != 0) {
    outcome->rc = rc;
    outcome->failure = "no system was named and the default system is not known";
    return false;
  }
  *name = buffer;
  return true;
}

}  // namespace

int RunStop(int argc, char** argv, int first) {
  Args args;
  if (!args.Parse(argc, argv, first, {{"all", false}, {"timeout", true}})) {
    return UsageError("stop", args.error());
  }
  if (args.Help()) {
    PrintHelp();
    return kExitOk;
  }
  const std::vector<std::string>& names = args.Positionals();
  if (names.size() > 1 || (args.Has("all") && !names.empty())) {
    return UsageError("stop", "name one system, or --all");
  }
  bool malformed = false;
  uint64_t seconds = args.Number("timeout", &malformed).value_or(kDefaultTimeoutSeconds);
  if (malformed || seconds == 0 || seconds > 86400) {
    return UsageError("stop", "--timeout takes a number of seconds from 1 to 86400");
  }
  std::chrono::seconds bound(seconds);

  // Looked at first without joining the instance, so that a stop with
  // nothing to stop makes nothing.
  InstanceStatus status;
  std::string error;
  if (!ReadInstanceStatus(&status, &error)) {
    std::fprintf(stderr, "zel stop: %s\n", error.c_str());
    return kExitFailed;
  }
  if (status.found != InstanceStatus::Found::kRunning) {
    std::fprintf(stderr, "zel stop: no manager runs in instance %s\n", status.instance.c_str());
    return kExitNotRunning;
  }
  if (!LoadComponent(&error)) {
    std::fprintf(stderr, "zel stop: %s\n", error.c_str());
    return kExitFailed;
  }
  Outcome outcome;
  std::string name = names.empty() ? std::string() : names[0];
  bool ok = args.Has("all")                                   ? StopAll(bound, &outcome)
            : !name.empty() || DefaultSystem(&name, &outcome) ? StopSystem(name, bound, &outcome)
                                                              : false;
  Report(status.instance, outcome, args.Json());
  return ok ? kExitOk : kExitFailed;
}

}  // namespace zel::tool
