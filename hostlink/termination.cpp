// The termination handshake: the PWS tells the host it is going away and
// waits for the acknowledgement before the connection is released.
#include <cstdlib>

#include "hostlink/hostlink.h"
#include "base/trace.h"

ZEL_MODULE("Vqzmcc0")

namespace zel::hostlink {

namespace {
constexpr uint16_t kAckLength = 9;
}  // namespace

bool ccSendTermSignal(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccSendTermSignal");
  if (void* buffer = pSystem->pDQBuf; buffer != nullptr) {
    free(buffer);
    pSystem->pDQBuf = nullptr;
  }
  if (pSystem->hSystem == 0) return false;
  uint8_t signal[kInitBufferSize];
  ccInitRZ700SendData(pSystem, signal, kActionTermination);
  uint16_t length = sizeof signal;
  uint16_t rc = ccSendData(pSystem, signal, &length);
  if (rc != 0) trace::Rc("CC", -100, "Error sending termination signal to RZ/700", rc);
  return rc == 0;
}

void ccRcvTermAck(RZ700SysStruct* pSystem) {
  ZEL_TRACE_FUNCTION("CC", "ccRcvTermAck");
  if (pSystem->hSystem == 0) return;
  uint8_t ack[kAckLength];
  uint16_t length = sizeof ack;
  uint16_t rc = ccRcvData(pSystem, ack, &length);
  if (rc != 0 && ZEL_ERROR_POINT("RCV_DATA_ERROR")) {
    trace::Rc("CC", -100, "Error Rcv data rc=", rc);
    return;
  }
  trace::Size("CC", 100, "Data Length Rcv'd", length);
  trace::Dump("CC", 100, "Data Rcv'd", ack, sizeof ack);
}

}  // namespace zel::hostlink
