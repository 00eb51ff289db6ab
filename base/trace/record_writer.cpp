// Record formatting and output of the trace service.
//
// One record is one line:
//   2026-12-05 18:39:19.123456 <pid> <tid> <tag> <number> <op> <body>
// built in a per-thread buffer and written with one write() on a descriptor
// opened with O_APPEND. Appends to a regular file are serialised by the
// kernel, so lines of many threads and processes never tear or interleave.
#include "base/trace/record_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "base/config.h"

ZEL_MODULE("vqzmbtw")

extern "C" {
BT_EXPORT int btTraceActive = 0;
}

namespace zel::trace {
namespace {

// Dumps longer than this are cut, and the line says how much was left out.
constexpr uint32_t kMaxDumpBytes = 4096;

std::atomic<int> g_trace_fd{-1};     // the trace file; replaced in place by dup2
std::atomic<bool> g_file_on{false};  // records go to g_trace_fd
std::mutex g_sink_mutex;             // serialises sink calls and changes
std::atomic<BtRecordSink> g_sink{nullptr};
void* g_sink_context = nullptr;  // guarded by g_sink_mutex
std::atomic<uint32_t> g_pid{0};  // cached; reset in a forked child

thread_local uint32_t t_tid = 0;
thread_local int64_t t_second = -1;  // the second t_stamp was made for
thread_local char t_stamp[24];       // "YYYY-MM-DD HH:MM:SS."

// The line buffer is reused per thread; a library's unload still traces on
// the main thread after its thread_locals have ended, so it then formats
// into a buffer of its own.
thread_local bool t_line_gone = false;
struct LineBuffer {
  std::string text;
  ~LineBuffer() { t_line_gone = true; }
};

void UpdateSwitch() {
  bool on = g_file_on.load() || g_sink.load() != nullptr;
  __atomic_store_n(&btTraceActive, on ? 1 : 0, __ATOMIC_RELAXED);
}

uint32_t ProcessId() {
  uint32_t pid = g_pid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<uint32_t>(getpid());
    g_pid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

void AppendNumber(std::string& out, int64_t value) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, end);
}

void AppendHex(std::string& out, uint64_t value) {
  char digits[20];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, 16);
  out.append(digits, end);
}

