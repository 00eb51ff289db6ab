// Retrieving a reply: its entries read one after the other under one key,
// each checked against the block sequence, the data put together and
// placed for the caller in a global block.
#include <cstring>

#include "base/heap_buffer.h"
#include "base/trace.h"
#include "convert/convert.h"
#include "ctrlblk/ctrlblk.h"
#include "dataqueue/dataqueue.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcd0")

namespace zel::dataqueue {
namespace {

// The wait for each further entry of a reply, in seconds.
constexpr int32_t kNextBlockWait = 30;

// Converts the item's key, 12 ASCII characters, to EBCDIC in place.
uint16_t KeyToEbcdic(DQReadItem* item) {
  char key[kKeyLength + 1] = {};
  memcpy(key, item->achKey, kKeyLength);
  uint32_t room = sizeof item->achKey;
  return cbAscToEbcCharArray(item->achKey, key, &room, sizeof key);
}

DQRetHeader HeaderOf(const void* entry) {
  DQRetHeader header;
  memcpy(&header, entry, sizeof header);
  return header;
}

// True when the entry's block starts `bytes_left` bytes of data: the block
// and the bytes left after it add up, and the block lies inside the entry
// read (the sums are taken wide, so that no pair of lengths wraps round).
bool ContinuesWith(const DQRetHeader& header, const DQReadItem& item, uint32_t bytes_left) {
  uint64_t announced = uint64_t{header.ulBlockLen} + header.ulBytesLeft;
  return announced == bytes_left && item.ulLength >= kHeaderLength &&
         header.ulBlockLen <= item.ulLength - kHeaderLength;
}

// Reads the next entry of a reply of `total` bytes, of which `bytes_left`
// are still to come, and checks it: 0, or the code that ends the
// retrieval.
uint16_t ReadNextBlock(RZ700SysStruct* pSystem, DQReadItem* item, uint32_t total,
                       uint32_t bytes_left) {
  uint16_t rc = KeyToEbcdic(item);
  if (rc != 0 && ZEL_ERROR_POINT("ASC_CONV_ERROR2")) {
    trace::Rc("CD", -100, "Error Asc to Ebc() rc = ", rc);
    return VQZM_RC_CONVERSION_FAILED;
  }
  item->ulLength = pSystem->ulDQMaxRecLen;
  rc = cdReadDataQueue(pSystem, item, kNextBlockWait);
  // The block never came: the buffer still holds the entry before it.
  if (rc == VQZM_RC_TIMED_OUT && ZEL_ERROR_POINT("PROC_HEADER_ERROR2")) {
    trace::Rc("CD", -100, "Error cdProcRcvHeader() rc = ", VQZM_RC_INTERNAL_ERROR);
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (rc != 0 && ZEL_ERROR_POINT("DQ_READ_ERROR2")) {
    trace::Rc("CD", -100, "Error cdReadDataQueue() rc = ", rc);
    return rc;
  }
  rc = cdProcRcvHeader(kDataReturnMsgId, item->pBuffer);
  if (rc != 0 && ZEL_ERROR_POINT("PROC_HEADER_ERROR2")) {
    trace::Rc("CD", -100, "Error cdProcRcvHeader() rc = ", rc);
    return rc;
  }
  DQRetHeader header = HeaderOf(item->pBuffer);
  if (header.ulTotalLen != total && ZEL_ERROR_POINT("TOTAL_DATA_ERROR")) {
    trace::Msg("CD", -100, "Total data sent with block doesn't match previous");
    trace::Size("CD", -100, " total specified in first block", total);
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (!ContinuesWith(header, *item, bytes_left) && ZEL_ERROR_POINT("LOST_BLOCK_ERROR2")) {
    trace::Msg("CD", -100, "Rcv'd data block out of order");
    return VQZM_RC_INTERNAL_ERROR;
  }
  return 0;
}

// Puts a reply of several entries together, the first already in `item`,
// and hands it to the descriptor as a global block.
uint16_t Reassemble(RZ700SysStruct* pSystem, DQReadItem* item, const DQRetHeader& first,
                    RtvDataDesc* pDesc) {
  const uint32_t total = first.ulTotalLen;
  HeapBuffer data(static_cast<uint8_t*>(malloc(total)));
  if (data == nullptr && ZEL_ERROR_POINT("MALLOC_PBUFFER_ERROR")) {
    trace::Size("CD", -100, "Error malloc() size = ", total);
    return VQZM_RC_NO_MEMORY;
  }
  const auto* entry = static_cast<const uint8_t*>(item->pBuffer);
  memcpy(data.get(), entry + kHeaderLength, first.ulBlockLen);
  uint32_t offset = first.ulBlockLen;
  uint32_t bytes_left = first.ulBytesLeft;
  while (bytes_left != 0) {
    if (uint16_t rc = ReadNextBlock(pSystem, item, total, bytes_left); rc != 0) return rc;
    DQRetHeader header = HeaderOf(entry);
    memcpy(data.get() + offset, entry + kHeaderLength, header.ulBlockLen);
    offset += header.ulBlockLen;
    bytes_left = header.ulBytesLeft;
  }
  // The descriptor's fields are unaligned: the length goes through a copy.
  uint32_t length = total;
  pDesc->pData = data.release();
  uint16_t rc = cdConvRcvdDataBuffer(1, pDesc->ulDataVersion, &length, pDesc);
  pDesc->ulDataLen = rc == 0 ? length : 0;
  if (rc != 0 && ZEL_ERROR_POINT("RCV_CONV_ERROR")) {
    trace::Rc("CD", -100, "Error cdConvRcvdDataBuffer() rc = ", rc);
  }
  return rc;
}

}  // namespace
}  // namespace zel::dataqueue

using namespace zel::dataqueue;
namespace trace = zel::trace;

uint16_t cdCPMgrRtvData(RZ700SysStruct* pSystem, RtvDataDesc* pDesc) {
  ZEL_TRACE_FUNCTION("CD", "cdCPMgrRtvData");
  DQReadItem item{};
  memcpy(item.achKey, pDesc->achKey, kKeyLength);
  uint16_t rc = KeyToEbcdic(&item);
  if (rc != 0 && ZEL_ERROR_POINT("ASC_CONV_ERROR1")) {
    trace::Rc("CD", -100, "Error Asc to Ebc() rc = ", rc);
    return VQZM_RC_CONVERSION_FAILED;
  }
  zel::HeapBuffer entry(static_cast<uint8_t*>(malloc(pSystem->ulDQMaxRecLen)));
  if (entry == nullptr && ZEL_ERROR_POINT("MALLOC_DQ_ERROR")) {
    trace::Size("CD", -100, "Error malloc() size = ", pSystem->ulDQMaxRecLen);
    return VQZM_RC_NO_MEMORY;
  }
  item.pBuffer = entry.get();
  item.ulLength = pSystem->ulDQMaxRecLen;
  item.usSearchOrder = kSearchEqual;
  rc = cdReadDataQueue(pSystem, &item, static_cast<int32_t>(pDesc->ulTimeout));
  if (rc != 0 && ZEL_ERROR_POINT("DQ_READ_ERROR1")) {
    trace::Rc("CD", -100, "Error cdReadDataQueue() rc = ", rc);
    return rc;
  }
  rc = cdProcRcvHeader(kDataReturnMsgId, entry.get());
  if (rc != 0 && ZEL_ERROR_POINT("PROC_HEADER_ERROR1")) {
    trace::Rc("CD", -100, "Error cdProcRcvHeader() rc = ", rc);
    return rc;
  }
  DQRetHeader header = HeaderOf(entry.get());
  if (!ContinuesWith(header, item, header.ulTotalLen) && ZEL_ERROR_POINT("LOST_BLOCK_ERROR1")) {
    trace::Msg("CD", -100, "Rcv'd data block out of order");
    trace::Msg("CD", -100, "Missing first block");
    return VQZM_RC_INTERNAL_ERROR;
  }
  if (memcmp(header.achMsgId, kCodeReturnMsgId, kMsgIdLength) == 0) {
    uint16_t code = static_cast<uint16_t>(header.ulValue);
    if (code == 0) {
      pDesc->pData = nullptr;
      pDesc->ulDataLen = 0;
      pDesc->ulValue = 0;
      pDesc->ulDataVersion = 0;
    }
    return code;
  }
  pDesc->ulDataVersion = header.ulDataVersion;
  pDesc->ulValue = header.ulValue;
  if (header.ulTotalLen == 0) {
    pDesc->pData = nullptr;
    pDesc->ulDataLen = 0;
    return 0;
  }
  return Reassemble(pSystem, &item, header, pDesc);
}

uint16_t cdRtvData(RZ700SysStruct* pSystem, RtvDataDesc* pDesc) {
  ZEL_TRACE_FUNCTION("CD", "cdRtvData");
  uint32_t within = 0;
  uint16_t rc = zel::ctrlblk::cbCheckWithinCPMgr(&within);
  if (rc != 0 && ZEL_ERROR_POINT("ERR_CHECK_CPMGR")) {
    trace::Rc("CD", -100, "cbCheckWithinCPMgr() rc=", rc);
    return rc;
  }
  if (within == 0) return cdCPMgrRtvData(pSystem, pDesc);
  rc = QueueRequest(zel::ctrlblk::DQ_REQ_RTV_DATA, pSystem, pDesc, {"CD", kZelModule});
  if (rc != 0 && ZEL_ERROR_POINT("EXT_RTV_DATA_ERROR")) {
    trace::Rc("CD", -100, "rc returned from CPM RtvData Thread =", rc);
  }
  return rc;
}
