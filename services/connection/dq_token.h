// Data-queue tokens kept for the user's other processes. zelhost hands each
// sign-on connection a random token that opens the queue of its PWS; the
// connection service of the signing-on process (the manager) stores it in a
// file of mode 0600 in the user's private directory, named after the host
// address and the queue, and removes it when the sign-on connection ends
// normally. The data-queue service of an application (same user, another
// process) reads it from there when it opens that queue.
#ifndef ZEL_SERVICES_CONNECTION_DQ_TOKEN_H
#define ZEL_SERVICES_CONNECTION_DQ_TOKEN_H

#include <string>
#include <string_view>

#include "base/config.h"

namespace zel::qlx {

// "<private dir>/dqtoken.<address>.<library>.<queue>", every character
// other than letters, digits and ". : _ - $ # @" written as %XX. Empty with
// `error` when the private directory cannot be trusted.
std::string DqTokenPath(std::string_view address, std::string_view library, std::string_view queue,
                        std::string* error);

// Writes `token` to `path` (WritePrivateFile); false with `error`.
bool StoreDqToken(const std::string& path, std::string_view token, std::string* error);

// The token for LIBRARY/QUEUE at `address`: kRead with `token`, kMissing, or
// kRefused with `error` (a file not the user's own, open to others, or not a
// token).
config::PrivateRead LoadDqToken(std::string_view address, std::string_view library,
                                std::string_view queue, std::string* token, std::string* error);

// Removes the file at `path` if it still holds `token` (a later sign-on of
// the same queue may have replaced it).
void RemoveDqToken(const std::string& path, std::string_view token);

}  // namespace zel::qlx

#endif  // ZEL_SERVICES_CONNECTION_DQ_TOKEN_H
