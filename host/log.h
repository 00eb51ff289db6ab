// zelhost's log: one timestamped line per connection, request, fault and
// drop, to the --log file or stderr. Only the server's thread writes it.
#ifndef ZEL_HOST_LOG_H
#define ZEL_HOST_LOG_H

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

namespace zel::host {

class Log {
 public:
  // Appends to `path`, made with mode 0600 when missing; an empty path logs
  // to stderr. False when the file cannot be opened.
  bool Open(const std::string& path);
  // Writes the count of a run of repeated lines still held back.
  ~Log();

  // One line: the time, then the text escaped (base/log_text.h). A line equal
  // to the one before is counted instead of written; the count follows as
  // "<line> (repeated N times)" when another line comes, when the same line
  // comes again kRepeatInterval after the last one written, when the server
  // goes idle, or when the log closes. A flood of one failure thus costs a line per interval.
  void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));

  static constexpr std::chrono::seconds kRepeatInterval{10};

  // Whether a count of repeated lines is held back, and writing it now: the
  // server writes it once it goes idle, so the log never hides the end of a
  // run for long.
  bool HoldsRepeats() const { return repeats_ != 0; }
  void FlushRepeats();

 private:
  void Emit(const std::string& text);

  std::FILE* file_ = stderr;
  std::string last_;    // the last line's text, escaped
  size_t repeats_ = 0;  // times `last_` came again since it was written
  std::chrono::steady_clock::time_point last_written_;
};

}  // namespace zel::host

#endif  // ZEL_HOST_LOG_H
