// The communication manager's log: one timestamped line per event, with the
// texts of the message library for the message numbers it reports.
#ifndef ZEL_CPMGR_MANAGER_LOG_H
#define ZEL_CPMGR_MANAGER_LOG_H

#include <cstdint>
#include <string>

namespace zel::cpmgr {

// Opens the log at `path` (its directory is created; standard error when it
// cannot be opened) and loads the message library. Call once, first.
void OpenLog(const std::string& path);

// Writes one line. Any thread.
void Log(const std::string& text);

// The text of message `number`, or "message <number>" when the library has
// none.
std::string MessageText(uint32_t number);

}  // namespace zel::cpmgr

#endif  // ZEL_CPMGR_MANAGER_LOG_H
