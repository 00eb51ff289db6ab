// The sign-on connection to the host (service 11): the start, the framed
// send and receive, the station information, the PWS's data queue, the
// teardown, and the configured system names.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "base/barrier.h"
#include "base/trace.h"
#include "convert/convert.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/null_argument.h"
#include "hostlink/hostlink.h"
#include "hostlink/manager_log.h"
#include "platform/globalmem.h"
#include "services/connection.h"
#include "services/platform_calls.h"
#include "services/qlx_calls.h"
#include "vqzmcm.h"
#include "vqzmrc.h"
#include "wire/protocol.h"

ZEL_MODULE("Vqzmcc0")

using zel::services::Plat;

namespace zel::hostlink {
namespace {

using services::Qlx;

constexpr uint16_t kHostBufSize = 32767;
constexpr uint32_t kNameField = 11;        // names in the station information and the record
constexpr uint32_t kUserIdLength = 10;     // longest user ID the host accepts
constexpr uint32_t kQualifiedLength = 21;  // "LIB/NAME" blank-padded
constexpr uint32_t kMinNameBuffer = 256;
constexpr uint32_t kSysNameWork = 265;

// Sends of one process share the record's host buffer.
std::mutex g_send_mutex;

// Before the sign-on connect: sign on as the user that started communication;
// the result of the sign-on mode setting.
uint16_t UseInitUser(RZ700SysStruct* pSystem, uint32_t system) {
  const char* user = ctrlblk::Shared()->szInitUserID;
  if (user[0] == '\0') return 0;
  char profile[kNameField] = {};
  memcpy(profile, user, strnlen(user, kUserIdLength));
  memcpy(pSystem->szUserProfile, profile, sizeof profile);
  Qlx().qlxCO_SetUserID(system, user);
  return static_cast<uint16_t>(Qlx().qlxCO_SetSignOnMode(system, QLXCO_SIGNON_USE_SET));
}

// Converts one NUL-terminated name field of the station information in place.
uint16_t NameToAscii(char* field) {
  field[kNameField - 1] = '\0';
  uint32_t room = kNameField;
  return cbEbcToAscCharArray(field, field, &room, static_cast<uint32_t>(strlen(field)) + 1);
}

void SetQualifiedName(RZ700SysStruct* pSystem) {
  char qualified[kQualifiedLength + 1];
  memset(qualified, ' ', kQualifiedLength);
  qualified[kQualifiedLength] = '\0';
  std::string text = std::string(pSystem->szDQLib) + "/" + pSystem->szDQName;
  memcpy(qualified, text.data(), std::min<size_t>(text.size(), kQualifiedLength));
  memcpy(pSystem->szQualDQName, qualified, sizeof qualified);
}

// Releases the attribute object of the queue's creation on every way out.
struct QueueAttributes {
  uint32_t handle = Qlx().qlxDQ_CreateAttr();
  ~QueueAttributes() {
    if (handle != 0) Qlx().qlxDQ_DeleteAttr(handle);
  }
};

// Sets the attributes of the PWS's queue; 0 or 1034.
uint16_t SetAttributes(const RZ700SysStruct* pSystem, uint32_t attributes) {
  struct Setting {
    uint32_t (*set)(uint32_t, uint32_t);
    uint32_t value;
    const char* label;
    const char* text;
  };
  const services::QlxCalls& qlx = Qlx();
  const Setting settings[] = {
      {qlx.qlxDQ_SetMaxRecLen, pSystem->ulDQMaxRecLen, "EXT_SET_MAX_REC_LEN",
       "qlxDQ_SetMaxRecLen() rc="},
      {qlx.qlxDQ_SetOrder, QLXDQ_QUEUE_KEYED, "EXT_SET_ORDER", "qlxDQ_SetOrder() rc="},
      {qlx.qlxDQ_SetKeySize, wire::kKeySize, "EXT_SET_KEY_SIZE", "qlxDQ_SetKeySize() rc="},
      {qlx.qlxDQ_SetAuthority, pSystem->bDQAuthority == 2 ? 2u : 1u, "EXT_SET_AUTHORITY",
       "qlxDQ_SetAuthority() rc="},
      {qlx.qlxDQ_SetForceToStorage, 0, "EXT_SET_FORCE_TO_STORAGE", "qlxDQ_SetForceToStorage() rc="},
      {qlx.qlxDQ_SetSenderID, 0, "EXT_SET_SENDER_ID", "qlxDQ_SetSenderID() rc="},
  };
  for (const Setting& setting : settings) {
    uint32_t rc = setting.set(attributes, setting.value);
    if (rc != 0 && ZEL_ERROR_POINT(setting.label)) {
      trace::Rc("CC", -100, setting.text, rc);
      return VQZM_RC_DATA_QUEUE_ERROR;
    }
  }
  return 0;
}

bool FreeHostBuffer(RZ700SysStruct* pSystem) {
  void* buffer = pSystem->pHostBuf;
  if (buffer == nullptr) return true;
  if (Plat().GlobalFree(buffer) != nullptr && ZEL_ERROR_POINT("EXT_GLOBALFREE_PTR")) {
    trace::Msg("CC", -100, "GlobalFree () failed");
    return false;
  }
  pSystem->pHostBuf = nullptr;
  return true;
}

// Releases the service handle, the connection and the data queue; false
// when a step failed (the rest stays).
bool ReleaseConnection(RZ700SysStruct* pSystem, uint32_t system, uint32_t error_handle) {
  uint32_t service = pSystem->hSrvHandle;
  if (service != 0) {
    uint32_t rc = Qlx().qlxCO_ReleaseSrvHandle(system, service);
    if (rc != 0 && ZEL_ERROR_POINT("EXT_RELEASEHANDLE")) {
      trace::Rc("CC", -100, "qlxCO_ReleaseSrvHandle() failed", rc);
      return false;
    }
    pSystem->hSrvHandle = 0;
  }
  uint32_t rc = Qlx().qlxCO_Disconnect(system, QLXCO_SERVICE_SIGNON, error_handle);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_DISCONNECT")) {
    trace::Rc("CC", -100, "qlxCO_Disconnect() failed rc=", rc);
    char text[256] = {};
    Qlx().qlxSV_GetErrText(error_handle, text, sizeof text);
    trace::String("CC", -100, "Connect Error Msg", text);
    return false;
  }
  trace::Msg("CC", 100, "Disconnect Succesfully!");
  if (uint32_t queue = pSystem->hDQ; queue != 0) {
    Qlx().qlxDQ_Close(queue);
    pSystem->hDQ = 0;
  }
  // A start that failed before the station information named no queue.
  if (pSystem->szDQName[0] == '\0') return true;
  trace::String("CC", 100, "DQ Name = ", pSystem->szDQName);
  trace::String("CC", 100, "DQ Lib = ", pSystem->szDQLib);
  trace::String("CC", 100, "System = ", pSystem->szSysName);
  rc = Qlx().qlxDQ_DeleteEx(system, pSystem->szDQName, pSystem->szDQLib, error_handle);
  // A start that failed before the queue was made has none to delete.
  if (rc != 0 && rc != QLXDQ_RC_NOT_FOUND && ZEL_ERROR_POINT("EXT_DELETEDQ")) {
    trace::Rc("CC", -100, "qlxDQ_DeleteEx() failed rc=", rc);
    char text[256] = {};
    Qlx().qlxSV_GetErrText(error_handle, text, sizeof text);
    trace::String("CC", -100, "Connect Error Msg", text);
    return false;
  }
  trace::Msg("CC", 100, "Data Queue deleted successfully!");
  return true;
}

}  // namespace

