#include "host/random_token.h"

#include <sys/random.h>

#include <cerrno>

#include "wire/protocol.h"

namespace zel::host {

std::string RandomToken() {
  std::string token(wire::kTokenSize, '\0');
  size_t done = 0;
  while (done < token.size()) {
    ssize_t got = getrandom(token.data() + done, token.size() - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return {};
    done += static_cast<size_t>(got);
  }
  return token;
}

}  // namespace zel::host
