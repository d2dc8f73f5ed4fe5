// SHA-256 of a byte string, as lowercase hex: documents are pinned by their
// digest where holding their bytes in a test would be unwieldy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::testing {

std::string Sha256Hex(const uint8_t* bytes, size_t length);
inline std::string Sha256Hex(const std::vector<uint8_t>& bytes) {
  return Sha256Hex(bytes.data(), bytes.size());
}

}  // namespace kelvra::testing
