// A small library with an ordinal table, loaded by the module tests.
#include "platform/module.h"

extern "C" __attribute__((visibility("default"))) int zelOrdinalOne() { return 1; }
extern "C" __attribute__((visibility("default"))) int zelOrdinalThree() { return 3; }
// Not exported: its ordinal entry cannot resolve.
extern "C" int zelOrdinalHidden() { return 4; }

ZEL_EXPORT_ORDINAL(1, zelOrdinalOne);
ZEL_EXPORT_ORDINAL(3, zelOrdinalThree);
ZEL_EXPORT_ORDINAL(4, zelOrdinalHidden);
