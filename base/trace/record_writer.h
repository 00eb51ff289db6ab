// Internal to the trace service: turns trace calls into records and hands
// each record to the capture sink and the trace file.
#ifndef ZEL_BASE_TRACE_RECORD_WRITER_H
#define ZEL_BASE_TRACE_RECORD_WRITER_H

#include <cstdint>

#include "base/trace.h"

namespace zel::trace {

// Wall-clock microseconds since the epoch.
int64_t NowMicros() noexcept;

// This thread's kernel thread id, cached per thread.
uint32_t ThreadId() noexcept;

// Hands `record` to the sink and, when the trace file is open, writes it
// there as one line. Safe from any thread. Throws what the sink throws, or
// std::bad_alloc while formatting; the exported functions, its only
// callers, drop the record then.
void Emit(const BtRecord& record);

// True while records have somewhere to go (file or sink).
bool HasDestination() noexcept;

}  // namespace zel::trace

#endif  // ZEL_BASE_TRACE_RECORD_WRITER_H
