// The trace operations of the service's table. Each builds one record; the
// switch is tested here as well, for callers that do not gate their calls.
#include "services/trace/record_writer.h"

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

void btTraceEntry(const char* tag, const char* function) { Plain(tag, 0, "Entry", function); }
void btTraceExit(const char* tag, const char* function) { Plain(tag, 0, "Exit", function); }
void btTraceMsg(const char* tag, int32_t number, const char* text) {
  Plain(tag, number, "Msg", text);
}
void btTraceRc(const char* tag, int32_t number, const char* text, uint32_t value) {
  Valued(tag, number, "Rc", text, value);
}
void btTraceSysRc(const char* tag, int32_t number, const char* text, uint32_t value) {
  Valued(tag, number, "SysRc", text, value);
}
void btTraceSize(const char* tag, int32_t number, const char* text, uint32_t value) {
  Valued(tag, number, "Size", text, value);
}
void btTraceResult(const char* tag, int32_t number, const char* text, uint32_t value) {
  Valued(tag, number, "Result", text, value);
}
void btTraceLimit(const char* tag, int32_t number, const char* text, uint32_t value) {
  Valued(tag, number, "Limit", text, value);
}
void btTraceValue(const char* tag, int32_t number, uint32_t value) {
  Valued(tag, number, "Value", nullptr, value);
}
void btTraceString(const char* tag, int32_t number, const char* label, const char* string) {
  if (!HasDestination()) return;
  Emit(BtRecord{tag, number, "String", label, string ? string : "(null)", 0, 0, nullptr, 0});
}
void btTraceDump(const char* tag, int32_t number, const char* label, const void* address,
                 uint32_t length) {
  Dumped(tag, number, "Dump", label, address, length);
}
void btTraceKey(const char* tag, int32_t number, const char* label, const void* address,
                uint32_t length) {
  Dumped(tag, number, "Key", label, address, length);
}
void btTraceBytes(const char* tag, int32_t number, const void* address, uint32_t length) {
  Dumped(tag, number, "Bytes", nullptr, address, length);
}

}  // extern "C"
