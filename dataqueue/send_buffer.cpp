// Sending a request or a return: one buffer split into data-queue entries
// of at most ulDQMaxRecLen bytes, each a header and a block of the data.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/heap_buffer.h"
#include "base/trace.h"
#include "convert/convert.h"
#include "ctrlblk/ctrlblk.h"
#include "dataqueue/dataqueue.h"
#include "vqzmrc.h"
#include "wire/protocol.h"

ZEL_MODULE("vqzmcd0")

namespace zel::dataqueue {
namespace {

constexpr uint32_t kProgramLength = sizeof wire::RequestEntryHeader::program;

// The host's own numbers for the failures of a request it started; any
// other code goes to the host as it is.
struct HostFailure {
  uint16_t rc;
  uint32_t value;
};
constexpr HostFailure kHostFailures[] = {
    {VQZM_RC_NO_MEMORY, 0x0008},
    {VQZM_RC_INTERNAL_ERROR, 0x8404},
    {VQZM_RC_MANAGER_HANDOVER_FAILED, 0x8403},
    {VQZM_RC_PASSED_ON_1066, 0x8412},
};

uint16_t ToEbcdic(void* target, const void* text, uint32_t length) {
  uint32_t room = length;
  return cbAscToEbcCharArray(target, text, &room, length);
}

// The data as it goes to the host: the caller's own, or its packets
// converted to the host's form in a buffer of this call.
struct Outgoing {
  const uint8_t* data = nullptr;
  uint32_t length = 0;
  HeapBuffer converted;
};

uint16_t TakeData(void* pData, uint32_t ulDataLen, uint32_t ulDataVersion, Outgoing* out) {
  out->data = static_cast<const uint8_t*>(pData);
  out->length = ulDataLen;
  if (ulDataVersion != 1 || ulDataLen == 0) return 0;
  void* converted = nullptr;
  uint16_t rc = csConvertToRZ700DataBuf(&converted, &out->length, pData, ulDataLen);
  out->converted.reset(static_cast<uint8_t*>(converted));
  if (rc != 0 && ZEL_ERROR_POINT("CONVERSION_ERROR")) {
    trace::Rc("CD", -100, "Error csConvertDataBuf() rc:", rc);
    return rc;
  }
  out->data = out->converted.get();
  return 0;
}

// One zeroed entry buffer of ulDQMaxRecLen bytes, reused for every entry.
// A length with no room for data past the header would never end a send.
HeapBuffer EntryBuffer(const RZ700SysStruct* pSystem) {
  uint32_t size = pSystem->ulDQMaxRecLen;
  HeapBuffer entry(size > kHeaderLength ? static_cast<uint8_t*>(calloc(1, size)) : nullptr);
  if (entry == nullptr && ZEL_ERROR_POINT("MALLOC_ERROR")) {
    trace::Size("CD", -100, "Error malloc() size=", size);
  }
  return entry;
}

// Writes the buffer as entries: each `header`, with its block length and
// the bytes left, and a block of the data. An empty buffer is one entry of
// the header alone. When `further_key` is set, every entry after the first
// carries it as its first key character.
template <class Header>
uint16_t SendEntries(RZ700SysStruct* pSystem, uint8_t* entry, Header header, const Outgoing& out,
                     DQSendItem* item, char further_key) {
  const uint32_t room = pSystem->ulDQMaxRecLen - kHeaderLength;
  uint32_t sent = 0;
  do {
    uint32_t block = std::min(out.length - sent, room);
    if (block != 0) memcpy(entry + kHeaderLength, out.data + sent, block);
    sent += block;
    header.block_length.set(block);
    header.bytes_left.set(out.length - sent);
    memcpy(entry, &header, sizeof header);
    item->pEntry = entry;
    item->ulLength = block + kHeaderLength;
    uint16_t rc = cdSendDQItem(pSystem, item);
    if (rc != 0 && ZEL_ERROR_POINT("DQ_SEND_ERROR")) {
      trace::Rc("CD", -100, "Error cdSendDQItem", rc);
      return rc;
    }
    if (further_key == '\0') continue;
    rc = ToEbcdic(item->achKey, &further_key, 1);
    if (rc != 0 && ZEL_ERROR_POINT("ASC_CONV_ERROR4")) {
      trace::Rc("CD", -100, "Error cbAscToEbcCharArray() rc = ", rc);
      return rc;
    }
  } while (sent < out.length);
  return 0;
}

// The key of every entry: the descriptor's 12 characters and a NUL, in
// EBCDIC.
uint16_t EntryKey(const char* achKey, DQSendItem* item) {
  char key[kKeyLength + 1] = {};
  memcpy(key, achKey, kKeyLength);
  return ToEbcdic(item->achKey, key, sizeof key);
}

}  // namespace

}  // namespace zel::dataqueue

using namespace zel::dataqueue;
namespace trace = zel::trace;

uint16_t cdSendReqBuffer(RZ700SysStruct* pSystem, ReqBufferDesc* pDesc) {
  ZEL_TRACE_FUNCTION("CD", "cdSendReqBuffer");
  uint32_t within = 0;
  uint16_t rc = zel::ctrlblk::cbCheckWithinCPMgr(&within);
  if (rc != 0 && ZEL_ERROR_POINT("ERR_CHECK_CPMGR")) {
    trace::Rc("CD", -100, "cbCheckWithinCPMgr() rc=", rc);
    return rc;
  }
  if (within == 0) return cdCPMgrSendReqBuffer(pSystem, pDesc);
  return QueueRequest(zel::ctrlblk::DQ_REQ_SEND_REQUEST, pSystem, pDesc, {"CD", kZelModule});
}

