// The national-language service's calls: configuration answers and the
// code-page conversion. Each failure is recorded in the caller's error
// handle, so that the caller can trace why.
#include "services/language.h"

#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "base/barrier.h"
#include "base/config.h"
#include "services/language/code_pages.h"
#include "services/language/converters.h"

ZEL_MODULE("QLXNL")

namespace zel::language {
namespace {

// A nonzero error handle must be a live one of this process.
bool UsableHandle(uint32_t error_handle) {
  return error_handle == 0 || qlx::IsValidErrHandle(error_handle);
}

// Records the failure in the caller's handle, if it has a usable one.
uint32_t Fail(uint32_t error_handle, uint32_t number, const std::string& text) {
  if (error_handle != 0) qlx::SetError(error_handle, number, text);
  return number;
}

bool Overlap(const void* a, size_t a_size, const void* b, size_t b_size) {
  auto a_begin = reinterpret_cast<uintptr_t>(a);
  auto b_begin = reinterpret_cast<uintptr_t>(b);
  return a_begin < b_begin + b_size && b_begin < a_begin + a_size;
}

std::string Describe(const Conversion& conversion, uint32_t from, uint32_t to, uint32_t capacity) {
  switch (conversion.result) {
    case QLXNL_SUBSTITUTED:
      return "characters without an equivalent in code page " + std::to_string(to) +
             " were substituted, the first at source offset " +
             std::to_string(conversion.error_position);
    case QLXNL_TARGET_TOO_SMALL:
      return "the converted text does not fit the target of " + std::to_string(capacity) +
             " bytes; source offset " + std::to_string(conversion.error_position) + " did not fit";
    default:
      return "no conversion from code page " + std::to_string(from) + " to code page " +
             std::to_string(to) + " is available";
  }
}

}  // namespace
}  // namespace zel::language

using zel::language::Fail;
using zel::language::Overlap;
using zel::language::UsableHandle;

extern "C" {

uint32_t qlxNL_GetMsgDirectory(char* buffer, uint32_t size, uint32_t error_handle) noexcept try {
  if (!UsableHandle(error_handle)) return QLXSV_INVALID_HANDLE;
  if (buffer == nullptr) return Fail(error_handle, QLXSV_INVALID_POINTER, "no buffer was given");
  std::string directory = zel::config::Home() + "/msg/";
  if (directory.size() >= size) {
    return Fail(
        error_handle, QLXNL_BUFFER_TOO_SMALL,
        "the message directory " + directory + " does not fit " + std::to_string(size) + " bytes");
  }
  std::memcpy(buffer, directory.c_str(), directory.size() + 1);
  return QLXNL_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXNL_NO_MEMORY, QLXNL_INTERNAL_ERROR);
}

uint32_t qlxNL_GetPcCodePage(uint32_t* code_page, uint32_t error_handle) noexcept try {
  if (!UsableHandle(error_handle)) return QLXSV_INVALID_HANDLE;
  if (code_page == nullptr) return Fail(error_handle, QLXSV_INVALID_POINTER, "no output was given");
  *code_page = zel::config::PcCodePage();
  return QLXNL_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXNL_NO_MEMORY, QLXNL_INTERNAL_ERROR);
}

uint32_t qlxNL_GetHostCcsid(const char* /*system_name*/, uint32_t* ccsid,
                            uint32_t error_handle) noexcept try {
  if (!UsableHandle(error_handle)) return QLXSV_INVALID_HANDLE;
  if (ccsid == nullptr) return Fail(error_handle, QLXSV_INVALID_POINTER, "no output was given");
  *ccsid = zel::config::HostCcsid();
  return QLXNL_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXNL_NO_MEMORY, QLXNL_INTERNAL_ERROR);
}

uint32_t qlxNL_GetCodePageOfCcsid(uint32_t ccsid, uint32_t* code_page,
                                  uint32_t error_handle) noexcept try {
  if (!UsableHandle(error_handle)) return QLXSV_INVALID_HANDLE;
  if (code_page == nullptr) return Fail(error_handle, QLXSV_INVALID_POINTER, "no output was given");
  std::optional<uint32_t> page = zel::language::CodePageOfCcsid(ccsid);
  if (!page) {
    return Fail(error_handle, QLXNL_UNKNOWN_CCSID,
                "CCSID " + std::to_string(ccsid) + " names no supported code page");
  }
  *code_page = *page;
  return QLXNL_OK;
} catch (...) {
  return ZEL_C_FAILURE(QLXNL_NO_MEMORY, QLXNL_INTERNAL_ERROR);
}

uint32_t qlxNL_ConvertCodePage(uint32_t source_code_page, uint32_t target_code_page,
                               uint32_t source_length, uint32_t target_capacity, const void* source,
                               void* target, uint32_t* error_number, uint32_t* error_position,
                               uint32_t* target_length, uint32_t error_handle) noexcept try {
  using zel::language::CodePage;
  if (error_number == nullptr || error_position == nullptr || target_length == nullptr ||
      (source == nullptr && source_length > 0) || (target == nullptr && target_capacity > 0)) {
    return Fail(error_handle, QLXSV_INVALID_POINTER, "a required pointer is null");
  }
  *error_number = 0;
  *error_position = 0;
  *target_length = 0;
  if (!UsableHandle(error_handle)) return *error_number = QLXSV_INVALID_HANDLE;
  const CodePage* from = zel::language::FindCodePage(source_code_page);
  const CodePage* to = zel::language::FindCodePage(target_code_page);
  if (from == nullptr || to == nullptr) {
    *error_number = QLXNL_UNSUPPORTED_CODE_PAGE;
    return Fail(error_handle, QLXNL_UNSUPPORTED_CODE_PAGE,
                "code page " +
                    std::to_string(from == nullptr ? source_code_page : target_code_page) +
                    " is not supported");
  }
  if (source_length == 0) return QLXNL_OK;
  std::span<const uint8_t> input(static_cast<const uint8_t*>(source), source_length);
  std::span<uint8_t> output(static_cast<uint8_t*>(target), target_capacity);
  // In-place conversion of received fields is common; convert from a copy.
  std::vector<uint8_t> copy;
  if (Overlap(source, source_length, target, target_capacity)) {
    copy.assign(input.begin(), input.end());
    input = copy;
  }
  zel::language::Conversion conversion = zel::language::Convert(*from, *to, input, output);
  *target_length = conversion.length;
  if (conversion.result == QLXNL_OK) return QLXNL_OK;
  *error_number = conversion.result;
  *error_position = conversion.error_position;
  return Fail(
      error_handle, conversion.result,
      zel::language::Describe(conversion, source_code_page, target_code_page, target_capacity));
} catch (...) {
  return ZEL_C_FAILURE(QLXNL_NO_MEMORY, QLXNL_INTERNAL_ERROR);
}

}  // extern "C"
