// Captures trace records and error points of this process in memory, so that
// a test can assert that a path traced a given text and raised a given error
// point. Tracing is on while a capture exists; at most one at a time.
#ifndef ZEL_TESTS_HARNESS_TRACE_CAPTURE_H
#define ZEL_TESTS_HARNESS_TRACE_CAPTURE_H

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/trace.h"

namespace zel::test {

// A copy of one BtRecord.
struct CapturedRecord {
  std::string tag;
  int32_t number = 0;
  std::string op;
  std::string text;
  std::string string;
  bool has_value = false;
  uint32_t value = 0;
  std::string data;
};

class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<CapturedRecord> Records() const;

  // True when a record's text (message, label or function name) contains
  // `text`; with `value`, only a record carrying that value counts.
  bool Traced(std::string_view text) const;
  bool TracedValue(std::string_view text, uint32_t value) const;

  // True when an error point with this label (and module, if given) was raised.
  bool RaisedErrorPoint(std::string_view label, std::string_view module = {}) const;

  // Every error point raised, as "label (module)", in order.
  std::vector<std::string> ErrorPoints() const;

  void Clear();

 private:
  static void Sink(const BtRecord* record, void* context);

  mutable std::mutex mutex_;
  std::vector<CapturedRecord> records_;  // guarded by mutex_
};

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_TRACE_CAPTURE_H
