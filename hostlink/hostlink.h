// Host link: the communication thread of each started system and its comm
// state machine, the sign-on connection to the host (service 11), the data
// queue the PWS uses, the start of the host's remote request processor (the
// RRP) and the termination handshake. Exported entries are declared in
// include/vqzmcm.h.
//
// Everything here runs in the CPMgr on the system's comm thread, except the
// framed send and receive and the stand-alone RRP start, which also run on
// the thread of a further RRP start while the comm thread works on the data
// queue, and the RRP obtain, which runs on an application's thread. Every
// function returns a 16-bit return code (vqzmrc.h) unless said.
#ifndef ZEL_HOSTLINK_HOSTLINK_H
#define ZEL_HOSTLINK_HOSTLINK_H

#include <cstdint>

#include "vqzmcb.h"

namespace zel::hostlink {

// The host service the PWS uses, and the init buffer it sends there.
inline constexpr uint32_t kSignOnService = 11;
inline constexpr uint16_t kInitBufferSize = 48;

// Actions of ccInitRZ700SendData: the first byte of the buffer it builds.
inline constexpr uint8_t kActionStartRequest = 1;
inline constexpr uint8_t kActionTermination = 3;
inline constexpr uint8_t kActionRrpStart = 9;
inline constexpr uint8_t kActionFurtherRrp = 10;

// Sets the record's comm state. Only the system's comm thread does; the
// manager's window and other threads read the state without a lock.
void ccSetCommState(RZ700SysStruct* pSystem, uint16_t state);

// Runs the work of the record's current state and moves it on.
uint16_t ccHandleCommState(RZ700SysStruct* pSystem);

// State 2: global send buffer, system object and connection, start request.
uint16_t ccStartComm(RZ700SysStruct* pSystem);
// Creates the system object, signs on and connects service 11; on failure
// hSystem is 0. 1035 when the host cannot be reached.
uint16_t ccInitConv(RZ700SysStruct* pSystem);
// State 3: the station information names the user profile and data queue.
// 1026 for a reply of another format, 1063 when a name cannot be converted.
uint16_t ccRcvStnInfo(RZ700SysStruct* pSystem);

// Sends `*pusLength` payload bytes framed for the host (length, 0x12 0xFF)
// through the record's service handle and host buffer. 1035 on failure.
// Sends of one process are serialised: they share the host buffer.
uint16_t ccSendData(RZ700SysStruct* pSystem, const void* pPayload, const uint16_t* pusLength);
// Receives the host's next message, at most `*pusLength` bytes, into
// `pBuffer` (zeroed over its full capacity first); `*pusLength` then holds
// the count. 4 without memory, 1035 on failure.
uint16_t ccRcvData(RZ700SysStruct* pSystem, void* pBuffer, uint16_t* pusLength);

// First half of state 4: the entry buffer, and the PWS's keyed data queue
// created and opened on the host. 4 without memory, 1034 when the
// data-queue service fails.
uint16_t SetUpDataQueue(RZ700SysStruct* pSystem);

// Fills the 48-byte init buffer for an action. 1026 for an unknown action
// (the buffer is then all zero).
uint16_t ccInitRZ700SendData(RZ700SysStruct* pSystem, uint8_t* pBuffer, uint8_t bAction);
// Builds the init buffer for `action` and sends it: 0, or the failing
// step's code after its error point and trace (`init_text`, `send_text`).
uint16_t SendInitBuffer(RZ700SysStruct* pSystem, uint8_t action, const char* init_text,
                        const char* send_text);
// State 4: sets up the data queue, then sends the RRP start.
uint16_t ccStartRZ700RRP(RZ700SysStruct* pSystem);
// State 5: the started message names the PWS system ID. 1026 for another
// format, the host's code (low 16 bits) when the RRP did not start.
uint16_t ccRcvRRPStartedMsg(RZ700SysStruct* pSystem);
// Starts a further RRP for an active system and waits for its answer.
uint16_t ccSendStartRZ700RRP(RZ700SysStruct* pSystem);
// Obtains a ready RRP for a request to the host: takes a ready entry off
// the PWS's queue, waiting 90 s the first time after a start and 1 s
// later; when none comes, starts a further RRP and waits 180 s more. Any
// thread of any process; obtains are serialised by "OBTRRP", which is free
// again on every way out. 0; 1059 when still no RRP is ready; 1026 when
// "OBTRRP" failed or the manager could not be asked for a further RRP; 4;
// the codes of the read and of the further start. Outside the CPMgr
// ccObtainRZ700RRP runs the obtain here; inside it, on a worker of the
// manager's request queue (with that queue's codes, and 1032 when the
// system is not active).
uint16_t ccObtainRZ700RRP(RZ700SysStruct* pSystem);
uint16_t ccCPMgrObtainRZ700RRP(RZ700SysStruct* pSystem);

// The worker of an obtain handed over inside the CPMgr; its argument is the
// request's OutstandingDQReqCB. Started by the processing thread.
void ccObtainRZ700RRPThread(void* pOutstanding);

// Traces the 34-byte station information.
void ccTraceInitBuf(const void* pBuffer);

// The termination handshake (states 7/10 and 8/11): failures are traced,
// never returned, so that a broken link still reaches state 1. The signal's
// send says only whether it went out (whether an acknowledgement can come).
bool ccSendTermSignal(RZ700SysStruct* pSystem);
void ccRcvTermAck(RZ700SysStruct* pSystem);
// States 9 and 12: releases the host buffer, the connection, the data queue
// and the system object, and the system's conversations. A failing step
// ends the teardown there (what is left stays for the host to clean up).
void ccDeallocComm(RZ700SysStruct* pSystem);

}  // namespace zel::hostlink

#endif  // ZEL_HOSTLINK_HOSTLINK_H
