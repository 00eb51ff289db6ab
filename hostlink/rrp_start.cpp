// The 48-byte init buffers the PWS sends to the host, the start of the
// host's remote request processor (the RRP) and its started message.
#include <cstdio>
#include <cstring>

#include "convert/convert.h"
#include "ctrlblk/null_argument.h"
#include "wire/protocol.h"
#include "hostlink/hostlink.h"
#include "base/barrier.h"
#include "services/connection.h"
#include "services/qlx_calls.h"
#include "base/trace.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcc0")

namespace zel::hostlink {
namespace {

using services::Qlx;

constexpr uint32_t kNameField = 11;
constexpr uint32_t kSysIdField = 4;
constexpr uint8_t kStartedFormat = 2;

// Converts a NUL-terminated ASCII text of at most `room` - 1 characters,
// with its NUL, into a field of `room` bytes.
uint16_t ToEbcdic(char* field, const char* text, uint32_t room) {
  uint32_t length = static_cast<uint32_t>(strnlen(text, room - 1)) + 1;
  char copy[kNameField] = {};
  memcpy(copy, text, length - 1);
  return cbAscToEbcCharArray(field, copy, &room, length);
}

// The start request: the system ID, and the queue name the PWS proposes,
// made from the host's number for this connection.
uint16_t BuildStartRequest(const RZ700SysStruct* pSystem, uint8_t* pBuffer) {
  wire::StartRequest request{};
  request.type = kActionStartRequest;
  // A field that could not be converted would go to the host as garbage.
  if (uint16_t rc = ToEbcdic(request.sys_id, pSystem->szSysID, kSysIdField); rc != 0) return rc;
  uint8_t work[QLXCO_TOKEN_SIZE] = {};
  void* token = Qlx().qlxCO_GetConnToken(pSystem->hSrvHandle, work);
  char name[kNameField];
  snprintf(name, sizeof name, "%08X", Qlx().qlxCO_GetTokenValue(token));
  memcpy(request.proposed_queue, name, 8);
  trace::String("CC", 100, "szDQName", name);
  uint32_t room = kNameField;
  uint16_t rc = cbAscToEbcCharArray(request.proposed_queue, request.proposed_queue, &room, 8);
  trace::Dump("CC", 100, "szDQName", request.proposed_queue, 8);
  memcpy(pBuffer, &request, sizeof request);
  return rc;
}

// The RRP start: the queue the RRP is to serve and how its entries look.
// The code of the first field that could not be converted, and then nothing
// is built.
uint16_t BuildRrpStart(const RZ700SysStruct* pSystem, uint8_t* pBuffer, uint32_t start_value) {
  wire::RrpStart start{};
  start.type = wire::kRrpStart;
  start.start_value.set(start_value);
  uint16_t rc = ToEbcdic(start.library, pSystem->szDQLib, kNameField);
  if (rc == 0) rc = ToEbcdic(start.queue, pSystem->szDQName, kNameField);
  if (rc == 0) rc = ToEbcdic(start.sys_id, pSystem->szSysID, kSysIdField);
  if (rc != 0) return rc;
  start.max_record_length.set(pSystem->ulDQMaxRecLen);
  start.authority = pSystem->bDQAuthority;
  memcpy(pBuffer, &start, sizeof start);
  return 0;
}

}  // namespace

uint16_t ccInitRZ700SendData(RZ700SysStruct* pSystem, uint8_t* pBuffer, uint8_t bAction) {
  ZEL_TRACE_FUNCTION("CC", "ccInitRZ700SendData");
  memset(pBuffer, 0, kInitBufferSize);
  switch (bAction) {
    case kActionStartRequest:
      return BuildStartRequest(pSystem, pBuffer);
    case kActionTermination:
      pBuffer[0] = wire::kTermination;
      return 0;
    case kActionRrpStart:
      return BuildRrpStart(pSystem, pBuffer, pSystem->ulRRPStartValue);
    case kActionFurtherRrp:
      return BuildRrpStart(pSystem, pBuffer, 1);
    default:
      if (ZEL_ERROR_POINT("INVALID_ACTION")) trace::Rc("CC", -100, "invalid action =", bAction);
      return VQZM_RC_INTERNAL_ERROR;
  }
}

uint16_t SendInitBuffer(RZ700SysStruct* pSystem, uint8_t action, const char* init_text,
                        const char* send_text) {
  uint8_t buffer[kInitBufferSize];
  uint16_t rc = ccInitRZ700SendData(pSystem, buffer, action);
  if (rc != 0 && ZEL_ERROR_POINT("INIT_SEND_ERROR")) {
    trace::Rc("CC", -100, init_text, rc);
    return rc;
  }
  uint16_t length = sizeof buffer;
  rc = ccSendData(pSystem, buffer, &length);
  if (rc != 0 && ZEL_ERROR_POINT("SEND_DATA_ERROR")) trace::Rc("CC", -100, send_text, rc);
  return rc;
}

uint16_t ccStartRZ700RRP(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccStartRZ700RRP");
  if (uint16_t rc = SetUpDataQueue(pSystem); rc != 0) return rc;
  return SendInitBuffer(pSystem, kActionRrpStart,
                        "Error initializing Send Struct rc=", "Error sending data rc=");
}

uint16_t ccRcvRRPStartedMsg(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccRcvRRPStartedMsg");
  wire::StartedMessage message{};
  uint16_t length = sizeof message;
  uint16_t rc = ccRcvData(pSystem, &message, &length);
  if (rc != 0 && ZEL_ERROR_POINT("RCV_DATA_ERROR")) {
    trace::Rc("CC", -100, "Error Rcv data rc=", rc);
    return rc;
  }
  trace::Size("CC", 100, "Data Length Rcv'd", length);
  if (message.format != kStartedFormat && ZEL_ERROR_POINT("RCVD_INVALID_FORMAT")) {
    trace::Msg("CC", -100, "rcvd invalid buffer format");
    trace::Rc("CC", -100, "rcvd value", message.format);
    trace::Bytes("CC", -100, &message.format, 1);
    trace::Bytes("CC", -100, &message, length);
    return VQZM_RC_INTERNAL_ERROR;
  }
  uint32_t host_rc = static_cast<uint32_t>(message.host_rc.get());
  if (host_rc != 0 && ZEL_ERROR_POINT("RZ700_RET_ERROR")) {
    trace::Rc("CC", -100, "rcvd Error from RZ/700 comm rc=", host_rc);
    return static_cast<uint16_t>(host_rc);
  }
  trace::Bytes("CC", 100, &message, sizeof message);
  char* id = message.pws_id;
  id[sizeof message.pws_id - 1] = '\0';
  uint32_t room = sizeof message.pws_id;
  rc = cbEbcToAscCharArray(id, id, &room, static_cast<uint32_t>(strlen(id)) + 1);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_EBC_CONV_ERROR")) {
    trace::Rc("CC", -100, "Error cbEbcToAscCharArray() rc = ", rc);
    return VQZM_RC_CONVERSION_FAILED;
  }
  trace::String("CC", 100, "PWS System ID (AAA - ZZZ)", id);
  memcpy(pSystem->achPWSSysID, id, sizeof pSystem->achPWSSysID);
  return 0;
}