uint16_t ccStartComm(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccStartComm");
  pSystem->ulRRPObtained = 0;
  // The names of an earlier start must not lead the teardown to another
  // PWS's queue.
  memset(pSystem->szDQName, 0, sizeof pSystem->szDQName);
  memset(pSystem->szDQLib, 0, sizeof pSystem->szDQLib);
  pSystem->usHostBufSize = kHostBufSize;
  pSystem->pHostBuf = Plat().GlobalAlloc(platform::GMEM_FIXED, kHostBufSize);
  if (pSystem->pHostBuf == nullptr && ZEL_ERROR_POINT("GLOBALALLOC_ERROR")) {
    trace::Msg("CC", -100, "GlobalAlloc failed");
    return VQZM_RC_NO_MEMORY;
  }
  uint16_t rc = ccInitConv(pSystem);
  if (rc != 0 && ZEL_ERROR_POINT("INIT_CONV_ERROR")) {
    trace::Rc("CC", -100, "Error InitConv() rc=", rc);
    trace::String("CC", -100, "System Name = ", pSystem->szSysName);
    return rc;
  }
  return SendInitBuffer(pSystem, kActionStartRequest,
                        "Error initializing Send Struct rc=", "Error sending data rc=");
}

uint16_t ccInitConv(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccInitConv");
  trace::String("CC", 100, "System:", pSystem->szSysName);
  services::ErrHandle error;
  if (error.create_rc() != 0 && ZEL_ERROR_POINT("EXT_CREATE_ERR_HND")) {
    trace::Rc("CC", -100, "qlxSV_CreateErrHandle() failed rc", error.create_rc());
    return VQZM_RC_CONNECTION_FAILED;
  }
  uint32_t system = 0;
  uint32_t result = Qlx().qlxCO_CreateSystem(pSystem->szSysName, &system);
  if (result != 0 && ZEL_ERROR_POINT("EXT_CREATESYSTEM")) {
    trace::Rc("CC", -100, "qlxCO_CreateSystem() failed rc=", result);
    char why[256] = {};
    Qlx().qlxSV_GetLastFailText(why, sizeof why);
    LogToManager(std::string("start of system ") + pSystem->szSysName + " failed: QLX" +
                 std::to_string(result) + ": " + why);
    pSystem->hSystem = 0;
    return VQZM_RC_CONNECTION_FAILED;
  }
  pSystem->hSystem = system;
  trace::Msg("CC", 100, "System Object Handle Succesfully!");
  uint16_t rc = UseInitUser(pSystem, system);
  result = Qlx().qlxCO_Connect(system, QLXCO_SERVICE_SIGNON, error.get());
  if (result != 0 && ZEL_ERROR_POINT("EXT_CONNECT")) {
    trace::Rc("CC", -100, "qlxCO_Connect() failed rc=", result);
    trace::String("CC", -100, "Connect Error Msg", error.Text().c_str());
    LogToManager(std::string("start of system ") + pSystem->szSysName + " failed: " +
                 error.Text());
    // Without a connection the teardown skips the system object: release
    // it here.
    Qlx().qlxCO_DeleteSystem(system);
    pSystem->hSystem = 0;
    return VQZM_RC_CONNECTION_FAILED;
  }
  pSystem->hConnSystem = system;
  trace::Msg("CC", 100, "Connect Succesfully!");
  pSystem->hSrvHandle = Qlx().qlxCO_GetSrvHandle(system, QLXCO_SERVICE_SIGNON);
  if (pSystem->hSrvHandle == 0 && ZEL_ERROR_POINT("EXT_GETSRVHANDLE")) {
    trace::Msg("CC", -100, "qlxCO_GetSrvHandle() returns NULL");
    trace::Msg("CC", -100, "ZEL service is not connected");
    return VQZM_RC_CONNECTION_FAILED;
  }
  trace::Rc("CC", 100, "qlxSV_DeleteErrHandle() rc=", error.Release());
  return rc;
}

