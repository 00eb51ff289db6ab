// A started system as the manager sees it, made by hand against a real
// zelhost: the manager's own connection and the PWS's queue QZELDQ/PWSQ,
// with the record active. Header-only: the test binaries that use it link
// the component and the client services themselves.
#ifndef ZEL_TESTS_HARNESS_MANAGER_SYSTEM_H
#define ZEL_TESTS_HARNESS_MANAGER_SYSTEM_H

#include <cstring>
#include <string>

#include "services/connection.h"
#include "services/dataqueue.h"
#include "tests/harness/ebcdic_text.h"
#include "tests/harness/host_harness.h"
#include "tests/harness/zel_test.h"
#include "vqzmcm.h"
#include "wire/protocol.h"

namespace zel::test {

class ManagerSystem {
 public:
  explicit ManagerSystem(const HostServer& host) {
    host.Configure("HOSTA");
    SignOn();
  }
  // For a process whose ZEL_CONFIG names the host as "HOSTA" already (a
  // child of the test that runs the host).
  ManagerSystem() { SignOn(); }
  ~ManagerSystem() { qlxCO_DeleteSystem(system_); }

  RZ700SysStruct* record() { return record_; }
  uint32_t system() const { return system_; }

 private:
  void SignOn() {
    EXPECT_EQ(cmAddSystemByName("HOSTA", &record_), 0);
    EXPECT_EQ(qlxCO_CreateSystem("HOSTA", &system_), 0u);
    EXPECT_EQ(qlxCO_Connect(system_, QLXCO_SERVICE_SIGNON, 0), 0u);
    // The start request proposes PWSQ: the host gives the queue to this PWS,
    // whose data-queue token alone opens it.
    uint32_t service = qlxCO_GetSrvHandle(system_, QLXCO_SERVICE_SIGNON);
    wire::StartRequest start{};
    start.type = wire::kStartRequest;
    memcpy(start.proposed_queue, Ebcdic("PWSQ").data(), 4);
    std::string frame = std::string("\x00\x34\x12\xFF", 4) +
                        std::string(reinterpret_cast<const char*>(&start), sizeof start);
    wire::StationInfo station{};
    uint32_t length = 0;
    EXPECT_EQ(qlxCO_Send(service, frame.data(), static_cast<uint32_t>(frame.size())), 0u);
    EXPECT_EQ(qlxCO_Recv(service, &station, &length, sizeof station), 0u);
    EXPECT_EQ(std::string(station.queue, 4), Ebcdic("PWSQ"));
    qlxCO_ReleaseSrvHandle(system_, service);
    uint32_t attributes = qlxDQ_CreateAttr();
    EXPECT_EQ(qlxDQ_CreateEx(system_, "PWSQ", "QZELDQ", attributes, 0), 0u);
    qlxDQ_DeleteAttr(attributes);
    strcpy(record_->szDQName, "PWSQ");
    strcpy(record_->szDQLib, "QZELDQ");
    record_->hSystem = system_;
    record_->hConnSystem = system_;
    record_->usCommState = ZEL_COMM_ACTIVE;
  }

  RZ700SysStruct* record_ = nullptr;
  uint32_t system_ = 0;
};

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_MANAGER_SYSTEM_H
