// The processor's exports: the manager's entry for each host request, and
// the registration calls of the PC programs that stay running.
#include <cstring>
#include <string>

#include "base/trace.h"
#include "platform/process.h"
#include "platform/window.h"
#include "reqproc/processor.h"
#include "reqproc/registry.h"
#include "services/connection/system_config.h"
#include "vqzmctw.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmctw")

namespace zel::reqproc {
namespace {

constexpr uint16_t kFirstUserMessage = 1024;

bool ValidName(const char* name) {
  return name != nullptr && name[0] != '\0' && strlen(name) <= kMaxNameLength;
}

// The configuration as far as it can be read; its defaults otherwise.
qlx::SystemConfig Configuration() {
  qlx::SystemConfig config;
  std::string error;
  if (qlx::LoadSystemConfig(config, error)) return config;
  ZEL_ERROR_POINT("EXT_CONFIG");
  trace::String("CR", -100, "configuration not read", error.c_str());
  return qlx::SystemConfig{};
}

HostRequest CopyOf(const RZ700ReqStruct* record) {
  HostRequest request;
  request.rid.assign(record->achRID, ZEL_RID_LEN);
  request.program = UpperName(record->szPgmName);
  request.value = record->ulValue;
  request.data_version = record->ulDataVersion;
  request.length = record->ulTotalLen;
  return request;
}

uint16_t Serve(HostRequest request) {
  qlx::SystemConfig config = Configuration();
  request.timeout = std::chrono::seconds(config.program_timeout);
  if (std::optional<Registration> window = FindRegistration(request.program)) {
    if (!platform::IsWindow(window->hwnd)) {
      ZEL_ERROR_POINT("EXT_WINDOW_GONE");
      DropRegistration(request.program, window->hwnd);
      return VQZM_RC_NO_ASYNC_FOR_WINDOW;
    }
    return PostToWindow(std::move(request), *window);
  }
  if (DropLeftOver(request.program)) {
    ZEL_ERROR_POINT("EXT_WINDOW_GONE");
    return VQZM_RC_NO_ASYNC_FOR_WINDOW;
  }
  const qlx::ConfiguredProgram* program = config.FindProgram(request.program);
  if (program == nullptr) {
    ZEL_ERROR_POINT("EXT_PROGRAM_UNKNOWN");
    trace::String("CR", -100, "no program for", request.program.c_str());
    return VQZM_RC_PROGRAM_NOT_REGISTERED;
  }
  std::vector<std::string> argv = platform::CommandLineToArgv(program->command);
  if (argv.empty() || !Executable(argv[0])) {
    ZEL_ERROR_POINT("EXT_PROGRAM_NOT_RUNNABLE");
    trace::String("CR", -100, "cannot run", program->command.c_str());
    return VQZM_RC_PASSED_ON_1066;
  }
  return StartProgram(std::move(request), std::move(argv));
}

}  // namespace
}  // namespace zel::reqproc

using namespace zel::reqproc;
namespace trace = zel::trace;

extern "C" {

uint16_t crPwsRRP(RZ700ReqStruct* pRequest, RZ700SysStruct* /*pSystem*/) noexcept try {
  ZEL_TRACE_FUNCTION("CR", "crPwsRRP");
  if (pRequest == nullptr) return VQZM_RC_INTERNAL_ERROR;
  return Serve(CopyOf(pRequest));
} catch (...) {
  return VQZM_RC_NO_MEMORY;
}

uint16_t crRegisterProgram(const char* pszName, uint32_t hwnd, uint16_t usMsg) noexcept try {
  ZEL_TRACE_FUNCTION("CR", "crRegisterProgram");
  if (!ValidName(pszName)) return VQZM_RC_BAD_PROGRAM_ID;
  if (usMsg < kFirstUserMessage) return VQZM_RC_BAD_MESSAGE_NUMBER;
  if (!zel::platform::IsWindow(hwnd)) return VQZM_RC_NO_ASYNC_FOR_WINDOW;
  return Register(UpperName(pszName), hwnd, usMsg);
} catch (...) {
  return VQZM_RC_NO_MEMORY;
}

uint16_t crUnregisterProgram(const char* pszName) noexcept try {
  ZEL_TRACE_FUNCTION("CR", "crUnregisterProgram");
  if (!ValidName(pszName)) return VQZM_RC_BAD_PROGRAM_ID;
  return Unregister(UpperName(pszName));
} catch (...) {
  return VQZM_RC_NO_MEMORY;
}

}  // extern "C"
