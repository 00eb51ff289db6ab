// Character arrays between the PC code page and the host's EBCDIC, and the
// PC form of the double-byte blank. The language service converts; these
// functions set it up for the default host system and report its failures.
#include <algorithm>
#include <atomic>

#include "base/barrier.h"
#include "base/trace.h"
#include "convert/convert.h"
#include "services/errhandle.h"
#include "services/language.h"
#include "services/qlx_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcb1")

using zel::services::Qlx;

namespace zel::convert {
namespace {

constexpr const char* kTag = "CB";
constexpr uint32_t kMaxDump = 250;

enum class Direction { kToHost, kToPc };

// The code pages the host-to-PC converter last used, kept for its traces;
// written by whichever thread converts.
std::atomic<uint32_t> g_pws_code_page{0};
std::atomic<uint32_t> g_host_code_page{0};

struct CodePages {
  uint32_t pc = 0;
  uint32_t host = 0;
};

// The PC code page and the code page of the default system's CCSID, asked
// again on every conversion so that a changed configuration takes effect.
uint32_t QueryCodePages(uint32_t error_handle, CodePages* pages) {
  uint32_t rc = Qlx().qlxNL_GetPcCodePage(&pages->pc, error_handle);
  if (rc != 0) return rc;
  uint32_t ccsid = 0;
  rc = Qlx().qlxNL_GetHostCcsid(nullptr, &ccsid, error_handle);
  if (rc != 0) return rc;
  return Qlx().qlxNL_GetCodePageOfCcsid(ccsid, &pages->host, error_handle);
}

struct ServiceOutcome {
  uint32_t rc = 0;
  uint32_t error_number = 0;
  uint32_t error_position = 0;
};

void TraceHostToPc(const CodePages& pages, const void* source, uint32_t source_length,
                   const void* target, uint32_t target_length, const ServiceOutcome& outcome) {
  g_pws_code_page.store(pages.pc, std::memory_order_relaxed);
  g_host_code_page.store(pages.host, std::memory_order_relaxed);
  trace::Result(kTag, 30, "PWS Code Page: ", pages.pc);
  trace::Result(kTag, 31, "Host Code Page: ", pages.host);
  trace::Dump(kTag, 32, "Source", source, std::min(source_length, kMaxDump));
  trace::Dump(kTag, 33, "Target", target, std::min(target_length, kMaxDump));
  trace::Size(kTag, 34, "Target Size", target_length);
  trace::Result(kTag, 35, "Error Number", outcome.error_number);
  trace::Result(kTag, 36, "Error Position", outcome.error_position);
}

// Explains a failed conversion from the error handle, then lets it go.
uint16_t ErrorExit(Direction direction, const ServiceOutcome& outcome, uint32_t error_handle) {
  trace::Rc(kTag, -100, "Error occurred during translation rc=", outcome.rc);
  trace::Value(kTag, -100, outcome.error_number);
  trace::Value(kTag, -100, outcome.error_position);
  char text[QLXSV_MAX_TEXT] = {};
  Qlx().qlxSV_GetErrText(error_handle, text, sizeof text);
  trace::String(kTag, -100,
                direction == Direction::kToHost ? "Convert AsctoEbc Error Msg" : "QLX Error Msg",
                text);
  Qlx().qlxSV_DeleteErrHandle(error_handle);
  return VQZM_RC_CONVERSION_FAILED;
}

uint16_t ConvertCharArray(Direction direction, void* target, const void* source,
                          uint32_t* target_length, uint32_t source_length) {
  ZEL_TRACE_FUNCTION(
      kTag, direction == Direction::kToHost ? "cbAscToEbcCharArray" : "cbEbcToAscCharArray");
  if ((target_length == nullptr || (source == nullptr && source_length > 0) ||
       (target == nullptr && *target_length > 0)) &&
      ZEL_ERROR_POINT("EXT_NULL_PARAMETER")) {
    trace::Msg(kTag, -100, "null buffer or length pointer");
    return VQZM_RC_CONVERSION_FAILED;
  }
  trace::Size(kTag, 10, "ulSourceLen param", source_length);
  trace::Size(kTag, 11, "ulTargetLen param", *target_length);
  if (source_length == 0 && ZEL_ERROR_POINT("EXT_NO_SOURCE_DATA")) {
    trace::Msg(kTag, -50, "No conversion SBCS Source Buffer is zero");
    return VQZM_RC_OK;
  }
  if (*target_length < source_length && ZEL_ERROR_POINT("EXT_BUFFER_TOO_SMALL")) {
    trace::Msg(kTag, -100, "DBCS Target Buffer is smaller than Source Buffer");
    *target_length = source_length;
    return VQZM_RC_NO_MEMORY;
  }
  uint32_t error_handle = 0;
  uint32_t rc = Qlx().qlxSV_CreateErrHandle(&error_handle);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_CREATE_ERROR_HANDLE")) {
    trace::Rc(kTag, -100, "qlxSV_CreateErrHandle() rc = ", rc);
    return VQZM_RC_CONVERSION_FAILED;
  }
  ServiceOutcome outcome;
  CodePages pages;
  outcome.rc = QueryCodePages(error_handle, &pages);
  if (outcome.rc != 0 && ZEL_ERROR_POINT("EXT_XLAT_ERROR")) {
    return ErrorExit(direction, outcome, error_handle);
  }
  bool to_host = direction == Direction::kToHost;
  outcome.rc = Qlx().qlxNL_ConvertCodePage(to_host ? pages.pc : pages.host,
                                           to_host ? pages.host : pages.pc, source_length,
                                           *target_length, source, target, &outcome.error_number,
                                           &outcome.error_position, target_length, error_handle);
  if (!to_host) TraceHostToPc(pages, source, source_length, target, *target_length, outcome);
  // Substituted characters are no failure: the text arrived, as well as the
  // code pages allow.
  if (outcome.rc != QLXNL_OK && outcome.rc != QLXNL_SUBSTITUTED &&
      ZEL_ERROR_POINT("EXT_XLAT_ERROR")) {
    return ErrorExit(direction, outcome, error_handle);
  }
  trace::Rc(kTag, 40, "qlxSV_DeleteErrHandle() rc=", Qlx().qlxSV_DeleteErrHandle(error_handle));
  return VQZM_RC_OK;
}

}  // namespace
}  // namespace zel::convert

