// How zel call shows a reply and the figures of repeated requests.
#ifndef ZEL_TOOLS_ZEL_CALL_OUTPUT_H
#define ZEL_TOOLS_ZEL_CALL_OUTPUT_H

#include <cstdint>
#include <string>
#include <string_view>

namespace zel::tool {

struct Reply {
  std::string rid;
  uint32_t value = 0;
  uint32_t data_version = 0;
  std::string data;
  double seconds = 0;  // from the call to its reply
};

struct ReplyOutput {
  bool json = false;
  bool hex = false;         // a hex dump even for text
  std::string path;         // write the data here instead; empty: show it
};

struct Figures {
  uint32_t requests = 0;
  double p50_seconds = 0;
  double p99_seconds = 0;
  double per_second = 0;
};

// True when `data` reads as text: printable ASCII, tabs, line ends and
// UTF-8 sequences, nothing else.
bool LooksLikeText(std::string_view data);

// Lines of 16 bytes: offset, the bytes in hex, the printable ones.
std::string HexDump(std::string_view data);

// Prints the reply: a summary line, then its data as text or a hex dump
// (or into the file of `output`). kExitOk, or kExitFailed when the file
// cannot be written.
int PrintReply(const Reply& reply, const ReplyOutput& output);

void PrintFigures(const Figures& figures, bool json);

}  // namespace zel::tool

#endif  // ZEL_TOOLS_ZEL_CALL_OUTPUT_H
