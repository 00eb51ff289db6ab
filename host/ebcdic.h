// The host's own texts are EBCDIC (CCSID 37): keys, message IDs, names in the
// init buffers. The tables come from the C library's converter once, so this
// is the only place that knows the code page.
#ifndef ZEL_HOST_EBCDIC_H
#define ZEL_HOST_EBCDIC_H

#include <string>
#include <string_view>

namespace zel::host {

// Both return a string of the same length; every byte has an image.
std::string ToEbcdic(std::string_view latin1);
std::string FromEbcdic(std::string_view ebcdic);

}  // namespace zel::host

#endif  // ZEL_HOST_EBCDIC_H
