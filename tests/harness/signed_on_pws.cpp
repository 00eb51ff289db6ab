#include "tests/harness/signed_on_pws.h"

#include <algorithm>
#include <cstring>

#include "host/ebcdic.h"
#include "services/connection.h"
#include "services/dataqueue.h"
#include "wire/protocol.h"

namespace zel::test {

SignedOnPws::SignedOnPws(const std::string& queue, const std::string& system) {
  if (qlxCO_CreateSystem(system.c_str(), &system_) != 0 ||
      qlxCO_Connect(system_, QLXCO_SERVICE_SIGNON, 0) != 0) {
    return;
  }
  service_ = qlxCO_GetSrvHandle(system_, QLXCO_SERVICE_SIGNON);
  wire::StartRequest start{};
  start.type = wire::kStartRequest;
  std::string proposed = host::ToEbcdic(queue);
  std::memcpy(start.proposed_queue, proposed.data(),
              std::min(proposed.size(), sizeof start.proposed_queue));
  std::memcpy(start.sys_id, host::ToEbcdic(std::string("001", 4)).data(), 4);
  wire::SignOnFrameHeader header{};
  header.length.set(sizeof header + sizeof start);
  header.marker = wire::kFrameMarker;
  header.kind = wire::kFrameMessage;
  std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
  frame.append(reinterpret_cast<const char*>(&start), sizeof start);
  wire::StationInfo station{};
  uint32_t length = 0;
  if (qlxCO_Send(service_, frame.data(), static_cast<uint32_t>(frame.size())) != 0 ||
      qlxCO_Recv(service_, &station, &length, sizeof station) != 0 || length != sizeof station ||
      station.format != 1) {
    return;
  }
  library_ = host::FromEbcdic(std::string(station.library, strnlen(station.library, 11)));
  queue_ = host::FromEbcdic(std::string(station.queue, strnlen(station.queue, 11)));
}

SignedOnPws::~SignedOnPws() {
  if (service_ != 0) qlxCO_ReleaseSrvHandle(system_, service_);
  if (system_ != 0) qlxCO_DeleteSystem(system_);
}

uint32_t SignedOnPws::CreateQueue() {
  uint32_t attributes = qlxDQ_CreateAttr();
  qlxDQ_SetMaxRecLen(attributes, 8320);
  qlxDQ_SetKeySize(attributes, 12);
  uint32_t rc = qlxDQ_CreateEx(system_, queue_.c_str(), library_.c_str(), attributes, 0);
  qlxDQ_DeleteAttr(attributes);
  return rc;
}

}  // namespace zel::test
