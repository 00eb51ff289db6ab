// Lines the host link writes into the communication manager's log, for
// what a user must be told in words: why a system could not be reached
// (the configuration file and line, the host address, the system error).
// The log is the file the manager program writes (config::CPMgrLogPath;
// the program exports its --log choice as ZEL_CPMGR_LOG), shared line by
// line with it.
#ifndef ZEL_HOSTLINK_MANAGER_LOG_H
#define ZEL_HOSTLINK_MANAGER_LOG_H

#include <string_view>

namespace zel::hostlink {

// Appends one line (escaped) to the manager's log, opening it at first use;
// in any other process it does nothing (the trace says it there). Any
// thread.
void LogToManager(std::string_view text);

}  // namespace zel::hostlink

#endif  // ZEL_HOSTLINK_MANAGER_LOG_H
