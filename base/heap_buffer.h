// A buffer of the process heap (malloc) that frees itself with its owner.
#ifndef ZEL_BASE_HEAP_BUFFER_H
#define ZEL_BASE_HEAP_BUFFER_H

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace zel {

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};

using HeapBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

}  // namespace zel

#endif  // ZEL_BASE_HEAP_BUFFER_H
