// A program's log file: one line per event, "<date> <time>.<ms>
// <PROGRAM>[<pid>] <text>", with the text escaped (log_text.h). The file is
// created owner-only and each line is appended with one write, so that
// several writers (threads, or the manager program and the component
// inside it) never tear or interleave a line.
#ifndef ZEL_BASE_LOG_FILE_H
#define ZEL_BASE_LOG_FILE_H

#include <string>
#include <string_view>

namespace zel {

class LogFile {
 public:
  LogFile() = default;
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Opens `path` for appending (its directory made first), writing lines
  // as `program`. False when it cannot: lines then go to standard error.
  // Call once, before any Write.
  bool Open(const std::string& path, std::string program);

  // Writes one line. Any thread.
  void Write(std::string_view text) const;

 private:
  int fd_ = 2;
  std::string program_;
};

}  // namespace zel

#endif  // ZEL_BASE_LOG_FILE_H
