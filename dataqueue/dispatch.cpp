// The manager's reader of a system's data queue: the entries the host
// writes for the manager, dispatched by the second character of their key.
#include <cstring>

#include "base/trace.h"
#include "convert/convert.h"
#include "dataqueue/dataqueue.h"
#include "hostlink/hostlink.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcd0")

namespace zel::dataqueue {
namespace {

// Tells the CPMgr window that the manager's read failed. A lost connection
// is left in ulDQErrPending instead: the comm thread reports it once its
// teardown is over.
void ReportReadFailure(RZ700SysStruct* pSystem, uint16_t rc) {
  if (rc == VQZM_RC_CONNECTION_FAILED) {
    pSystem->ulDQErrPending = 1;
    return;
  }
  uint32_t second =
      rc == VQZM_RC_HOST_MESSAGE ? ZEL_MSGNUM_NO_DEFAULT_SYSTEM : ZEL_MSGNUM_CPMGR_ENDED;
  PostManagerNotice(
      CPMgrNotice{ZEL_MSGNUM_DQ_READ_FAILED, second, nullptr, nullptr, ZEL_NOTICE_COUNT, pSystem},
      0);
}

}  // namespace
}  // namespace zel::dataqueue

using namespace zel::dataqueue;
namespace trace = zel::trace;

uint16_t cdProcDataQueue(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CD", "cdProcDataQueue");
  char manager_key[kKeyLength + 1];
  memset(manager_key, ' ', kKeyLength);
  manager_key[0] = 'Z';
  manager_key[kKeyLength] = '\0';
  DQReadItem item{};
  uint32_t key_length = sizeof item.achKey;
  uint16_t rc = cbAscToEbcCharArray(item.achKey, manager_key, &key_length, sizeof manager_key);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_ASC_CONV")) {
    trace::Rc("CD", -100, "cbAscToEbcCharArray() error rc=", rc);
    return rc;
  }
  item.pBuffer = pSystem->pDQBuf;
  item.ulLength = pSystem->ulDQMaxRecLen;
  item.usSearchOrder = kSearchGreaterEqual;
  rc = cdReadDataQueue(pSystem, &item, kWaitForever);
  if (rc != 0 && ZEL_ERROR_POINT("DQ_READ_ERROR")) {
    trace::Rc("CD", -100, "Error cdCommReadDataQueue() rc=", rc);
    ReportReadFailure(pSystem, rc);
    return rc;
  }
  rc = cdProcDQBuffer(pSystem, &item);
  if (rc != 0 && ZEL_ERROR_POINT("DQ_PROC_ERROR")) {
    trace::Rc("CD", -100, "Error cdProcDQBuffer() rc=", rc);
  }
  return rc;
}

uint16_t cdProcDQBuffer(RZ700SysStruct* pSystem, DQReadItem* pItem) {
  ZEL_TRACE_FUNCTION("CD", "cdProcDQBuffer");
  trace::Key("CD", 100, "PRID read from queue (key)", pItem->achKey, kKeyLength);
  switch (pItem->achKey[1]) {
    case 'A':
      trace::Msg("CD", 100, "Async type received");
      cdHandleAsyncReturn(pItem);
      break;
    case 'R':
      trace::Msg("CD", 100, "Req type received");
      cdHandleRZ700Request(pItem, pSystem);
      break;
    case 'Z':
      trace::Msg("CD", 100, "termination type received");
      zel::hostlink::ccSetCommState(pSystem, ZEL_COMM_TERM_REQUESTED);
      break;
    default:
      trace::Msg("CD", -50, "Garbage PRID Type received");
      trace::Bytes("CD", -50, &pItem->achKey[1], 1);
  }
  return 0;
}
