#include "services/call_faults.h"

#include <errno.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "base/trace.h"
#include "services/platform_calls.h"
#include "services/qlx_calls.h"

namespace zel::services {
namespace {

constexpr char kEnvironmentVariable[] = "ZEL_FAULTS";

bool IsKnownCall(std::string_view call) {
  auto named = [call](const char* name) { return call == name; };
  return call == kAnyCall || std::ranges::any_of(QlxCallNames(), named) ||
         std::ranges::any_of(PlatformCallNames(), named);
}

// "N" or "N+" with N from 1 on.
bool ParseCount(std::string_view text, CallFault* fault) {
  fault->onward = !text.empty() && text.back() == '+';
  if (fault->onward) text.remove_suffix(1);
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, fault->nth);
  return !text.empty() && ec == std::errc() && stop == end && fault->nth != 0;
}

// One entry: "[PROGRAM:]CALL:N[+]".
bool ParseEntry(std::string_view entry, CallFault* fault, std::string* error) {
  std::vector<std::string_view> parts;
  for (size_t start = 0; start <= entry.size();) {
    size_t colon = std::min(entry.find(':', start), entry.size());
    parts.push_back(entry.substr(start, colon - start));
    start = colon + 1;
  }
  auto malformed = [&](const char* why) {
    *error = "\"" + std::string(entry) + "\" " + why;
    return false;
  };
  if (parts.size() < 2 || parts.size() > 3) return malformed("is not [PROGRAM:]CALL:N[+]");
  if (parts.size() == 3) {
    if (parts[0].empty()) return malformed("names no program");
    fault->program = parts[0];
  }
  fault->call = parts[parts.size() - 2];
  if (!IsKnownCall(fault->call)) return malformed("names no call of the component's tables");
  if (!ParseCount(parts.back(), fault)) return malformed("does not end in a call number from 1 on");
  return true;
}

// The faults armed for one call, and how often it was called (counted
// through an atomic_ref: records move only while faults are armed, when
// no call counts).
struct ArmedCall {
  std::string call;
  std::vector<CallFault> faults;
  uint32_t calls = 0;

  // Counts one call; whether it is one that fails, with its number.
  bool Fires(uint32_t* number) {
    *number = std::atomic_ref(calls).fetch_add(1, std::memory_order_relaxed) + 1;
    return std::ranges::any_of(faults, [n = *number](const CallFault& fault) {
      return n == fault.nth || (fault.onward && n > fault.nth);
    });
  }
};

// The armed calls of this process; nothing allocated while none is.
struct Armed {
  std::vector<ArmedCall> calls;
  ArmedCall any_call;  // the "*" entries, which count every call
  std::atomic<bool> any{false};
  std::atomic<uint32_t> fired{0};

  ArmedCall* Find(std::string_view call) {
    auto found = std::ranges::find(calls, call, &ArmedCall::call);
    return found == calls.end() ? nullptr : &*found;
  }
};

// Never destroyed: the component's exit handlers still make table calls.
Armed& State() {
  alignas(Armed) static unsigned char storage[sizeof(Armed)];
  static Armed* state = new (storage) Armed;
  return *state;
}

bool AppliesHere(const CallFault& fault) {
  return fault.program.empty() || fault.program == program_invocation_short_name;
}

// `counted` is the entry whose count fired: the call's own, or "*".
void TraceFired(const char* call, std::string_view counted, uint32_t number) {
  if (!trace::Active()) return;
  std::string text = "fault injected: call " + std::to_string(number) + " of " + call;
  if (counted == kAnyCall)
    text = "fault injected: call " + std::to_string(number) + " of * (" + call + ")";
  trace::Msg("FI", -100, text.c_str());
}

// Every process that loads the component reads the environment's list
// before it makes its first call, and a malformed list stops it there.
[[gnu::constructor]] void ArmFromEnvironment() {
  const char* fault_list = getenv(kEnvironmentVariable);
  if (fault_list != nullptr) ArmCallFaults(fault_list);
}

}  // namespace

bool ParseCallFaults(std::string_view fault_list, std::vector<CallFault>* faults,
                     std::string* error) {
  faults->clear();
  if (fault_list.empty()) return true;
  for (size_t start = 0; start <= fault_list.size();) {
    size_t comma = std::min(fault_list.find(',', start), fault_list.size());
    CallFault fault;
    if (!ParseEntry(fault_list.substr(start, comma - start), &fault, error)) return false;
    faults->push_back(std::move(fault));
    start = comma + 1;
  }
  return true;
}

void ArmCallFaults(std::string_view fault_list) {
  std::vector<CallFault> faults;
  std::string error;
  if (!ParseCallFaults(fault_list, &faults, &error)) {
    fprintf(stderr, "%s: %s=\"%.*s\" is malformed: %s\n", program_invocation_short_name,
            kEnvironmentVariable, static_cast<int>(fault_list.size()), fault_list.data(),
            error.c_str());
    abort();
  }
  Armed& state = State();
  state.any.store(false, std::memory_order_release);
  state.calls.clear();
  state.any_call = ArmedCall{std::string(kAnyCall), {}, 0};
  state.fired.store(0, std::memory_order_relaxed);
  for (CallFault& fault : faults) {
    if (!AppliesHere(fault)) continue;
    if (fault.call == kAnyCall) {
      state.any_call.faults.push_back(std::move(fault));
      continue;
    }
    ArmedCall* armed = state.Find(fault.call);
    if (armed == nullptr) armed = &state.calls.emplace_back(ArmedCall{fault.call, {}, 0});
    armed->faults.push_back(std::move(fault));
  }
  state.any.store(!state.calls.empty() || !state.any_call.faults.empty(),
                  std::memory_order_release);
}

bool CallFaultsArmed() { return State().any.load(std::memory_order_acquire); }

bool CallFaultFires(const char* call) {
  Armed& state = State();
  uint32_t number = 0;
  ArmedCall* armed = state.Find(call);
  bool fires = armed != nullptr && armed->Fires(&number);
  if (fires) TraceFired(call, call, number);
  // Every call counts for "*", also one that already fails by its own name.
  if (!state.any_call.faults.empty() && state.any_call.Fires(&number) && !fires) {
    fires = true;
    TraceFired(call, kAnyCall, number);
  }
  if (fires) state.fired.fetch_add(1, std::memory_order_relaxed);
  return fires;
}

uint32_t CallFaultsFired() { return State().fired.load(std::memory_order_relaxed); }

}  // namespace zel::services
