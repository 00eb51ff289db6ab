// Data-queue exchange: writing entries to a system's host data queue and
// reading them back. Every function runs in its caller's thread and returns
// a 16-bit return code (vqzmrc.h).
#ifndef ZEL_DATAQUEUE_DATAQUEUE_H
#define ZEL_DATAQUEUE_DATAQUEUE_H

#include <cstdint>

#include "vqzmcb.h"

namespace zel::dataqueue {

// Length of a data-queue key: 12 EBCDIC characters.
inline constexpr uint32_t kKeyLength = 12;

}  // namespace zel::dataqueue

// What one write needs.
struct DQSendItem {
  void* pEntry;        // the entry: header and data
  uint32_t ulLength;   // entry length in bytes
  char achKey[13];     // 12 EBCDIC key characters and a NUL
};

// Writes one entry to the system's data queue (opened and closed for this
// write alone, so concurrent writers need no lock). 0, or 1034 when a
// data-queue call failed.
uint16_t cdSendDQItem(RZ700SysStruct* pSystem, DQSendItem* pItem);

#endif  // ZEL_DATAQUEUE_DATAQUEUE_H