uint16_t ccRcvStnInfo(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccRcvStnInfo");
  wire::StationInfo info{};
  uint16_t length = sizeof info;
  uint16_t rc = ccRcvData(pSystem, &info, &length);
  if (rc != 0 && ZEL_ERROR_POINT("RCV_DATA_ERROR")) {
    trace::Rc("CC", -100, "Error Rcv data rc=", rc);
    return rc;
  }
  if (info.format != 1 && ZEL_ERROR_POINT("RCVD_INVALID_FORMAT")) {
    trace::Msg("CC", -100, "rcvd invalid buffer format");
    trace::Rc("CC", -100, "rcvd value", info.format);
    trace::Bytes("CC", -100, &info.format, 1);
    return VQZM_RC_INTERNAL_ERROR;
  }
  struct Field {
    char* text;
    const char* label;
  };
  for (const Field& field :
       {Field{info.user_profile, "EXT_XLAT_ERROR1"}, Field{info.library, "EXT_XLAT_ERROR2"},
        Field{info.queue, "EXT_XLAT_ERROR3"}}) {
    rc = NameToAscii(field.text);
    if (rc != 0 && ZEL_ERROR_POINT(field.label)) {
      trace::Rc("CC", -100, "cbEbcToAsc() error rc=", rc);
      return VQZM_RC_CONVERSION_FAILED;
    }
  }
  ccTraceInitBuf(&info);
  memcpy(pSystem->szDQName, info.queue, kNameField);
  memcpy(pSystem->szDQLib, info.library, kNameField);
  memcpy(pSystem->szUserProfile, info.user_profile, kNameField);
  SetQualifiedName(pSystem);
  return 0;
}