using zel::convert::ConvertCharArray;
using zel::convert::Direction;

extern "C" {

uint16_t cbAscToEbcCharArray(void* target, const void* source, uint32_t* target_length,
                             uint32_t source_length) noexcept try {
  return ConvertCharArray(Direction::kToHost, target, source, target_length, source_length);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cbEbcToAscCharArray(void* target, const void* source, uint32_t* target_length,
                             uint32_t source_length) noexcept try {
  return ConvertCharArray(Direction::kToPc, target, source, target_length, source_length);
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

uint16_t cpGetDBSpaceValues(uint8_t* first, uint8_t* second) noexcept try {
  using namespace zel;
  using zel::convert::kTag;
  ZEL_TRACE_FUNCTION(kTag, "cpGetDBSpaceValues");
  if ((first == nullptr || second == nullptr) && ZEL_ERROR_POINT("EXT_NULL_PARAMETER")) {
    trace::Msg(kTag, -100, "null output pointer");
    return VQZM_RC_CONVERSION_FAILED;
  }
  *first = 0;
  *second = 0;
  if (bdIsDBCS() == 0 && ZEL_ERROR_POINT("EXT_NOT_DBCS")) return VQZM_RC_OK;
  // Shift-out, the double-byte blank, shift-in.
  static constexpr uint8_t kHostBlank[4] = {0x0E, 0x40, 0x40, 0x0F};
  trace::Dump(kTag, 20, "blanks in", kHostBlank, sizeof kHostBlank);
  uint8_t pc_blank[5] = {};
  uint32_t length = sizeof pc_blank;
  uint16_t rc = cbEbcToAscCharArray(pc_blank, kHostBlank, &length, sizeof kHostBlank);
  if (rc != VQZM_RC_OK && ZEL_ERROR_POINT("EXT_CONV_ERROR")) return rc;
  *first = pc_blank[0];
  *second = pc_blank[1];
  trace::Result(kTag, 21, "char 1", *first);
  trace::Result(kTag, 22, "char 2", *second);
  return VQZM_RC_OK;
} catch (...) {
  return ZEL_C_FAILURE(VQZM_RC_NO_MEMORY, VQZM_RC_INTERNAL_ERROR);
}

}  // extern "C"
