// The zel tool's subcommands. Each takes the whole argv and the index of its
// first argument, and returns an ExitCode.
#ifndef ZEL_TOOLS_ZEL_COMMANDS_H
#define ZEL_TOOLS_ZEL_COMMANDS_H

namespace zel::tool {

int RunStatus(int argc, char** argv, int first);
int RunCall(int argc, char** argv, int first);
int RunStop(int argc, char** argv, int first);
int RunTrace(int argc, char** argv, int first);
int RunDoctor(int argc, char** argv, int first);

}  // namespace zel::tool

#endif  // ZEL_TOOLS_ZEL_COMMANDS_H
