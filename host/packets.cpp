#include "host/packets.h"

#include <algorithm>
#include <cstdint>

#include "host/ebcdic.h"

namespace zel::host {
namespace {

constexpr size_t kPacketHeader = 8;
constexpr uint16_t kLastFormat = 3;

uint32_t Read32(std::string_view bytes, bool big_endian) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    auto byte = static_cast<uint8_t>(bytes[big_endian ? i : 3 - i]);
    value = value << 8 | byte;
  }
  return value;
}

uint16_t Read16(std::string_view bytes, bool big_endian) {
  auto first = static_cast<uint8_t>(bytes[0]), second = static_cast<uint8_t>(bytes[1]);
  return static_cast<uint16_t>(big_endian ? first << 8 | second : second << 8 | first);
}

// Reverses each whole `unit`-byte group of `data`; a short tail stays.
void SwapUnits(std::string& data, size_t unit) {
  for (size_t at = 0; at + unit <= data.size(); at += unit) {
    std::reverse(data.begin() + static_cast<ptrdiff_t>(at),
                 data.begin() + static_cast<ptrdiff_t>(at + unit));
  }
}

// The length of the packet at the front of `data`, 0 when none fits there.
size_t PacketLength(std::string_view data, bool big_endian) {
  if (data.size() < kPacketHeader) return 0;
  uint32_t length = Read32(data, big_endian);
  if (length < kPacketHeader || length > data.size()) return 0;
  if (Read16(data.substr(4), big_endian) > kLastFormat) return 0;
  return length;
}

}  // namespace

bool ValidHostPackets(std::string_view data) {
  while (!data.empty()) {
    size_t length = PacketLength(data, true);
    if (length == 0) return false;
    data.remove_prefix(length);
  }
  return true;
}

std::optional<std::string> PacketsToHost(std::string_view pc) {
  std::string host;
  host.reserve(pc.size());
  while (!pc.empty()) {
    size_t length = PacketLength(pc, false);
    if (length == 0) return std::nullopt;
    uint16_t format = Read16(pc.substr(4), false);
    // Length, format and code point, each turned round.
    std::string header(pc.substr(0, kPacketHeader));
    std::reverse(header.begin(), header.begin() + 4);
    std::reverse(header.begin() + 4, header.begin() + 6);
    std::reverse(header.begin() + 6, header.end());
    std::string_view data = pc.substr(kPacketHeader, length - kPacketHeader);
    std::string converted;
    if (format == 1) {
      converted = ToEbcdic(data);
    } else {
      converted = data;
      if (format >= 2) SwapUnits(converted, format == 2 ? 2 : 4);
    }
    host += header;
    host += converted;
    pc.remove_prefix(length);
  }
  return host;
}

}  // namespace zel::host
