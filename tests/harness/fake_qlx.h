// Replaces calls of the client services (QlxSv, QlxCo, QLXDQ) that the
// component makes, for the length of a test: every call not replaced goes
// to the real library.
//
//   FakeQlx fake;
//   fake->qlxDQ_Write = [](uint32_t, uint32_t, uint32_t, uint32_t) -> uint32_t {
//     return QLXDQ_RC_CONNECTION;
//   };
#ifndef ZEL_TESTS_HARNESS_FAKE_QLX_H
#define ZEL_TESTS_HARNESS_FAKE_QLX_H

#include "services/qlx_calls.h"

namespace zel::test {

class FakeQlx {
 public:
  FakeQlx() : calls_(services::RealQlx()) { services::SetQlxForTest(&calls_); }
  ~FakeQlx() { services::SetQlxForTest(nullptr); }
  FakeQlx(const FakeQlx&) = delete;
  FakeQlx& operator=(const FakeQlx&) = delete;

  services::QlxCalls* operator->() { return &calls_; }

 private:
  services::QlxCalls calls_;
};

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_FAKE_QLX_H
