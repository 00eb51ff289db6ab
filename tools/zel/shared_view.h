// What `zel status` and `zel stop` read of an instance: its manager, systems,
// lists and heaps, taken from copies of the shared regions without joining
// the instance (platform/instance_view.h).
//
// The copies are taken while the processes of the instance go on changing
// the regions, so a copy may hold a list half-way through an edit. Every
// pointer is checked against the area before it is followed and every walk
// is bounded; what cannot be right ends the walk and marks the status torn.
#ifndef ZEL_TOOLS_ZEL_SHARED_VIEW_H
#define ZEL_TOOLS_ZEL_SHARED_VIEW_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/instance_view.h"
#include "vqzmcb.h"

namespace zel::tool {

// Where the component keeps its regions, and their names: the library's
// shared data section and the control-block area. A test holds these, and
// the layout below, to the component's own.
inline constexpr uintptr_t kSharedDataAddress = 0x22000000;
inline constexpr uintptr_t kControlBlockAddress = 0x23000000;
inline constexpr uint32_t kControlBlockSize = 512000;
inline constexpr char kSharedDataRegion[] = "VQZMCSW.SHAREDDATA";
inline constexpr char kControlBlockRegion[] = "CPMSHAREME";
// The manager's locks: the manager state, and each system's comm state
// (the prefix is followed by the system's three digits).
inline constexpr char kStateMutex[] = "STATE";
inline constexpr char kCommStatePrefix[] = "COMMSTATE";

// The start of the shared data section, as the component lays it out.
struct SharedDataLayout {
  uint32_t ulAttachCount;     // raised each time a process creates or attaches the area
  uint32_t ulHeapUsed;        // bytes of the area ever handed out
  uint32_t ulSharedMemError;  // 1 once creating or attaching the area failed
  char szStartSystem[12];     // SetStartSystem's name
  char szInitUserID[20];      // user ID taken at caInitializeZELComm
  void* pMapBase;             // where the area is mapped in every process
  uint8_t abAnchorPad[6];     // places the anchor's pointers on 8 bytes
  ZELAnchorCB anchor;         // heads every shared list
};

struct TermWindowStatus {
  std::string program;  // program ID it registered under
  uint32_t hwnd;        // the window
  uint16_t type;        // terminate-window type, 1 to 3
};

struct SystemStatus {
  std::string name;
  std::string id;            // three digits
  uint16_t comm_state;       // ZELCommState
  uint16_t comm_rc;          // code of the comm step that failed
  std::string pws_id;        // "AAA".."ZZZ" once the host gave one, else empty
  std::string queue;         // "library/name" of its data queue, empty before it has one
  uint32_t conversations;    // conversation IDs issued and not released
  std::string rid_sequence;  // four digits
  std::vector<TermWindowStatus> windows;
};

// An asynchronous request whose answer has not been posted yet.
struct AsyncStatus {
  std::string rid;
  uint32_t hwnd;  // window the answer goes to
  uint32_t conversation;
  uint32_t received;    // bytes of the answer received so far
  uint32_t total;       // bytes announced
  uint16_t post_state;  // 40 waiting, 41 kept after a failed post
};

// A data-queue request handed to the manager's processing thread.
struct OutstandingStatus {
  uint16_t type;       // 1 obtain RRP, 2 send request, 3 send return, 4 retrieve data
  std::string system;  // name of its system
  bool returned;       // its result went back to the requester
};

struct InstanceStatus {
  enum class Found {
    kNothing,      // the instance has no files
    kDeserted,     // only files left by processes that have all ended
    kNoComponent,  // processes are attached, none has loaded the component
    kNoManager,    // the control blocks exist, no manager runs
    kRunning,      // the manager runs
  };
  Found found = Found::kNothing;
  std::string instance;
  uint32_t attached = 0;       // processes attached to the instance
  uint32_t attach_count = 0;   // attaches of the control blocks since they were made
  uint16_t manager_state = 0;  // 21, 23 or 24
  uint16_t manager_rc = 0;     // code last reported by the manager
  uint32_t manager_pid = 0;
  uint32_t manager_window = 0;  // the manager's window handle
  double uptime_seconds = -1;   // the manager's, -1 when unknown
  std::vector<SystemStatus> systems;
  std::vector<OutstandingStatus> outstanding;
  std::vector<AsyncStatus> async_waiting;
  std::vector<std::string> pc_programs;  // registered program IDs
  uint32_t host_requests = 0;            // host-initiated requests being reassembled
  uint32_t heap_used = 0;                // bytes of the control-block area handed out
  uint32_t heap_size = 0;                // bytes of the area
  bool have_global_heap = false;
  platform::GlobalHeapUse global_heap{};
  bool torn = false;  // the copies changed under the walk
};

// Fills the manager, list and heap fields of `status` from copies of the
// shared data section and of the control-block area, either of which may be
// empty. Copies that cannot be right mark the status torn; nothing in them
// is trusted.
void ReadControlBlocks(const std::vector<char>& shared_data, std::vector<char> area,
                       InstanceStatus* status);

// Reads the instance named by ZEL_INSTANCE. False with `error` when its
// files cannot be read or trusted.
bool ReadInstanceStatus(InstanceStatus* status, std::string* error);

// "active", "stopped", ...: the comm state's name.
const char* CommStateName(uint16_t state);

// "running", "not running", "stopping".
const char* ManagerStateName(uint16_t state);

}  // namespace zel::tool

#endif  // ZEL_TOOLS_ZEL_SHARED_VIEW_H
