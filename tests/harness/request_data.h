// Request data of the end-to-end tests: byte patterns that tell sizes and
// seeds apart, and packet data in PC form.
#ifndef ZEL_TESTS_HARNESS_REQUEST_DATA_H
#define ZEL_TESTS_HARNESS_REQUEST_DATA_H

#include <cstdint>
#include <cstring>
#include <string>

namespace zel::test {

inline constexpr uint32_t kMiB = 1u << 20;

// Request data that tells sizes and seeds apart.
inline std::string Pattern(size_t size, uint32_t seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251 + seed);
  return data;
}

// A packet in PC form: little-endian length, format and code point.
inline std::string Packet(uint16_t format, uint16_t code_point, const std::string& data) {
  uint32_t length = static_cast<uint32_t>(8 + data.size());
  std::string packet(8, '\0');
  std::memcpy(packet.data(), &length, 4);
  std::memcpy(packet.data() + 4, &format, 2);
  std::memcpy(packet.data() + 6, &code_point, 2);
  return packet + data;
}

// Packet data of every format. The text is in the PC code page: Windows
// Latin, or Japanese with one double-byte run (shift-out and shift-in make
// it 2 bytes longer on the host).
inline std::string Packets(bool double_byte = false) {
  std::string text = double_byte ? "ABC \x93\xfa\x96\x7b\x8c\xea 123" : "Hello, caf\xe9 world";
  return Packet(1, 0x1234, text) + Packet(0, 1, std::string("\x00\x01\xfe\xff", 4)) +
         Packet(2, 2, "\x34\x12\x01\x00\x02") + Packet(3, 3, "\x78\x56\x34\x12\x01\x02") +
         Packet(1, 4, "");
}

}  // namespace zel::test

#endif  // ZEL_TESTS_HARNESS_REQUEST_DATA_H
