// The wait cursor that the calls which may block show for their length.
#ifndef ZEL_API_WAIT_CURSOR_H
#define ZEL_API_WAIT_CURSOR_H

#include "platform/user.h"

namespace zel::api {

// Shows the wait cursor for the length of a call, then the one before.
class WaitCursor {
 public:
  WaitCursor() : previous_(platform::SetCursor(platform::LoadCursor(0, platform::IDC_WAIT))) {}
  ~WaitCursor() { platform::SetCursor(previous_); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  platform::HCURSOR previous_;
};

}  // namespace zel::api

#endif  // ZEL_API_WAIT_CURSOR_H
