#include "document/digest.hpp"

#include <openssl/evp.h>

#include <stdexcept>

#include "document/json_writer.hpp"

namespace velatro::document {

std::string sha256_hex(std::string_view bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr))
        throw std::runtime_error("SHA-256 computation failed");
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(2 * len, '0');
    for (unsigned i = 0; i < len; ++i) {
        out[2 * i] = kHex[md[i] >> 4];
        out[2 * i + 1] = kHex[md[i] & 0xF];
    }
    return out;
}

std::string fingerprint(const Value& tree) {
    return "sha256:" + sha256_hex(to_json(tree));
}

}  // namespace velatro::document
