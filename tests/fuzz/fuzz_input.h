// What the fuzz targets share: a property check that stops the run, and
// the input cut into a sequence of chunks, each a control byte and a
// big-endian 16-bit length before its bytes. The seed generator writes
// inputs in the same form.
#ifndef ZEL_TESTS_FUZZ_FUZZ_INPUT_H
#define ZEL_TESTS_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zel::fuzz {

// A property that does not hold is a finding, as a crash is.
inline void Require(bool condition) {
  if (!condition) __builtin_trap();
}

struct Chunk {
  uint8_t control;
  std::string_view bytes;
};

// Reads chunks off the front of the input; a last chunk that is cut short
// keeps what is there.
class Chunks {
 public:
  Chunks(const uint8_t* data, size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  bool Next(Chunk& chunk) {
    if (rest_.size() < 3) return false;
    chunk.control = static_cast<uint8_t>(rest_[0]);
    size_t length = static_cast<uint8_t>(rest_[1]) << 8 | static_cast<uint8_t>(rest_[2]);
    rest_.remove_prefix(3);
    chunk.bytes = rest_.substr(0, length);
    rest_.remove_prefix(chunk.bytes.size());
    return true;
  }

 private:
  std::string_view rest_;
};

// One chunk in the input's form.
inline std::string MakeChunk(uint8_t control, std::string_view bytes) {
  std::string chunk(1, static_cast<char>(control));
  chunk.push_back(static_cast<char>(bytes.size() >> 8));
  chunk.push_back(static_cast<char>(bytes.size() & 0xFF));
  chunk.append(bytes);
  return chunk;
}

}  // namespace zel::fuzz

#endif  // ZEL_TESTS_FUZZ_FUZZ_INPUT_H
