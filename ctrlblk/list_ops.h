// The operations every shared list is made of: push at the head, unlink,
// find. Records are byte-packed and may be unaligned, so links are read and
// written by value, and list heads are passed as the address of the head
// field.
#ifndef ZEL_CTRLBLK_LIST_OPS_H
#define ZEL_CTRLBLK_LIST_OPS_H

#include <cstring>

#include "ctrlblk/ctrlblk.h"
#include "ctrlblk/heap.h"
#include "base/trace.h"
#include "vqzmrc.h"

namespace zel::ctrlblk {

template <class Rec>
Rec* LoadLink(const void* link_field) {
  Rec* value;
  memcpy(&value, link_field, sizeof value);
  return value;
}

template <class Rec>
void StoreLink(void* link_field, Rec* value) {
  memcpy(link_field, &value, sizeof value);
}

// Links `rec` in front of the list at `head_field` and publishes it; newest
// records come first. The list's mutex is held.
template <class Rec>
void PushFront(void* head_field, Rec* rec) {
  rec->pNext = LoadLink<Rec>(head_field);
  StoreLink(head_field, rec);
  Publish(rec);
}

// Replaces the link that points to `rec` by `rec`'s own link. False when no
// link of the list points to it (the list is then unchanged).
template <class Rec>
bool Unlink(void* head_field, Rec* rec) {
  Rec* current = LoadLink<Rec>(head_field);
  if (current == rec) {
    StoreLink(head_field, rec->pNext);
    return rec != nullptr;
  }
  for (; current != nullptr; current = current->pNext) {
    if (current->pNext == rec) {
      current->pNext = rec->pNext;
      return true;
    }
  }
  return false;
}

// Unlinks `rec` from the list at `head_field` and frees it; false when it
// was not in the list. A record not in the list is freed only if this
// process allocated it and never linked it: a linked one that is gone was
// deleted by someone else already, and its memory may serve another record
// by now, perhaps one its new owner is about to link. The list's mutex is
// held.
template <class Rec>
bool UnlinkAndFree(void* head_field, Rec* rec) {
  DeleteClaim claim = MarkDeleting(rec);
  bool found = Unlink(head_field, rec);
  if (found || claim == DeleteClaim::kOwnUnpublished) {
    cbFreeCtrlBlkMem(rec, sizeof *rec);
  } else if (claim == DeleteClaim::kPublished) {
    Publish(rec);  // in use elsewhere, or deleted already: not ours to free
  }
  return found;
}

// The first record from `first` on for which `match` holds, or null.
template <class Rec, class Match>
Rec* FindFrom(Rec* first, Match match) {
  for (Rec* rec = first; rec != nullptr; rec = rec->pNext) {
    if (match(rec)) return rec;
  }
  return nullptr;
}

// Allocates a zeroed record of type Rec from the control-block heap into
// *out; 0, or 4 after the error point every init raises.
#define ZEL_INIT_RECORD(Rec, out, tag)                                                      \
  ((*(out) = static_cast<Rec*>(::zel::ctrlblk::cbAllocCtrlBlkMem(sizeof(Rec)))) != nullptr \
       ? uint16_t{0}                                                                        \
       : (ZEL_ERROR_POINT("ALLOC_MEM_FAILURE"),                                            \
          ::zel::trace::Msg(tag, -100,                                                      \
                            "Control Block allocation from Shared Memory heap failed"),      \
          uint16_t{VQZM_RC_NO_MEMORY}))

// True when `lock` failed; raises the error point of the list operations
// that lock beyond the system's own lock use, and traces the wait result.
#define ZEL_LIST_LOCK_FAILED(lock, tag)                                             \
  (!(lock).acquired() && ZEL_ERROR_POINT("EXT_LIST_SEM_ERROR") &&                   \
   (::zel::trace::SysRc(tag, -100, "WaitForSingleObject() error rc=", (lock).wait_result()), \
    true))

}  // namespace zel::ctrlblk

#endif  // ZEL_CTRLBLK_LIST_OPS_H
