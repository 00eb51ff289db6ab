#include "hostlink/manager_log.h"

#include "ctrlblk/process_state.h"
#include "base/config.h"
#include "base/log_file.h"
#include "base/trace.h"

ZEL_MODULE("Vqzmcc0")

namespace zel::hostlink {

void LogToManager(std::string_view text) {
  if (!ctrlblk::ThisProcess().is_manager) return;
  // Never destroyed: a system's teardown may still log while the process's
  // static objects end.
  static LogFile* const log = [] {
    auto* file = new LogFile;
    file->Open(config::CPMgrLogPath(), config::kCPMgrLogProgram);
    return file;
  }();
  log->Write(text);
}

}  // namespace zel::hostlink
