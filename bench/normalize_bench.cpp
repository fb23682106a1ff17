// Normalizer cost per call, with heap allocations per call counted, so that the ASCII
// fast paths can be seen to allocate nothing but their output.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "engine/normalize/domain_normalizer.hpp"
#include "engine/normalize/email_normalizer.hpp"
#include "engine/normalize/name_normalizer.hpp"
#include "engine/normalize/nickname_normalizer.hpp"
#include "engine/normalize/phone_normalizer.hpp"

namespace {
std::atomic<std::size_t> g_allocations{0};
}  // namespace

// GCC cannot see that this replacement pair matches, hence the pragma.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using namespace velatro::engine;

void run(benchmark::State& state, const Normalizer& normalizer, const std::string& input) {
    const std::size_t before = g_allocations.load();
    for (auto _ : state) {
        auto result = normalizer.normalize(input);
        benchmark::DoNotOptimize(result);
    }
    state.counters["allocs/call"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
}

const NameNormalizer kName;
const EmailNormalizer kEmailN;
const PhoneNormalizer kPhoneN;
const DomainNormalizer kDomainN;
const NicknameNormalizer kNicknameN;

const std::string kAsciiName = "  Jean-Pierre   DUPONT ";
const std::string kUnicodeName = "  Jos\xC3\xA9 Mar\xC3\xAD" "a  GARC\xC3\x8D" "A ";  // José María GARCÍA
const std::string kDecomposedName = "Jose\xCC\x81 Garci\xCC\x81" "a";
const std::string kEmail = " John.Doe+News@GMAIL.com ";
const std::string kOtherEmail = "john.doe@example.com";
const std::string kPhone = "(555) 123-4567";
const std::string kPhoneIntl = "+44 20 7946 0958";
const std::string kDomain = "HTTPS://WWW.Example.COM/about/us";
const std::string kNickname = " BOBBY ";
const std::string kLongName(100 * 1024, 'A');

}  // namespace

BENCHMARK_CAPTURE(run, name_ascii, kName, kAsciiName);
BENCHMARK_CAPTURE(run, name_latin1, kName, kUnicodeName);
BENCHMARK_CAPTURE(run, name_decomposed, kName, kDecomposedName);
BENCHMARK_CAPTURE(run, name_100kB_ascii, kName, kLongName);
BENCHMARK_CAPTURE(run, email_gmail, kEmailN, kEmail);
BENCHMARK_CAPTURE(run, email_other, kEmailN, kOtherEmail);
BENCHMARK_CAPTURE(run, phone_national, kPhoneN, kPhone);
BENCHMARK_CAPTURE(run, phone_international, kPhoneN, kPhoneIntl);
BENCHMARK_CAPTURE(run, domain_url, kDomainN, kDomain);
BENCHMARK_CAPTURE(run, nickname_hit, kNicknameN, kNickname);
BENCHMARK_CAPTURE(run, nickname_miss, kNicknameN, kAsciiName);
