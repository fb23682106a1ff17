#pragma once
// Where a run spent its time, measured by the run itself, and how much work it did.
#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

#include "document/value.hpp"

namespace velatro::engine {

struct RunProfile {
    struct Stage {
        std::string_view name;  // a literal of the pipeline
        double seconds = 0.0;
    };
    // In the order the stages first ran. "output" is the time spent inside the sink,
    // "release" the time spent freeing what later stages no longer need.
    std::vector<Stage> stages;
    std::uint64_t records = 0;
    std::uint64_t blocks = 0;          // distinct block keys
    std::uint64_t pairing_blocks = 0;  // blocks of two entries or more
    std::uint64_t pairs_judged = 0;    // distinct pairs, each judged once
    std::uint64_t pair_copies = 0;     // the judgements they stand for, one per block copy
    std::uint64_t kept_pairs = 0;
    std::uint64_t clusters = 0;

    [[nodiscard]] double seconds(std::string_view stage) const;
};

// {"seconds": {stage: seconds, ..., "total": ...}, "records": ..., ...}.
document::Value to_value(const RunProfile& profile);

// Charges the time since the previous lap to a stage. Does nothing without a profile,
// so an unprofiled run reads no clock.
class StageClock {
  public:
    explicit StageClock(RunProfile* profile);
    void lap(std::string_view stage);
    [[nodiscard]] RunProfile* profile() const { return profile_; }

  private:
    RunProfile* profile_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace velatro::engine
