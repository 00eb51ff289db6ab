// One keyed read from a system's host data queue, and the check and
// conversion of an entry header.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "convert/convert.h"
#include "dataqueue/dataqueue.h"
#include "services/dataqueue.h"
#include "services/qlx_calls.h"
#include "base/trace.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcd0")

namespace zel::dataqueue {
namespace {

using namespace std::chrono_literals;
using services::Qlx;

constexpr auto kPollInterval = 200ms;

// A read with a time limit is ended by the host (6017). A host that stops
// answering altogether must not hold the reader past its own wait: it gives
// up this much later, as the data-queue service does with any call.
constexpr auto kHostGrace = 30s;

// The data object and queue of one read, released on every way out.
struct ReadObjects {
  uint32_t data = 0;
  uint32_t queue = 0;

  ~ReadObjects() {
    if (queue != 0) Qlx().qlxDQ_Close(queue);
    if (data != 0) Qlx().qlxDQ_DeleteData(data);
  }
};

void TraceReadRequest(const RZ700SysStruct* pSystem, const DQReadItem* pItem, int32_t lWait) {
  if (!trace::Active()) return;
  char key[kKeyLength + 1] = {};
  uint32_t length = sizeof key;
  cbEbcToAscCharArray(key, pItem->achKey, &length, kKeyLength);
  trace::String("CD", 100, "key to be read(Temp)", key);
  trace::String("CD", 100, "System:", pSystem->szSysName);
  trace::String("CD", 100, "Queue Name:", pSystem->szQualDQName);
  trace::Limit("CD", 100, "Time out value:", static_cast<uint32_t>(lWait));
  trace::Rc("CD", 100, "Search Order", pItem->usSearchOrder);
  char address[32];
  snprintf(address, sizeof address, "%p", pItem->pBuffer);
  trace::String("CD", 100, "Data Address: ", address);
}

// Sets up the data object of the read; 0 or 1034.
uint16_t PrepareData(ReadObjects& objects, DQReadItem* pItem) {
  if (uint16_t prepared =
          PrepareDataObject(&objects.data, pItem->pBuffer, pItem->ulLength, pItem->achKey);
      prepared != 0) {
    return prepared;
  }
  uint32_t rc = Qlx().qlxDQ_SetSearchOrder(objects.data, pItem->usSearchOrder);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SET_SEARCH_ORDER")) {
    trace::Rc("CD", -100, "qlxDQ_SetSearchOrder() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  return 0;
}

// Polls a started read until it is over: the service's result, or
// QLXDQ_RC_IN_PROGRESS when the host connection went away meanwhile (or a
// host with a time limit never answered). A check that itself waited for
// the entry a whole interval is followed at once by the next, so an entry
// arriving between two checks is taken without waiting for a tick.
uint32_t AwaitRead(uint32_t read, uint32_t error_handle, uint32_t host, int32_t lWait) {
  using Clock = std::chrono::steady_clock;
  auto give_up = Clock::now() + std::chrono::seconds(lWait) + kHostGrace;
  for (;;) {
    auto next_check = Clock::now() + kPollInterval;
    uint32_t result = Qlx().qlxDQ_CheckData(read, error_handle);
    if (result != QLXDQ_RC_IN_PROGRESS) return result;
    if (!HostLinkUp(host)) return result;
    if (lWait != kWaitForever && Clock::now() > give_up) return QLXDQ_RC_TIMEOUT;
    std::this_thread::sleep_until(next_check);
  }
}

// Takes the key and length of the entry read into the item.
uint16_t TakeResult(uint32_t data, DQReadItem* pItem) {
  char key[kKeyLength + 1] = {};
  uint32_t rc = Qlx().qlxDQ_GetRetKey(data, key);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_GET_RET_KEY")) {
    trace::Rc("CD", -100, "qlxDQ_GetRetKey() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  trace::Size("CD", 100, "Return Key Length", kKeyLength);
  key[kKeyLength] = '\0';
  char ascii[kKeyLength + 1];
  uint32_t length = sizeof ascii;
  uint16_t converted = cbEbcToAscCharArray(ascii, key, &length, sizeof key);
  if (converted != 0 && ZEL_ERROR_POINT("EXT_EBC_CONV")) {
    trace::Rc("CD", -100, "cbEbcToAscCharArray() rc=", converted);
    return VQZM_RC_CONVERSION_FAILED;
  }
  uint32_t data_length = 0;
  rc = Qlx().qlxDQ_GetDataLen(data, &data_length);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_GET_DATA_LEN")) {
    trace::Rc("CD", -100, "qlxDQ_GetDataLen() rc=", rc);
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  memcpy(pItem->achKey, ascii, sizeof ascii);
  trace::String("CK", 100, "Key read : ", pItem->achKey);
  pItem->ulLength = data_length;
  trace::Size("CD", 100, "Data Length", data_length);
  return 0;
}

// Converts the five header numbers at `offset` to the PC's byte order.
void NumbersToHost(uint8_t* entry, size_t offset) {
  for (size_t i = 0; i < 5; ++i) {
    uint8_t* number = entry + offset + 4 * i;
    uint32_t value = (uint32_t{number[0]} << 24) | (uint32_t{number[1]} << 16) |
                     (uint32_t{number[2]} << 8) | number[3];
    memcpy(number, &value, sizeof value);
  }
}

uint16_t ToAscii(uint8_t* text, uint32_t length) {
  uint32_t room = length;
  return cbEbcToAscCharArray(text, text, &room, length);
}

}  // namespace
}  // namespace zel::dataqueue

using namespace zel::dataqueue;
namespace trace = zel::trace;

uint16_t cdReadDataQueue(RZ700SysStruct* pSystem, DQReadItem* pItem, int32_t lWait) {
  ZEL_TRACE_FUNCTION("CD", "cdReadDataQueue");
  using zel::services::Qlx;
  pItem->achKey[kKeyLength] = '\0';
  TraceReadRequest(pSystem, pItem, lWait);
  ReadObjects objects;
  if (uint16_t rc = PrepareData(objects, pItem); rc != 0) return rc;
  zel::services::ErrHandle error;
  if (error.create_rc() != 0 && ZEL_ERROR_POINT("EXT_CREATE_ERROR_HANDLE")) {
    trace::Rc("CD", -100, "qlxSV_CreateErrHandle() rc=", error.create_rc());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  trace::String("CK", 100, "System: ", pSystem->szSysName);
  trace::String("CK", 100, "Library: ", pSystem->szDQLib);
  trace::String("CK", 100, "Queue: ", pSystem->szDQName);

  uint32_t host = 0;
  if (uint16_t rc = HostSystemHandle(pSystem, error.get(), &host); rc != 0) return rc;
  uint32_t rc =
      Qlx().qlxDQ_OpenEx(host, pSystem->szDQName, pSystem->szDQLib, &objects.queue, error.get());
  if (rc != 0 && ZEL_ERROR_POINT("EXT_ASYNC_OPEN")) {
    trace::Rc("CD", -100, "qlxDQ_OpenEx() rc=", rc);
    trace::String("CD", -100, "KPR/700 DQ Error Msg", error.Text().c_str());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  trace::Msg("PT", 100, "Prior to qlxDQ_AsyncRead()");
  uint32_t read = 0;
  rc = Qlx().qlxDQ_AsyncRead(objects.queue, objects.data, lWait, &read, error.get());
  trace::Rc("PT", 100, "After to qlxDQ_AsyncRead() rc=", rc);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_ASYNC_READ")) {
    trace::Rc("CD", -100, "qlxDQ_AsyncRead() rc=", rc);
    trace::String("CD", -100, "KPR/700 DQ Error Msg", error.Text().c_str());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  uint32_t result = AwaitRead(read, error.get(), host, lWait);

  // Closing also cancels a read still waiting; an entry on its way back to
  // it returns to the queue.
  uint32_t queue = objects.queue;
  objects.queue = 0;
  rc = Qlx().qlxDQ_Close(queue);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_ASYNC_CLOSE")) {
    trace::Rc("CD", -100, "qlxDQClose() rc=", rc);
    trace::String("CD", -100, "Close Queue Error Msg", error.Text().c_str());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  if (result == QLXDQ_RC_IN_PROGRESS && ZEL_ERROR_POINT("EXT_CONNECTION_LOST")) {
    trace::String("CD", -100, "host connection lost during the read, system", pSystem->szSysName);
    return VQZM_RC_CONNECTION_FAILED;
  }
  if (result == QLXDQ_RC_TIMEOUT && ZEL_ERROR_POINT("EXT_TIME_OUT")) {
    trace::Rc("CD", -100, "qlxDQ_CheckData() rc=", result);
    return VQZM_RC_TIMED_OUT;
  }
  if (result != 0 && ZEL_ERROR_POINT("EXT_CHECK_DATA")) {
    trace::Rc("CD", -100, "qlxDQ_CheckData() rc=", result);
    trace::String("CD", -100, "Create Queue Error Msg", error.Text().c_str());
    return VQZM_RC_DATA_QUEUE_ERROR;
  }
  trace::Rc("CD", 100, "qlxSV_DeleteErrHandle() rc=", error.Release());
  return TakeResult(objects.data, pItem);
}

uint16_t cdProcRcvHeader(const char* pszMsgId, void* pEntry) {
  ZEL_TRACE_FUNCTION("CD", "cdProcRcvHeader");
  auto* entry = static_cast<uint8_t*>(pEntry);
  auto msg_id = [entry](const char* expected) {
    return memcmp(entry, expected, kMsgIdLength) == 0;
  };
  auto trace_unexpected = [entry] {
    char text[kMsgIdLength + 1] = {};
    memcpy(text, entry, kMsgIdLength);
    trace::String("CD", -100, "Error unexpected entry type: ", text);
  };
  if (strcmp(pszMsgId, kDataReturnMsgId) == 0) {
    uint16_t rc = ToAscii(entry, kMsgIdLength);
    if (rc != 0 && ZEL_ERROR_POINT("EBC_CONV_ERROR")) {
      trace::Rc("CD", -100, "Error cbEbcToAscCharArray() rc = ", rc);
      return rc;
    }
    if (!msg_id(kDataReturnMsgId) && !msg_id(kCodeReturnMsgId) &&
        ZEL_ERROR_POINT("ENTRY_TYPE_ERROR1")) {
      trace_unexpected();
      return VQZM_RC_INTERNAL_ERROR;
    }
    NumbersToHost(entry, offsetof(DQRetHeader, ulValue));
    return 0;
  }
  if (strcmp(pszMsgId, kRequestMsgId) == 0) {
    uint16_t rc = ToAscii(entry, kMsgIdLength);
    if (rc != 0 && ZEL_ERROR_POINT("EBC_CONV_ERROR3")) {
      trace::Rc("CD", -100, "Error cbEbcToAscCharArray() rc = ", rc);
      return rc;
    }
    if (!msg_id(kRequestMsgId) && ZEL_ERROR_POINT("ENTRY_TYPE_ERROR2")) {
      trace_unexpected();
      return VQZM_RC_INTERNAL_ERROR;
    }
    rc = ToAscii(entry + offsetof(DQReqHeader, achProgram), sizeof DQReqHeader::achProgram);
    if (rc != 0 && ZEL_ERROR_POINT("EBC_CONV_ERROR2")) {
      trace::Rc("CD", -100, "Error cbEbcToAscCharArray() rc = ", rc);
      return rc;
    }
    NumbersToHost(entry, offsetof(DQReqHeader, ulValue));
    return 0;
  }
  if (ZEL_ERROR_POINT("UNSUPPORTED_ENTRY_TYPE")) {
    trace::Dump("CD", -100, "Received unsupported entry type", entry, kMsgIdLength);
  }
  return VQZM_RC_INTERNAL_ERROR;
}
