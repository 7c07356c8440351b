// Comparison of secrets (tokens, member secrets) in time that does not depend on where
// they differ. Lengths are not secret.
#pragma once
#include <openssl/crypto.h>

#include <string_view>

namespace korvane::coordinator {

inline bool same_secret(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace korvane::coordinator
