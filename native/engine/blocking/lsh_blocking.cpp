#include "engine/blocking/lsh_blocking.hpp"

#include <charconv>
#include <span>

#include "engine/blocking/seahash.hpp"

namespace velatro::engine {
namespace {

// Per-thread working storage: keys are computed for every record of a run, and these
// buffers keep their capacity from one record to the next.
struct LshScratch {
    std::string text;
    std::vector<std::uint64_t> hashes;
    std::vector<std::uint64_t> signature;
    std::string digits;
};

LshScratch& scratch() {
    thread_local LshScratch s;
    return s;
}

// Gives back the memory of an exceptionally long text once its keys are made, so that
// one such record does not pin it for a thread's lifetime.
constexpr std::size_t kRetainedBytes = 4096;

template <class Buffer>
void release_if_large(Buffer& buffer) {
    if (buffer.capacity() * sizeof(buffer[0]) > kRetainedBytes) {
        buffer.clear();
        buffer.shrink_to_fit();
    }
}

void append_decimal(std::string& out, std::uint64_t value) {
    char buffer[20];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, end);
}

}  // namespace

LshBlocking::LshBlocking(std::vector<std::string> fields, std::uint64_t bands, std::uint64_t rows)
    : fields_(std::move(fields)),
      family_(MinHashFamily::generate(bands * rows, kSeed)),
      bands_(bands),
      rows_(rows) {}

void LshBlocking::append_block_keys(const NormalizedEntity& entity,
                                    std::vector<std::string>& keys) const {
    if (fields_.empty() || entity.data.empty()) return;
    LshScratch& s = scratch();

    // Each present value is followed by one space, so "ab" becomes "ab " and the
    // boundary between two fields is a shingle character of its own.
    s.text.clear();
    for (const auto& field : fields_) {
        if (const std::string* value = entity.field(field)) {
            s.text += *value;
            s.text += ' ';
        }
    }
    if (s.text.empty()) return;

    s.hashes.clear();
    append_shingle_hashes(s.text, s.hashes);
    s.signature.resize(family_.size());
    minhash_signature(family_, s.hashes, s.signature);

    const std::span<const std::uint64_t> signature(s.signature);
    for (std::uint64_t band = 0; band < bands_; ++band) {
        s.digits.clear();
        for (const std::uint64_t entry : signature.subspan(band * rows_, rows_))
            append_decimal(s.digits, entry);
        std::string key = "lsh:";
        key.reserve(4 + 20 + 1 + 20);
        append_decimal(key, band);
        key += ':';
        append_decimal(key, seahash(s.digits));
        keys.push_back(std::move(key));
    }
    release_if_large(s.text);
    release_if_large(s.hashes);
    release_if_large(s.digits);
}

}  // namespace velatro::engine
