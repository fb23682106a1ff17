#include "engine/run/result_sink.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace velatro::engine {

std::span<const RuleOutcome> PairResults::outcomes(const KeptPair& p) const {
    if (p.verdict.early != ReconciliationEngine::Early::None) return {};
    return {ordered_.outcomes.data() + p.outcomes, engine_.rules().size()};
}

MatchDecision PairResults::expand(const KeptPair& p) const {
    MatchDecision d = engine_.decision_of(entities_[p.a], entities_[p.b], p.verdict,
                                          ordered_.outcomes.data() + p.outcomes, p.factor);
    d.blocking_key = std::string(p.key);
    return d;
}

void PairResults::expand(std::span<const KeptPair> pairs, std::span<MatchDecision> out) const {
    arena_.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, pairs.size(), 256),
                          [&](const auto& r) {
                              for (std::size_t i = r.begin(); i < r.end(); ++i)
                                  out[i] = expand(pairs[i]);
                          });
    });
}

}  // namespace velatro::engine
