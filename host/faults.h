// Faults an operator (a test) switches on through the control command. Each
// one-shot fault fires once and clears itself; every firing is logged.
#ifndef ZEL_HOST_FAULTS_H
#define ZEL_HOST_FAULTS_H

#include <cstdint>
#include <string>

namespace zel::host {

// Faults that break the entries of one buffer the RRP writes.
struct EntryFaults {
  bool lose_entry = false;  // of several entries, the second is not written
  bool bad_total = false;   // the last entry carries a wrong total length
};

struct Faults {
  int refuse = 0;          // connections still to refuse; -1: every one until cleared
  int start_format = -1;   // format byte of the next station information
  int64_t rrp_rc = -1;     // return code of the next started message
  uint32_t delay_ms = 0;   // every RRP reply is held back this long
  uint32_t pace_ms = 0;    // the next multi-entry reply's entries come this far apart
  EntryFaults reply;       // strike the next reply
  EntryFaults pc_request;  // strike the next request CALLPC writes towards a PWS program
  // Once a reader has taken the first entry of a multi-entry reply, its
  // PWS's sign-on connection and every data-queue connection that uses the
  // PWS's queue are dropped.
  bool drop_mid_reply = false;
  // The next data-queue write of an entry whose key begins with this text
  // is neither stored nor answered: its writer waits inside the write.
  std::string hold_write;
};

}  // namespace zel::host

#endif  // ZEL_HOST_FAULTS_H
