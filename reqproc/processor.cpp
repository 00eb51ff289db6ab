// The processor's thread and what it watches. Each request it took has an
// answer event (CR_ANSWER_EVENT_PREFIX + RID) that caReturnData sets; the
// thread looks at it when the started program ends, when the registered
// window goes, and at the request's deadline.
#include "reqproc/processor.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "base/trace.h"
#include "platform/event.h"
#include "platform/globalmem.h"
#include "platform/handles.h"
#include "platform/window.h"
#include "vqzmcsw.h"
#include "vqzmctw.h"
#include "vqzmrc.h"

extern char** environ;

ZEL_MODULE("vqzmctw")

namespace zel::reqproc {
namespace {

using Clock = std::chrono::steady_clock;

// A registered window is looked at this often while a request waits on it.
constexpr auto kWindowCheck = std::chrono::milliseconds(200);

// A request being served.
struct Watched {
  HostRequest request;
  platform::HANDLE answered = 0;  // the answer event
  Clock::time_point deadline;
  std::vector<std::string> argv;  // a program to start; empty for a window
  Registration window;            // hwnd 0 for a started program
  pid_t pid = -1;                 // the started program while it runs
  int pidfd = -1;                 // readable once it has ended
};

// Answers the host for a request given up on.
void GiveUp(const HostRequest& request, uint32_t code) {
  trace::String("CR", -100, "request given up", request.rid.c_str());
  trace::Rc("CR", -100, "answered with", code);
  ReturnDataParms parms{};
  parms.pRID = request.rid.c_str();
  parms.ulValue = code;
  uint16_t rc = caReturnData(&parms, nullptr, 0);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_RETURN_DATA"))
    trace::Rc("CR", -100, "caReturnData() rc=", rc);
}

std::vector<std::string> RequestEnvironment(const HostRequest& request) {
  std::vector<std::string> added = {
      "ZEL_REQUEST_RID=" + request.rid,
      "ZEL_REQUEST_PROGRAM=" + request.program,
      "ZEL_REQUEST_VALUE=" + std::to_string(request.value),
      "ZEL_REQUEST_VERSION=" + std::to_string(request.data_version),
      "ZEL_REQUEST_LENGTH=" + std::to_string(request.length),
  };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "ZEL_REQUEST_", 12) != 0) env.emplace_back(*e);
  }
  env.insert(env.end(), added.begin(), added.end());
  return env;
}

// Starts the program with the signals a fresh process has, whatever this
// thread blocks or the manager ignores.
bool Spawn(Watched& w) {
  std::vector<std::string> env = RequestEnvironment(w.request);
  std::vector<char*> envp, argv;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  for (std::string& a : w.argv) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, s);
  }
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int error = posix_spawnp(&w.pid, argv[0], nullptr, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    ZEL_ERROR_POINT("EXT_SPAWN");
    trace::String("CR", -100, "cannot start", argv[0]);
    trace::Rc("CR", -100, "posix_spawnp() errno=", static_cast<uint32_t>(error));
    w.pid = -1;
    return false;
  }
  w.pidfd = static_cast<int>(syscall(SYS_pidfd_open, w.pid, 0));
  trace::String("CR", 100, "started for request", w.request.rid.c_str());
  return true;
}

bool Post(const Watched& w) {
  auto* block = static_cast<CrRequestBlock*>(platform::GlobalAlloc(
      platform::GMEM_SHARE | platform::GMEM_ZEROINIT, sizeof(CrRequestBlock)));
  if (block == nullptr) {
    ZEL_ERROR_POINT("EXT_ALLOC_BLOCK");
    trace::Size("CR", -100, "GlobalAlloc() failed size=", sizeof(CrRequestBlock));
    return false;
  }
  memcpy(block->achRID, w.request.rid.data(), ZEL_RID_LEN);
  memcpy(block->szPgmName, w.request.program.c_str(), w.request.program.size() + 1);
  block->ulValue = w.request.value;
  block->ulDataVersion = w.request.data_version;
  block->ulDataLen = w.request.length;
  if (!platform::PostMessage(w.window.hwnd, w.window.msg, 0,
                             reinterpret_cast<platform::LPARAM>(block))) {
    ZEL_ERROR_POINT("EXT_POST_REQUEST");
    trace::Rc("CR", -100, "PostMessage() error", platform::GetLastError());
    platform::GlobalFree(block);
    return false;
  }
  return true;
}

bool Answered(const Watched& w) {
  return platform::WaitForSingleObject(w.answered, 0) == platform::WAIT_OBJECT_0;
}

// True once the started program has ended (it is reaped then).
bool Ended(Watched& w) {
  if (w.pid < 0) return true;
  if (waitpid(w.pid, nullptr, WNOHANG) != w.pid) return false;
  w.pid = -1;
  return true;
}

void EndProgram(Watched& w) {
  if (w.pid < 0) return;
  kill(w.pid, SIGKILL);
  waitpid(w.pid, nullptr, 0);
  w.pid = -1;
}

