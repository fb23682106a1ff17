#pragma once
// Stopping a run. The run looks at its cancel flag between chunks of work; a comparison
// that is long in itself (an edit distance between two values of a megabyte takes tens of
// seconds) also looks, through the flag the thread's current run made visible here,
// without the flag being passed through every rule.
#include <atomic>
#include <exception>

namespace velatro::engine {

// Thrown by a run whose cancel flag was set. Not a velatro::Error: nothing is wrong with
// the input, and callers usually report it differently.
class RunCancelled : public std::exception {
  public:
    [[nodiscard]] const char* what() const noexcept override { return "the run was cancelled"; }
};

namespace detail {
inline thread_local const std::atomic<bool>* current_cancel_flag = nullptr;
}

// Makes a run's cancel flag visible to long comparisons on this thread while it lives.
class CancelScope {
  public:
    explicit CancelScope(const std::atomic<bool>* flag) noexcept
        : previous_(detail::current_cancel_flag) {
        detail::current_cancel_flag = flag;
    }
    ~CancelScope() { detail::current_cancel_flag = previous_; }
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

  private:
    const std::atomic<bool>* previous_;
};

// For loops inside one comparison: throws RunCancelled when the current run is stopped.
inline void check_cancelled_in_comparison() {
    const std::atomic<bool>* flag = detail::current_cancel_flag;
    if (flag && flag->load(std::memory_order_relaxed)) throw RunCancelled();
}

}  // namespace velatro::engine
