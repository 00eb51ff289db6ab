// The names of the objects that every process of an instance shares: the
// regions, mutexes and events that the library and the CPMgr create and
// open by name. A process that spells a name differently meets another
// object, so each name is written here only.
#ifndef ZEL_CTRLBLK_OBJECT_NAMES_H
#define ZEL_CTRLBLK_OBJECT_NAMES_H

namespace zel::ctrlblk {

// The shared data section and the control-block area.
inline constexpr char kSharedDataName[] = "VQZMCSW.SHAREDDATA";
inline constexpr char kControlBlockName[] = "CPMSHAREME";

// Serialises the attach and detach of processes.
inline constexpr char kInitTermName[] = "INITTERM";
// Serialises the control-block heap.
inline constexpr char kHeapMutexName[] = "hmtxCtrlBlkHeapName";
// The serialization objects of the lists, in the order of Serial.
inline constexpr const char* kSerialNames[] = {
    "hmtxConvLstName",     "hmtxSysLstName",           "hmtxAsyncRetLstName",
    "hmtxPartylstName",    "hmtxAsyncWndsLstName",     "hmtxAsyncNamesLstName",
    "hmtxRZ700ReqLstName", "hmtxOutstandingDQReqName", "hevOutstandingDQReqCleanName"};

// The manager state mutex, and the events of the CPMgr's start.
inline constexpr char kStateName[] = "STATE";
inline constexpr char kStartedName[] = "STARTED";
inline constexpr char kRunningName[] = "RUNNING";
inline constexpr char kReturnName[] = "RETURN";

// Serialises RRP obtains of every process, for all systems.
inline constexpr char kObtainRrpName[] = "OBTRRP";

// The communication manager's program file, in SHARED/ of the installation.
inline constexpr char kManagerProgramName[] = "VQZMCMW.EXE";

// Per-system objects: the prefix is followed by the three digits of szSysID.
inline constexpr char kCommStatePrefix[] = "COMMSTATE";             // comm-state mutex
inline constexpr char kRetCodeEventPrefix[] = "hevRetCodeSemName";  // the CPMgr's answer

}  // namespace zel::ctrlblk

#endif  // ZEL_CTRLBLK_OBJECT_NAMES_H
