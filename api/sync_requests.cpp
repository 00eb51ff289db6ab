// Synchronous requests and data transfer: a request to a host program and
// its reply, and the data and the answer of a request that a host program
// started towards the PWS. Each call runs in its caller's thread.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/barrier.h"
#include "base/heap_buffer.h"
#include "base/trace.h"
#include "convert/convert.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/null_argument.h"
#include "dataqueue/dataqueue.h"
#include "hostlink/hostlink.h"
#include "api/api.h"
#include "api/wait_cursor.h"
#include "manager/manager.h"
#include "platform/event.h"
#include "platform/handles.h"
#include "vqzmcm.h"
#include "vqzmcsw.h"
#include "vqzmctw.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmca1")

// The blocks are the application's: their layout is fixed.
static_assert(sizeof(ProcessRequest) == 52 && offsetof(ProcessRequest, pData) == 36);
static_assert(sizeof(ProcessReply) == 33 && offsetof(ProcessReply, pData) == 21);
static_assert(sizeof(ReturnDataParms) == 30 && offsetof(ReturnDataParms, pData) == 18);
static_assert(sizeof(RtvDataParms) == 14);
static_assert(sizeof(RtvDataResult) == 22 && offsetof(RtvDataResult, pData) == 10);

namespace zel::api {
namespace {

using ctrlblk::cbCreatePRID;

constexpr uint32_t kProgramWidth = 21;

// The exchange of caProcessSync on an active system: an RRP obtained, the
// request sent and its reply retrieved. The request's RID goes to
// `pReply`, the reply to `*rtv`.
uint16_t Exchange(RZ700SysStruct* system, const ProcessRequest* pReq, ProcessReply* pReply,
                  RtvDataDesc* rtv) {
  uint16_t rc = hostlink::ccObtainRZ700RRP(system);
  if (rc != 0 && ZEL_ERROR_POINT("OBTAIN_RRP_ERROR")) {
    trace::Rc("CA", -100, "error ccObtainRZ700RRP() rc ", rc);
    return rc;
  }
  ctrlblk::cbCreateRID(system, 'S', pReply->achRID);
  RequestToHost request{pReq->szPgmName, pReq->ulValue, pReq->ulDataVersion, pReq->pData,
                        pReq->ulDataLen};
  rc = SendToHost(system, request, pReply->achRID);
  if (rc != 0) return rc;
  cbCreatePRID('S', pReply->achRID, rtv->achKey);
  rtv->ulTimeout = pReq->ulTimeout;
  rc = cdRtvData(system, rtv);
  if (rc != 0 && ZEL_ERROR_POINT("RTV_DATA_ERROR")) {
    trace::Rc("CA", -100, "error cdRtvData() rc ", rc);
  }
  return rc;
}

// Tells the host-request processor, when it waits for this request's
// answer, that the answer has gone.
void SignalAnswered(const char* pRID) {
  std::string name = CR_ANSWER_EVENT_PREFIX + std::string(pRID, ZEL_RID_LEN);
  platform::HANDLE event = platform::OpenEvent(platform::EVENT_MODIFY_STATE, false, name.c_str());
  if (event == 0) return;
  platform::SetEvent(event);
  platform::CloseHandle(event);
}

// The reads of caClearData: takes every entry waiting under the key
// "S" + RID into `buffer`, without waiting for any.
uint16_t ReadAllWaiting(RZ700SysStruct* system, const char* pRID, void* buffer) {
  char key[dataqueue::kKeyLength + 1] = {};
  cbCreatePRID('S', pRID, key);
  DQReadItem item{};
  item.usSearchOrder = dataqueue::kSearchEqual;
  for (bool first = true;; first = false) {
    // The read leaves the key of the entry in ASCII and the entry's length.
    item.pBuffer = buffer;
    item.ulLength = system->ulDQMaxRecLen;
    uint32_t room = sizeof item.achKey;
    uint16_t rc = cbAscToEbcCharArray(item.achKey, key, &room, sizeof key);
    if (rc != 0 && ZEL_ERROR_POINT("EXT_CONVERSION")) {
      trace::Rc("CA", -100, "cbAscToEbcCharArray() Error rc = ", rc);
      return VQZM_RC_INTERNAL_ERROR;
    }
    rc = cdReadDataQueue(system, &item, 0);
    if (rc == 0) continue;
    if (rc != VQZM_RC_TIMED_OUT && ZEL_ERROR_POINT("EXT_READ_ERROR")) {
      trace::Rc("CA", -100, "cdReadDataQueue() rc =", rc);
      return rc;
    }
    if (!first) return 0;
    ZEL_ERROR_POINT("EXT_NO_DATA");
    trace::Rc("CA", -100, "cdReadDataQueue() timeout rc =", rc);
    return VQZM_RC_NOTHING_TO_CLEAR;
  }
}

}  // namespace

uint16_t ActiveSystemOf(uint32_t conv_id, RZ700SysStruct** system) {
  uint16_t rc = ctrlblk::cbRetSysFromConvId(conv_id, system);
  if (rc != 0 && ZEL_ERROR_POINT("SYSTEM_NOT_FOUND")) {
    trace::Rc("CA", -100, "Invalid ConvID", conv_id);
    trace::Rc("CA", -100, "Return Code", rc);
    return rc;
  }
  uint16_t manager_state = cbReturnCPMgrState();
  uint16_t comm_state = (*system)->usCommState;
  if (manager_state != ZEL_CPMGR_RUNNING || comm_state != ZEL_COMM_ACTIVE) {
    ZEL_ERROR_POINT("SYS_NOT_RUNNING");
    trace::Rc("CA", -100, "System is not running state =", comm_state);
    trace::Rc("CA", -100, "CPMgr state =", manager_state);
    return VQZM_RC_NOT_ACTIVE;
  }
  // A killed manager leaves its state "running" until the next start; its
  // systems' RRPs ended with its sign-on, so nothing would answer.
  if (!manager::CPMgrAlive() && ZEL_ERROR_POINT("CPMGR_GONE")) {
    trace::Msg("CA", -100, "CPMgr is gone");
    return VQZM_RC_CPMGR_ENDED;
  }
  return 0;
}

uint16_t SendToHost(RZ700SysStruct* system, const RequestToHost& request, const char* rid) {
  ReqBufferDesc req{};
  req.pData = request.data;
  req.ulDataLen = request.length;
  req.ulDataVersion = request.data_version;
  req.ulValue = request.value;
  memcpy(req.achProgram, request.program, strnlen(request.program, kProgramWidth));
  ctrlblk::cbBlankPad(req.achProgram, kProgramWidth);
  cbCreatePRID('A', rid, req.achKey);
  uint16_t rc = cdSendReqBuffer(system, &req);
  if (rc != 0 && ZEL_ERROR_POINT("SEND_REQ_ERROR")) {
    trace::Rc("CA", -100, "error cdSendReqBuffer() rc ", rc);
  }
  return rc;
}

}  // namespace zel::api

