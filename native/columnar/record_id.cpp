#include "columnar/record_id.hpp"

#include <openssl/evp.h>

#include <array>
#include <memory>

#include "document/error.hpp"

namespace velatro::columnar {
namespace {

const engine::Uuid& record_namespace() {
    static const engine::Uuid id = *engine::Uuid::parse(kRecordIdNamespace);
    return id;
}

}  // namespace

engine::Uuid derived_record_id(std::string_view source_name, std::string_view external_id) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    const auto& ns = record_namespace().bytes;
    constexpr char kSeparator = '\x1f';
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), ns.data(), ns.size()) != 1 ||
        EVP_DigestUpdate(ctx.get(), source_name.data(), source_name.size()) != 1 ||
        EVP_DigestUpdate(ctx.get(), &kSeparator, 1) != 1 ||
        EVP_DigestUpdate(ctx.get(), external_id.data(), external_id.size()) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1)
        throw std::runtime_error("SHA-1 digest failed");
    engine::Uuid id;
    for (std::size_t i = 0; i < id.bytes.size(); ++i) id.bytes[i] = digest[i];
    id.bytes[6] = static_cast<std::uint8_t>((id.bytes[6] & 0x0f) | 0x50);  // version 5
    id.bytes[8] = static_cast<std::uint8_t>((id.bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    return id;
}

}  // namespace velatro::columnar
