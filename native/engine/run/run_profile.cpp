#include "engine/run/run_profile.hpp"

namespace velatro::engine {

double RunProfile::seconds(std::string_view stage) const {
    for (const Stage& s : stages)
        if (s.name == stage) return s.seconds;
    return 0.0;
}

document::Value to_value(const RunProfile& profile) {
    document::Object seconds;
    double total = 0.0;
    for (const auto& stage : profile.stages) {
        seconds.emplace(std::string(stage.name), stage.seconds);
        total += stage.seconds;
    }
    seconds.emplace("total", total);
    document::Object o;
    o.emplace("seconds", std::move(seconds));
    o.emplace("records", profile.records);
    o.emplace("blocks", profile.blocks);
    o.emplace("pairing_blocks", profile.pairing_blocks);
    o.emplace("pairs_judged", profile.pairs_judged);
    o.emplace("pair_copies", profile.pair_copies);
    o.emplace("kept_pairs", profile.kept_pairs);
    o.emplace("clusters", profile.clusters);
    return o;
}

StageClock::StageClock(RunProfile* profile) : profile_(profile) {
    if (profile_) last_ = std::chrono::steady_clock::now();
}

void StageClock::lap(std::string_view stage) {
    if (!profile_) return;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    for (auto& s : profile_->stages) {
        if (s.name == stage) {
            s.seconds += seconds;
            return;
        }
    }
    profile_->stages.push_back({stage, seconds});
}

}  // namespace velatro::engine
