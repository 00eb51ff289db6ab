// Reclaiming the control blocks that processes which died left behind: a
// record allocated and never linked, or linked but not yet published when
// its process was killed. Which is which is told by walking every list from
// the anchor.
#include <algorithm>
#include <vector>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "ctrlblk/list_ops.h"
#include "base/trace.h"

ZEL_MODULE("vqzmcb0")

namespace zel::ctrlblk {
namespace {

// More records than the area can hold: a list this long has a cycle.
constexpr uint32_t kMaxRecords = kControlBlockSize / 32;

template <class Rec>
void Collect(Rec* first, std::vector<const void*>& out) {
  uint32_t seen = 0;
  for (Rec* rec = first; rec != nullptr && seen < kMaxRecords; rec = rec->pNext, ++seen) {
    out.push_back(rec);
  }
}

// The systems with their terminate windows. The window-list mutex is taken
// inside the system-list mutex; no operation takes them the other way round.
void CollectSystems(std::vector<const void*>& out) {
  ListLock systems(Serial::kSysList);
  if (ZEL_LIST_LOCK_FAILED(systems, "CB")) return;
  ListLock windows(Serial::kAsyncWndsList);
  if (ZEL_LIST_LOCK_FAILED(windows, "CB")) return;
  uint32_t seen = 0;
  for (RZ700SysStruct* system = Anchor().pSysList; system != nullptr && seen < kMaxRecords;
       system = system->pNext, ++seen) {
    out.push_back(system);
    Collect(system->pTermWndList, out);
  }
}

template <class Rec>
void CollectList(Serial list, const void* head_field, std::vector<const void*>& out) {
  ListLock lock(list);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return;
  Collect(LoadLink<Rec>(head_field), out);
}

void CollectOutstanding(std::vector<const void*>& out) {
  ListLock lock(Serial::kOutstandingDQList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CB")) return;
  uint32_t seen = 0;
  for (OutstandingDQReqCB* rec = Anchor().pOutstandingDQList; rec != nullptr && seen < kMaxRecords;
       rec = rec->pNext, ++seen) {
    out.push_back(rec);
    for (const void* block : RequestBlocks(rec)) {
      if (block != nullptr) out.push_back(block);
    }
  }
}

}  // namespace

std::vector<const void*> ReachableRecords() {
  std::vector<const void*> out;
  ZELAnchorCB& anchor = Anchor();
  {
    ListLock lock(Serial::kConvList);
    if (!ZEL_LIST_LOCK_FAILED(lock, "CB")) Collect(anchor.pConvBlk, out);
  }
  CollectSystems(out);
  CollectList<AsyncRetStruct>(Serial::kAsyncRetList, &anchor.pAsyncRetList, out);
  CollectList<ThirdPartyStruct>(Serial::kPartyList, &anchor.p3rdPartyList, out);
  CollectList<NamedAsyncStruct>(Serial::kAsyncNamesList, &anchor.pNamedAsyncList, out);
  CollectList<RZ700ReqStruct>(Serial::kRZ700ReqList, &anchor.pRZ700ReqList, out);
  CollectOutstanding(out);
  std::sort(out.begin(), out.end());
  return out;
}

uint32_t ReclaimDeadProcessBlocks() {
  std::vector<DeadOwnedBlock> dead = UnpublishedBlocksOfTheDead();
  if (dead.empty()) return 0;
  uint32_t freed = SettleDeadOwnedBlocks(dead, ReachableRecords());
  trace::Rc("CB", 100, "Control blocks of ended processes reclaimed, count=", freed);
  return freed;
}

}  // namespace zel::ctrlblk
