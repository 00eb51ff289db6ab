// Texts of the component's return codes, from the message library.
#ifndef ZEL_TOOLS_ZEL_MESSAGES_H
#define ZEL_TOOLS_ZEL_MESSAGES_H

#include <cstdint>
#include <string>

namespace zel::tool {

// The message library's text for return code `rc`, or "no message text"
// when it has none or cannot be loaded.
std::string ReturnCodeText(uint32_t rc);

// "rc 1035: The connection to the host system failed or was lost".
std::string DescribeReturnCode(uint32_t rc);

}  // namespace zel::tool

#endif  // ZEL_TOOLS_ZEL_MESSAGES_H
