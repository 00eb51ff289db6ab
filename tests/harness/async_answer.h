// An asynchronous answer as the notify window receives it: the request's
// return code alone (wParam 1), or the prefix and the data.
#ifndef ZEL_TESTS_HARNESS_ASYNC_ANSWER_H
#define ZEL_TESTS_HARNESS_ASYNC_ANSWER_H

#include <cstdint>
#include <cstring>

#include "vqzmcsw.h"
#include "zelapp.h"

namespace zel::test {

struct AsyncAnswer {
  bool code_only = false;   // the block holds the return code only
  uint16_t code = 0;        // that code
  AsyncRetPrefix prefix{};  // a data answer's prefix, copied out of the block
  const char* data = nullptr;  // a data answer's data, in the block
};

// Reads the answer in `msg`'s block, which the caller still frees.
inline AsyncAnswer ReadAsyncAnswer(const ZelMessage& msg) {
  const auto* block = reinterpret_cast<const char*>(msg.lParam);
  AsyncAnswer answer;
  answer.code_only = msg.wParam == 1;
  if (answer.code_only) {
    std::memcpy(&answer.code, block, sizeof answer.code);
    return answer;
  }
  std::memcpy(&answer.prefix, block, sizeof answer.prefix);
  answer.data = block + sizeof answer.prefix;
  return answer;
}

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_ASYNC_ANSWER_H
