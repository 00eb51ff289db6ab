// One write to a system's host data queue.
#include "dataqueue/dataqueue.h"
#include "services/qlx_calls.h"
#include "base/trace.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcd0")

namespace {

using zel::services::Qlx;

// The data object and queue of one write, released on every way out.
struct WriteObjects {
  uint32_t data = 0;
  uint32_t queue = 0;

  ~WriteObjects() {
    if (data != 0) Qlx().qlxDQ_DeleteData(data);
    if (queue != 0) zel::trace::Rc("CD", 100, "qlxDQ_Close rc=", Qlx().qlxDQ_Close(queue));
  }
};

}  // namespace

uint16_t zel::dataqueue::PrepareDataObject(uint32_t* data, void* buffer, uint32_t length,
                                           const char* key) {
  *data = Qlx().qlxDQ_CreateData();
  if (*data == 0 && ZEL_ERROR_POINT("EXT_CREATE_DATA")) {
    trace::Rc("CD", -100, "qlxDQ_CreateData() rc=", 0);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  uint32_t rc = Qlx().qlxDQ_SetDataAddr(*data, buffer, length);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SET_DATA_ADDR")) {
    trace::Rc("CD", -100, "qlxDQ_SetDataAddr() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  rc = Qlx().qlxDQ_SetConvert(*data, 0);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SET_CONVERT")) {
    trace::Rc("CD", -100, "qlxDQ_SetConvert() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  rc = Qlx().qlxDQ_SetKey(*data, key, kKeyLength);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SET_KEY")) {
    trace::Rc("CD", -100, "qlxDQ_SetKey() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  return 0;
}

uint16_t cdSendDQItem(RZ700SysStruct* pSystem, DQSendItem* pItem) {
  ZEL_TRACE_FUNCTION("CD", "cdSendDQItem");
  namespace trace = zel::trace;
  pItem->achKey[zel::dataqueue::kKeyLength] = '\0';
  trace::String("CD", 100, "qlxDQ_OpenEx to system =", pSystem->szSysName);
  WriteObjects objects;
  if (uint16_t rc = zel::dataqueue::PrepareDataObject(&objects.data, pItem->pEntry, pItem->ulLength,
                                                      pItem->achKey);
      rc != 0) {
    return rc;
  }
  zel::services::ErrHandle error;
  if (error.create_rc() != 0 && ZEL_ERROR_POINT("EXT_CREATE_ERROR_HANDLE")) {
    trace::Rc("CD", -100, "qlxSV_CreateErrHandle() rc=", error.create_rc());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  uint32_t host = 0;
  if (uint16_t lost = zel::dataqueue::HostSystemHandle(pSystem, error.get(), &host); lost != 0) {
    return lost;
  }
  uint32_t rc =
      Qlx().qlxDQ_OpenEx(host, pSystem->szDQName, pSystem->szDQLib, &objects.queue, error.get());
  trace::Rc("CD", 100, "qlxDQ_OpenEx rc=", rc);
  if (rc == 0) {
    trace::Msg("PT", 100, "Prior to qlxDQ_Write() Send data");
    rc = Qlx().qlxDQ_Write(objects.queue, objects.data, 1, error.get());
    trace::Rc("PT", 100, "After qlxDQ_Write() rc=", rc);
  }
  if (rc != 0 && ZEL_ERROR_POINT("EXT_WRITE_DATA")) {
    trace::Rc("CD", -100, "qlxDQ_Write() rc=", rc);
    trace::String("CD", -100, "Error Msg", error.Text().c_str());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  trace::Rc("CD", 100, "qlxSV_DeleteErrHandle() rc=", error.Release());
  return 0;
}
