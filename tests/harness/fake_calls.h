// Replaces calls that the component makes through its call tables, for the
// length of a test: the client services (FakeQlx) and the platform calls
// that can fail (FakePlatform). Every call not replaced goes to the real
// function.
//
//   FakeQlx fake;
//   fake->qlxDQ_Write = [](uint32_t, uint32_t, uint32_t, uint32_t) -> uint32_t {
//     return QLXDQ_RC_CONNECTION;
//   };
#ifndef ZEL_TESTS_HARNESS_FAKE_CALLS_H
#define ZEL_TESTS_HARNESS_FAKE_CALLS_H

#include "services/platform_calls.h"
#include "services/qlx_calls.h"

namespace zel::test {

template <typename Table, const Table& (*Real)(), void (*Install)(const Table*)>
class FakeCalls {
 public:
  FakeCalls() : calls_(Real()) { Install(&calls_); }
  ~FakeCalls() { Install(nullptr); }
  FakeCalls(const FakeCalls&) = delete;
  FakeCalls& operator=(const FakeCalls&) = delete;

  Table* operator->() { return &calls_; }

 private:
  Table calls_;
};

using FakeQlx = FakeCalls<services::QlxCalls, services::RealQlx, services::SetQlxForTest>;
using FakePlatform =
    FakeCalls<services::PlatformCalls, services::RealPlat, services::SetPlatForTest>;

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_FAKE_CALLS_H
