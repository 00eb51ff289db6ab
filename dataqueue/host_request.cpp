// Requests that host programs start towards the PWS: reassembled in a
// host-request record from the manager's entries and handed, complete, to
// the host-request processor library, which the manager loads on first
// use. Every failure is answered to the host with an error return.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/process_state.h"
#include "dataqueue/dataqueue.h"
#include "manager/manager.h"
#include "platform/module.h"
#include "platform/user.h"
#include "services/platform_calls.h"
#include "vqzmcm.h"
#include "vqzmctw.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcd0")

namespace zel::dataqueue {
namespace {

using services::Plat;

constexpr char kProcessorPath[] = "SHARED/VQZMCTW.DLL";
constexpr uint32_t kMsgNoProcessor = 1062;
constexpr uint32_t kProgramWidth = 21;

// The processor's entry, looked for until it is found; kept for the life
// of the process.
std::mutex g_processor_mutex;
PFNPWSRRP g_pws_rrp = nullptr;

PFNPWSRRP Processor() {
  std::lock_guard lock(g_processor_mutex);
  if (g_pws_rrp != nullptr) return g_pws_rrp;
  std::string path = manager::InstallDirectory() + kProcessorPath;
  platform::HMODULE library = Plat().LoadLibrary(path.c_str());
  if (library == 0) return nullptr;
  g_pws_rrp = reinterpret_cast<PFNPWSRRP>(platform::GetProcAddress(library, VQZMCTW_ENTRY));
  if (g_pws_rrp == nullptr) {
    Plat().FreeLibrary(library);
    return nullptr;
  }
  ctrlblk::ThisProcess().request_processor = library;
  return g_pws_rrp;
}

DQReqHeader HeaderOf(const void* entry) {
  DQReqHeader header;
  memcpy(&header, entry, sizeof header);
  return header;
}

// Removes the record and its data; the buffer was allocated here.
void Drop(RZ700ReqStruct* rec) {
  free(rec->pData);
  rec->pData = nullptr;
  ctrlblk::cbDeleteRZ700ReqStruct(rec);
}

// The code a further entry of a request ends with: 0 when it was appended.
uint16_t Append(const std::string& rid, const DQReqHeader& header, const uint8_t* data,
                RZ700ReqStruct** found) {
  RZ700ReqStruct* rec = ctrlblk::cbRetRZ700ReqFromRid(rid.c_str());
  *found = rec;
  if (rec == nullptr && ZEL_ERROR_POINT("EXT_RID_NOT_FOUND")) {
    trace::Msg("CD", -100, "RZ700 Request CB Not found");
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (ContinuesAssembly(rec->ulTotalLen, rec->ulBytesLeft, header.ulTotalLen, header.ulBlockLen,
                        header.ulBytesLeft)) {
    memcpy(static_cast<uint8_t*>(rec->pData) + rec->ulRcvdLen, data, header.ulBlockLen);
    rec->ulRcvdLen += header.ulBlockLen;
    rec->ulBytesLeft = header.ulBytesLeft;
    return 0;
  }
  Drop(rec);
  *found = nullptr;
  return VQZM_RC_INTERNAL_ERROR;
}

// A record for the first entry of a request; its code when none is made.
uint16_t Begin(const std::string& rid, const DQReqHeader& header, const uint8_t* data,
               RZ700ReqStruct** made) {
  RZ700ReqStruct* rec = nullptr;
  uint16_t rc = ctrlblk::cbInitRZ700ReqStruct(&rec);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_INIT_RZ700_REQ")) {
    trace::Rc("CD", -100, "cbInitRZ700ReqStruct() Error rc =", rc);
    return rc;
  }
  if (header.ulTotalLen != 0) {
    rec->pData = AssemblyBuffer(header.ulTotalLen);
    if (rec->pData == nullptr && ZEL_ERROR_POINT("MALLOC_PBUFFER_ERROR")) {
      trace::Size("CD", -100, "malloc() Error size =", header.ulTotalLen);
      ctrlblk::cbDeleteRZ700ReqStruct(rec);
      return VQZM_RC_NO_MEMORY;
    }
    memcpy(rec->pData, data, header.ulBlockLen);
  }
  rec->ulRcvdLen = header.ulBlockLen;
  rec->ulBytesLeft = header.ulBytesLeft;
  rec->ulTotalLen = header.ulTotalLen;
  rec->ulDataVersion = header.ulDataVersion;
  rec->ulValue = header.ulValue;
  memcpy(rec->achRID, rid.data(), ZEL_RID_LEN);
  const char* blank = static_cast<const char*>(memchr(header.achProgram, ' ', kProgramWidth));
  size_t name_length = blank != nullptr ? blank - header.achProgram : kProgramWidth;
  memcpy(rec->szPgmName, header.achProgram, name_length);
  rec->szPgmName[name_length] = '\0';
  if (rec->ulBytesLeft != 0) {
    ctrlblk::cbAddRZ700ReqStruct(rec);
    trace::Msg("CD", 100, "cbAddRZ700ReqStruct - cd");
  }
  *made = rec;
  return 0;
}

// Without a processor no host request can be served: the user is told, and
// the host gets 1026.
uint16_t NoProcessor() {
  char text[100] = {};
  platform::LoadString(ctrlblk::ThisProcess().message_library, kMsgNoProcessor, text, sizeof text);
  platform::MessageBox(platform::GetFocus(), text, "MM APIs", platform::MB_ICONSTOP);
  ZEL_ERROR_POINT("EXT_PWS_RRP");
  return VQZM_RC_INTERNAL_ERROR;
}

// Hands the complete request to the processor; the code for the host when
// it was not accepted.
uint16_t HandOn(RZ700ReqStruct* rec, RZ700SysStruct* pSystem) {
  trace::Msg("CD", 100, "calling pwsrrp");
  PFNPWSRRP pws_rrp = Processor();
  uint16_t rc = pws_rrp != nullptr ? pws_rrp(rec, pSystem) : NoProcessor();
  if (pws_rrp != nullptr && rc != 0 && ZEL_ERROR_POINT("EXT_PWS_RRP")) {
    trace::Rc("CD", -100, "crPwsRRP() error rc=", rc);
  }
  Drop(rec);
  return rc;
}

// The code the host is answered with, 0 when the entry was taken.
uint16_t TakeEntry(const std::string& rid, DQReadItem* pItem, RZ700SysStruct* pSystem) {
  uint16_t rc = cdProcRcvHeader(kRequestMsgId, pItem->pBuffer);
  if (rc != 0) {
    if (RZ700ReqStruct* rec = ctrlblk::cbRetRZ700ReqFromRid(rid.c_str()); rec != nullptr) {
      Drop(rec);
    }
    trace::Rc("CD", -100, "cdProcRcvHeader() Error rc =", rc);
    ZEL_ERROR_POINT("PROC_HEADER_ERROR");
    return rc;
  }
  DQReqHeader header = HeaderOf(pItem->pBuffer);
  if ((pItem->ulLength < kHeaderLength || header.ulBlockLen > pItem->ulLength - kHeaderLength) &&
      ZEL_ERROR_POINT("BUFFER_TOO_SMALL")) {
    trace::Msg("CD", -100, "Block size will overflow buffer originally allocated");
    if (RZ700ReqStruct* rec = ctrlblk::cbRetRZ700ReqFromRid(rid.c_str()); rec != nullptr) {
      Drop(rec);
    }
    return VQZM_RC_INTERNAL_ERROR;
  }
  const uint8_t* data = static_cast<const uint8_t*>(pItem->pBuffer) + kHeaderLength;
  RZ700ReqStruct* rec = nullptr;
  bool first = uint64_t{header.ulBlockLen} + header.ulBytesLeft == header.ulTotalLen;
  rc = first ? Begin(rid, header, data, &rec) : Append(rid, header, data, &rec);
  if (rc != 0 || rec->ulBytesLeft != 0) return rc;
  return HandOn(rec, pSystem);
}

}  // namespace
}  // namespace zel::dataqueue

