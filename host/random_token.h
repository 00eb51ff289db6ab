// The secrets zelhost hands out: each PWS's data-queue token and the control
// token. Any thread may call it.
#ifndef ZEL_HOST_RANDOM_TOKEN_H
#define ZEL_HOST_RANDOM_TOKEN_H

#include <string>

namespace zel::host {

// wire::kTokenSize bytes from the kernel's random source; empty (errno set)
// when the source fails.
std::string RandomToken();

}  // namespace zel::host

#endif  // ZEL_HOST_RANDOM_TOKEN_H
