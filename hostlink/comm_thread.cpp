// The communication thread of a started system and its comm state machine.
// Every change of state is reported to the CPMgr window.
#include <unistd.h>

#include "base/barrier.h"
#include "base/trace.h"
#include "convert/convert.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/null_argument.h"
#include "dataqueue/dataqueue.h"
#include "hostlink/hostlink.h"
#include "manager/manager.h"
#include "platform/window.h"
#include "services/platform_calls.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcc0")

using zel::services::Plat;

namespace zel::hostlink {
namespace {

uint16_t ReportState(RZ700SysStruct* pSystem, uint16_t state, uint16_t rc) {
  return cbPostCPMgrMsg(ZEL_MSG_COMM_STATE, (uint32_t{state} << 16) | rc, pSystem);
}

// The window waits for the system's active and stopped states to answer
// the start or stop it has pending, and it keeps the manager running until
// they come: a manager whose window lives but cannot hear them answers
// nobody, so it ends. A window already gone is a manager on its way out,
// whose exit routine waits for state 1 itself.
void ReportStateOrEnd(RZ700SysStruct* pSystem, uint16_t state, uint16_t rc) {
  uint16_t posted = ReportState(pSystem, state, rc);
  if (posted == 0 || !manager::CPMgrAlive() || !ZEL_ERROR_POINT("SEND_CPMGR_MSG_ERROR")) return;
  trace::Rc("CC", -100, "Error cbPostCPMgrMsg() rc=", posted);
  // At once, as a death would: exit() would run the process's destructors
  // under its other threads.
  _exit(0);
}

// States 2 to 6: a failing step sends the system into the error teardown.
uint16_t Failed(RZ700SysStruct* pSystem, uint16_t rc) {
  pSystem->usCommRC = rc;
  ccSetCommState(pSystem, ZEL_COMM_ERROR);
  return rc;
}

uint16_t RunStartStep(RZ700SysStruct* pSystem, uint16_t (*step)(RZ700SysStruct*), uint16_t next) {
  uint16_t rc = step(pSystem);
  if (rc != 0) return Failed(pSystem, rc);
  ccSetCommState(pSystem, next);
  return 0;
}

// The RRP has started: the system is active. In a double-byte environment
// the PC form of the double-byte blank is worked out first.
uint16_t BecomeActive(RZ700SysStruct* pSystem) {
  ccSetCommState(pSystem, ZEL_COMM_ACTIVE);
  uint16_t rc = 0;
  if (bdIsDBCS() != 0) {
    uint8_t first = 0;
    uint8_t second = 0;
    rc = cpGetDBSpaceValues(&first, &second);
    trace::Rc("CC", 100, "cpGetDBSpaceValues() rc=", rc);
  }
  trace::Rc("CC", 100, "pSystem->usCommState =", pSystem->usCommState);
  ReportStateOrEnd(pSystem, ZEL_COMM_ACTIVE, rc);
  return 0;
}

// The read of the data queue ended because the link went down: now that the
// teardown is over, tell the CPMgr.
void PostDeferredNotice(RZ700SysStruct* pSystem, uint32_t pending, uint16_t rc) {
  trace::Rc("CC", -100, "Error cdCommReadDataQueue() rc=", rc);
  dataqueue::PostManagerNotice(CPMgrNotice{ZEL_MSGNUM_DQ_READ_FAILED, ZEL_MSGNUM_CPMGR_ENDED,
                                           pSystem->szSysName, nullptr, ZEL_NOTICE_COUNT, pSystem},
                               pending & 0xFFFF);
}

// States 9 and 12: release everything, stop, report `rc`.
// What the applications still waiting for an answer of an ended system are
// told: the error that ended it, or that the manager or the system stopped.
uint16_t EndCode(uint16_t rc) {
  if (rc != 0) return rc;
  return cbReturnCPMgrState() == ZEL_CPMGR_STOPPING ? uint16_t{VQZM_RC_CPMGR_ENDED}
                                                     : uint16_t{VQZM_RC_NOT_ACTIVE};
}

uint16_t Finish(RZ700SysStruct* pSystem, uint16_t rc, bool after_error) {
  ccDeallocComm(pSystem);
  cdReleaseAsyncOfSystem(pSystem, EndCode(rc));
  // Read before state 1: from then on a new start may clear it.
  uint32_t pending = after_error ? pSystem->ulDQErrPending : 0;
  ccSetCommState(pSystem, ZEL_COMM_STOPPED);
  ReportStateOrEnd(pSystem, ZEL_COMM_STOPPED, rc);
  if (pending != 0) PostDeferredNotice(pSystem, pending, rc);
  return rc;
}

uint16_t InvalidState(RZ700SysStruct* pSystem, uint16_t state) {
  trace::Rc("CC", -100, "Invalid Comm State =", state);
  ReportState(pSystem, state, VQZM_RC_INTERNAL_ERROR);
  ZEL_ERROR_POINT("INVALID_STATE_ERROR");
  return VQZM_RC_INTERNAL_ERROR;
}

}  // namespace

void ccSetCommState(RZ700SysStruct* pSystem, uint16_t state) {
  pSystem->usCommState = state;
  trace::Rc("CC", 100, "Changing Comm State NEW=", state);
}

uint16_t ccHandleCommState(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccHandleCommState");
  uint16_t state = pSystem->usCommState;
  switch (state) {
    case ZEL_COMM_STARTING:
      return RunStartStep(pSystem, ccStartComm, ZEL_COMM_START_SENT);
    case ZEL_COMM_START_SENT:
      return RunStartStep(pSystem, ccRcvStnInfo, ZEL_COMM_STATION_RECEIVED);
    case ZEL_COMM_STATION_RECEIVED:
      return RunStartStep(pSystem, ccStartRZ700RRP, ZEL_COMM_RRP_START_SENT);
    case ZEL_COMM_RRP_START_SENT: {
      uint16_t rc = ccRcvRRPStartedMsg(pSystem);
      return rc != 0 ? Failed(pSystem, rc) : BecomeActive(pSystem);
    }
    case ZEL_COMM_ACTIVE: {
      // A termination entry moves the state on to 7 from inside.
      uint16_t rc = cdProcDataQueue(pSystem);
      return rc != 0 ? Failed(pSystem, rc) : 0;
    }
    case ZEL_COMM_TERM_REQUESTED:
      // A signal that did not go out has no acknowledgement to wait for.
      ccSetCommState(pSystem,
                     ccSendTermSignal(pSystem) ? ZEL_COMM_TERM_SENT : ZEL_COMM_TERM_ACKED);
      return 0;
    case ZEL_COMM_TERM_SENT:
      ccRcvTermAck(pSystem);
      ccSetCommState(pSystem, ZEL_COMM_TERM_ACKED);
      return 0;
    case ZEL_COMM_TERM_ACKED:
      return Finish(pSystem, 0, false);
    case ZEL_COMM_ERROR:
      // The CPMgr hears of the teardown before the host does.
      Plat().SendMessage(ctrlblk::cbRetCPMgrHwnd(), ZEL_MSG_ERROR_TEARDOWN, 0,
                         reinterpret_cast<platform::LPARAM>(pSystem));
      ccSetCommState(pSystem, ccSendTermSignal(pSystem) ? ZEL_COMM_ERROR_TERM_SENT
                                                        : ZEL_COMM_ERROR_TERM_ACKED);
      return 0;
    case ZEL_COMM_ERROR_TERM_SENT:
      ccRcvTermAck(pSystem);
      ccSetCommState(pSystem, ZEL_COMM_ERROR_TERM_ACKED);
      return 0;
    case ZEL_COMM_ERROR_TERM_ACKED:
      return Finish(pSystem, pSystem->usCommRC, true);
    default:
      return InvalidState(pSystem, state);
  }
}

}  // namespace zel::hostlink

