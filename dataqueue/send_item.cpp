// One write to a system's host data queue.
#include "dataqueue/dataqueue.h"
#include "services/dataqueue.h"
#include "services/errhandle.h"
#include "services/trace.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcd0")

namespace {

// The objects of one write, released on every way out.
struct WriteObjects {
  uint32_t data = 0;
  uint32_t error_handle = 0;
  uint32_t queue = 0;

  ~WriteObjects() {
    if (error_handle != 0) {
      zel::trace::Rc("CD", 100, "qlxSV_DeleteErrHandle() rc=", qlxSV_DeleteErrHandle(error_handle));
    }
    if (data != 0) qlxDQ_DeleteData(data);
    if (queue != 0) zel::trace::Rc("CD", 100, "qlxDQ_Close rc=", qlxDQ_Close(queue));
  }
};

}  // namespace

uint16_t cdSendDQItem(RZ700SysStruct* pSystem, DQSendItem* pItem) {
  ZEL_TRACE_FUNCTION("CD", "cdSendDQItem");
  namespace trace = zel::trace;
  pItem->achKey[zel::dataqueue::kKeyLength] = '\0';
  trace::String("CD", 100, "qlxDQ_OpenEx to system =", pSystem->szSysName);
  WriteObjects objects;
  objects.data = qlxDQ_CreateData();
  if (objects.data == 0 && ZEL_ERROR_POINT("EXT_CREATE_DATA")) {
    trace::Rc("CD", -100, "qlxDQ_CreateData() rc=", 0);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  uint32_t rc = qlxDQ_SetDataAddr(objects.data, pItem->pEntry, pItem->ulLength);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SET_DATA_ADDR")) {
    trace::Rc("CD", -100, "qlxDQ_SetDataAddr() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  rc = qlxDQ_SetConvert(objects.data, 0);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SET_CONVERT")) {
    trace::Rc("CD", -100, "qlxDQ_SetConvert() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  rc = qlxDQ_SetKey(objects.data, pItem->achKey, zel::dataqueue::kKeyLength);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SET_KEY")) {
    trace::Rc("CD", -100, "qlxDQ_SetKey() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  rc = qlxSV_CreateErrHandle(&objects.error_handle);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_CREATE_ERROR_HANDLE")) {
    trace::Rc("CD", -100, "qlxSV_CreateErrHandle() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  rc = qlxDQ_OpenEx(pSystem->hSystem, pSystem->szDQName, pSystem->szDQLib, &objects.queue,
                    objects.error_handle);
  trace::Rc("CD", 100, "qlxDQ_OpenEx rc=", rc);
  if (rc == 0) {
    trace::Msg("PT", 100, "Prior to qlxDQ_Write() Send data");
    rc = qlxDQ_Write(objects.queue, objects.data, 1, objects.error_handle);
    trace::Rc("PT", 100, "After qlxDQ_Write() rc=", rc);
  }
  if (rc != 0 && ZEL_ERROR_POINT("EXT_WRITE_DATA")) {
    trace::Rc("CD", -100, "qlxDQ_Write() rc=", rc);
    char text[256];
    qlxSV_GetErrText(objects.error_handle, text, sizeof text);
    trace::String("CD", -100, "Error Msg", text);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  return 0;
}
