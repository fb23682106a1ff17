#pragma once
#include <string>
#include <string_view>

namespace velatro::document {

// SHA-256 of the bytes, as 64 lower-case hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

// "sha256:" followed by sha256_hex of the compact JSON text of the tree.
class Value;
std::string fingerprint(const Value& tree);

}  // namespace velatro::document
