// Placing reassembled data for its consumer: global memory for the API and
// for application windows, the process heap for callers in this process.
#include <cstdlib>
#include <cstring>

#include "base/barrier.h"
#include "base/trace.h"
#include "convert/convert.h"
#include "ctrlblk/null_argument.h"
#include "dataqueue/dataqueue.h"
#include "platform/globalmem.h"
#include "services/platform_calls.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcd0")

using zel::services::Plat;

namespace {

namespace trace = zel::trace;
namespace platform = zel::platform;

// Shareable and zero-filled, as every block handed to another process is.
constexpr platform::UINT kSharedZeroed = platform::GMEM_SHARE | platform::GMEM_ZEROINIT;

// How a failed allocation is reported: error label and trace text.
struct AllocFailure {
  const char* label;
  const char* text;
};

constexpr char kGlobalFailed[] = "GlobalAllocPtr() error size to allocate = ";

// Where each purpose puts the data, and the reports of a failed allocation
// (raw data, packets) and of a failed conversion.
struct Placement {
  uint32_t prefix;  // bytes in front of the data
  bool global;      // global memory, else the process heap
  bool with_data;   // false: the block carries no data
  AllocFailure raw;
  AllocFailure packet;
  const char* conversion_label;
};

// Purposes 1 to 5: API reply, asynchronous return, a caller's own heap,
// a caller's block with 51 bytes in front, return-code return.
constexpr Placement kPlacements[] = {
    {.prefix = 0,
     .global = true,
     .with_data = true,
     .raw = {"EXT_ALLOC_MEM1", "GlobalAllocPtr() error size="},
     .packet = {"EXT_ALLOC_MEM2", kGlobalFailed},
     .conversion_label = "CONVERSION_ERROR1"},
    {.prefix = 27,
     .global = true,
     .with_data = true,
     .raw = {"EXT_ALLOC_SHR_MEM2", kGlobalFailed},
     .packet = {"EXT_ALLOC_SHR_MEM4", kGlobalFailed},
     .conversion_label = "CONVERSION_ERROR3"},
    {.prefix = 0,
     .global = false,
     .with_data = true,
     .raw = {},  // handed on as it is
     .packet = {"MALLOC_RET_BUF_ERROR", "hmalloc() error, size ="},
     .conversion_label = "CONVERSION_ERROR1"},
    {.prefix = 51,
     .global = true,
     .with_data = true,
     .raw = {"EXT_ALLOC_SHR_MEM1", kGlobalFailed},
     .packet = {"EXT_ALLOC_SHR_MEM3", kGlobalFailed},
     .conversion_label = "CONVERSION_ERROR2"},
    {.prefix = 27,
     .global = true,
     .with_data = false,
     .raw = {"EXT_ALLOC_SHR_MEM5", kGlobalFailed},
     .packet = {"EXT_ALLOC_SHR_MEM6", kGlobalFailed},
     .conversion_label = nullptr},
};

void* Allocate(const Placement& place, uint32_t data_length, bool packet) {
  // Widened before the sum: a length near 4 GiB must fail the allocation,
  // not wrap round to a small block that the copy then overruns.
  size_t size = size_t{place.prefix} + (place.with_data ? size_t{data_length} : 0);
  if (size == 0) size = 1;
  void* block = place.global ? Plat().GlobalAlloc(kSharedZeroed, size) : malloc(size);
  const AllocFailure& failure = packet ? place.packet : place.raw;
  if (block == nullptr && ZEL_ERROR_POINT(failure.label)) {
    trace::Size("CD", -100, failure.text, static_cast<uint32_t>(size));
  }
  return block;
}

void Release(const Placement& place, void* block) {
  if (place.global) {
    Plat().GlobalFree(block);
  } else {
    free(block);
  }
}

// Fills the new block from the reassembled data; the code of a failed
// packet conversion.
uint16_t Fill(const Placement& place, uint8_t* block, const void* data, uint32_t* pulLength,
              bool packet) {
  if (!place.with_data) return 0;
  if (!packet) {
    if (*pulLength != 0) memcpy(block + place.prefix, data, *pulLength);
    return 0;
  }
  uint32_t converted = *pulLength;
  uint16_t rc = csConvertToPWSDataBuf(block + place.prefix, &converted, data, *pulLength);
  if (rc != 0 && ZEL_ERROR_POINT(place.conversion_label)) {
    trace::Rc("CD", -100, "csConvertToPWSDataBuf() error", rc);
    return rc;
  }
  *pulLength = converted;
  return 0;
}

}  // namespace

extern "C" uint16_t cdConvRcvdDataBuffer(uint16_t usPurpose, uint32_t ulDataVersion,
                                         uint32_t* pulLength, void* pHolder) noexcept try {
  ZEL_TRACE_FUNCTION("CD", "cdConvRcvdDataBuffer");
  // Refused before the holder's buffer is taken: the caller still owns it.
  if (ZEL_NULL_ARGUMENT("CD", pulLength) || ZEL_NULL_ARGUMENT("CD", pHolder)) {
    return VQZM_RC_INTERNAL_ERROR;
  }
  void* data = nullptr;
  memcpy(&data, pHolder, sizeof data);
  void* placed = nullptr;
  uint16_t rc = 0;
  if (usPurpose < 1 || usPurpose > 5) {
    if (ZEL_ERROR_POINT("INVALID_PURPOSE")) trace::Rc("CD", -100, "Invalid purpose", usPurpose);
    rc = VQZM_RC_INTERNAL_ERROR;
  } else if (ulDataVersion > 1) {
    trace::Rc("CD", -100, "Unsupported Data Version rcv'd", ulDataVersion);
    ZEL_ERROR_POINT("INVALID_DATA_VERSION");
    rc = VQZM_RC_INTERNAL_ERROR;
  } else if (usPurpose == 3 && ulDataVersion == 0) {
    // The caller's own process takes the reassembled buffer as it is.
    return 0;
  } else {
    const Placement& place = kPlacements[usPurpose - 1];
    bool packet = ulDataVersion == 1;
    placed = Allocate(place, *pulLength, packet);
    if (placed == nullptr) {
      rc = VQZM_RC_NO_MEMORY;
    } else if (rc = Fill(place, static_cast<uint8_t*>(placed), data, pulLength, packet); rc != 0) {
      Release(place, placed);
      placed = nullptr;
    }
  }
  free(data);
  memcpy(pHolder, &placed, sizeof placed);
  return rc;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

bool zel::dataqueue::ContinuesAssembly(uint32_t total, uint32_t left, uint32_t entry_total,
                                       uint32_t block, uint32_t entry_left) {
  if (entry_total != total && ZEL_ERROR_POINT("TOTAL_DATA_ERROR")) {
    trace::Msg("CD", -100, "total data on subsequent block is not equal");
    trace::Msg("CD", -100, "original total data passed in first block");
    trace::Size("CD", -100, "original size", total);
    trace::Size("CD", -100, "this block total data", entry_total);
    return false;
  }
  if (uint64_t{block} + entry_left != left && ZEL_ERROR_POINT("LOST_BLOCK_ERROR2")) {
    trace::Msg("CD", -100, "Block of data was lost");
    return false;
  }
  if (block > left && ZEL_ERROR_POINT("BUFFER_TOO_SMALL")) {
    trace::Msg("CD", -100, "Block size will overflow buffer originally allocated");
    return false;
  }
  return true;
}

void* zel::dataqueue::AssemblyBuffer(uint32_t total) {
  return total > platform::kGlobalHeapSize ? nullptr : malloc(total);
}