using namespace zel::dataqueue;
namespace trace = zel::trace;

void cdHandleRZ700Request(DQReadItem* pItem, RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CD", "cdHandleRZ700Request");
  std::string rid(&pItem->achKey[1], ZEL_RID_LEN);
  uint16_t rc = TakeEntry(rid, pItem, pSystem);
  if (rc != 0) cdReturnError(rid.c_str(), rc);
}

uint16_t cdGetDKTReasonCode(const char* pszMsg, RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CD", "cdGetDKTReasonCode");
  size_t length = strlen(pszMsg);
  char* reason = pSystem->szReasonCode;
  if (length < 4) {
    ZEL_ERROR_POINT("MSG_TOO_SMALL");
    trace::Size("CD", -100, "msg string too short must be >=4", static_cast<uint32_t>(length));
    memset(reason, 0, 4);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  if (strncmp(pszMsg, "KVX", 3) == 0) {
    size_t kept = std::min<size_t>(length, 7);
    memcpy(reason, pszMsg, kept);
    reason[kept] = '\0';
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  memcpy(reason, pszMsg, 4);
  reason[4] = '\0';
  uint32_t number = 0;
  for (int i = 0; i < 4; ++i) {
    char c = pszMsg[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) {
      trace::Msg("CD", -100, "invalid hex character");
      ZEL_ERROR_POINT("INVALID_CHARACTER");
      trace::Rc("CD", -100, "Invalid msg code character array index #", i);
      trace::String("CD", -100, "Msg String = ", pszMsg);
      memset(reason, 0, 4);
      return VQZM_RC_DATA_QUEUE_ERROR;
    }
    number = number * 16 + static_cast<uint32_t>(digit);
  }
  switch (number) {
    case 0x5067:
    case 0x6876:
      return VQZM_RC_CONNECTION_FAILED;
    case 0x5071:
    case 0x6849:
      return VQZM_RC_HOST_MESSAGE;
    case 0x6847:
      return VQZM_RC_TIMED_OUT;
    default:
      return VQZM_RC_DATA_QUEUE_ERROR;
  }
}