uint16_t ccSendData(RZ700SysStruct* pSystem, const void* pPayload, const uint16_t* pusLength) {
  ZEL_TRACE_FUNCTION("CC", "ccSendData");
  std::lock_guard lock(g_send_mutex);
  auto* frame = static_cast<uint8_t*>(pSystem->pHostBuf);
  uint16_t size = pSystem->usHostBufSize;
  uint32_t frame_length = uint32_t{*pusLength} + sizeof(wire::SignOnFrameHeader);
  if ((frame == nullptr || frame_length > size) && ZEL_ERROR_POINT("SEND_BUFFER_TOO_SMALL")) {
    trace::Size("CC", -100, "Buffer Size:", size);
    return VQZM_RC_INTERNAL_ERROR;
  }
  memset(frame, 0, size);
  wire::SignOnFrameHeader header{};
  header.length.set(frame_length);
  header.marker = wire::kFrameMarker;
  header.kind = wire::kFrameMessage;
  memcpy(frame, &header, sizeof header);
  memcpy(frame + sizeof header, pPayload, *pusLength);
  trace::Size("CC", 100, "Buffer Size:", frame_length);
  trace::Dump("CC", 100, "Prior to Send()", frame, frame_length);
  uint32_t service = pSystem->hSrvHandle;
  uint32_t result = Qlx().qlxCO_Send(service, frame, frame_length);
  if (result == 0) result = Qlx().qlxCO_SendComplete(service);
  if (result != 0 && ZEL_ERROR_POINT("EXT_SEND_DATA")) {
    trace::Rc("CC", -100, "qlxCO_Send() ", result);
    return VQZM_RC_CONNECTION_FAILED;
  }
  return 0;
}

uint16_t ccRcvData(RZ700SysStruct* pSystem, void* pBuffer, uint16_t* pusLength) {
  ZEL_TRACE_FUNCTION("CC", "ccRcvData");
  uint16_t capacity = *pusLength;
  std::unique_ptr<uint8_t, decltype(&free)> temporary(
      static_cast<uint8_t*>(calloc(capacity != 0 ? capacity : 1, 1)), &free);
  if (temporary == nullptr && ZEL_ERROR_POINT("EXT_MALLOC")) {
    trace::Size("CC", -100, "malloc() error size=", capacity);
    return VQZM_RC_NO_MEMORY;
  }
  uint32_t received = 0;
  uint32_t result = Qlx().qlxCO_Recv(pSystem->hSrvHandle, temporary.get(), &received, capacity);
  if (result != 0 && ZEL_ERROR_POINT("EXT_RCV_DATA")) {
    trace::Rc("CC", -100, "qlxCO_Recv() failed  rc=", result);
    return VQZM_RC_CONNECTION_FAILED;
  }
  trace::Msg("CC", 100, "qlxCO_Recv() successfull!!");
  trace::Size("CC", 100, "Buffer Size:", received);
  trace::Dump("CC", 100, "Data Received:", temporary.get(), received);
  memset(pBuffer, 0, capacity);
  *pusLength = static_cast<uint16_t>(received);
  memcpy(pBuffer, temporary.get(), received);
  trace::Msg("CC", 100, "memcpy() done!");
  return 0;
}

