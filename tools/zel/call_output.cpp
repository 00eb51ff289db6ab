// Showing zel call's results.
#include "tools/zel/call_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/zel/cli.h"

namespace zel::tool {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// The length of the UTF-8 sequence that starts with `lead`; 0 when it
// cannot start one.
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

std::string HexString(std::string_view data) {
  std::string out;
  for (unsigned char c : data) {
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 15];
  }
  return out;
}

bool WriteFile(const std::string& path, std::string_view data) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
  return std::fclose(file) == 0 && written;
}

std::string Milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f ms", seconds * 1000);
  return text;
}

}  // namespace

bool LooksLikeText(std::string_view data) {
  for (size_t i = 0; i < data.size(); ++i) {
    auto c = static_cast<unsigned char>(data[i]);
    if (c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7f)) continue;
    size_t length = SequenceLength(c);
    if (length == 0 || i + length > data.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(data[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length - 1;
  }
  return true;
}

std::string HexDump(std::string_view data) {
  std::string out;
  for (size_t line = 0; line < data.size(); line += 16) {
    char offset[24];
    std::snprintf(offset, sizeof offset, "%08zx ", line);
    out += offset;
    std::string shown;
    for (size_t i = line; i < line + 16; ++i) {
      if (i % 8 == 0) out += ' ';
      if (i >= data.size()) {
        out += "   ";
        continue;
      }
      auto c = static_cast<unsigned char>(data[i]);
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 15];
      out += ' ';
      shown += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
    }
    out += " |" + shown + "|\n";
  }
  return out;
}

int PrintReply(const Reply& reply, const ReplyOutput& output) {
  if (!output.path.empty() && !WriteFile(output.path, reply.data)) {
    std::fprintf(stderr, "zel call: cannot write %s: %s\n", output.path.c_str(),
                 std::strerror(errno));
    return kExitFailed;
  }
  bool text = !output.hex && LooksLikeText(reply.data);
  if (output.json) {
    Json json;
    json.BeginObject()
        .Bool("ok", true)
        .String("rid", reply.rid)
        .Integer("value", reply.value)
        .Integer("dataVersion", reply.data_version)
        .Integer("length", static_cast<int64_t>(reply.data.size()))
        .Number("seconds", reply.seconds);
    if (output.path.empty()) {
      text ? json.String("data", reply.data) : json.String("dataHex", HexString(reply.data));
    }
    std::printf("%s\n", json.EndObject().text().c_str());
    return kExitOk;
  }
  std::printf("reply %s: value %u, data version %u, %zu bytes, %s\n", reply.rid.c_str(),
              reply.value, reply.data_version, reply.data.size(),
              Milliseconds(reply.seconds).c_str());
  if (!output.path.empty() || reply.data.empty()) return kExitOk;
  if (!text) {
    std::fputs(HexDump(reply.data).c_str(), stdout);
    return kExitOk;
  }
  std::fwrite(reply.data.data(), 1, reply.data.size(), stdout);
  if (reply.data.back() != '\n') std::fputc('\n', stdout);
  return kExitOk;
}

void PrintFigures(const Figures& figures, bool json) {
  if (json) {
    Json out;
    out.BeginObject()
        .Bool("ok", true)
        .Integer("requests", figures.requests)
        .Number("p50Seconds", figures.p50_seconds)
        .Number("p99Seconds", figures.p99_seconds)
        .Number("requestsPerSecond", figures.per_second)
        .EndObject();
    std::printf("%s\n", out.text().c_str());
    return;
  }
  std::printf("%u requests: p50 %s, p99 %s, %.1f requests/s\n", figures.requests,
              Milliseconds(figures.p50_seconds).c_str(),
              Milliseconds(figures.p99_seconds).c_str(), figures.per_second);
}

}  // namespace zel::tool