uint16_t ccSendStartRZ700RRP(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccSendStartRZ700RRP");
  uint16_t rc = SendInitBuffer(pSystem, kActionFurtherRrp,
                               "ccInitRZ700SendData() error rc = ", "ccSendData() error rc = ");
  if (rc != 0) return rc;
  rc = ccRcvRRPStartedMsg(pSystem);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_RRP_STARTED_MSG")) {
    trace::Rc("CC", -100, "ccRcvRRPStartedMsg() error rc = ", rc);
  }
  return rc;
}

void ccTraceInitBuf(const void* pBuffer) {
  ZEL_TRACE_FUNCTION("CC", "ccTraceInitBuf");
  const auto* info = static_cast<const wire::StationInfo*>(pBuffer);
  trace::Msg("CC", 100, "VQZMRZ700INITRET Trace");
  trace::Dump("CC", 100, "Buffer Format Field", &info->format, 1);
  trace::String("CC", 100, "User Profile Name", info->user_profile);
  trace::String("CC", 100, "Data Queue Library Name", info->library);
  trace::String("CC", 100, "Data Queue Name", info->queue);
}

}  // namespace zel::hostlink

// A further RRP for an active system, on a thread of its own; the result is
// only traced.
extern "C" void ccStartRZ700RRPThread(void* pSystem) noexcept try {
  ZEL_TRACE_FUNCTION("CC", "ccStartRZ700RRPThread");
  if (ZEL_NULL_ARGUMENT("CC", pSystem)) return;
  zel::hostlink::ccSendStartRZ700RRP(static_cast<RZ700SysStruct*>(pSystem));
} catch (...) {
  ZEL_C_REPORT();
}
