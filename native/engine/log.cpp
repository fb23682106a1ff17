#include "engine/log.hpp"

#include <atomic>

namespace velatro::engine {

namespace {

// The flag keeps the common case (no sink) to one relaxed load; the pointer is only
// read once the flag says there may be a listener.
std::atomic<bool> g_enabled{false};
std::atomic<std::shared_ptr<const LogSink>> g_sink;

}  // namespace

std::shared_ptr<const LogSink> set_log_sink(std::shared_ptr<const LogSink> sink) {
    if (sink && !*sink) sink.reset();
    bool enabled = sink != nullptr;
    auto previous = g_sink.exchange(std::move(sink));
    g_enabled.store(enabled, std::memory_order_release);
    return previous;
}

bool log_enabled() noexcept { return g_enabled.load(std::memory_order_relaxed); }

void log(LogLevel level, std::string_view target, std::string_view message) {
    if (!log_enabled()) return;
    auto sink = g_sink.load();
    if (sink) (*sink)(LogEvent{level, target, message});
}

LogCapture::LogCapture() : state_(std::make_shared<State>()) {
    auto state = state_;
    previous_ = set_log_sink(std::make_shared<const LogSink>([state](const LogEvent& event) {
        std::lock_guard lock(state->mutex);
        state->entries.push_back(
            Entry{event.level, std::string(event.target), std::string(event.message)});
    }));
}

LogCapture::~LogCapture() { set_log_sink(std::move(previous_)); }

std::vector<LogCapture::Entry> LogCapture::entries() const {
    std::lock_guard lock(state_->mutex);
    return state_->entries;
}

}  // namespace velatro::engine
