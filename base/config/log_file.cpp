#include "base/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "base/log_text.h"

namespace zel {

LogFile::~LogFile() {
  if (fd_ > 2) close(fd_);
}

bool LogFile::Open(const std::string& path, std::string program) {
  program_ = std::move(program);
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  // A file made by an older version may be open to others.
  fchmod(fd, 0600);
  fd_ = fd;
  return true;
}

void LogFile::Write(std::string_view text) const {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts;
  localtime_r(&now.tv_sec, &parts);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &parts);
  char head[96];
  snprintf(head, sizeof head, "%s.%03ld %s[%d] ", stamp, now.tv_nsec / 1000000, program_.c_str(),
           static_cast<int>(getpid()));
  std::string line = head + EscapeForLog(text) + "\n";
  ssize_t ignored = write(fd_, line.data(), line.size());
  static_cast<void>(ignored);
}

}  // namespace zel
