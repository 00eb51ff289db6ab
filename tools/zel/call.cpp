// zel call: one request to a host program through the component's API, as
// an application makes it; the reply, its value and how long it took.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/zel/call_output.h"
#include "tools/zel/cli.h"
#include "tools/zel/commands.h"
#include "tools/zel/component.h"
#include "tools/zel/messages.h"
#include "vqzmcsw.h"
#include "zelapp.h"

namespace zel::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kCommand[] = "call";
constexpr uint32_t kDefaultTimeoutSeconds = 60;
constexpr uint16_t kAnswerMessage = 0x0500;
constexpr size_t kMaxProgramName = 21;

constexpr char kHelp[] =
    "usage: zel call [SYSTEM] PROGRAM [OPTIONS]\n"
    "\n"
    "Sends one request to the host program PROGRAM on SYSTEM (default: the\n"
    "configuration's default system) and prints the reply, its value and the\n"
    "time it took. The communication manager is started when it is not running.\n"
    "\n"
    "Request data (none by default):\n"
    "  --data TEXT        the text TEXT\n"
    "  --file PATH        the contents of PATH ('-': standard input)\n"
    "  --stdin            standard input\n"
    "Request:\n"
    "  --value N          the request's value (default 0)\n"
    "  --packet           the data is packets, converted field by field\n"
    "  --timeout SECONDS  how long to wait for the reply (default 60)\n"
    "  --async            send without waiting; the answer comes to a window\n"
    "  --repeat N         send N requests one after another and print the\n"
    "                     median and 99th percentile latency and requests/s\n"
    "Reply:\n"
    "  --output FILE      write the reply's data to FILE instead of showing it\n"
    "  --hex              show the data as a hex dump even when it is text\n"
    "  --json             print the result as a JSON object\n"
    "\n"
    "Exit status: 0 the reply came; 1 a call failed (its return code and text\n"
    "are printed); 2 bad command line.\n";

const std::vector<Option> kOptions = {
    {"data", true},     {"file", true},   {"stdin", false},  {"value", true},
    {"packet", false},  {"timeout", true}, {"async", false}, {"repeat", true},
    {"output", true},   {"hex", false},
};

struct Request {
  std::optional<std::string> system;  // null: the default system
  std::string program;
  std::string data;
  uint32_t value = 0;
  bool packet = false;
  uint32_t timeout = kDefaultTimeoutSeconds;
  bool async = false;
  uint32_t repeat = 0;  // 0: a single request, its reply shown
};

// A failed call: which one, and its code.
struct Failure {
  const char* call;
  uint16_t rc;
};

bool ReadAll(int fd, std::string* out) {
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buffer, static_cast<size_t>(n));
  }
}

// The request data the options name; false with `error` when it cannot be had.
bool RequestData(const Args& args, std::string* data, std::string* error) {
  int sources = args.Has("data") + args.Has("file") + args.Has("stdin");
  if (sources > 1) {
    *error = "give the data once: --data, --file or --stdin";
    return false;
  }
  if (args.Has("data")) {
    *data = *args.Value("data");
    return true;
  }
  std::string path = args.Has("file") ? *args.Value("file") : args.Has("stdin") ? "-" : "";
  if (path.empty()) return true;
  int fd = path == "-" ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool read = fd >= 0 && ReadAll(fd, data);
  int read_error = errno;
  if (fd > STDIN_FILENO) close(fd);
  if (!read) *error = "cannot read " + path + ": " + std::strerror(read_error);
  return read;
}

