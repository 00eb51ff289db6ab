// Registration of terminate windows and the information queries: what an
// application learns about the system of its conversation. Each call runs
// in its caller's thread.
#include <cstring>
#include <string>

#include "base/barrier.h"
#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/null_argument.h"
#include "platform/netdrive.h"
#include "services/qlx_calls.h"
#include "vqzmcsw.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmca1")

namespace zel::api {
namespace {

using services::Qlx;

constexpr size_t kPgmIdLimit = 22;  // a program ID is shorter than this
constexpr uint16_t kFirstMessage = 1024;
constexpr uint16_t kKeepsSystem = 3;  // the term type counted in ulTermWndCount
constexpr int32_t kProfileWidth = 10;
constexpr uint32_t kIdWidth = 8;  // IDs 4 and 5: eight characters and a NUL
constexpr char kFirstNetworkDrive = 'D';
constexpr uint32_t kEnumBufferSize = 16384;

enum InfoId : uint16_t {
  kUserProfile = 1,
  kNetworkDrive = 2,
  kSystemName = 3,
  kLocalLuName = 4,
  kNetworkId = 5,
};

uint16_t SystemOf(uint32_t conv_id, RZ700SysStruct** system, const char* label, const char* text) {
  uint16_t rc = ctrlblk::cbRetSysFromConvId(conv_id, system);
  if (rc != 0 && ZEL_ERROR_POINT(label)) trace::Rc("CA", -100, text, rc);
  return rc;
}

uint16_t CheckRunning(const RZ700SysStruct* system) {
  if (system->usCommState == ZEL_COMM_ACTIVE) return 0;
  ZEL_ERROR_POINT("NOT_IN_RUNNING_STATE");
  trace::Msg("CA", -100, "System not in running state");
  trace::String("CA", -100, "System Name", system->szSysName);
  trace::Rc("CA", -100, "State", system->usCommState);
  return VQZM_RC_NOT_ACTIVE;
}

// The letter of the connection to `folder`, or 0. When several connect
// it, the last one counts.
char ExistingConnection(const RZ700SysStruct* system, const std::string& folder) {
  platform::HANDLE enumeration = 0;
  if (platform::WNetOpenEnum(platform::RESOURCE_CONNECTED, platform::RESOURCETYPE_DISK, 0, nullptr,
                             &enumeration) != platform::NO_ERROR) {
    trace::Msg("CA", -100, "Could not enumerate network reources");
    return 0;
  }
  alignas(platform::NETRESOURCE) static thread_local char buffer[kEnumBufferSize];
  char letter = 0;
  bool any = false;
  for (;;) {
    platform::DWORD count = 1;
    platform::DWORD size = sizeof buffer;
    if (platform::WNetEnumResource(enumeration, &count, buffer, &size) != platform::NO_ERROR) {
      break;
    }
    any = true;
    const auto* resource = reinterpret_cast<const platform::NETRESOURCE*>(buffer);
    trace::String("CA", 100, "System to look for:", system->szSysName);
    trace::String("CA", 100, "System to look for:", resource->lpRemoteName);
    if (!folder.empty() && folder == resource->lpRemoteName) {
      letter = resource->lpLocalName[0];
    } else {
      trace::String("CA", 100, "network reources", resource->lpLocalName);
    }
  }
  platform::WNetCloseEnum(enumeration);
  if (!any) trace::Msg("CA", 100, "No network drives are assigned");
  return letter;
}

// The first letter from D whose drive is not in use; 0 when none is free.
char FreeLetter() {
  platform::DWORD drives = platform::GetLogicalDrives();
  trace::Rc("CA", 100, "Logical Drives: ", drives);
  for (char letter = kFirstNetworkDrive; letter <= 'Z'; ++letter) {
    if ((drives & (platform::DWORD{1} << (letter - 'A'))) == 0) return letter;
  }
  return 0;
}

// A failed mapping is traced; the letter is returned all the same.
void MapDrive(char letter, const std::string& folder) {
  char local[3] = {letter, ':', '\0'};
  platform::NETRESOURCE resource{};
  resource.dwType = platform::RESOURCETYPE_DISK;
  resource.lpLocalName = local;
  resource.lpRemoteName = const_cast<char*>(folder.c_str());
  trace::String("CA", 100, local, folder.c_str());
  platform::DWORD rc = platform::ERROR_BAD_NET_NAME;
  if (!folder.empty()) rc = platform::WNetAddConnection2(&resource, nullptr, nullptr, 0);
  if (rc != platform::NO_ERROR) trace::Msg("CA", -100, "Network drive was not mapped");
  trace::Rc("CA", 100, "assign return code is:", rc);
}

// The letter that stands for the system's shared folder (its `share` in the
// connection configuration): an existing connection, else a new one on the
// first free letter.
void NetworkDrive(const RZ700SysStruct* system, char* pszBuf) {
  trace::Msg("CA", 100, "Rtv Drive Info:");
  char path[4096] = {};
  uint32_t rc = Qlx().qlxCO_GetSharePath(system->szSysName, path, sizeof path);
  if (rc != 0) trace::Rc("CA", -100, "qlxCO_GetSharePath() rc=", rc);
  std::string folder = rc == 0 ? path : "";
  char letter = ExistingConnection(system, folder);
  if (letter == 0) {
    letter = FreeLetter();
    trace::Dump("CA", 100, "Drive to use: ", &letter, 1);
    if (letter != 0) MapDrive(letter, folder);
  }
  pszBuf[0] = letter;
  pszBuf[1] = '\0';
  trace::String("CA", 100, "Returning:", pszBuf);
}

// Eight characters from two bytes into `field`, blank-padded.
void EightFrom(const char* field, const char* label, char* pszBuf) {
  memcpy(pszBuf, field + 2, kIdWidth + 1);
  pszBuf[kIdWidth] = '\0';
  ctrlblk::cbBlankPad(pszBuf, kIdWidth);
  trace::String("CA", 100, label, pszBuf);
}

}  // namespace
}  // namespace zel::api

