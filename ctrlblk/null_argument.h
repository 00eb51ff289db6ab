// Refusing a null pointer at the edge of an exported function. A C caller
// can pass anything, and the component's functions are called from other
// processes' code (the CPMgr) as well as from applications. So each
// exported function tests every pointer it needs first, before it takes a
// lock, allocates or issues anything, so that a refused call changes
// nothing:
//
//   if (ZEL_NULL_ARGUMENT("CB", ppSystem)) return VQZM_RC_INTERNAL_ERROR;
//
// A function that returns a code returns 1026 (or the code the system
// names for that input); one that returns a pointer returns null; one that
// returns nothing returns.
#ifndef ZEL_CTRLBLK_NULL_ARGUMENT_H
#define ZEL_CTRLBLK_NULL_ARGUMENT_H

#include <cstdint>
#include <cstdio>

#include "base/trace.h"

namespace zel::ctrlblk {

// Raises the error point `label` of `module` at `line` and traces the name
// of the null argument under `tag`. Always true: the caller refuses the
// call. Any thread.
inline bool RefuseNullArgument(const char* label, const char* tag, const char* argument,
                               int32_t line, const char* module) noexcept {
  trace::ErrorPoint(label, line, module);
  char text[96];
  snprintf(text, sizeof text, "Null pointer parm %s", argument);
  trace::Msg(tag, -100, text);
  return true;
}

}  // namespace zel::ctrlblk

// True when `argument` is null, after raising EXT_NULL_PARAMETER of this
// file's module (ZEL_MODULE) and tracing the argument's name under `tag`.
#define ZEL_NULL_ARGUMENT(tag, argument) \
  ((argument) == nullptr &&              \
   ::zel::ctrlblk::RefuseNullArgument("EXT_NULL_PARAMETER", tag, #argument, __LINE__, kZelModule))

#endif  // ZEL_CTRLBLK_NULL_ARGUMENT_H
