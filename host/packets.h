// Packet data as the host holds it: back-to-back packets of a 4-byte length
// (header included, at least 8), a 2-byte format and a 2-byte code point,
// big-endian, with character data in EBCDIC. The PC's form of the same
// packets is little-endian with Latin-1 characters.
#ifndef ZEL_HOST_PACKETS_H
#define ZEL_HOST_PACKETS_H

#include <optional>
#include <string>
#include <string_view>

namespace zel::host {

// True when `data` is host-form packets that fill it exactly, each of a
// known format (0 bytes, 1 characters, 2 16-bit and 3 32-bit integers).
bool ValidHostPackets(std::string_view data);

// The host form of the PC-form packets `pc`; nothing when `pc` is not
// packets that fill it exactly, each of a known format. The length never
// changes: the host's code page is single-byte.
std::optional<std::string> PacketsToHost(std::string_view pc);

}  // namespace zel::host

#endif  // ZEL_HOST_PACKETS_H
