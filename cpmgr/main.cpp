// VQZMCMW.EXE, the communication manager (CPMgr): a headless daemon that
// owns the window the component's notices go to, runs one communication
// thread per started system, and stops idle systems and then itself.
//
//   VQZMCMW.EXE [/API] [--idle-seconds N] [--log FILE]
//
// Applications start it through the component with "/API"; it ends after
// its idle time with no system running, or on SIGTERM.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/config.h"
#include "cpmgr/manager_log.h"
#include "cpmgr/manager_window.h"
#include "platform/window.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

namespace {

using namespace zel::cpmgr;
namespace platform = zel::platform;

constexpr platform::DWORD kLoopSliceMs = 250;

std::atomic<bool> g_terminate{false};

void OnTerminate(int) { g_terminate = true; }

struct Options {
  uint32_t idle_seconds = zel::config::CPMgrIdleSeconds();
  std::string log_path = zel::config::CPMgrLogPath();
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "/API") continue;
    if (arg == "--idle-seconds" && i + 1 < argc) {
      options->idle_seconds = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--log" && i + 1 < argc) {
      options->log_path = argv[++i];
    } else {
      fprintf(stderr, "usage: VQZMCMW.EXE [/API] [--idle-seconds N] [--log FILE]\n");
      return false;
    }
  }
  return true;
}

// Registers the window and starts the manager's threads; the code that
// goes back to the application that started it.
uint16_t Initialise(ManagerWindow& window, platform::HWND* hwnd) {
  if (cmInitCPMStateSem() != 0) return VQZM_RC_INTERNAL_ERROR;
  *hwnd = platform::CreateMessageWindow(
      [&window](platform::HWND, platform::UINT message, platform::WPARAM wParam,
                platform::LPARAM lParam) { return window.Handle(message, wParam, lParam); });
  if (*hwnd == 0) return VQZM_RC_INTERNAL_ERROR;
  cbSetCPMgrHwnd(*hwnd);
  cbSetCPMgrState(ZEL_CPMGR_RUNNING);
  if (uint16_t rc = cmInitStartStop(); rc != 0) return rc;
  return cdInitDQProcThread();
}

// Dispatches messages until the start/stop thread has ended; idle checks
// and a pending SIGTERM are looked at between messages.
void Run(ManagerWindow& window) {
  bool terminating = false;
  while (!window.finished()) {
    platform::WaitMessage(kLoopSliceMs);
    platform::MSG msg;
    while (!window.finished() && platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE)) {
      platform::DispatchMessage(&msg);
    }
    if (g_terminate && !terminating) {
      terminating = true;
      Log("SIGTERM: stopping every system and the manager");
      window.StopEverything();
    }
    window.CheckIdle(ManagerWindow::Clock::now());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return 2;
  cmSetStartedAPIFlag(cmCkStartedByAPI(argc, argv));
  OpenLog(options.log_path);
  // The host link inside this process logs its failures to the same file.
  setenv("ZEL_CPMGR_LOG", options.log_path.c_str(), 1);
  signal(SIGTERM, OnTerminate);
  signal(SIGINT, OnTerminate);
  if (GetZELAnchorCB() == nullptr) {
    Log("the shared control blocks are not available; the manager cannot run");
    return 1;
  }

  auto window = std::make_unique<ManagerWindow>(std::chrono::seconds(options.idle_seconds));
  platform::HWND hwnd = 0;
  uint16_t rc = Initialise(*window, &hwnd);
  Log("started" + std::string(cmQryStartedByAPI() ? " by an application" : "") + ", idle time " +
      std::to_string(options.idle_seconds) + " s, rc " + std::to_string(rc));
  uint16_t told = cmReturnCPMgrRCDuringInit(rc);
  if (rc == 0 && told != 0) {
    Log("could not report its start to the application (rc " + std::to_string(told) +
        "): the manager ends");
    rc = told;
  }
  if (rc == 0) Run(*window);
  // The window goes first: an application that waits for its answer holds
  // "STATE", which the exit routine waits for, and the window's end is what
  // tells it that no answer comes.
  if (hwnd != 0) platform::DestroyWindow(hwnd);
  cmExitListRoutine();
  Log("ended");
  return rc == 0 ? 0 : 1;
}