uint16_t cdSendRetBuffer(RZ700SysStruct* pSystem, RetBufferDesc* pDesc, uint16_t usRetKind) {
  ZEL_TRACE_FUNCTION("CD", "cdSendRetBuffer");
  uint32_t within = 0;
  uint16_t rc = zel::ctrlblk::cbCheckWithinCPMgr(&within);
  if (rc != 0 && ZEL_ERROR_POINT("ERR_CHECK_CPMGR")) {
    trace::Rc("CD", -100, "cbCheckWithinCPMgr() rc=", rc);
    return rc;
  }
  if (within == 0) return cdCPMgrSendRetBuffer(pSystem, pDesc, usRetKind);
  return QueueRequest(zel::ctrlblk::DQ_REQ_SEND_RETURN, pSystem, pDesc, {"CD", kZelModule},
                      usRetKind);
}

uint16_t cdCPMgrSendReqBuffer(RZ700SysStruct* pSystem, ReqBufferDesc* pDesc) {
  ZEL_TRACE_FUNCTION("CD", "cdCPMgrSendReqBuffer");
  Outgoing out;
  if (uint16_t rc = TakeData(pDesc->pData, pDesc->ulDataLen, pDesc->ulDataVersion, &out); rc != 0) {
    return rc;
  }
  trace::Size("CD", 100, "Send request length", out.length);
  zel::HeapBuffer entry = EntryBuffer(pSystem);
  if (entry == nullptr) return VQZM_RC_NO_MEMORY;
  zel::wire::RequestEntryHeader header{};
  uint16_t rc = ToEbcdic(header.msg_id, kRequestMsgId, kMsgIdLength);
  if (rc != 0 && ZEL_ERROR_POINT("ASC_CONV_ERROR1")) {
    trace::Rc("CD", -100, "Error cbAscToEbcCharArray() rc = ", rc);
    return rc;
  }
  uint32_t program_length = static_cast<uint32_t>(strnlen(pDesc->achProgram, kProgramLength));
  rc = ToEbcdic(header.program, pDesc->achProgram, program_length);
  if (rc != 0 && ZEL_ERROR_POINT("ASC_CONV_ERROR2")) {
    trace::Rc("CD", -100, "Error cbAscToEbcCharArray() rc = ", rc);
    return rc;
  }
  header.value.set(pDesc->ulValue);
  header.data_version.set(pDesc->ulDataVersion);
  header.total_length.set(out.length);
  trace::Key("CD", 100, "DQ Key = ", pDesc->achKey, kKeyLength);
  trace::Size("CD", 100, "DQ Key length = ", kKeyLength);
  DQSendItem item{};
  rc = EntryKey(pDesc->achKey, &item);
  if (rc != 0 && ZEL_ERROR_POINT("ASC_CONV_ERROR3")) {
    trace::Rc("CD", -100, "Error cbAscToEbcCharArray() rc = ", rc);
    return rc;
  }
  return SendEntries(pSystem, entry.get(), header, out, &item, 'B');
}

uint16_t cdCPMgrSendRetBuffer(RZ700SysStruct* pSystem, RetBufferDesc* pDesc, uint16_t usRetKind) {
  ZEL_TRACE_FUNCTION("CD", "cdSendRetBuffer");
  Outgoing out;
  if (uint16_t rc = TakeData(pDesc->pData, pDesc->ulDataLen, pDesc->ulDataVersion, &out); rc != 0) {
    return rc;
  }
  zel::HeapBuffer entry = EntryBuffer(pSystem);
  if (entry == nullptr) return VQZM_RC_NO_MEMORY;
  zel::wire::ReturnEntryHeader header{};
  // Any other kind leaves the message ID zero, for the host to refuse.
  const char* msg_id = usRetKind == 0   ? kDataReturnMsgId
                       : usRetKind == 1 ? kCodeReturnMsgId
                                        : nullptr;
  uint16_t rc = msg_id == nullptr ? 0 : ToEbcdic(header.msg_id, msg_id, kMsgIdLength);
  if (rc != 0 && ZEL_ERROR_POINT("ASC_CONV_ERROR1")) {
    trace::Rc("CD", -100, "cbAscToEbcCharArray() ERROR rc = ", rc);
    return rc;
  }
  header.value.set(pDesc->ulValue);
  header.data_version.set(pDesc->ulDataVersion);
  header.total_length.set(out.length);
  DQSendItem item{};
  rc = EntryKey(pDesc->achKey, &item);
  if (rc != 0 && ZEL_ERROR_POINT("ASC_CONV_ERROR2")) {
    trace::Rc("CD", -100, "cbAscToEbcCharArray() ERROR rc = ", rc);
    return rc;
  }
  return SendEntries(pSystem, entry.get(), header, out, &item, '\0');
}

uint16_t cdReturnError(const char* pRID, uint16_t usRC) {
  ZEL_TRACE_FUNCTION("CD", "cdReturnError");
  RZ700SysStruct* system = nullptr;
  if (cbFindRZ700SysByRID(pRID, &system) != 0 && ZEL_ERROR_POINT("EXT_SYS_NOT_FOUND")) {
    trace::Msg("CD", -100, "cbFindRZ700SysByRID() error");
    return VQZM_RC_NO_SYSTEM_FOR_RID;
  }
  uint32_t value = usRC;
  for (const HostFailure& failure : kHostFailures) {
    if (failure.rc == usRC) value = failure.value;
  }
  RetBufferDesc desc{};
  zel::ctrlblk::cbCreatePRID('X', pRID, desc.achKey);
  desc.ulValue = value;
  uint16_t rc = cdSendRetBuffer(system, &desc, 1);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_SEND_ERROR_BUFFER")) {
    trace::Rc("CD", -100, "cdSendRetBuffer() error", rc);
  }
  return rc;
}
