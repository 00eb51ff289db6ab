#include "cpmgr/manager_window.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "cpmgr/manager_log.h"
#include "platform/globalmem.h"
#include "platform/window.h"
#include "base/trace.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcmw")

namespace zel::cpmgr {
namespace {

constexpr uint32_t kThreadStack = 12288;
constexpr uint16_t kUnaskedEnds = 2;  // told only of ends this side did not ask for
constexpr uint16_t kKeepsSystem = 3;  // told of every end; holds an idle system

std::string Name(const RZ700SysStruct* system) {
  return system != nullptr ? std::string(system->szSysName) : std::string("(none)");
}

// "1035 (The connection to the host system failed or was lost)"
std::string Code(uint32_t rc) {
  return rc == 0 ? std::string("0") : std::to_string(rc) + " (" + MessageText(rc) + ")";
}

// The system's count of conversations, read without the conversation
// list's lock that its writers hold, by design: the window only asks
// whether it is 0, and asks again at the next idle check.
uint32_t UnlockedConvCount(const RZ700SysStruct* system) { return system->ulConvCount; }

}  // namespace

ManagerWindow::ManagerWindow(std::chrono::seconds idle)
    : idle_(idle), manager_idle_since_(Clock::now()) {}

platform::LRESULT ManagerWindow::Handle(platform::UINT message, platform::WPARAM wParam,
                                        platform::LPARAM lParam) {
  auto* system = reinterpret_cast<RZ700SysStruct*>(lParam);
  switch (message) {
    case ZEL_MSG_COMM_STATE:
      OnCommState(system, static_cast<uint16_t>(wParam >> 16), static_cast<uint16_t>(wParam));
      return 0;
    case ZEL_MSG_START_SYSTEM:
      OnStart(system);
      return 0;
    case ZEL_MSG_SYSTEM_ADDED:
      Log("system " + Name(system) + " added by an application (ID " +
          std::string(system->szSysID) + ")");
      return 0;
    case ZEL_MSG_CONV_COUNT:
      OnConvCount(system);
      return 0;
    case ZEL_MSG_STOP_SYSTEM:
      OnStop(system);
      return 0;
    case ZEL_MSG_STATUS_NOTICE:
      OnStatusNotice(reinterpret_cast<ZELStatusNotice*>(lParam));
      return 0;
    case ZEL_MSG_CPMGR_NOTICE:
      OnManagerNotice(wParam, reinterpret_cast<CPMgrNotice*>(lParam));
      return 0;
    case ZEL_MSG_ERROR_TEARDOWN:
      OnErrorTeardown(system);
      return 0;
    case ZEL_MSG_START_STOP_ENDED:
      Log("start/stop thread ended; the manager ends");
      finished_ = true;
      return 0;
    case ZEL_MSG_START_RRP:
      OnStartRrp(system);
      return 0;
    case ZEL_MSG_PUBLISH_ASYNC_ID:
      OnPublishAsyncId(reinterpret_cast<void*>(lParam));
      return 0;
    case platform::WM_DESTROY:
      return 0;
    default:
      Log("unexpected message " + std::to_string(message));
      return 0;
  }
}

void ManagerWindow::Answer(RZ700SysStruct* system, uint16_t rc) {
  pending_.erase(system);
  Log("answer for system " + Name(system) + ": " + Code(rc));
  cmReturnCommRC(system, rc);
}

void ManagerWindow::OnCommState(RZ700SysStruct* system, uint16_t state, uint16_t rc) {
  Log("system " + Name(system) + " comm state " + std::to_string(state) +
      (rc != 0 ? ", rc " + Code(rc) : ""));
  auto pending = pending_.find(system);
  Pending kind = pending == pending_.end() ? Pending::kNone : pending->second;
  if (state == ZEL_COMM_ACTIVE) {
    manager_idle_since_ = Clock::now();
    if (UnlockedConvCount(system) == 0) idle_since_[system] = Clock::now();
    if (kind == Pending::kStart) Answer(system, 0);
    return;
  }
  if (state != ZEL_COMM_STOPPED) return;
  threads_.erase(system);
  idle_since_.erase(system);
  manager_idle_since_ = Clock::now();
  bool torn_down = torn_down_.erase(system) != 0;
  // Every stop this side asks for is one of this window's pending stops.
  uint32_t why = rc != 0 || torn_down ? ZEL_TERM_BY_ERROR
                 : kind == Pending::kStop ? ZEL_TERM_BY_PWS
                                          : ZEL_TERM_BY_HOST;
  if (deferred_.erase(system) != 0) {
    // The end of the system's last run: the start that waited for it goes on.
    NotifyTerminateWindows(system, why, rc);
    Launch(system);
    return;
  }
  if (kind == Pending::kStart) {
    // The start failed, or the host ended the system before it was active.
    Answer(system, rc != 0 ? rc : uint16_t{VQZM_RC_NOT_ACTIVE});
    return;
  }
  NotifyTerminateWindows(system, why, rc);
  if (kind == Pending::kStop) Answer(system, rc);
}

void ManagerWindow::OnStart(RZ700SysStruct* system) {
  manager_idle_since_ = Clock::now();
  if (pending_.count(system) != 0 || system->usCommState != ZEL_COMM_STOPPED) {
    Answer(system, VQZM_RC_ALREADY_RUNNING);
    return;
  }
  pending_[system] = Pending::kStart;
  // Its last run has reached state 1 but its thread has not reported it
  // yet: the new thread starts once it has, so that report cannot be taken
  // for the answer to this start.
  if (threads_.count(system) != 0) {
    Log("starting system " + Name(system) + " once its last run has ended");
    deferred_.insert(system);
    return;
  }
  Launch(system);
}

void ManagerWindow::Launch(RZ700SysStruct* system) {
  Log("starting system " + Name(system));
  threads_.insert(system);
  if (btLaunchThread(ccCommThread, kThreadStack, system) == -1) {
    threads_.erase(system);
    Answer(system, VQZM_RC_INTERNAL_ERROR);
  }
}

// Only the manager's connection can start an RRP. The application that
// asked waits for the RRP's ready entry itself, so nothing waits for the
// thread's result.
void ManagerWindow::OnStartRrp(RZ700SysStruct* system) {
  if (system->usCommState != ZEL_COMM_ACTIVE) {
    Log("further RRP for system " + Name(system) + " not started: the system is not active");
    return;
  }
  if (btLaunchThread(ccStartRZ700RRPThread, kThreadStack, system) == -1) {
    Log("further RRP for system " + Name(system) + " not started: no thread");
  }
}

void ManagerWindow::OnPublishAsyncId(void* block) {
  ZELAsyncIdName name{};
  if (platform::GlobalSize(block) < sizeof name) {
    Log("name publication refused: no ZELAsyncIdName block");
    platform::GlobalFree(block);
    return;
  }
  memcpy(&name, block, sizeof name);
  platform::GlobalFree(block);
  size_t length = strnlen(name.szName, sizeof name.szName);
  if (length == 0 || length == sizeof name.szName) {
    Log("name publication refused: the name is empty or longer than 20 characters");
    return;
  }
  RZ700SysStruct* system = nullptr;
  if (name.achRID[0] != 'A' || cbFindRZ700SysByRID(name.achRID, &system) != 0) {
    Log(std::string("name publication refused for ") + name.szName +
        ": the RID is not one of an asynchronous request of a system");
    return;
  }
  // The newest publication of a name wins.
  if (NamedAsyncStruct* earlier = cbRetNamedAsyncFromName(name.szName); earlier != nullptr) {
    cbDeleteNamedAsyncStruct(earlier);
  }
  NamedAsyncStruct* rec = nullptr;
  if (cbInitNamedAsyncStruct(&rec) != 0) {
    Log(std::string("name publication refused for ") + name.szName + ": no memory for the record");
    return;
  }
  memcpy(rec->szName, name.szName, length + 1);
  memcpy(rec->achRID, name.achRID, sizeof name.achRID);
  cbAddNamedAsyncStruct(rec);
}

void ManagerWindow::OnStop(RZ700SysStruct* system) {
  if (system->usCommState == ZEL_COMM_STOPPED) {
    Answer(system, 0);
    return;
  }
  if (system->usCommState != ZEL_COMM_ACTIVE || pending_.count(system) != 0) {
    Answer(system, VQZM_RC_NOT_ACTIVE);
    return;
  }
  Log("stopping system " + Name(system));
  pending_[system] = Pending::kStop;
  uint16_t rc = cmSendTermMsg(system);
  if (rc != 0) Answer(system, rc);
}

void ManagerWindow::OnConvCount(RZ700SysStruct* system) {
  Log("system " + Name(system) + " has " + std::to_string(UnlockedConvCount(system)) +
      " conversation(s)");
  if (UnlockedConvCount(system) == 0 && system->usCommState == ZEL_COMM_ACTIVE) {
    idle_since_[system] = Clock::now();
  } else {
    idle_since_.erase(system);
  }
}

void ManagerWindow::OnStatusNotice(ZELStatusNotice* notice) {
  std::string text = notice->ulStatusType == ZEL_STATUS_START  ? "start"
                     : notice->ulStatusType == ZEL_STATUS_STOP ? "stop"
                                                               : MessageText(notice->ulStatusType);
  std::string line = text + " of system " + Name(notice->pSys) + ": ";
  if (notice->usRC == ZEL_STATUS_RC_ANNOUNCE && notice->ulStatusType == ZEL_STATUS_START) {
    line += "begun";
  } else {
    line += "rc " + Code(notice->usRC);
    if (notice->usMsgNum != 0) line += ": " + MessageText(notice->usMsgNum);
    if (notice->pRunningSys != nullptr) line += "; running: " + Name(notice->pRunningSys);
    if (notice->ulFailure != 0) line += " [failure]";
  }
  Log(line);
  free(notice);
}

void ManagerWindow::OnManagerNotice(platform::WPARAM wParam, CPMgrNotice* notice) {
  std::string line = "notice " + std::to_string(notice->ulMsgNum1) + "/" +
                     std::to_string(notice->ulMsgNum2) + ": " + MessageText(notice->ulMsgNum1) +
                     ": " + MessageText(notice->ulMsgNum2);
  if (notice->pszInsert != nullptr) line += " (" + std::string(notice->pszInsert) + ")";
  line += " system " + (notice->pSystem != nullptr || notice->pszSysName == nullptr
                            ? Name(notice->pSystem)
                            : std::string(notice->pszSysName));
  if (wParam != 0) line += " [flag " + std::to_string(wParam) + "]";
  Log(line);
  free(notice->pszInsert);
  free(notice);
}

// Sent before the host hears of it: the system is no longer one that idle
// time could stop.
void ManagerWindow::OnErrorTeardown(RZ700SysStruct* system) {
  Log("system " + Name(system) + " is being torn down after an error (rc " +
      Code(system->usCommRC) + ")");
  idle_since_.erase(system);
  torn_down_.insert(system);
}

// Tells the windows registered for the system that its communication has
// ended: why as wParam, the code as lParam. A window of type 2 hears only
// of ends this side did not ask for. The registration of a window that is
// gone is dropped.
void ManagerWindow::NotifyTerminateWindows(RZ700SysStruct* system, uint32_t why, uint16_t rc) {
  DropGoneWindows(system);
  for (TermWndStruct* rec = cbRetNextTermWndStruct(system, nullptr); rec != nullptr;
       rec = cbRetNextTermWndStruct(system, rec)) {
    if (rec->usTermType == kUnaskedEnds && why == ZEL_TERM_BY_PWS) continue;
    bool posted = platform::PostMessage(rec->hwndTerm, rec->usTermMsg, why, rc);
    Log("terminate window of " + std::string(rec->szPgmID) +
        (posted ? " told (" + std::to_string(why) + ", " + Code(rc) + ")" : " could not be told"));
  }
}

void ManagerWindow::DropGoneWindows(RZ700SysStruct* system) {
  TermWndStruct* next = nullptr;
  for (TermWndStruct* rec = cbRetNextTermWndStruct(system, nullptr); rec != nullptr; rec = next) {
    next = cbRetNextTermWndStruct(system, rec);
    if (platform::IsWindow(rec->hwndTerm)) continue;
    Log("terminate window of " + std::string(rec->szPgmID) + " is gone: registration dropped");
    if (rec->usTermType == kKeepsSystem) --system->ulTermWndCount;
    cbDeleteTermWndStruct(system, rec);
  }
}

bool ManagerWindow::AnySystemActive() const {
  for (RZ700SysStruct* rec = cbRetNextRZ700SysStruct(nullptr); rec != nullptr;
       rec = cbRetNextRZ700SysStruct(rec)) {
    if (rec->usCommState != ZEL_COMM_STOPPED) return true;
  }
  return false;
}

// A conversation's release reaches this window as a posted notice, which
// can be lost (its post failed); the count itself is in the record. So an
// active system without conversations that no notice made idle is idle
// from the first check that sees it.
void ManagerWindow::NoteUnannouncedIdle(Clock::time_point now) {
  for (RZ700SysStruct* rec = cbRetNextRZ700SysStruct(nullptr); rec != nullptr;
       rec = cbRetNextRZ700SysStruct(rec)) {
    bool known = idle_since_.count(rec) != 0 || pending_.count(rec) != 0 ||
                 torn_down_.count(rec) != 0;
    if (known || UnlockedConvCount(rec) != 0 || rec->usCommState != ZEL_COMM_ACTIVE) continue;
    Log("system " + Name(rec) + " has no conversation left: idle from now");
    idle_since_[rec] = now;
  }
}

void ManagerWindow::CheckIdle(Clock::time_point now) {
  NoteUnannouncedIdle(now);
  for (auto it = idle_since_.begin(); it != idle_since_.end();) {
    RZ700SysStruct* system = it->first;
    bool due = now - it->second >= idle_ && pending_.count(system) == 0;
    bool idle = due && UnlockedConvCount(system) == 0 && system->usCommState == ZEL_COMM_ACTIVE;
    if (idle) DropGoneWindows(system);
    if (idle && system->ulTermWndCount != 0) {
      // A window of type 3 keeps it running: idle again from now on.
      Log("system " + Name(system) + " idle, kept running for its terminate window(s)");
      it->second = now;
      ++it;
      continue;
    }
    if (idle) {
      Log("system " + Name(system) + " idle for " + std::to_string(idle_.count()) + " s: stopping");
      cmSendStartStop(ZEL_ACTION_STOP, system);
    }
    it = due ? idle_since_.erase(it) : std::next(it);
  }
  if (AnySystemActive() || !pending_.empty()) {
    manager_idle_since_ = now;
    return;
  }
  if (now - manager_idle_since_ < idle_) return;
  // Also a retry when an earlier stop of the manager failed and it stayed.
  Log("no system has run for " + std::to_string(idle_.count()) + " s: the manager ends");
  manager_idle_since_ = now;
  stopping_ = true;
  cmSendStartStop(ZEL_ACTION_STOP_CPMGR, nullptr);
}

void ManagerWindow::StopEverything() {
  if (stopping_) return;
  stopping_ = true;
  for (RZ700SysStruct* rec = cbRetNextRZ700SysStruct(nullptr); rec != nullptr;
       rec = cbRetNextRZ700SysStruct(rec)) {
    if (rec->usCommState == ZEL_COMM_ACTIVE) cmSendStartStop(ZEL_ACTION_STOP, rec);
  }
  cmSendStartStop(ZEL_ACTION_STOP_CPMGR, nullptr);
}

}  // namespace zel::cpmgr
