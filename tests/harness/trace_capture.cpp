#include "tests/harness/trace_capture.h"

namespace zel::test {

TraceCapture::TraceCapture() { btSetRecordSink(&TraceCapture::Sink, this); }

TraceCapture::~TraceCapture() { btSetRecordSink(nullptr, nullptr); }

void TraceCapture::Sink(const BtRecord* record, void* context) {
  CapturedRecord copy;
  copy.tag = record->tag ? record->tag : "";
  copy.number = record->number;
  copy.op = record->op ? record->op : "";
  copy.text = record->text ? record->text : "";
  copy.string = record->string ? record->string : "";
  copy.has_value = record->has_value != 0;
  copy.value = record->value;
  if (record->data != nullptr) {
    copy.data.assign(static_cast<const char*>(record->data), record->length);
  }
  auto* self = static_cast<TraceCapture*>(context);
  std::lock_guard lock(self->mutex_);
  self->records_.push_back(std::move(copy));
}

std::vector<CapturedRecord> TraceCapture::Records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

bool TraceCapture::Traced(std::string_view text) const {
  std::lock_guard lock(mutex_);
  for (const CapturedRecord& r : records_) {
    if (r.text.find(text) != std::string::npos) return true;
  }
  return false;
}

bool TraceCapture::TracedValue(std::string_view text, uint32_t value) const {
  std::lock_guard lock(mutex_);
  for (const CapturedRecord& r : records_) {
    if (r.has_value && r.value == value && r.text.find(text) != std::string::npos) return true;
  }
  return false;
}

bool TraceCapture::RaisedErrorPoint(std::string_view label, std::string_view module) const {
  std::lock_guard lock(mutex_);
  for (const CapturedRecord& r : records_) {
    if (r.op == "ErrorPoint" && r.text == label && (module.empty() || r.string == module)) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> TraceCapture::ErrorPoints() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> points;
  for (const CapturedRecord& r : records_) {
    if (r.op == "ErrorPoint") points.push_back(r.text + " (" + r.string + ")");
  }
  return points;
}

void TraceCapture::Clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

}  // namespace zel::test
