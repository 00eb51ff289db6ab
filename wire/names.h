// Names of host objects (data-queue libraries and queues, user profiles):
// the one rule the client libraries check before a name goes on the wire and
// zelhost checks again when it arrives.
#ifndef ZEL_WIRE_NAMES_H
#define ZEL_WIRE_NAMES_H

#include <cstddef>
#include <string_view>

namespace zel::wire {

// The longest object name; the fixed name fields of the wire formats hold
// this many characters.
inline constexpr size_t kMaxObjectName = 10;

// True when `name` has 1 to kMaxObjectName characters, each an ASCII letter,
// a digit or one of "_$#@". A digit may come first: the proposed queue names
// are hexadecimal numbers. Blanks (the padding of name fields) and "/" (the
// separator of a qualified name) are therefore never part of a name.
constexpr bool ValidObjectName(std::string_view name) {
  if (name.empty() || name.size() > kMaxObjectName) return false;
  for (char c : name) {
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '_' && c != '$' && c != '#' && c != '@') return false;
  }
  return true;
}

}  // namespace zel::wire

#endif  // ZEL_WIRE_NAMES_H
