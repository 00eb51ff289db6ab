// The host connection a process uses for a system's data queue.
#include <pthread.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/trace.h"
#include "ctrlblk/ctrlblk.h"
#include "dataqueue/dataqueue.h"
#include "services/connection.h"
#include "services/qlx_calls.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcd0")

namespace zel::dataqueue {
namespace {

using services::Qlx;

// A connection this process made for a system record of the manager.
struct OwnLink {
  const RZ700SysStruct* record;
  std::string name;  // the record's system name when it was made
  uint32_t system;   // system object of this process
};

// The connections of this process, released as it ends.
struct OwnLinks {
  ~OwnLinks() {
    for (const OwnLink& link : links) Qlx().qlxCO_DeleteSystem(link.system);
  }

  std::mutex mutex;
  std::vector<OwnLink> links;  // guarded by mutex
};

OwnLinks g_own;

// A forked child's lock may have been held by a thread of the parent
// connecting at the fork: the child takes a fresh one. The parent's links
// are refused in the child, which makes its own.
void FreshLinksLockInChild() { std::construct_at(&g_own.mutex); }

[[gnu::constructor]] void WatchForks() { pthread_atfork(nullptr, nullptr, FreshLinksLockInChild); }

// Connects a new system object for `pSystem`, signed on as the user that
// started communication; 0 when the host cannot be reached.
uint32_t Connect(RZ700SysStruct* pSystem, uint32_t error_handle) {
  uint32_t system = 0;
  uint32_t result = Qlx().qlxCO_CreateSystem(pSystem->szSysName, &system);
  if (result != 0 && ZEL_ERROR_POINT("EXT_CREATESYSTEM")) {
    trace::Rc("CD", -100, "qlxCO_CreateSystem() failed rc=", result);
    return 0;
  }
  const char* user = ctrlblk::Shared()->szInitUserID;
  if (user[0] != '\0') {
    Qlx().qlxCO_SetUserID(system, user);
    Qlx().qlxCO_SetSignOnMode(system, QLXCO_SIGNON_USE_SET);
  }
  result = Qlx().qlxCO_Connect(system, QLXCO_SERVICE_SIGNON, error_handle);
  if (result != 0 && ZEL_ERROR_POINT("EXT_CONNECT")) {
    trace::Rc("CD", -100, "qlxCO_Connect() failed rc=", result);
    char text[256] = {};
    Qlx().qlxSV_GetErrText(error_handle, text, sizeof text);
    trace::String("CD", -100, "Connect Error Msg", text);
    Qlx().qlxCO_DeleteSystem(system);
    return 0;
  }
  return system;
}

// A system name has one record at a time: a link made for an earlier
// record of the name (one that the reset after a killed manager freed) is
// never asked for again, and would hold its connection until the process
// ends. Under g_own.mutex.
void DropLinksOfEarlierRecords(const RZ700SysStruct* pSystem) {
  for (auto link = g_own.links.begin(); link != g_own.links.end();) {
    if (link->record == pSystem || link->name != pSystem->szSysName) {
      ++link;
      continue;
    }
    Qlx().qlxCO_DeleteSystem(link->system);
    link = g_own.links.erase(link);
  }
}

}  // namespace

bool HostLinkUp(uint32_t hSystem) {
  uint32_t connected = 0;
  return Qlx().qlxCO_TestConnection(hSystem, QLXCO_SERVICE_SIGNON, &connected) == 0 &&
         connected == 1;
}

uint16_t HostSystemHandle(RZ700SysStruct* pSystem, uint32_t error_handle, uint32_t* phSystem) {
  *phSystem = 0;
  uint32_t record_system = pSystem->hSystem;
  uint32_t connected = 0;
  uint32_t result = Qlx().qlxCO_TestConnection(record_system, QLXCO_SERVICE_SIGNON, &connected);
  if (result == 0 && connected == 1) {
    *phSystem = record_system;
    return 0;
  }
  if (record_system != 0 && result != QLXCO_RC_INVALID_HANDLE &&
      ZEL_ERROR_POINT("EXT_CONNECTION_LOST")) {
    trace::Rc("CD", -100, "qlxCO_TestConnection() rc=", result);
    trace::String("CD", -100, "host connection lost, system", pSystem->szSysName);
    return VQZM_RC_CONNECTION_FAILED;
  }
  std::lock_guard lock(g_own.mutex);
  DropLinksOfEarlierRecords(pSystem);
  for (auto link = g_own.links.begin(); link != g_own.links.end(); ++link) {
    if (link->record != pSystem || link->name != pSystem->szSysName) continue;
    if (HostLinkUp(link->system)) {
      *phSystem = link->system;
      return 0;
    }
    Qlx().qlxCO_DeleteSystem(link->system);
    g_own.links.erase(link);
    break;
  }
  uint32_t system = Connect(pSystem, error_handle);
  if (system == 0) return VQZM_RC_CONNECTION_FAILED;
  g_own.links.push_back(OwnLink{pSystem, pSystem->szSysName, system});
  *phSystem = system;
  return 0;
}

}  // namespace zel::dataqueue
