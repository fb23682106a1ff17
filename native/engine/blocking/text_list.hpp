#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velatro::engine {

// A list of texts that keeps its strings, and their capacity, when cleared: block keys
// are built for every record of a run through the same few working lists, so after the
// first records no value or partial key needs a new allocation.
class TextList {
  public:
    std::size_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }
    const std::string& operator[](std::size_t i) const noexcept { return items_[i]; }
    auto begin() const noexcept { return items_.begin(); }
    auto end() const noexcept { return items_.begin() + static_cast<std::ptrdiff_t>(count_); }

    void clear() noexcept { count_ = 0; }
    void truncate(std::size_t n) noexcept {
        if (n < count_) count_ = n;
    }

    // Empties the list and gives back the memory of texts beyond the first `keep`, so that
    // one exceptionally long value does not pin its working set for a thread's lifetime.
    void reset_retaining(std::size_t keep) {
        count_ = 0;
        if (items_.size() > keep) {
            items_.resize(keep);
            items_.shrink_to_fit();
        }
    }

    // Appends an empty text and returns it for filling. References to earlier texts may
    // be invalidated.
    std::string& push() {
        if (count_ == items_.size()) items_.emplace_back();
        std::string& text = items_[count_++];
        text.clear();
        return text;
    }
    void push(std::string_view text) { push().assign(text); }

  private:
    std::vector<std::string> items_;
    std::size_t count_ = 0;
};

}  // namespace velatro::engine