// Parses the command line into `request`; kExitOk, or the usage error's code.
int ParseRequest(const Args& args, Request* request) {
  const std::vector<std::string>& positionals = args.Positionals();
  if (positionals.empty() || positionals.size() > 2) {
    return UsageError(kCommand, "want [SYSTEM] PROGRAM");
  }
  if (positionals.size() == 2) request->system = positionals[0];
  request->program = positionals.back();
  if (request->program.empty() || request->program.size() > kMaxProgramName) {
    return UsageError(kCommand, "a program name has 1 to 21 characters");
  }
  bool malformed = false;
  std::optional<uint64_t> value = args.Number("value", &malformed);
  std::optional<uint64_t> timeout = args.Number("timeout", &malformed);
  std::optional<uint64_t> repeat = args.Number("repeat", &malformed);
  if (malformed || value.value_or(0) > UINT32_MAX || timeout.value_or(1) == 0 ||
      timeout.value_or(0) >= UINT32_MAX || repeat.value_or(1) == 0 ||
      repeat.value_or(0) > 1000000) {
    return UsageError(kCommand, "--value, --timeout and --repeat take numbers "
                                "(--timeout and --repeat above 0)");
  }
  request->value = static_cast<uint32_t>(value.value_or(0));
  request->timeout = static_cast<uint32_t>(timeout.value_or(kDefaultTimeoutSeconds));
  request->repeat = static_cast<uint32_t>(repeat.value_or(0));
  request->packet = args.Has("packet");
  request->async = args.Has("async");
  if (request->repeat > 0 && (args.Has("output") || args.Has("hex"))) {
    return UsageError(kCommand, "--repeat shows figures, not replies: no --output or --hex");
  }
  std::string error;
  if (!RequestData(args, &request->data, &error)) return UsageError(kCommand, error);
  return kExitOk;
}

// The reply data, freed with the block the component handed out.
std::string TakeBlock(const void* data, uint32_t length, void* block) {
  std::string bytes(static_cast<const char*>(data), data != nullptr ? length : 0);
  if (block != nullptr) zelFreeBlock(block);
  return bytes;
}

std::optional<Failure> CallSync(const Request& request, uint32_t conv, Reply* reply) {
  ProcessRequest parms{};
  parms.ulConvId = conv;
  std::memcpy(parms.szPgmName, request.program.c_str(), request.program.size() + 1);
  parms.ulValue = request.value;
  parms.ulDataVersion = request.packet ? 1 : 0;
  parms.pData = const_cast<char*>(request.data.data());
  parms.ulDataLen = static_cast<uint32_t>(request.data.size());
  parms.ulTimeout = request.timeout;
  ProcessReply answer{};
  uint16_t rc = ZEL_COMPONENT(caProcessSync)(&parms, &answer);
  reply->rid.assign(answer.achRID, strnlen(answer.achRID, sizeof answer.achRID));
  if (rc != VQZM_RC_OK) {
    TakeBlock(nullptr, 0, answer.pData);
    return Failure{"caProcessSync", rc};
  }
  reply->value = answer.ulValue;
  reply->data_version = answer.ulDataVersion;
  reply->data = TakeBlock(answer.pData, answer.ulDataLen, answer.pData);
  return std::nullopt;
}

// Takes the answer that came as `message` into `reply`; a return-code
// answer is a failure of the request.
std::optional<Failure> TakeAnswer(const ZelMessage& message, Reply* reply) {
  const char* block = reinterpret_cast<const char*>(message.lParam);
  if (message.wParam == 1) {
    uint16_t rc = 0;
    std::memcpy(&rc, block, sizeof rc);
    zelFreeBlock(const_cast<char*>(block));
    return Failure{"caProcessAsync (answer)", rc};
  }
  AsyncRetPrefix prefix;
  std::memcpy(&prefix, block, sizeof prefix);
  uint32_t length = prefix.ulDataLen;
  if (zelBlockSize(block) < sizeof prefix + length) length = 0;
  reply->value = prefix.ulValue;
  reply->data_version = prefix.ulDataVersion;
  reply->data = TakeBlock(block + sizeof prefix, length, const_cast<char*>(block));
  return std::nullopt;
}

std::optional<Failure> CallAsync(const Request& request, uint32_t conv, uint32_t hwnd,
                                 Reply* reply) {
  AsyncRequest parms{};
  parms.ulConvId = conv;
  std::memcpy(parms.szPgmName, request.program.c_str(), request.program.size() + 1);
  parms.ulValue = request.value;
  parms.ulDataVersion = request.packet ? 1 : 0;
  parms.pData = const_cast<char*>(request.data.data());
  parms.ulDataLen = static_cast<uint32_t>(request.data.size());
  parms.hwndNotify = hwnd;
  parms.usNotifyMsg = kAnswerMessage;
  char rid[11] = {};
  uint16_t rc = ZEL_COMPONENT(caProcessAsync)(&parms, rid);
  reply->rid.assign(rid, strnlen(rid, sizeof rid));
  if (rc != VQZM_RC_OK) return Failure{"caProcessAsync", rc};
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(request.timeout);
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    ZelMessage message{};
    rc = zelWaitMessage(hwnd, static_cast<uint32_t>(left.count()), &message);
    if (rc == VQZM_RC_TIMED_OUT) continue;
    if (rc != VQZM_RC_OK) return Failure{"zelWaitMessage", rc};
    // One request is outstanding at a time: the answer is its answer.
    if (message.message == kAnswerMessage) return TakeAnswer(message, reply);
  }
  // Nobody will take it now: the manager throws the late answer away.
  ZEL_COMPONENT(caAbortProcessAsync)(rid, 0);
  return Failure{"caProcessAsync (no answer in time)", VQZM_RC_TIMED_OUT};
}

