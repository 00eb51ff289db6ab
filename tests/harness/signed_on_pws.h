// A PWS signed on through QlxCo the way the manager signs on: its system
// object, its start request and the queue the station information names.
// The connection service keeps the data-queue token for that queue, so
// other system objects of the test (and its child processes) can open it.
#ifndef ZEL_TESTS_HARNESS_SIGNED_ON_PWS_H
#define ZEL_TESTS_HARNESS_SIGNED_ON_PWS_H

#include <cstdint>
#include <string>

namespace zel::test {

class SignedOnPws {
 public:
  // Signs on to `system` (configured by the test) and sends a start request
  // proposing `queue`; ok() tells whether the station information came.
  explicit SignedOnPws(const std::string& queue, const std::string& system = "HOSTSYS");
  // Deletes the system object: the sign-on connection ends normally.
  ~SignedOnPws();
  SignedOnPws(const SignedOnPws&) = delete;
  SignedOnPws& operator=(const SignedOnPws&) = delete;

  bool ok() const { return !queue_.empty(); }
  uint32_t system() const { return system_; }
  uint32_t service() const { return service_; }
  const std::string& library() const { return library_; }
  const std::string& queue() const { return queue_; }

  // Creates the station queue (record length 8320, key size 12); the code.
  uint32_t CreateQueue();

 private:
  uint32_t system_ = 0;
  uint32_t service_ = 0;
  std::string library_;
  std::string queue_;
};

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_SIGNED_ON_PWS_H
