// zel trace: the trace file shown readably and filtered, and the last error
// points of a running process.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "base/trace/error_ring.h"
#include "tools/zel/cli.h"
#include "tools/zel/commands.h"

namespace zel::tool {
namespace {

constexpr char kCommand[] = "trace";
constexpr auto kFollowInterval = std::chrono::milliseconds(200);

constexpr char kHelp[] =
    "usage: zel trace [FILE] [OPTIONS]\n"
    "       zel trace --errors-of PID\n"
    "\n"
    "Shows the trace file FILE (default: ZEL_TRACE) readably: one record a line,\n"
    "calls indented under the function that made them, error points marked\n"
    "'**' and error traces '!'.\n"
    "\n"
    "  --pid PID          only the records of process PID\n"
    "  --tid TID          only the records of thread TID\n"
    "  --tag TAGS         only the records of these component tags (CA,CB,...;\n"
    "                     'ue' for error points)\n"
    "  --errors           only error points and error traces\n"
    "  --follow           keep showing records as they are written\n"
    "  --raw              show the records as written, without indentation\n"
    "  --json             one JSON object per record\n"
    "  --errors-of PID    the last error points of process PID (of this user),\n"
    "                     kept while it runs; also those a crashed one left\n"
    "\n"
    "Exit status: 0 done; 1 the file cannot be read; 2 bad command line;\n"
    "3 no such process (--errors-of).\n";

const std::vector<Option> kOptions = {
    {"pid", true},    {"tid", true}, {"tag", true},      {"errors", false},
    {"follow", false}, {"raw", false}, {"errors-of", true},
};

// One record of the trace file:
//   2026-12-05 18:39:19.123456 <pid> <tid> <tag> <number> <op> <body>
struct Record {
  std::string date;
  std::string time;
  uint32_t pid = 0;
  uint32_t tid = 0;
  std::string tag;
  int64_t number = 0;
  std::string op;
  std::string body;
};

struct Filter {
  std::optional<uint32_t> pid;
  std::optional<uint32_t> tid;
  std::set<std::string> tags;  // upper case; empty: every tag
  bool errors_only = false;
  bool raw = false;
  bool json = false;
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

template <class Number>
bool ParseNumber(const std::string& text, Number* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// Splits off the next blank-separated word of `line` at `at`.
std::string Word(const std::string& line, size_t* at) {
  size_t end = line.find(' ', *at);
  std::string word = line.substr(*at, end == std::string::npos ? end : end - *at);
  *at = end == std::string::npos ? line.size() : end + 1;
  return word;
}

std::optional<Record> Parse(const std::string& line) {
  Record record;
  size_t at = 0;
  record.date = Word(line, &at);
  record.time = Word(line, &at);
  std::string pid = Word(line, &at);
  std::string tid = Word(line, &at);
  record.tag = Word(line, &at);
  std::string number = Word(line, &at);
  record.op = Word(line, &at);
  if (record.op.empty() || !ParseNumber(pid, &record.pid) || !ParseNumber(tid, &record.tid) ||
      !ParseNumber(number, &record.number)) {
    return std::nullopt;
  }
  record.body = line.substr(at);
  return record;
}

bool IsError(const Record& record) { return record.op == "ErrorPoint" || record.number < 0; }

bool Wanted(const Record& record, const Filter& filter) {
  if (filter.pid && record.pid != *filter.pid) return false;
  if (filter.tid && record.tid != *filter.tid) return false;
  if (!filter.tags.empty() && !filter.tags.contains(Upper(record.tag))) return false;
  return !filter.errors_only || IsError(record);
}

class Printer {
 public:
  explicit Printer(const Filter& filter) : filter_(filter) {}

  void Line(const std::string& line) {
    std::optional<Record> record = Parse(line);
    if (!record) {
      // Not a record (a line of something else): shown only unfiltered.
      if (!Filtering() && !filter_.json) std::printf("%s\n", line.c_str());
      return;
    }
    int& depth = depths_[{record->pid, record->tid}];
    if (record->op == "Exit" && depth > 0) --depth;
    if (Wanted(*record, filter_)) Show(*record, depth);
    if (record->op == "Entry") ++depth;
  }

 private:
  bool Filtering() const {
    return filter_.pid || filter_.tid || !filter_.tags.empty() || filter_.errors_only;
  }

  void Show(const Record& record, int depth) {
    if (filter_.json) {
      Json json;
      json.BeginObject()
          .String("time", record.date + " " + record.time)
          .Integer("pid", record.pid)
          .Integer("tid", record.tid)
          .String("tag", record.tag)
          .Integer("number", record.number)
          .String("op", record.op)
          .String("text", record.body)
          .Bool("error", IsError(record))
          .EndObject();
      std::printf("%s\n", json.text().c_str());
      return;
    }
    std::string indent = filter_.raw ? "" : std::string(2 * static_cast<size_t>(depth), ' ');
    std::printf("%s %u/%u %-2s %s%s\n", record.time.c_str(), record.pid, record.tid,
                record.tag.c_str(), indent.c_str(), Describe(record).c_str());
  }

  static std::string Describe(const Record& record) {
    if (record.op == "Entry") return "> " + record.body;
    if (record.op == "Exit") return "< " + record.body;
    if (record.op == "ErrorPoint") {
      // body: LABEL MODULE; the number is the source line.
      size_t blank = record.body.rfind(' ');
      std::string label = record.body.substr(0, blank);
      std::string module = blank == std::string::npos ? "" : record.body.substr(blank + 1);
      return "** error point " + label + " (" + module + ":" + std::to_string(record.number) +
             ")";
    }
    std::string mark = record.number < 0 ? "! " : "";
    return mark + record.op + " " + std::to_string(record.number) +
           (record.body.empty() ? "" : ": " + record.body);
  }

  const Filter& filter_;
  std::map<std::pair<uint32_t, uint32_t>, int> depths_;
};

// Shows what the file holds, and with `follow` what is appended to it, as
// long as this process runs.
int ShowFile(const std::string& path, const Filter& filter, bool follow) {
  std::ifstream file(path);
  if (!file) {
    std::fprintf(stderr, "zel trace: cannot read %s\n", path.c_str());
    return kExitFailed;
  }
  Printer printer(filter);
  std::string pending;
  for (;;) {
    std::string line;
    while (std::getline(file, line)) {
      if (file.eof()) {  // a record still being written: wait for its end
        pending += line;
        break;
      }
      printer.Line(pending + line);
      pending.clear();
    }
    if (!follow) break;
    std::fflush(stdout);
    std::this_thread::sleep_for(kFollowInterval);
    file.clear();
  }
  if (!pending.empty()) printer.Line(pending);
  return kExitOk;
}

std::string Timestamp(int64_t micros) {
  time_t seconds = static_cast<time_t>(micros / 1000000);
  struct tm parts;
  localtime_r(&seconds, &parts);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  std::snprintf(text + n, sizeof text - n, ".%06lld", static_cast<long long>(micros % 1000000));
  return text;
}

// The error-point file of `pid`: the current instance's first, else that
// of any instance.
std::string FindErrorRing(const std::string& private_dir, uint32_t pid) {
  std::string own = trace::ErrorRingPath(private_dir, config::Instance(), pid);
  struct stat status;
  if (lstat(own.c_str(), &status) == 0) return own;
  DIR* dir = opendir(private_dir.c_str());
  if (dir == nullptr) return own;
  std::string found = own;
  while (dirent* entry = readdir(dir)) {
    if (trace::ErrorRingPid(entry->d_name, "") == pid) found = private_dir + "/" + entry->d_name;
  }
  closedir(dir);
  return found;
}

int ShowErrorPoints(uint32_t pid, bool json) {
  std::string why;
  std::string private_dir = config::PrivateDir(&why);
  if (private_dir.empty()) {
    std::fprintf(stderr, "zel trace: %s\n", why.c_str());
    return kExitFailed;
  }
  std::vector<BtErrorPointRecord> points;
  uint32_t writer = 0;
  std::string error;
  trace::RingFile state =
      trace::ReadErrorRingFile(FindErrorRing(private_dir, pid), &points, &writer, &error);
  if (state == trace::RingFile::kRefused) {
    std::fprintf(stderr, "zel trace: %s\n", error.c_str());
    return kExitFailed;
  }
  bool running = state == trace::RingFile::kLive ||
                 (state == trace::RingFile::kMissing && kill(static_cast<pid_t>(pid), 0) == 0);
  if (state == trace::RingFile::kMissing && !running) {
    std::fprintf(stderr, "zel trace: no process %u, and no error points it left\n", pid);
    return kExitNotRunning;
  }
  if (json) {
    Json out;
    out.BeginObject().Integer("pid", pid).Bool("running", running).BeginArray("errorPoints");
    for (const BtErrorPointRecord& point : points) {
      out.BeginObject()
          .String("time", Timestamp(point.time_us))
          .Integer("tid", point.tid)
          .String("label", point.label)
          .String("module", point.module)
          .Integer("line", point.line)
          .EndObject();
    }
    std::printf("%s\n", out.EndArray().EndObject().text().c_str());
    return kExitOk;
  }
  std::printf("process %u (%s): %zu error point%s\n", pid,
              running ? "running" : "ended without removing its error points", points.size(),
              points.size() == 1 ? "" : "s");
  for (const BtErrorPointRecord& point : points) {
    std::printf("  %s tid %u %s (%s:%d)\n", Timestamp(point.time_us).c_str(), point.tid,
                point.label, point.module, point.line);
  }
  return kExitOk;
}

// Reads the filter options; kExitOk or the usage error's code.
int ParseFilter(const Args& args, Filter* filter) {
  uint32_t number = 0;
  for (const char* name : {"pid", "tid"}) {
    std::optional<std::string> text = args.Value(name);
    if (!text) continue;
    if (!ParseNumber(*text, &number)) return UsageError(kCommand, std::string("--") + name +
                                                                      " takes a number");
    (std::string(name) == "pid" ? filter->pid : filter->tid) = number;
  }
  std::string tags = args.Value("tag").value_or("");
  for (size_t at = 0; at < tags.size();) {
    size_t comma = tags.find(',', at);
    std::string tag = tags.substr(at, comma == std::string::npos ? comma : comma - at);
    if (!tag.empty()) filter->tags.insert(Upper(tag));
    at = comma == std::string::npos ? tags.size() : comma + 1;
  }
  if (args.Has("tag") && filter->tags.empty()) return UsageError(kCommand, "--tag names no tag");
  filter->errors_only = args.Has("errors");
  filter->raw = args.Has("raw");
  filter->json = args.Json();
  return kExitOk;
}

}  // namespace

int RunTrace(int argc, char** argv, int first) {
  Args args;
  if (!args.Parse(argc, argv, first, kOptions)) return UsageError(kCommand, args.error());
  if (args.Help()) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (args.Positionals().size() > 1) return UsageError(kCommand, "one trace file at most");
  if (std::optional<std::string> pid = args.Value("errors-of")) {
    uint32_t number = 0;
    if (!ParseNumber(*pid, &number) || number == 0) {
      return UsageError(kCommand, "--errors-of takes a process ID");
    }
    if (!args.Positionals().empty()) return UsageError(kCommand, "--errors-of takes no FILE");
    return ShowErrorPoints(number, args.Json());
  }
  Filter filter;
  if (int code = ParseFilter(args, &filter); code != kExitOk) return code;
  std::string path =
      args.Positionals().empty() ? config::TracePath() : args.Positionals().front();
  if (path.empty()) return UsageError(kCommand, "no trace file: give FILE or set ZEL_TRACE");
  return ShowFile(path, filter, args.Has("follow"));
}

}  // namespace zel::tool