// Control characters would break the one-record-one-line rule.
void AppendText(std::string& out, const char* text) {
  if (text == nullptr) {
    out += "(null)";
    return;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char* p = text; *p != '\0'; ++p) {
    auto c = static_cast<unsigned char>(*p);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
}

void AppendValue(std::string& out, uint32_t value) {
  AppendNumber(out, value);
  out += " (0x";
  AppendHex(out, value);
  out += ')';
}

// Keys and identifiers travel in EBCDIC: their character column shows the
// letters, digits and blanks of code page 37, every other byte as '.'.
char EbcdicShown(unsigned char c) {
  if (c == 0x40) return ' ';
  if (c >= 0xF0 && c <= 0xF9) return static_cast<char>('0' + (c - 0xF0));
  if (c >= 0xC1 && c <= 0xC9) return static_cast<char>('A' + (c - 0xC1));
  if (c >= 0xD1 && c <= 0xD9) return static_cast<char>('J' + (c - 0xD1));
  if (c >= 0xE2 && c <= 0xE9) return static_cast<char>('S' + (c - 0xE2));
  return '.';
}

char AsciiShown(unsigned char c) { return (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.'; }

void AppendDump(std::string& out, const void* data, uint32_t length, bool ebcdic) {
  out += '[';
  AppendNumber(out, length);
  out += ']';
  if (data == nullptr) {
    out += " (null)";
    return;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint32_t shown = length < kMaxDumpBytes ? length : kMaxDumpBytes;
  for (uint32_t i = 0; i < shown; ++i) {
    if (i % 4 == 0) out += ' ';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  out += " |";
  for (uint32_t i = 0; i < shown; ++i) {
    out += ebcdic ? EbcdicShown(bytes[i]) : AsciiShown(bytes[i]);
  }
  out += '|';
  if (shown < length) {
    out += " (+";
    AppendNumber(out, length - shown);
    out += " bytes not shown)";
  }
}

void AppendTimestamp(std::string& out, int64_t micros) {
  int64_t second = micros / 1000000;
  if (second != t_second) {
    time_t t = static_cast<time_t>(second);
    struct tm parts;
    localtime_r(&t, &parts);
    strftime(t_stamp, sizeof t_stamp, "%Y-%m-%d %H:%M:%S.", &parts);
    t_second = second;
  }
  out += t_stamp;
  char micro[8];
  int64_t fraction = micros % 1000000;
  for (int i = 5; i >= 0; --i) {
    micro[i] = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  out.append(micro, 6);
}

void Format(std::string& out, const BtRecord& r) {
  AppendTimestamp(out, NowMicros());
  out += ' ';
  AppendNumber(out, ProcessId());
  out += ' ';
  AppendNumber(out, ThreadId());
  out += ' ';
  AppendText(out, r.tag);
  out += ' ';
  AppendNumber(out, r.number);
  out += ' ';
  out += r.op;
  if (r.text != nullptr) {
    out += ' ';
    AppendText(out, r.text);
  }
  if (r.string != nullptr) {
    out += ' ';
    AppendText(out, r.string);
  }
  if (r.has_value) {
    out += ' ';
    AppendValue(out, r.value);
  }
  if (r.data != nullptr || r.length != 0) {
    out += ' ';
    AppendDump(out, r.data, r.length, strcmp(r.op, "Key") == 0);
  }
  out += '\n';
}

void WriteLine(const std::string& line) {
  int fd = g_trace_fd.load(std::memory_order_relaxed);
  if (fd < 0) return;
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

// A forked child's sink lock may have been held by a thread of the parent
// in a sink call at the fork: the child takes a fresh one.
void ResetAfterFork() {
  g_pid.store(0, std::memory_order_relaxed);
  t_tid = 0;
  std::construct_at(&g_sink_mutex);
}

// Opens ZEL_TRACE as the library loads, so that tracing covers a process
// from its first call.
__attribute__((constructor)) void OpenConfiguredTrace() {
  pthread_atfork(nullptr, nullptr, ResetAfterFork);
  std::string path = config::TracePath();
  if (!path.empty()) btTraceOpen(path.c_str());
}

}  // namespace

int64_t NowMicros() noexcept {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

uint32_t ThreadId() noexcept {
  if (t_tid == 0) t_tid = static_cast<uint32_t>(syscall(SYS_gettid));
  return t_tid;
}

bool HasDestination() noexcept {
  return g_file_on.load(std::memory_order_relaxed) ||
         g_sink.load(std::memory_order_relaxed) != nullptr;
}

void Emit(const BtRecord& record) {
  if (g_sink.load(std::memory_order_acquire) != nullptr) {
    std::lock_guard lock(g_sink_mutex);
    if (BtRecordSink sink = g_sink.load()) sink(&record, g_sink_context);
  }
  if (!g_file_on.load(std::memory_order_relaxed)) return;
  if (t_line_gone) {
    std::string line;
    Format(line, record);
    WriteLine(line);
    return;
  }
  thread_local LineBuffer buffer;
  buffer.text.clear();
  Format(buffer.text, record);
  WriteLine(buffer.text);
}

}  // namespace zel::trace

extern "C" {

int btTraceOpen(const char* path) noexcept {
  using namespace zel::trace;
  if (path == nullptr || *path == '\0') {
    g_file_on.store(false);
    UpdateSwitch();
    return 0;
  }
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) {
    int error = errno;
    g_file_on.store(false);
    UpdateSwitch();
    return error;
  }
  int current = -1;
  if (!g_trace_fd.compare_exchange_strong(current, fd)) {
    // Writers may hold the old descriptor number: redirect it in place
    // rather than closing it under them.
    dup2(fd, current);
    close(fd);
  }
  g_file_on.store(true);
  UpdateSwitch();
  return 0;
}

void btSetRecordSink(BtRecordSink sink, void* context) noexcept try {
  using namespace zel::trace;
  std::lock_guard lock(g_sink_mutex);
  g_sink_context = context;
  g_sink.store(sink, std::memory_order_release);
  UpdateSwitch();
} catch (...) {
}

}  // extern "C"
