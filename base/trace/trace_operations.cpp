// The trace operations of the service's table. Each builds one record; the
// switch is tested here as well, for callers that do not gate their calls.
// Each is a barrier (base/barrier.h) that drops a record it cannot write.
#include "base/trace/record_writer.h"

ZEL_MODULE("vqzmbtw")

namespace {

using zel::trace::Emit;
using zel::trace::HasDestination;

void Plain(const char* tag, int32_t number, const char* op, const char* text) {
  if (!HasDestination()) return;
  Emit(BtRecord{tag, number, op, text, nullptr, 0, 0, nullptr, 0});
}

void Valued(const char* tag, int32_t number, const char* op, const char* text, uint32_t value) {
  if (!HasDestination()) return;
  Emit(BtRecord{tag, number, op, text, nullptr, 1, value, nullptr, 0});
}

void Dumped(const char* tag, int32_t number, const char* op, const char* label, const void* address,
            uint32_t length) {
  if (!HasDestination()) return;
  Emit(BtRecord{tag, number, op, label, nullptr, 0, 0, address, length});
}

}  // namespace

extern "C" {

void btTraceEntry(const char* tag, const char* function) noexcept try {
  Plain(tag, 0, "Entry", function);
} catch (...) {
}

void btTraceExit(const char* tag, const char* function) noexcept try {
  Plain(tag, 0, "Exit", function);
} catch (...) {
}

void btTraceMsg(const char* tag, int32_t number, const char* text) noexcept try {
  Plain(tag, number, "Msg", text);
} catch (...) {
}

void btTraceRc(const char* tag, int32_t number, const char* text, uint32_t value) noexcept try {
  Valued(tag, number, "Rc", text, value);
} catch (...) {
}

void btTraceSysRc(const char* tag, int32_t number, const char* text, uint32_t value) noexcept try {
  Valued(tag, number, "SysRc", text, value);
} catch (...) {
}

void btTraceSize(const char* tag, int32_t number, const char* text, uint32_t value) noexcept try {
  Valued(tag, number, "Size", text, value);
} catch (...) {
}

void btTraceResult(const char* tag, int32_t number, const char* text, uint32_t value) noexcept try {
  Valued(tag, number, "Result", text, value);
} catch (...) {
}

void btTraceLimit(const char* tag, int32_t number, const char* text, uint32_t value) noexcept try {
  Valued(tag, number, "Limit", text, value);
} catch (...) {
}

void btTraceValue(const char* tag, int32_t number, uint32_t value) noexcept try {
  Valued(tag, number, "Value", nullptr, value);
} catch (...) {
}

void btTraceString(const char* tag, int32_t number, const char* label, const char* string) noexcept
    try {
  if (!HasDestination()) return;
  Emit(BtRecord{tag, number, "String", label, string ? string : "(null)", 0, 0, nullptr, 0});
} catch (...) {
}

void btTraceDump(const char* tag, int32_t number, const char* label, const void* address,
                 uint32_t length) noexcept try {
  Dumped(tag, number, "Dump", label, address, length);
} catch (...) {
}

void btTraceKey(const char* tag, int32_t number, const char* label, const void* address,
                uint32_t length) noexcept try {
  Dumped(tag, number, "Key", label, address, length);
} catch (...) {
}

void btTraceBytes(const char* tag, int32_t number, const void* address, uint32_t length) noexcept
    try {
  Dumped(tag, number, "Bytes", nullptr, address, length);
} catch (...) {
}

}  // extern "C"
