// Faults injected into the component's call tables (Qlx() and Plat()): the
// Nth call of a named outside call, or that one and every later one, fails
// as the real call fails. A test arms them in its own process with
// ArmCallFaults; a test that needs them in the CPMgr or in applications it
// starts sets ZEL_FAULTS, which every process reads when the component is
// loaded:
//
//   ZEL_FAULTS="[PROGRAM:]CALL:N[+],..."
//
// CALL is a member of one of the tables ("qlxDQ_CreateEx", "GlobalAlloc"),
// or "*" for any member: "*:N" fails the Nth table call of the process,
// whichever it is. PROGRAM, when given, is the file name of the only
// process that arms the entry ("VQZMCMW.EXE"). A malformed list aborts the
// process that reads it. Each fault that fires writes a trace line with the
// tag "FI" and counts in CallFaultsFired().
#ifndef ZEL_SERVICES_CALL_FAULTS_H
#define ZEL_SERVICES_CALL_FAULTS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zel::services {

// The call name that stands for every member of both tables.
inline constexpr std::string_view kAnyCall = "*";

// One entry of a fault list.
struct CallFault {
  std::string program;  // process file name; empty: every process
  std::string call;     // member name in Qlx() or Plat(), or kAnyCall
  uint32_t nth = 0;     // the call that fails, counted from 1
  bool onward = false;  // every call after the Nth fails too
};

// Parses a fault list (empty: no fault). False with the reason in *error
// when it is malformed or names a call that no table has.
bool ParseCallFaults(std::string_view fault_list, std::vector<CallFault>* faults,
                     std::string* error);

// Arms the entries of `fault_list` that apply to this process and restarts every
// count; an empty list disarms. Aborts with a message on stderr when `fault_list`
// is malformed. Not while other threads make table calls.
void ArmCallFaults(std::string_view fault_list);

// Whether any fault is armed in this process. Any thread.
bool CallFaultsArmed();

// Counts one call of `call` and tells whether it is to fail. Any thread.
bool CallFaultFires(const char* call);

// How many armed faults fired in this process since they were last armed.
// Any thread.
uint32_t CallFaultsFired();

// A failure that returns the constant `Value`.
template <auto Value>
struct Return {
  template <typename R, typename... A>
  static R Fail(A...) {
    return static_cast<R>(Value);
  }
};

// A table's members with their noexcept dropped, so that a test's lambda
// can stand in for a service function.
template <typename Fn>
struct PlainCall;
template <typename R, typename... A>
struct PlainCall<R (*)(A...)> {
  using type = R (*)(A...);
};
template <typename R, typename... A>
struct PlainCall<R (*)(A...) noexcept> {
  using type = R (*)(A...);
};

// The faulting stand-in of one table member: fails as `Failure` says when
// CallFaultFires(Name), else calls the member of the table `Under()` holds.
template <typename Table, typename Fn>
struct Faulting;
template <typename Table, typename R, typename... A>
struct Faulting<Table, R (*)(A...)> {
  using Fn = R (*)(A...);
  template <Fn Table::*Member, const Table& (*Under)(), const char* Name, typename Failure>
  static R Call(A... args) {
    if (CallFaultFires(Name)) return Failure::template Fail<R>(args...);
    return (Under().*Member)(args...);
  }
};

}  // namespace zel::services

#endif  // ZEL_SERVICES_CALL_FAULTS_H