using namespace zel::api;
namespace trace = zel::trace;
namespace ctrlblk = zel::ctrlblk;

extern "C" {

uint16_t caRegisterTermWnd(uint32_t ulConvId, uint32_t usTermType, uint32_t hwnd, uint32_t usMsgId,
                           const char* pszPgmID) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caRegisterTermWnd");
  if (pszPgmID == nullptr && ZEL_ERROR_POINT("EXT_NULL_PGM_ID")) {
    trace::Msg("CA", -100, "Null pszPgmID pointer parm");
    return VQZM_RC_BAD_PROGRAM_ID;
  }
  size_t length = strnlen(pszPgmID, kPgmIdLimit);
  if (length >= kPgmIdLimit && ZEL_ERROR_POINT("EXT_PGM_ID_TOO_LONG")) {
    trace::Size("CA", -100, "pszPgmID parm too long", strlen(pszPgmID));
    return VQZM_RC_BAD_PROGRAM_ID;
  }
  if (hwnd == 0 && ZEL_ERROR_POINT("EXT_INVALID_HWND")) {
    trace::Msg("CA", -100, "invalid hwnd parm");
    return VQZM_RC_NO_ASYNC_FOR_WINDOW;
  }
  auto message = static_cast<uint16_t>(usMsgId);
  if (message < kFirstMessage && ZEL_ERROR_POINT("EXT_INVALID_MSG_ID")) {
    trace::Rc("CA", -100, "invalid msgid parm", message);
    return VQZM_RC_BAD_MESSAGE_NUMBER;
  }
  auto type = static_cast<uint16_t>(usTermType);
  if ((type < 1 || type > 3) && ZEL_ERROR_POINT("EXT_TERM_TYPE")) {
    trace::Rc("CA", -100, "invalid Term Type parm", type);
    return VQZM_RC_BAD_TERM_TYPE;
  }
  RZ700SysStruct* system = nullptr;
  uint16_t rc = SystemOf(ulConvId, &system, "EXT_SYS_NOT_FOUND", "cbRetSysFromConvId() error rc=");
  if (rc != 0) return rc;
  if (ctrlblk::cbRetTermWndFromPgmID(system, pszPgmID) != nullptr &&
      ZEL_ERROR_POINT("EXT_ALREADY_REG")) {
    trace::String("CA", -100, "pszPgmID already registered", pszPgmID);
    return VQZM_RC_PROGRAM_REGISTERED;
  }
  TermWndStruct* rec = nullptr;
  rc = ctrlblk::cbInitTermWndStruct(&rec);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_INIT_STRUCT")) {
    trace::Rc("CA", -100, "cbInitTermWndStruct() error rc=", rc);
    return rc;
  }
  memcpy(rec->szPgmID, pszPgmID, length + 1);
  rec->usTermType = type;
  rec->hwndTerm = hwnd;
  rec->usTermMsg = message;
  rc = ctrlblk::cbAddTermWndStruct(system, rec, type);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_ADD_STRUCT")) {
    trace::Rc("CA", -100, "cbAddTermWndStruct() error rc=", rc);
    return rc;
  }
  if (type == kKeepsSystem) ++system->ulTermWndCount;
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t caUnRegisterTermWnd(uint32_t ulConvId, const char* pszPgmID) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caUnRegisterTermWnd");
  if (pszPgmID == nullptr && ZEL_ERROR_POINT("EXT_NULL_PGM_ID")) {
    trace::Msg("CA", -100, "Null pszPgmID pointer parm");
    return VQZM_RC_BAD_PROGRAM_ID;
  }
  RZ700SysStruct* system = nullptr;
  uint16_t rc = SystemOf(ulConvId, &system, "EXT_SYS_NOT_FOUND", "cbRetSysFromConvId() error rc=");
  if (rc != 0) return rc;
  TermWndStruct* rec = ctrlblk::cbRetTermWndFromPgmID(system, pszPgmID);
  if (rec == nullptr && ZEL_ERROR_POINT("EXT_TERMWND_NOT_FOUND")) {
    trace::Msg("CA", -100, "pszPgmID not currently Registered\n");
    return VQZM_RC_PROGRAM_NOT_REGISTERED;
  }
  if (rec->usTermType == kKeepsSystem) --system->ulTermWndCount;
  cbDeleteTermWndStruct(system, rec);
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t caRtvZELCommInfo(uint32_t ulConvId, uint32_t usRtvInfoID, char* pszBuf) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "caRtvZELCommInfo");
  if (ZEL_NULL_ARGUMENT("CA", pszBuf)) return VQZM_RC_INTERNAL_ERROR;
  RZ700SysStruct* system = nullptr;
  uint16_t rc =
      SystemOf(ulConvId, &system, "FIND_SYS_ERROR", "error returned from cbRetSysFromConId() =");
  if (rc != 0) return rc;
  rc = CheckRunning(system);
  if (rc != 0) return rc;
  switch (static_cast<uint16_t>(usRtvInfoID)) {
    case kUserProfile: {
      // A profile shorter than ten characters ends at its NUL.
      auto end = static_cast<int32_t>(strnlen(system->szUserProfile, kProfileWidth));
      int32_t blank = cbFindBlank(system->szUserProfile, end);
      if (blank >= 0) end = blank;
      memcpy(pszBuf, system->szUserProfile, end);
      pszBuf[end] = '\0';
      return 0;
    }
    case kNetworkDrive:
      NetworkDrive(system, pszBuf);
      return 0;
    case kSystemName:
      strcpy(pszBuf, system->szSysName);
      return 0;
    case kLocalLuName:
      EightFrom(system->szDQName, "Local LU Name", pszBuf);
      return 0;
    case kNetworkId:
      EightFrom(system->szDQLib, "Network ID", pszBuf);
      return 0;
    default:
      trace::Rc("CA", -100, "Invalid usRtvInfoID parm", usRtvInfoID);
      return VQZM_RC_BAD_INFO_ID;
  }
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t vqzmRtvPWSId(uint32_t ulConvId, char* pszPWSId) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "vqzmRtvPWSId");
  if (pszPWSId == nullptr && ZEL_ERROR_POINT("EXT_INVPARM_PWSID")) {
    trace::Msg("CA", -100, "Null pszPWSId input parm");
    return VQZM_RC_NO_PWS_ID_BUFFER;
  }
  RZ700SysStruct* system = nullptr;
  uint16_t rc = SystemOf(ulConvId, &system, "EXT_SYS_NOT_FOUND", "cbRetSysFromConvId() error rc=");
  if (rc != 0) return rc;
  memcpy(pszPWSId, system->achPWSSysID, sizeof system->achPWSSysID);
  pszPWSId[sizeof system->achPWSSysID] = '\0';
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t vqzmRtvPwsRID(uint32_t ulConvId, char* pRID) noexcept try {
  ZEL_TRACE_FUNCTION("CA", "vqzmRtvPwsRID");
  if (pRID == nullptr && ZEL_ERROR_POINT("EXT_NULL_RID")) {
    trace::Msg("CA", -100, "null RID pointer");
    return VQZM_RC_NO_ASYNC_FOR_RID;
  }
  RZ700SysStruct* system = nullptr;
  uint16_t rc = SystemOf(ulConvId, &system, "EXT_SYS_NOT_ACTIVE",
                         "error returned from cbRetSysFromConvId() =");
  if (rc != 0) return rc;
  rc = CheckRunning(system);
  if (rc != 0) return rc;
  ctrlblk::cbCreateRID(system, '9', pRID);
  return 0;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