// One request; its reply (and how long it took) in `reply`.
std::optional<Failure> CallOnce(const Request& request, uint32_t conv, uint32_t hwnd,
                                Reply* reply) {
  Clock::time_point start = Clock::now();
  std::optional<Failure> failure =
      request.async ? CallAsync(request, conv, hwnd, reply) : CallSync(request, conv, reply);
  reply->seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return failure;
}

int ReportFailure(const Failure& failure, const Args& args) {
  std::string text = DescribeReturnCode(failure.rc);
  std::fprintf(stderr, "zel call: %s failed: %s\n", failure.call, text.c_str());
  if (args.Json()) {
    Json json;
    json.BeginObject()
        .Bool("ok", false)
        .String("call", failure.call)
        .Integer("rc", failure.rc)
        .String("message", ReturnCodeText(failure.rc))
        .EndObject();
    std::printf("%s\n", json.text().c_str());
  }
  return kExitFailed;
}

// The latency at quantile `q` of the sorted `seconds`.
double Quantile(const std::vector<double>& seconds, double q) {
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(seconds.size())));
  return seconds[std::clamp<size_t>(rank, 1, seconds.size()) - 1];
}

int Repeat(const Request& request, uint32_t conv, uint32_t hwnd, const Args& args) {
  std::vector<double> seconds;
  Clock::time_point start = Clock::now();
  for (uint32_t i = 0; i < request.repeat; ++i) {
    Reply reply;
    if (std::optional<Failure> failure = CallOnce(request, conv, hwnd, &reply)) {
      std::fprintf(stderr, "zel call: request %u of %u\n", i + 1, request.repeat);
      return ReportFailure(*failure, args);
    }
    seconds.push_back(reply.seconds);
  }
  double total = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(seconds.begin(), seconds.end());
  Figures figures{request.repeat, Quantile(seconds, 0.5), Quantile(seconds, 0.99),
                  total > 0 ? request.repeat / total : 0};
  PrintFigures(figures, args.Json());
  return kExitOk;
}

int Run(const Request& request, const Args& args) {
  uint32_t conv = 0;
  uint16_t rc = ZEL_COMPONENT(caInitializeZELComm)(
      request.system ? request.system->c_str() : nullptr, 0, 0, 0, &conv, 0);
  if (rc != VQZM_RC_OK) return ReportFailure({"caInitializeZELComm", rc}, args);
  uint32_t hwnd = 0;
  int result = kExitOk;
  if (request.async && (rc = zelCreateWindow(&hwnd)) != VQZM_RC_OK) {
    result = ReportFailure({"zelCreateWindow", rc}, args);
  } else if (request.repeat > 0) {
    result = Repeat(request, conv, hwnd, args);
  } else {
    Reply reply;
    std::optional<Failure> failure = CallOnce(request, conv, hwnd, &reply);
    result = failure ? ReportFailure(*failure, args)
                     : PrintReply(reply, ReplyOutput{args.Json(), args.Has("hex"),
                                                     args.Value("output").value_or("")});
  }
  if (hwnd != 0) zelDestroyWindow(hwnd);
  rc = ZEL_COMPONENT(caStopZELComm)(conv);
  if (rc != VQZM_RC_OK && result == kExitOk) return ReportFailure({"caStopZELComm", rc}, args);
  return result;
}

}  // namespace

int RunCall(int argc, char** argv, int first) {
  Args args;
  if (!args.Parse(argc, argv, first, kOptions)) return UsageError(kCommand, args.error());
  if (args.Help()) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  Request request;
  if (int code = ParseRequest(args, &request); code != kExitOk) return code;
  std::string error;
  if (!LoadComponent(&error)) {
    std::fprintf(stderr, "zel call: %s\n", error.c_str());
    return kExitFailed;
  }
  return Run(request, args);
}

}  // namespace zel::tool
