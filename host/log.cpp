#include "host/log.h"

#include <sys/time.h>

#include <cstdarg>
#include <ctime>

namespace zel::host {

bool Log::Open(const std::string& path) {
  if (path.empty()) return true;
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return false;
  setvbuf(file, nullptr, _IOLBF, 0);
  file_ = file;
  return true;
}

Log::~Log() {
  if (file_ != stderr) std::fclose(file_);
}

void Log::Write(const char* format, ...) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(file_, "%s.%06ld ", stamp, static_cast<long>(now.tv_usec));
  va_list args;
  va_start(args, format);
  std::vfprintf(file_, format, args);
  va_end(args);
  std::fputc('\n', file_);
  std::fflush(file_);
}

}  // namespace zel::host
