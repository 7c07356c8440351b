#include "tools/coordinator/base64.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

namespace korvane::coordinator {

std::string base64_encode(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');  // EVP_EncodeBlock writes a NUL
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::optional<std::string> base64_decode(std::string_view in) {
  while (!in.empty() && in.back() == '=') in.remove_suffix(1);
  const auto alphabet = [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '/'; };
  if (in.size() % 4 == 1 || !std::all_of(in.begin(), in.end(), alphabet)) return std::nullopt;
  // EVP_DecodeBlock wants whole quads, and counts the padding as decoded zero bytes.
  const std::size_t pad = (4 - in.size() % 4) % 4;
  std::string quads(in);
  quads.append(pad, '=');
  std::string out(quads.size() / 4 * 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(quads.data()), static_cast<int>(quads.size()));
  if (n < 0) return std::nullopt;
  out.resize(static_cast<std::size_t>(n) - pad);
  return out;
}

}  // namespace korvane::coordinator
