// bin/zel: the user's tool for an instance of zelcomm. One command with
// subcommands; each has --help, and --json where its output is data.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "tools/zel/cli.h"
#include "tools/zel/commands.h"

namespace {

using namespace zel::tool;

struct Command {
  const char* name;
  int (*run)(int argc, char** argv, int first);
  const char* summary;
};

constexpr Command kCommands[] = {
    {"status", RunStatus, "show the instance: manager, systems, requests, heaps"},
    {"call", RunCall, "send one request to a host program and print the reply"},
    {"stop", RunStop, "stop a system, or the whole manager"},
    {"trace", RunTrace, "show the trace readably; the last error points of a process"},
    {"doctor", RunDoctor, "check configuration, hosts, leftovers and installed files"},
};

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: zel COMMAND [OPTIONS] [ARGUMENTS]\n"
               "\n"
               "Commands:\n");
  for (const Command& command : kCommands) {
    std::fprintf(out, "  %-8s %s\n", command.name, command.summary);
  }
  std::fprintf(out,
               "\n"
               "Every command takes --help; commands whose output is data take --json.\n"
               "The instance is ZEL_INSTANCE (default u<uid>), the configuration ZEL_CONFIG.\n"
               "Exit status: 0 done, 1 the operation failed, 2 bad command line,\n"
               "3 no manager runs in the instance.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  std::string_view name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(stdout);
    return kExitOk;
  }
  for (const Command& command : kCommands) {
    if (name == command.name) return command.run(argc, argv, 2);
  }
  std::fprintf(stderr, "zel: unknown command '%s'\n", argv[1]);
  PrintUsage(stderr);
  return kExitUsage;
}