uint16_t SetUpDataQueue(RZ700SysStruct* pSystem) {
  trace::String("CC", 100, "System = ", pSystem->szSysName);
  uint32_t record_length = pSystem->ulDQMaxRecLen;
  trace::Size("CC", 100, "DQATTR.MaxRecLen=", record_length);
  if (pSystem->pDQBuf == nullptr) pSystem->pDQBuf = malloc(record_length);
  if (pSystem->pDQBuf == nullptr && ZEL_ERROR_POINT("EXT_MALLOC")) {
    trace::Size("CC", -100, "malloc() error size=", record_length);
    return VQZM_RC_NO_MEMORY;
  }
  QueueAttributes attributes;
  if (attributes.handle == 0 && ZEL_ERROR_POINT("EXT_CREATE_DQ_ATTR")) {
    trace::Msg("CC", -100, "Error on qlxDQ_CreateAttr()");
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  if (uint16_t rc = SetAttributes(pSystem, attributes.handle); rc != 0) return rc;
  services::ErrHandle error;
  if (error.create_rc() != 0 && ZEL_ERROR_POINT("EXT_CREATE_ERROR_HANDLE")) {
    trace::Rc("CC", -100, "qlxSV_CreateErrHandle() rc=", error.create_rc());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  uint32_t system = pSystem->hSystem;
  uint32_t rc = Qlx().qlxDQ_CreateEx(system, pSystem->szDQName, pSystem->szDQLib, attributes.handle,
                                     error.get());
  if (rc != 0 && ZEL_ERROR_POINT("EXT_CREATE_QUEUE")) {
    trace::Rc("CC", -100, "qlxDQ_CreateEx() rc=", rc);
    trace::String("CC", -100, "Create Queue Error Msg", error.Text().c_str());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  uint32_t handle = attributes.handle;
  attributes.handle = 0;
  rc = Qlx().qlxDQ_DeleteAttr(handle);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_DELETE_ATTR")) {
    trace::Rc("CC", -100, "qlxDQ_DeleteAttr() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  uint32_t queue = 0;
  rc = Qlx().qlxDQ_OpenEx(system, pSystem->szDQName, pSystem->szDQLib, &queue, error.get());
  if (rc != 0 && ZEL_ERROR_POINT("EXT_OPEN_QUEUE")) {
    trace::Rc("CC", -100, "qlxDQ_OpenEx() rc=", rc);
    trace::String("CC", -100, "Open Queue Error Msg", error.Text().c_str());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  pSystem->hDQ = queue;
  trace::Rc("CC", 100, "qlxSV_DeleteErrHandle() rc=", error.Release());
  return 0;
}

void ccDeallocComm(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccDeallocComm");
  if (!FreeHostBuffer(pSystem)) return;
  uint32_t system = pSystem->hSystem;
  services::ErrHandle error;
  if (system != 0 && !ReleaseConnection(pSystem, system, error.get())) return;
  ctrlblk::cbRemoveConvIdsSystem(pSystem);
  if (system == 0) return;
  uint32_t rc = Qlx().qlxCO_DeleteSystem(system);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_DELETESYSTEM")) {
    trace::Rc("CC", -100, "qlxCO_DeleteSystem() failed", rc);
    return;
  }
  pSystem->hSystem = 0;
  pSystem->hConnSystem = 0;
}

}  // namespace zel::hostlink

extern "C" uint16_t ccGetNextSysName(uint32_t hList, char* pszName, uint32_t ulSize,
                                     uint32_t* pulNeeded) noexcept try {
  ZEL_TRACE_FUNCTION("CC", "ccGetNextSysName");
  using namespace zel::hostlink;
  namespace trace = zel::trace;
  if (ZEL_NULL_ARGUMENT("CC", pszName) || ZEL_NULL_ARGUMENT("CC", pulNeeded)) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (ulSize < kMinNameBuffer && ZEL_ERROR_POINT("EXT_BUFFER_TOO_SMALL")) {
    trace::Size("CC", -100, "Input buffer too small", ulSize);
    return 0;
  }
  char name[kSysNameWork];
  uint32_t needed = 0;
  uint32_t result = 0;
  do {
    name[0] = '\0';
    result = zel::services::Qlx().qlxCO_GetNextSysName(hList, name, sizeof name, &needed);
  } while (result == 0 && name[0] == '\0');
  if (result != 0 && ZEL_ERROR_POINT("ERR_GET_NEXT_SYS_NAME")) {
    trace::Rc("CC", -100, "qlxCO_GetNextSysName() rc=", result);
    if (result == VQZM_RC_NAME_TOO_LONG) *pulNeeded = needed;
    return static_cast<uint16_t>(result);
  }
  size_t length = strnlen(name, sizeof name - 1);
  if (length + 1 > ulSize && ZEL_ERROR_POINT("ERR_BUFFER_OVERFLOW")) {
    *pulNeeded = static_cast<uint32_t>(length + 1);
    trace::Msg("CC", -100, "System name is larger than input string");
    return VQZM_RC_NAME_TOO_LONG;
  }
  memcpy(pszName, name, length + 1);
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}
