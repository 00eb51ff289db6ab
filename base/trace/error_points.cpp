// Error points and system error texts. Error points are kept in a small ring
// per process whether or not tracing is on, so that a failure can be
// explained after the fact, and are traced while tracing is on. The
// exported functions are barriers (base/barrier.h): what fails is dropped.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/trace/record_writer.h"

ZEL_MODULE("vqzmbtw")

namespace {

constexpr uint32_t kRingSize = 64;

std::mutex g_ring_mutex;
BtErrorPointRecord g_ring[kRingSize];  // guarded by g_ring_mutex
uint64_t g_ring_count = 0;             // error points ever recorded; guarded too
std::atomic<BtSysErrorSource> g_error_source{nullptr};

void CopyTruncated(char* target, size_t size, const char* source) {
  if (source == nullptr) source = "";
  size_t n = strnlen(source, size - 1);
  memcpy(target, source, n);
  target[n] = '\0';
}

// A forked child's ring lock may have been held by a thread of the parent
// at the fork: the child takes a fresh one (a record being written then
// stays as far as it got).
void FreshRingLockInChild() { std::construct_at(&g_ring_mutex); }

[[gnu::constructor]] void WatchForks() { pthread_atfork(nullptr, nullptr, FreshRingLockInChild); }

void Remember(int32_t line, const char* label, const char* module) {
  BtErrorPointRecord record{};
  record.time_us = zel::trace::NowMicros();
  record.tid = zel::trace::ThreadId();
  record.line = line;
  CopyTruncated(record.label, sizeof record.label, label);
  CopyTruncated(record.module, sizeof record.module, module);
  std::lock_guard lock(g_ring_mutex);
  g_ring[g_ring_count % kRingSize] = record;
  ++g_ring_count;
}

}  // namespace

extern "C" {

int btErrorPoint(const char* tag, int32_t line, const char* label, const char* module) noexcept
    try {
  Remember(line, label, module);
  if (zel::trace::HasDestination()) {
    zel::trace::Emit(BtRecord{tag, line, "ErrorPoint", label, module, 0, 0, nullptr, 0});
  }
  return 1;
} catch (...) {
  return 1;
}

uint32_t btGetErrorPoints(BtErrorPointRecord* out, uint32_t max) noexcept try {
  if (out == nullptr) return 0;
  std::lock_guard lock(g_ring_mutex);
  uint64_t kept = g_ring_count < kRingSize ? g_ring_count : kRingSize;
  uint32_t n = static_cast<uint32_t>(kept < max ? kept : max);
  uint64_t first = g_ring_count - n;
  for (uint32_t i = 0; i < n; ++i) out[i] = g_ring[(first + i) % kRingSize];
  return n;
} catch (...) {
  return 0;
}

void btSetSysErrorSource(BtSysErrorSource source) noexcept { g_error_source.store(source); }

void btGetSysErrorText(char* buffer, uint32_t size) noexcept try {
  if (buffer == nullptr || size == 0) return;
  buffer[0] = '\0';
  if (BtSysErrorSource source = g_error_source.load()) {
    source(buffer, size);
    buffer[size - 1] = '\0';
    return;
  }
  int error = errno;
  char text[256];
  CopyTruncated(buffer, size, strerror_r(error, text, sizeof text));
} catch (...) {
}

}  // extern "C"