// A null record is refused; the process goes on (the manager's other
// systems keep running).
extern "C" void ccCommThread(void* pArg) noexcept try {
  ZEL_TRACE_FUNCTION("CC", "ccCommThread");
  using namespace zel::hostlink;
  namespace trace = zel::trace;
  auto* pSystem = static_cast<RZ700SysStruct*>(pArg);
  if (pSystem == nullptr &&
      zel::ctrlblk::RefuseNullArgument("NULL_PTR_RCV", "CC", "pSystem", __LINE__, kZelModule)) {
    trace::Msg("CC", -100, "NULL ptr received on function entry");
    return;
  }
  // A new start: nothing of an earlier run is pending.
  pSystem->bTermMsgSent = 0;
  pSystem->ulDQErrPending = 0;
  trace::String("CC", 100, "System:", pSystem->szSysName);
  ccSetCommState(pSystem, ZEL_COMM_STARTING);
  // Both teardowns end in state 1. The loop ends on them rather than on a
  // new read of the state, which a new start of the system may already
  // have changed.
  uint16_t handled = ZEL_COMM_STARTING;
  do {
    handled = pSystem->usCommState;
    ccHandleCommState(pSystem);
  } while (handled != ZEL_COMM_TERM_ACKED && handled != ZEL_COMM_ERROR_TERM_ACKED);
} catch (...) {
  ZEL_C_REPORT();
}