using namespace zel::api;
namespace trace = zel::trace;
using zel::ctrlblk::cbCreatePRID;

extern "C" {

uint16_t caProcessSync(const ProcessRequest* pReq, ProcessReply* pReply) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caProcessSync");
  if (ZEL_NULL_ARGUMENT("CA", pReq) || ZEL_NULL_ARGUMENT("CA", pReply) ||
      (pReq->ulDataLen != 0 && ZEL_NULL_ARGUMENT("CA", pReq->pData))) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  RZ700SysStruct* system = nullptr;
  uint16_t rc = ActiveSystemOf(pReq->ulConvId, &system);
  if (rc != 0) return rc;
  pReply->pData = nullptr;
  pReply->ulDataLen = 0;
  RtvDataDesc rtv{};
  rc = Exchange(system, pReq, pReply, &rtv);
  if (rc != 0) return rc;
  pReply->pData = rtv.pData;
  pReply->ulDataLen = rtv.ulDataLen;
  pReply->ulDataVersion = rtv.ulDataVersion;
  pReply->ulValue = rtv.ulValue;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t caRtvData(const RtvDataParms* pParms, RtvDataResult* pResult) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caRtvData");
  if (ZEL_NULL_ARGUMENT("CA", pParms) || ZEL_NULL_ARGUMENT("CA", pResult) ||
      ZEL_NULL_ARGUMENT("CA", pParms->pRID)) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  pResult->pData = nullptr;
  pResult->ulDataLen = 0;
  RZ700SysStruct* system = nullptr;
  uint16_t rc = cbFindRZ700SysByRID(pParms->pRID, &system);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SYS_NOT_FOUND")) {
    trace::Rc("CA", -100, "cbFindRZ700SysByRID() error rc = ", rc);
    return VQZM_RC_NO_SYSTEM_FOR_RID;
  }
  RtvDataDesc rtv{};
  cbCreatePRID('S', pParms->pRID, rtv.achKey);
  rtv.ulTimeout = pParms->ulTimeout;
  rc = cdRtvData(system, &rtv);
  if (rc != 0 && ZEL_ERROR_POINT("RTV_DATA_ERROR")) {
    trace::Rc("CA", -100, "error cdRtvData() rc ", rc);
    return rc;
  }
  pResult->pData = rtv.pData;
  pResult->ulDataLen = rtv.ulDataLen;
  pResult->ulDataVersion = rtv.ulDataVersion;
  pResult->ulValue = rtv.ulValue;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t caReturnData(const ReturnDataParms* pParms, const uint8_t* pbType,
                      uint32_t ulUseType) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caReturnData");
  if (ZEL_NULL_ARGUMENT("CA", pParms) || ZEL_NULL_ARGUMENT("CA", pParms->pRID) ||
      (pParms->ulDataLen != 0 && ZEL_NULL_ARGUMENT("CA", pParms->pData))) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  WaitCursor cursor;
  RZ700SysStruct* system = nullptr;
  uint16_t rc = cbFindRZ700SysByRID(pParms->pRID, &system);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SYS_NOT_FOUND")) {
    trace::Rc("CA", -100, "cbFindRZ700SysByRID() error", rc);
    return VQZM_RC_NO_SYSTEM_FOR_RID;
  }
  // The host's RRP ends with the manager's sign-on connection: an answer
  // written after the manager died would lie on the queue for no one.
  if (!zel::manager::CPMgrAlive() && ZEL_ERROR_POINT("CPMGR_ENDED")) {
    trace::Msg("CA", -100, "CPMgr is gone; the answer is not sent");
    return VQZM_RC_CPMGR_ENDED;
  }
  RetBufferDesc ret{};
  ret.pData = pParms->pData;
  ret.ulDataLen = pParms->ulDataLen;
  ret.ulDataVersion = pParms->ulDataVersion;
  ret.ulValue = pParms->ulValue;
  uint8_t type = ulUseType != 0 && pbType != nullptr ? *pbType : 'X';
  cbCreatePRID(type, pParms->pRID, ret.achKey);
  rc = cdSendRetBuffer(system, &ret, 0);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SEND_RET_BUFFER")) {
    trace::Rc("CA", -100, "cdSendRetBuffer() error", rc);
    return rc;
  }
  SignalAnswered(pParms->pRID);
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t caClearData(const char* pRID) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caClearData");
  if (ZEL_NULL_ARGUMENT("CA", pRID)) return VQZM_RC_INTERNAL_ERROR;
  WaitCursor cursor;
  RZ700SysStruct* system = nullptr;
  if (cbFindRZ700SysByRID(pRID, &system) != 0 && ZEL_ERROR_POINT("EXT_SYS_NOT_ACTIVE")) {
    trace::Dump("CA", -100, "System not found using RID :", pRID, ZEL_RID_LEN);
    return VQZM_RC_NOT_ACTIVE;
  }
  uint16_t state = system->usCommState;
  if (state != ZEL_COMM_ACTIVE && ZEL_ERROR_POINT("EXT_NOT_RUNNING")) {
    trace::String("CA", -100, "System not in running state", system->szSysName);
    trace::Rc("CA", -100, "state", state);
    return VQZM_RC_NOT_ACTIVE;
  }
  zel::HeapBuffer buffer(static_cast<uint8_t*>(malloc(system->ulDQMaxRecLen)));
  if (buffer == nullptr && ZEL_ERROR_POINT("EXT_MALLOC")) {
    trace::Size("CA", -100, "malloc() error size=", system->ulDQMaxRecLen);
    return VQZM_RC_NO_MEMORY;
  }
  return ReadAllWaiting(system, pRID, buffer.get());
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
