// Manager control: the semaphores of the manager state and of each system's
// communication, the start of the CPMgr process and the hand-back of its
// answers, and the start and stop of systems. Functions exported for the
// CPMgr are declared in include/vqzmcm.h.
#ifndef ZEL_MANAGER_MANAGER_H
#define ZEL_MANAGER_MANAGER_H

#include <cstdint>
#include <string>

#include "vqzmcm.h"

namespace zel::manager {

// How long one slice of a wait for the CPMgr lasts before the waiter checks
// that the CPMgr is still alive.
inline constexpr uint32_t kLivenessSliceMs = 250;

// The installation directory, from the administration service, with
// exactly one "/" at its end.
std::string InstallDirectory();

// The comm-state mutex of a system ("COMMSTATE" + system ID). Each thread
// keeps its own handle between the calls of one operation.
uint16_t cmInitCommStateSem(RZ700SysStruct* pSystem);
uint16_t cmCtrlCommStateSem(RZ700SysStruct* pSystem, uint32_t ulTimeout);
uint16_t cmReleaseCommStateSem(RZ700SysStruct* pSystem);
uint16_t cmCloseCommStateSem(RZ700SysStruct* pSystem);

// Holds "STATE" for one scope of one thread, so that every return path
// gives back what it took: the destructor releases "STATE" if it is still
// requested and closes this holder's handle if Open made one. Each step
// returns the code of the cm* call it makes (cmInitCPMStateSem,
// cmCtrlCPMState, cmReleaseCPMState). Without Open the process's own
// handle is used (the CPMgr keeps one for its life).
class StateMutexHold {
 public:
  StateMutexHold() = default;
  ~StateMutexHold();
  StateMutexHold(const StateMutexHold&) = delete;
  StateMutexHold& operator=(const StateMutexHold&) = delete;

  uint16_t Open();
  uint16_t Request();  // waits without limit
  // Releases "STATE" now (the handle stays open); 0 when it was not held.
  uint16_t Release();

 private:
  bool opened_ = false;
  bool held_ = false;
};

// Stores the CPMgr's code in usCPMgrRC and signals "RUNNING".
uint16_t cmPostRunningSem(uint16_t usRC);

// Application side of the CPMgr start; on a CPMgr error *ppSystem is null.
uint16_t cmStartCPMgr(RZ700SysStruct** ppSystem);
void cmQrySetStartedByAPI(uint32_t ulOption, uint32_t* pulFlag);
void cmCompleteTermination();

// The event that carries the CPMgr's answer to a start or stop of
// `pSystem`: "hevRetCodeSemName" followed by the system ID. One event per
// system, so that answers for different systems are never confused.
std::string RetCodeEventName(const RZ700SysStruct* pSystem);

// True while the CPMgr that the anchor names is alive.
bool CPMgrAlive();

// True in a CPMgr whose start-up failed and was reported to its starter.
bool StartUpFailed();

// Sets the manager back to "not running" when the CPMgr that the anchor
// names has died: its systems and conversations died with it. Called with
// "STATE" held.
void ForgetDeadCPMgr();

// Starting and stopping systems.
uint16_t cmCheckComm(RZ700SysStruct* pSystem, const char* pszSysName);
uint16_t cmAddSysIfNotFoundAPI(const char* pszSysName, RZ700SysStruct** ppSystem,
                               uint32_t* pulAdded);
uint16_t cmStartSystemComm(const char* pszSysName, RZ700SysStruct** ppSystem);
uint16_t cmStartAndWaitComm(RZ700SysStruct* pSystem);
uint16_t cmWaitDKTStarted(const char* pszSysName);

// Posts `ulMsg` to the CPMgr window and waits without limit for its answer
// through "RETURN" (cmReturnCPMgrRC): the answer's usCPMgrRC. 1026 when the
// event or the post failed; the wait's code.
uint16_t cmPostAndWaitCPMgr(uint32_t ulMsg, uint32_t wParam, void* lParam);

// The start/stop thread.
void cmStartStopThread(void*);
uint16_t cmHandleStartRC(RZ700SysStruct* pSys, uint16_t usRC);

}  // namespace zel::manager

#endif  // ZEL_MANAGER_MANAGER_H
