// The communication manager's window: it receives the component's notices,
// starts and stops systems, answers every start and stop exactly once, and
// decides when idle systems and the manager itself stop.
//
// Everything here runs on the manager's main thread (the window's owner).
#ifndef ZEL_CPMGR_MANAGER_WINDOW_H
#define ZEL_CPMGR_MANAGER_WINDOW_H

#include <chrono>
#include <cstdint>
#include <map>
#include <set>

#include "platform/types.h"
#include "vqzmcm.h"

namespace zel::cpmgr {

class ManagerWindow {
 public:
  using Clock = std::chrono::steady_clock;

  explicit ManagerWindow(std::chrono::seconds idle);

  // Handles one window message; the window procedure.
  platform::LRESULT Handle(platform::UINT message, platform::WPARAM wParam,
                           platform::LPARAM lParam);

  // Queues the stops that idle time calls for: a system whose last
  // conversation was released `idle` ago and that has no terminate window
  // of type 3, and the manager itself when no system has run for `idle`.
  void CheckIdle(Clock::time_point now);

  // Stops every active system, then the manager (SIGTERM).
  void StopEverything();

  // True once the start/stop thread has ended: the manager exits.
  bool finished() const { return finished_; }

 private:
  enum class Pending { kNone, kStart, kStop };

  void OnCommState(RZ700SysStruct* system, uint16_t state, uint16_t rc);
  void OnStart(RZ700SysStruct* system);
  void Launch(RZ700SysStruct* system);
  void OnStartRrp(RZ700SysStruct* system);
  // Publishes a RID under a name (ZEL_MSG_PUBLISH_ASYNC_ID) and frees the
  // block. A RID whose request is no longer outstanding is dropped by the
  // component's answer keeper.
  void OnPublishAsyncId(void* block);
  void OnStop(RZ700SysStruct* system);
  void OnConvCount(RZ700SysStruct* system);
  void OnStatusNotice(ZELStatusNotice* notice);
  void OnManagerNotice(platform::WPARAM wParam, CPMgrNotice* notice);
  void OnErrorTeardown(RZ700SysStruct* system);
  void Answer(RZ700SysStruct* system, uint16_t rc);
  void NotifyTerminateWindows(RZ700SysStruct* system, uint32_t why, uint16_t rc);
  // Drops the registrations of the system's terminate windows that are gone.
  void DropGoneWindows(RZ700SysStruct* system);
  void NoteUnannouncedIdle(Clock::time_point now);
  bool AnySystemActive() const;

  const std::chrono::seconds idle_;
  std::map<RZ700SysStruct*, Pending> pending_;           // starts and stops awaiting an answer
  std::set<RZ700SysStruct*> threads_;                    // comm threads that have not reported state 1
  std::set<RZ700SysStruct*> deferred_;                   // starts waiting for the last thread's end
  std::map<RZ700SysStruct*, Clock::time_point> idle_since_;  // active systems without conversations
  std::set<RZ700SysStruct*> torn_down_;                  // in the error teardown
  Clock::time_point manager_idle_since_;                 // last moment a system ran
  bool stopping_ = false;                                // the manager's stop is queued
  bool finished_ = false;
};

}  // namespace zel::cpmgr

#endif  // ZEL_CPMGR_MANAGER_WINDOW_H
