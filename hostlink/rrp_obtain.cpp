// Obtaining a ready remote request processor (RRP) before a request goes to
// the host: the host keeps an entry under the ready key for each idle RRP,
// and an obtain takes one off the PWS's queue; when none comes, a further
// RRP is started and its entry awaited.
#include <cstdlib>
#include <cstring>

#include "base/heap_buffer.h"
#include "base/trace.h"
#include "convert/convert.h"
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/object_names.h"
#include "dataqueue/dataqueue.h"
#include "hostlink/hostlink.h"
#include "platform/handles.h"
#include "platform/mutex.h"
#include "services/platform_calls.h"
#include "vqzmcm.h"
#include "vqzmrc.h"

ZEL_MODULE("Vqzmcc0")

namespace zel::hostlink {
namespace {

using namespace zel::platform;

constexpr char kReadyKey[] = "FFFFFFFFFFFF";

// Waits of the ready-entry reads, in the data-queue service's seconds: the
// first obtain after a start gives the first RRP time to come up, later
// ones only look before they start a further RRP, whose start takes long.
constexpr int32_t kFirstWait = 90;
constexpr int32_t kLaterWait = 1;
constexpr int32_t kFurtherWait = 180;

// "OBTRRP", held from before the first read until after the last one, and
// released and closed on every way out.
class ObtainLock {
 public:
  ObtainLock() : handle_(services::Plat().CreateMutex(false, ctrlblk::kObtainRrpName)) {}
  ~ObtainLock() {
    if (held_) services::Plat().ReleaseMutex(handle_.get());
  }
  ObtainLock(const ObtainLock&) = delete;
  ObtainLock& operator=(const ObtainLock&) = delete;

  // 0, or 1026 after the failing call's error point. A mutex its owner
  // left abandoned counts as taken.
  uint16_t Take() {
    if (!handle_ && ZEL_ERROR_POINT("CREATE_SEM_ERROR")) {
      trace::SysRc("CC", -100, "error CreateMutex()", GetLastError());
      trace::String("CC", -100, "sem name", ctrlblk::kObtainRrpName);
      return VQZM_RC_INTERNAL_ERROR;
    }
    DWORD wait = services::Plat().WaitForSingleObject(handle_.get(), INFINITE);
    if (wait == WAIT_FAILED && ZEL_ERROR_POINT("REQ_SEM_ERROR")) {
      trace::SysRc("CC", -100, "error WaitForSingleObject()", GetLastError());
      trace::String("CC", -100, "sem name", ctrlblk::kObtainRrpName);
      return VQZM_RC_INTERNAL_ERROR;
    }
    held_ = true;
    return 0;
  }

 private:
  UniqueHandle handle_;
  bool held_ = false;
};

// One read of the ready entry into `buffer`, waiting up to `wait` seconds.
uint16_t ReadReadyEntry(RZ700SysStruct* pSystem, void* buffer, const char* key, int32_t wait) {
  DQReadItem item{};
  item.pBuffer = buffer;
  item.ulLength = pSystem->ulDQMaxRecLen;
  memcpy(item.achKey, key, dataqueue::kKeyLength);
  item.usSearchOrder = dataqueue::kSearchEqual;
  return cdReadDataQueue(pSystem, &item, wait);
}

// Starts a further RRP. Its start goes over the manager's connection: the
// manager sends it itself; an application, whose handles for that
// connection are refused, asks the manager to (ZEL_MSG_START_RRP) and then
// waits for the ready entry as the manager would.
uint16_t StartFurtherRrp(RZ700SysStruct* pSystem) {
  uint32_t within = 0;
  if (uint16_t rc = ctrlblk::cbCheckWithinCPMgr(&within); rc != 0) return rc;
  if (within != 0) return ccSendStartRZ700RRP(pSystem);
  return cbPostCPMgrMsg(ZEL_MSG_START_RRP, 0, pSystem);
}

// The reads of an obtain, and the further start between them, with
// "OBTRRP" held.
uint16_t ObtainWithLock(RZ700SysStruct* pSystem) {
  HeapBuffer buffer(static_cast<uint8_t*>(malloc(pSystem->ulDQMaxRecLen)));
  if (buffer == nullptr && ZEL_ERROR_POINT("EXT_MALLOC")) {
    trace::Size("CC", -100, "malloc() error size=", pSystem->ulDQMaxRecLen);
    return VQZM_RC_NO_MEMORY;
  }
  char key[sizeof kReadyKey];
  uint32_t room = sizeof key;
  uint16_t rc = cbAscToEbcCharArray(key, kReadyKey, &room, sizeof kReadyKey);
  if (rc != 0 && ZEL_ERROR_POINT("EXT_ASC_CONV")) {
    trace::Rc("CC", -100, "cbAscToEbcCharArray() error rc=", rc);
    return rc;
  }
  int32_t wait = pSystem->ulRRPObtained == 0 ? kFirstWait : kLaterWait;
  pSystem->ulRRPObtained = 1;
  rc = ReadReadyEntry(pSystem, buffer.get(), key, wait);
  if (rc == VQZM_RC_TIMED_OUT) {
    rc = StartFurtherRrp(pSystem);
    if (rc != 0 && ZEL_ERROR_POINT("EXT_SEND_START_RRP")) {
      trace::Rc("CC", -100, "error ccSendStartRZ700RRP()", rc);
      return rc;
    }
    rc = ReadReadyEntry(pSystem, buffer.get(), key, kFurtherWait);
    if (rc == VQZM_RC_TIMED_OUT) return rc;
  }
  if (rc != 0 && ZEL_ERROR_POINT("READ_DATA_QUEUE_ERROR")) {
    trace::Rc("CC", -100, "error cdReadDataQueue()", rc);
  }
  return rc;
}

}  // namespace

uint16_t ccCPMgrObtainRZ700RRP(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccCPMgrObtainRZ700RRP");
  ObtainLock lock;
  if (uint16_t rc = lock.Take(); rc != 0) return rc;
  return ObtainWithLock(pSystem);
}

uint16_t ccObtainRZ700RRP(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccObtainRZ700RRP");
  uint32_t within = 0;
  uint16_t rc = ctrlblk::cbCheckWithinCPMgr(&within);
  if (rc != 0 && ZEL_ERROR_POINT("ERR_CHECK_CPMGR")) {
    trace::Rc("CC", -100, "cbCheckWithinCPMgr() rc=", rc);
    return rc;
  }
  if (within == 0) return ccCPMgrObtainRZ700RRP(pSystem);
  return dataqueue::QueueRequest(ctrlblk::DQ_REQ_OBTAIN_RRP, pSystem, nullptr, {"CC", kZelModule});
}

void ccObtainRZ700RRPThread(void* pOutstanding) {
  ZEL_TRACE_FUNCTION("CC", "ccObtainRZ700RRPThread");
  auto* rec = static_cast<OutstandingDQReqCB*>(pOutstanding);
  dataqueue::PostRequestResult(rec, ccCPMgrObtainRZ700RRP(rec->pSystem));
}

}  // namespace zel::hostlink
