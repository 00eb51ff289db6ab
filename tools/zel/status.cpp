// zel status: the instance's shared state as its processes see it, read
// from copies of the control blocks without joining the instance (see
// shared_view.h); with --watch, again and again until interrupted.
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "tools/zel/cli.h"
#include "tools/zel/commands.h"
#include "tools/zel/shared_view.h"

namespace zel::tool {
namespace {

constexpr uint64_t kDefaultWatchSeconds = 2;
constexpr uint64_t kMaxWatchSeconds = 86400;
constexpr auto kWatchSlice = std::chrono::milliseconds(100);

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

void PrintHelp() {
  std::printf(
      "usage: zel status [--watch [SECONDS]] [--json]\n"
      "\n"
      "Shows the instance's shared state: the manager, each system, outstanding\n"
      "requests, asynchronous answers waiting, registered PC programs and the heaps.\n"
      "It only reads: it never creates anything and does not join the instance.\n"
      "\n"
      "  --watch [SECONDS]  show it again every SECONDS (default %llu) until interrupted\n"
      "  --json             one JSON object (with --watch, one per line)\n"
      "\n"
      "Exit status: 0 the manager runs, 1 the instance cannot be read,\n"
      "3 no manager runs (said plainly). With --watch, 0 when interrupted.\n",
      static_cast<unsigned long long>(kDefaultWatchSeconds));
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

const char* FoundName(InstanceStatus::Found found) {
  switch (found) {
    case InstanceStatus::Found::kNothing:
      return "nothing";
    case InstanceStatus::Found::kDeserted:
      return "left by ended processes";
    case InstanceStatus::Found::kNoComponent:
      return "no control blocks";
    case InstanceStatus::Found::kNoManager:
      return "no manager";
    case InstanceStatus::Found::kRunning:
      return "running";
  }
  return "unknown";
}

const char* RequestTypeName(uint16_t type) {
  switch (type) {
    case 1:
      return "obtain RRP";
    case 2:
      return "send request";
    case 3:
      return "send return";
    case 4:
      return "retrieve data";
    default:
      return "unknown";
  }
}

// The first line: what runs, plainly.
std::string Headline(const InstanceStatus& s) {
  std::string head = "instance " + s.instance + ": ";
  std::string attached = std::to_string(s.attached) + " process(es) attached";
  switch (s.found) {
    case InstanceStatus::Found::kNothing:
      return "no manager runs in " + head + "nothing of it exists";
    case InstanceStatus::Found::kDeserted:
      return "no manager runs in " + head + "only files left by processes that ended";
    case InstanceStatus::Found::kNoComponent:
      return "no manager runs in " + head + attached + ", none uses the control blocks";
    case InstanceStatus::Found::kNoManager:
      return "no manager runs in " + head + "manager state " + std::to_string(s.manager_state) +
             " (" + ManagerStateName(s.manager_state) + "), last rc " +
             std::to_string(s.manager_rc) + "; " + attached;
    case InstanceStatus::Found::kRunning:
      break;
  }
  std::string uptime =
      s.uptime_seconds < 0
          ? std::string()
          : ", up " + std::to_string(static_cast<uint64_t>(s.uptime_seconds)) + " s";
  return head + "manager " + ManagerStateName(s.manager_state) + ", pid " +
         std::to_string(s.manager_pid) + uptime + ", last rc " + std::to_string(s.manager_rc) +
         "; " + attached + ", " + std::to_string(s.attach_count) + " attach(es) so far";
}

void PrintSystems(const InstanceStatus& s) {
  std::printf("systems:%s\n", s.systems.empty() ? " none" : "");
  for (const SystemStatus& system : s.systems) {
    std::printf("  %s  ID %s  %s", system.name.c_str(), system.id.c_str(),
                CommStateName(system.comm_state));
    if (system.comm_rc != 0) std::printf(" (rc %u)", system.comm_rc);
    std::printf("  PWS %s  queue %s  conversations %u  RID sequence %s\n",
                system.pws_id.empty() ? "-" : system.pws_id.c_str(),
                system.queue.empty() ? "-" : system.queue.c_str(), system.conversations,
                system.rid_sequence.c_str());
    for (const TermWindowStatus& window : system.windows) {
      std::printf("    window %s of %s, type %u\n", Hex(window.hwnd).c_str(),
                  window.program.c_str(), window.type);
    }
  }
}

void PrintLists(const InstanceStatus& s) {
  std::printf("outstanding requests: %zu\n", s.outstanding.size());
  for (const OutstandingStatus& request : s.outstanding) {
    std::printf("  %s for %s%s\n", RequestTypeName(request.type), request.system.c_str(),
                request.returned ? " (answered)" : "");
  }
  std::printf("asynchronous answers waiting: %zu\n", s.async_waiting.size());
  for (const AsyncStatus& async : s.async_waiting) {
    std::printf("  %s for window %s, conversation %u, %u of %u bytes%s\n", async.rid.c_str(),
                Hex(async.hwnd).c_str(), async.conversation, async.received, async.total,
                async.post_state == 41 ? ", kept after a failed post" : "");
  }
  std::printf("host requests being received: %u\n", s.host_requests);
  std::printf("registered PC programs:%s", s.pc_programs.empty() ? " none" : "");
  for (const std::string& program : s.pc_programs) std::printf(" %s", program.c_str());
  std::printf("\n");
}

void PrintHeaps(const InstanceStatus& s) {
  std::printf("control-block heap: %u of %u bytes handed out\n", s.heap_used, s.heap_size);
  if (!s.have_global_heap) return;
  const platform::GlobalHeapUse& heap = s.global_heap;
  std::printf("global heap: %llu block(s), %llu of %llu bytes used%s\n",
              static_cast<unsigned long long>(heap.used_blocks),
              static_cast<unsigned long long>(heap.used_bytes),
              static_cast<unsigned long long>(heap.size),
              heap.whole ? "" : " (changed while read)");
}

void PrintText(const InstanceStatus& s) {
  std::printf("%s\n", Headline(s).c_str());
  if (s.found == InstanceStatus::Found::kRunning || s.found == InstanceStatus::Found::kNoManager) {
    PrintSystems(s);
    PrintLists(s);
    PrintHeaps(s);
  }
  if (s.torn) std::printf("(the control blocks changed while they were read)\n");
}

void SystemsJson(Json& json, const InstanceStatus& s) {
  json.BeginArray("systems");
  for (const SystemStatus& system : s.systems) {
    json.BeginObject()
        .String("name", system.name)
        .String("id", system.id)
        .Integer("comm_state", system.comm_state)
        .String("comm_state_name", CommStateName(system.comm_state))
        .Integer("comm_rc", system.comm_rc)
        .String("pws_id", system.pws_id)
        .String("queue", system.queue)
        .Integer("conversations", system.conversations)
        .String("rid_sequence", system.rid_sequence)
        .BeginArray("windows");
    for (const TermWindowStatus& window : system.windows) {
      json.BeginObject()
          .String("program", window.program)
          .Integer("hwnd", window.hwnd)
          .Integer("type", window.type)
          .EndObject();
    }
    json.EndArray().EndObject();
  }
  json.EndArray();
}

void ListsJson(Json& json, const InstanceStatus& s) {
  json.BeginArray("outstanding_requests");
  for (const OutstandingStatus& request : s.outstanding) {
    json.BeginObject()
        .Integer("type", request.type)
        .String("type_name", RequestTypeName(request.type))
        .String("system", request.system)
        .Bool("answered", request.returned)
        .EndObject();
  }
  json.EndArray().BeginArray("async_waiting");
  for (const AsyncStatus& async : s.async_waiting) {
    json.BeginObject()
        .String("rid", async.rid)
        .Integer("hwnd", async.hwnd)
        .Integer("conversation", async.conversation)
        .Integer("received", async.received)
        .Integer("total", async.total)
        .Integer("post_state", async.post_state)
        .EndObject();
  }
  json.EndArray().Integer("host_requests", s.host_requests).BeginArray("pc_programs");
  for (const std::string& program : s.pc_programs) json.String({}, program);
  json.EndArray();
}

void HeapsJson(Json& json, const InstanceStatus& s) {
  json.BeginObject("control_block_heap")
      .Integer("used", s.heap_used)
      .Integer("size", s.heap_size)
      .EndObject();
  if (!s.have_global_heap) {
    json.Null("global_heap");
    return;
  }
  json.BeginObject("global_heap")
      .Integer("used_blocks", static_cast<int64_t>(s.global_heap.used_blocks))
      .Integer("used_bytes", static_cast<int64_t>(s.global_heap.used_bytes))
      .Integer("free_bytes", static_cast<int64_t>(s.global_heap.free_bytes))
      .Integer("size", static_cast<int64_t>(s.global_heap.size))
      .Bool("whole", s.global_heap.whole)
      .EndObject();
}

void PrintJson(const InstanceStatus& s) {
  bool running = s.found == InstanceStatus::Found::kRunning;
  Json json;
  json.BeginObject()
      .String("instance", s.instance)
      .String("found", FoundName(s.found))
      .Integer("attached_processes", s.attached)
      .Integer("attach_count", s.attach_count)
      .BeginObject("manager")
      .Bool("running", running)
      .Integer("state", s.manager_state)
      .String("state_name", ManagerStateName(s.manager_state))
      .Integer("pid", s.manager_pid)
      .Integer("last_rc", s.manager_rc);
  if (running && s.uptime_seconds >= 0) {
    json.Number("uptime_seconds", s.uptime_seconds);
  } else {
    json.Null("uptime_seconds");
  }
  json.EndObject();
  SystemsJson(json, s);
  ListsJson(json, s);
  HeapsJson(json, s);
  json.Bool("torn", s.torn).EndObject();
  std::printf("%s\n", json.text().c_str());
}

// Reads and prints the status once; the exit code it calls for.
int ShowOnce(bool json) {
  InstanceStatus status;
  std::string error;
  if (!ReadInstanceStatus(&status, &error)) {
    std::fprintf(stderr, "zel status: %s\n", error.c_str());
    return kExitFailed;
  }
  if (json) {
    PrintJson(status);
  } else {
    PrintText(status);
  }
  std::fflush(stdout);
  return status.found == InstanceStatus::Found::kRunning ? kExitOk : kExitNotRunning;
}

int Watch(bool json, uint64_t seconds) {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  bool clear = !json && isatty(STDOUT_FILENO);
  while (g_interrupted == 0) {
    if (clear) std::printf("\033[H\033[2J");
    ShowOnce(json);
    if (!json && !clear) std::printf("\n");
    std::fflush(stdout);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (g_interrupted == 0 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(kWatchSlice);
    }
  }
  return kExitOk;
}

}  // namespace

int RunStatus(int argc, char** argv, int first) {
  Args args;
  if (!args.Parse(argc, argv, first, {{"watch", false}})) {
    return UsageError("status", args.error());
  }
  if (args.Help()) {
    PrintHelp();
    return kExitOk;
  }
  const std::vector<std::string>& rest = args.Positionals();
  // The only argument is the interval that may follow --watch.
  if (!args.Has("watch")) {
    return rest.empty() ? ShowOnce(args.Json()) : UsageError("status", "unexpected argument");
  }
  uint64_t seconds = kDefaultWatchSeconds;
  if (rest.size() > 1) return UsageError("status", "unexpected argument");
  if (rest.size() == 1) {
    const std::string& text = rest[0];
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size() || seconds == 0 ||
        seconds > kMaxWatchSeconds) {
      return UsageError("status", "--watch takes a number of seconds from 1 to 86400");
    }
  }
  return Watch(args.Json(), seconds);
}

}  // namespace zel::tool
