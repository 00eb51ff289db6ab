// zelhost's log: one timestamped line per connection, request, fault and
// drop, to the --log file or stderr. Only the server's thread writes it.
#ifndef ZEL_HOST_LOG_H
#define ZEL_HOST_LOG_H

#include <cstdio>
#include <string>

namespace zel::host {

class Log {
 public:
  // Appends to `path`; an empty path logs to stderr. False when the file
  // cannot be opened.
  bool Open(const std::string& path);
  ~Log();

  void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  std::FILE* file_ = stderr;
};

}  // namespace zel::host

#endif  // ZEL_HOST_LOG_H
