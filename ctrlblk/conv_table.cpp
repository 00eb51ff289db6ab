// The conversation table: blocks of 100 slots chained from the anchor, each
// slot with the process that holds its conversation.
#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/list_ops.h"
#include "base/trace.h"
#include "vqzmrc.h"

ZEL_MODULE("vqzmcb0")

namespace zel::ctrlblk {

ConvOwners& OwnersOf(ConvBlock* block) {
  return *reinterpret_cast<ConvOwners*>(reinterpret_cast<char*>(block) + sizeof(ConvBlock));
}

uint16_t cbInitConvBlk(void* pLink) {
  ZEL_TRACE_FUNCTION("CM", "cbInitConvBlk");
  // The owners of the slots follow the block in the same allocation: the
  // block's layout is shared with the manager and stays as it is.
  auto* block = static_cast<ConvBlock*>(cbAllocCtrlBlkMem(sizeof(ConvBlock) + sizeof(ConvOwners)));
  if (block == nullptr && ZEL_ERROR_POINT("ALLOCATION_ERROR")) {
    trace::Size("CM", -100, "Error cbAllocCtrlBlkMem() size =", sizeof(ConvBlock));
    return VQZM_RC_NO_MEMORY;
  }
  for (ConvEntry& entry : block->aEntries) {
    entry.ulInUse = 0;
    entry.pSystem = nullptr;
  }
  block->pNext = nullptr;
  StoreLink(pLink, block);
  Publish(block);
  trace::Msg("CM", 100, "Conversations Initiated");
  return 0;
}

void cbResetConvIds() {
  ZEL_TRACE_FUNCTION("CM", "cbResetConvIds");
  ListLock lock(Serial::kConvList);
  if (ZEL_LIST_LOCK_FAILED(lock, "CM")) return;
  for (ConvBlock* block = Anchor().pConvBlk; block != nullptr; block = block->pNext) {
    for (ConvEntry& entry : block->aEntries) {
      entry.ulInUse = 0;
      entry.ulConvId = 0;
      entry.pSystem = nullptr;
    }
  }
}

}  // namespace zel::ctrlblk