class Worker {
 public:
  // The one worker of the process, its thread started on first use; null
  // when it cannot be had.
  static Worker* Get() {
    static std::mutex made_mutex;
    static Worker* worker = nullptr;
    std::lock_guard guard(made_mutex);
    if (worker != nullptr) return worker;
    int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) return nullptr;
    try {
      // Never destroyed: the thread serves until the process ends.
      auto* made = new Worker(wake);
      std::thread([made] { made->Run(); }).detach();
      worker = made;
    } catch (...) {
      close(wake);
    }
    return worker;
  }

  uint16_t Hand(Watched w) {
    std::string name = CR_ANSWER_EVENT_PREFIX + w.request.rid;
    w.answered = platform::CreateEvent(true, false, name.c_str());
    if (w.answered == 0) {
      ZEL_ERROR_POINT("EXT_CREATE_EVENT");
      trace::Rc("CR", -100, "CreateEvent() error", platform::GetLastError());
      return VQZM_RC_INTERNAL_ERROR;
    }
    // A RID comes round again after 10,000 requests.
    platform::ResetEvent(w.answered);
    w.deadline = Clock::now() + w.request.timeout;
    {
      std::lock_guard guard(mutex_);
      jobs_.push_back(std::move(w));
    }
    uint64_t one = 1;
    if (write(wake_fd_, &one, sizeof one) < 0) {
      // The counter is full: the thread is awake anyway.
    }
    return 0;
  }

 private:
  explicit Worker(int wake_fd) : wake_fd_(wake_fd) {}

  void Run() {
    for (;;) {
      TakeJobs();
      std::vector<pollfd> fds = {{wake_fd_, POLLIN, 0}};
      for (const Watched& w : watched_) {
        if (w.pidfd >= 0) fds.push_back({w.pidfd, POLLIN, 0});
      }
      poll(fds.data(), fds.size(), NextTimeout());
      uint64_t count = 0;
      if (read(wake_fd_, &count, sizeof count) < 0) {
        // Nothing was handed over.
      }
      Sweep();
    }
  }

  void TakeJobs() {
    std::deque<Watched> jobs;
    {
      std::lock_guard guard(mutex_);
      jobs.swap(jobs_);
    }
    for (Watched& w : jobs) {
      bool begun = w.window.hwnd != 0 ? Post(w) : Spawn(w);
      if (begun) {
        watched_.push_back(std::move(w));
        continue;
      }
      if (w.window.hwnd != 0) DropRegistration(w.request.program, w.window.hwnd);
      GiveUp(w.request, CR_RC_NOT_DELIVERED);
      Forget(w);
    }
  }

  // Milliseconds until the next deadline or window check; -1 for none.
  int NextTimeout() const {
    if (watched_.empty()) return -1;
    Clock::time_point next = Clock::time_point::max();
    for (const Watched& w : watched_) {
      next = std::min(next, w.deadline);
      if (w.window.hwnd != 0) next = std::min(next, Clock::now() + kWindowCheck);
    }
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(wait.count() + 1, 0, 60'000));
  }

  // True when the request needs no more watching.
  static bool Settle(Watched& w) {
    bool late = Clock::now() >= w.deadline;
    if (w.window.hwnd == 0) {
      if (Ended(w)) {
        if (!Answered(w)) GiveUp(w.request, CR_RC_PROGRAM_ENDED);
        return true;
      }
      if (!late) return false;
      EndProgram(w);
      if (!Answered(w)) GiveUp(w.request, CR_RC_PROGRAM_TIMEOUT);
      return true;
    }
    if (Answered(w)) return true;
    if (!platform::IsWindow(w.window.hwnd)) {
      DropRegistration(w.request.program, w.window.hwnd);
      GiveUp(w.request, CR_RC_PROGRAM_ENDED);
      return true;
    }
    if (!late) return false;
    GiveUp(w.request, CR_RC_PROGRAM_TIMEOUT);
    return true;
  }

  void Sweep() {
    std::vector<Watched> still;
    for (Watched& w : watched_) {
      if (Settle(w)) {
        Forget(w);
      } else {
        still.push_back(std::move(w));
      }
    }
    watched_.swap(still);
  }

  static void Forget(Watched& w) {
    if (w.answered != 0) platform::CloseHandle(w.answered);
    if (w.pidfd >= 0) close(w.pidfd);
    w.answered = 0;
    w.pidfd = -1;
  }

  int wake_fd_;
  std::mutex mutex_;
  std::deque<Watched> jobs_;      // handed over, not begun yet
  std::vector<Watched> watched_;  // the thread's own
};

uint16_t Hand(Watched w) {
  Worker* worker = Worker::Get();
  if (worker == nullptr) {
    ZEL_ERROR_POINT("EXT_START_THREAD");
    trace::Msg("CR", -100, "processor thread not started");
    return VQZM_RC_NO_MEMORY;
  }
  return worker->Hand(std::move(w));
}

}  // namespace

uint16_t StartProgram(HostRequest request, std::vector<std::string> argv) {
  Watched w;
  w.request = std::move(request);
  w.argv = std::move(argv);
  return Hand(std::move(w));
}

uint16_t PostToWindow(HostRequest request, Registration window) {
  Watched w;
  w.request = std::move(request);
  w.window = window;
  return Hand(std::move(w));
}

bool Executable(const std::string& program) {
  auto runnable = [](const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
  };
  if (program.empty()) return false;
  if (program.find('/') != std::string::npos) return runnable(program);
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t begin = 0; begin <= dirs.size();) {
    size_t end = std::min(dirs.find(':', begin), dirs.size());
    std::string dir = end > begin ? dirs.substr(begin, end - begin) : ".";
    if (runnable(dir + "/" + program)) return true;
    begin = end + 1;
  }
  return false;
}

}  // namespace zel::reqproc
