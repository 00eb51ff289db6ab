// What libzelplat does as it loads, forks and unloads.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "platform/posix/address_space.h"
#include "platform/posix/handle_table.h"
#include "platform/posix/instance.h"
#include "platform/posix/last_error.h"
#include "platform/process.h"
#include "base/trace.h"

namespace zel::platform::internal {
namespace {

// btGetSysErrorText shows the platform's last error of the calling thread.
void LastErrorSource(char* buffer, uint32_t size) { WriteLastErrorText(buffer, size); }

std::atomic<bool> g_ending{false};

// Tells the process's end from an unload while it goes on. exit() runs the
// calling thread's thread_local destructors before any exit handler and
// before the libraries' unload handlers; an exit handler registered while
// the libraries load would run only after those. The watch lives on the
// main thread, whose thread_locals end only with the process.
struct EndingWatch {
  ~EndingWatch() {
    if (gettid() == getpid()) g_ending = true;
  }
};
thread_local EndingWatch t_ending_watch;

// A forked child is a process of the instance in its own right (see
// Instance::PrepareFork). The handle table's lock comes before the attach
// lock, as when an insert attaches; the mapping locks come last.
void PrepareFork() {
  LockHandleTableForFork();
  Instance::PrepareFork();
  LockViewsForFork();
  LockFixedWindowForFork();
}

void ParentAfterFork() {
  UnlockFixedWindowAfterFork();
  UnlockViewsAfterFork();
  Instance::ParentAfterFork();
  UnlockHandleTableInParent();
}

void ChildAfterFork() {
  ForgetProcessIdInChild();
  UnlockFixedWindowAfterFork();
  UnlockViewsAfterFork();
  Instance::ChildAfterFork();
  InheritHandleTableInChild();
  // The forking thread is the child's main thread now, whichever thread of
  // the parent it was.
  static_cast<void>(&t_ending_watch);
}

// Before anything else can take its addresses, the fixed window is
// reserved; attaching to the instance waits for first use.
[[gnu::constructor]] void Load() {
  ReserveFixedWindow();
  btSetSysErrorSource(LastErrorSource);
  // Touched here, so that the loading thread's watch exists.
  static_cast<void>(&t_ending_watch);
  pthread_atfork(PrepareFork, ParentAfterFork, ChildAfterFork);
}

// Runs at exit after the libraries that depend on this one have finished,
// so their last closes have happened.
[[gnu::destructor]] void Unload() {
  btSetSysErrorSource(nullptr);
  Instance::DetachAtExit();
}

}  // namespace
}  // namespace zel::platform::internal

namespace zel::platform {

bool ProcessIsEnding() noexcept { return internal::g_ending; }

}  // namespace zel::platform
