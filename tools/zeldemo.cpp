// The demonstration: shows what the installed product does, step by step.
//
// Today it shows the trace service at work: worker threads started through
// btLaunchThread trace entry, messages, values and dumps into the file named
// by ZEL_TRACE, an error point is raised, and the process's error-point ring
// is printed.
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "services/trace.h"

ZEL_MODULE("zeldemo")

namespace {

constexpr int kWorkers = 3;
std::atomic<int> g_finished{0};

void Worker(void* argument) {
  auto id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(argument));
  ZEL_TRACE_FUNCTION("CD", "demoWorker");
  zel::trace::Value("CD", 10, id);
  const char key[] = "\xE2\xC1\xC1\xC1";  // "SAAA" in EBCDIC
  zel::trace::Key("CD", 11, "key:", key, 4);
  zel::trace::Limit("CD", 12, "Time out value:", 30 * id);
  g_finished.fetch_add(1);
}

}  // namespace

int main() {
  ZEL_TRACE_FUNCTION("CA", "main");
  std::printf("tracing is %s\n", zel::trace::Active() ? "on" : "off");
  std::printf("double-byte PC code page: %s\n", bdIsDBCS() ? "yes" : "no");
  for (int i = 1; i <= kWorkers; ++i) {
    if (btLaunchThread(Worker, 12288, reinterpret_cast<void*>(static_cast<uintptr_t>(i))) == -1) {
      std::fprintf(stderr, "cannot start worker %d\n", i);
      return 1;
    }
  }
  for (int i = 0; i < 2000 && g_finished.load() < kWorkers; ++i) usleep(1000);
  std::printf("%d of %d worker threads finished\n", g_finished.load(), kWorkers);

  if (ZEL_ERROR_POINT("EXT_DEMO_ERROR")) {
    zel::trace::Rc("CA", -100, "demonstration error rc=", 1026);
  }
  BtErrorPointRecord points[4];
  uint32_t n = btGetErrorPoints(points, 4);
  for (uint32_t i = 0; i < n; ++i) {
    std::printf("error point: %s in %s at line %d\n", points[i].label, points[i].module,
                points[i].line);
  }
  return g_finished.load() == kWorkers ? 0 : 1;
}
