// Reading an instance's shared regions from copies: the anchor in the
// component's shared data section, the lists in the control-block area.
#include "tools/zel/shared_view.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "vqzmcb.h"
#include "vqzmcm.h"

namespace zel::tool {
namespace {

// Enough for every record the area can hold: a longer walk runs in a circle.
constexpr uint32_t kMaxSteps = kControlBlockSize / 32;
// Copies changed under the walk are taken again, this many times at most.
constexpr int kAttempts = 3;

// A copy of a region that was mapped at `base` in the processes that share
// it: addresses stored in the region are looked up in the copy.
class RegionCopy {
 public:
  RegionCopy(uintptr_t base, std::vector<char> bytes) : base_(base), bytes_(std::move(bytes)) {}

  bool empty() const { return bytes_.empty(); }

  // Copies the record at `address` to `out`; false when it does not lie
  // wholly inside the region.
  template <class T>
  bool Read(const void* address, T* out) const {
    uintptr_t at = reinterpret_cast<uintptr_t>(address);
    if (at < base_ || at - base_ > bytes_.size() || bytes_.size() - (at - base_) < sizeof(T)) {
      return false;
    }
    memcpy(static_cast<void*>(out), bytes_.data() + (at - base_), sizeof(T));
    return true;
  }

 private:
  uintptr_t base_;
  std::vector<char> bytes_;
};

// Calls `visit` with a copy of each record of the list that begins at
// `head`, following pNext; a record outside the area, or a walk longer than
// the area can hold, ends it and marks `torn`.
template <class T, class Visit>
void Walk(const RegionCopy& area, const T* head, bool* torn, Visit visit) {
  uint32_t steps = 0;
  for (const T* at = head; at != nullptr; ++steps) {
    T record;
    if (steps == kMaxSteps || !area.Read(at, &record)) {
      *torn = true;
      return;
    }
    visit(record);
    at = record.pNext;
  }
}

// A fixed-width text field up to its first NUL, trailing blanks removed.
template <size_t N>
std::string Text(const char (&field)[N]) {
  std::string text(field, strnlen(field, N));
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string Queue(const RZ700SysStruct& system) {
  std::string library = Text(system.szDQLib);
  std::string name = Text(system.szDQName);
  return library.empty() || name.empty() ? std::string() : library + "/" + name;
}

SystemStatus ReadSystem(const RegionCopy& area, const RZ700SysStruct& record, bool* torn) {
  SystemStatus system;
  system.name = Text(record.szSysName);
  system.id = Text(record.szSysID);
  system.comm_state = record.usCommState;
  system.comm_rc = record.usCommRC;
  if (record.achPWSSysID[0] != '\0') {
    system.pws_id = std::string(record.achPWSSysID, sizeof record.achPWSSysID);
  }
  system.queue = Queue(record);
  system.conversations = record.ulConvCount;
  system.rid_sequence = std::string(record.achRIDSeq, strnlen(record.achRIDSeq, 4));
  Walk(area, record.pTermWndList, torn, [&](const TermWndStruct& window) {
    system.windows.push_back({Text(window.szPgmID), window.hwndTerm, window.usTermType});
  });
  return system;
}

std::string SystemName(const RegionCopy& area, const RZ700SysStruct* address) {
  RZ700SysStruct system;
  return area.Read(address, &system) ? Text(system.szSysName) : std::string();
}

void ReadLists(const RegionCopy& area, const ZELAnchorCB& anchor, InstanceStatus* status) {
  bool* torn = &status->torn;
  Walk(area, anchor.pSysList, torn, [&](const RZ700SysStruct& record) {
    status->systems.push_back(ReadSystem(area, record, torn));
  });
  Walk(area, anchor.pOutstandingDQList, torn, [&](const OutstandingDQReqCB& record) {
    status->outstanding.push_back(
        {record.usReqType, SystemName(area, record.pSystem), record.ulReturned == 1});
  });
  Walk(area, anchor.pAsyncRetList, torn, [&](const AsyncRetStruct& record) {
    status->async_waiting.push_back({std::string(record.achRID, sizeof record.achRID),
                                     record.hwndNotify, record.ulConvId, record.ulRcvdLen,
                                     record.ulTotalLen, record.usPostState});
  });
  Walk(area, anchor.p3rdPartyList, torn, [&](const ThirdPartyStruct& record) {
    status->pc_programs.push_back(Text(record.szPgmID));
  });
  Walk(area, anchor.pRZ700ReqList, torn, [&](const RZ700ReqStruct&) { ++status->host_requests; });
}

// Seconds since the process `pid` started; -1 when that cannot be read.
double ProcessUptime(uint32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return -1;
  // Fields after the command, which may hold blanks, start past its ")";
  // the start time (clock ticks after boot) is field 22, the 20th of them.
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  for (int i = 0; i < 20 && fields >> field;) ++i;
  double booted_for = -1;
  std::ifstream("/proc/uptime") >> booted_for;
  if (!fields || booted_for < 0) return -1;
  return booted_for - std::stod(field) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool ReadOnce(InstanceStatus* status, std::string* error) {
  platform::InstanceView view;
  platform::InstanceView::State state = view.Open();
  status->instance = view.name();
  switch (state) {
    case platform::InstanceView::State::kRefused:
      *error = view.why();
      return false;
    case platform::InstanceView::State::kAbsent:
      status->found = InstanceStatus::Found::kNothing;
      return true;
    case platform::InstanceView::State::kDeserted:
      status->found = InstanceStatus::Found::kDeserted;
      return true;
    case platform::InstanceView::State::kLive:
      break;
  }
  status->attached = view.AttachedProcesses();
  std::vector<char> shared_data = view.CopyRegion(kSharedDataRegion);
  if (shared_data.size() < sizeof(SharedDataLayout)) {
    status->found = InstanceStatus::Found::kNoComponent;
    return true;
  }
  ReadControlBlocks(shared_data, view.CopyRegion(kControlBlockRegion), status);
  // The manager runs while its window's process lives.
  platform::DWORD window_pid = 0;
  bool running = status->manager_state != ZEL_CPMGR_NOT_RUNNING &&
                 view.WindowAlive(status->manager_window, &window_pid) &&
                 window_pid == status->manager_pid;
  status->found = running ? InstanceStatus::Found::kRunning : InstanceStatus::Found::kNoManager;
  if (running) status->uptime_seconds = ProcessUptime(status->manager_pid);
  status->have_global_heap = view.MeasureGlobalHeap(&status->global_heap);
  return true;
}

}  // namespace

void ReadControlBlocks(const std::vector<char>& shared_data, std::vector<char> area,
                       InstanceStatus* status) {
  RegionCopy shared(kSharedDataAddress, shared_data);
  SharedDataLayout data;
  if (!shared.Read(reinterpret_cast<const void*>(kSharedDataAddress), &data)) {
    status->torn = true;
    return;
  }
  const ZELAnchorCB& anchor = data.anchor;
  status->manager_state = anchor.usCPMgrState;
  status->manager_rc = anchor.usCPMgrRC;
  status->manager_pid = anchor.ulCPMgrPid;
  status->manager_window = anchor.hwndCPMgr;
  status->attach_count = data.ulAttachCount;
  status->heap_used = data.ulHeapUsed;
  status->heap_size = kControlBlockSize;
  uintptr_t base =
      data.pMapBase != nullptr ? reinterpret_cast<uintptr_t>(data.pMapBase) : kControlBlockAddress;
  RegionCopy copy(base, std::move(area));
  if (!copy.empty()) ReadLists(copy, anchor, status);
}

bool ReadInstanceStatus(InstanceStatus* status, std::string* error) {
  for (int attempt = 1;; ++attempt) {
    *status = InstanceStatus{};
    if (!ReadOnce(status, error)) return false;
    if (!status->torn || attempt == kAttempts) return true;
  }
}

const char* CommStateName(uint16_t state) {
  static const char* const kNames[] = {
      "stopped",          "starting", "start sent",       "station received",
      "RRP start sent",   "active",   "ending",           "end sent",
      "end acknowledged", "failed",   "failed, end sent", "failed, end acknowledged"};
  if (state < ZEL_COMM_STOPPED || state > ZEL_COMM_ERROR_TERM_ACKED) return "unknown";
  return kNames[state - ZEL_COMM_STOPPED];
}

const char* ManagerStateName(uint16_t state) {
  switch (state) {
    case ZEL_CPMGR_NOT_RUNNING:
      return "not running";
    case ZEL_CPMGR_RUNNING:
      return "running";
    case ZEL_CPMGR_STOPPING:
      return "stopping";
    default:
      return "unknown";
  }
}

}  // namespace zel::tool
