#include "host/log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdarg>
#include <ctime>

#include "base/log_text.h"

namespace zel::host {

bool Log::Open(const std::string& path) {
  if (path.empty()) return true;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "a");
  if (file == nullptr) {
    if (fd >= 0) close(fd);
    return false;
  }
  setvbuf(file, nullptr, _IOLBF, 0);
  file_ = file;
  return true;
}

Log::~Log() {
  FlushRepeats();
  if (file_ != stderr) std::fclose(file_);
}

void Log::Write(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  std::string text;
  if (length >= static_cast<int>(sizeof buffer)) {
    text.resize(static_cast<size_t>(length) + 1);
    va_start(args, format);
    std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    text.pop_back();
  } else if (length > 0) {
    text.assign(buffer, static_cast<size_t>(length));
  }
  text = EscapeForLog(text);
  auto now = std::chrono::steady_clock::now();
  if (text == last_) {
    ++repeats_;
    if (now - last_written_ >= kRepeatInterval) FlushRepeats();
    return;
  }
  FlushRepeats();
  last_ = text;
  Emit(text);
}

void Log::FlushRepeats() {
  if (repeats_ == 0) return;
  Emit(last_ + " (repeated " + std::to_string(repeats_) + " times)");
  repeats_ = 0;
}

void Log::Emit(const std::string& text) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::fprintf(file_, "%s.%06ld %s\n", stamp, static_cast<long>(now.tv_usec), text.c_str());
  std::fflush(file_);
  last_written_ = std::chrono::steady_clock::now();
}

}  // namespace zel::host
