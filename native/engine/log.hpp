#pragma once
// Structured log events of the engine: a level, a target and a message. Nothing is
// printed by default; an embedding application (or a test) installs a sink. The
// engine may log once per evaluated pair from many worker threads, so the check for
// "is anyone listening" is a single relaxed atomic load and messages should be built
// only after it (see log_lazy).
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velatro::engine {

enum class LogLevel : unsigned char { Error, Warn, Info, Debug, Trace };

// Targets under which events are reported; their texts are part of the interface.
inline constexpr std::string_view kEngineLogTarget = "orvane_core::engine";
inline constexpr std::string_view kCompilerLogTarget = "orvane_core::engine::compiler";

struct LogEvent {
    LogLevel level;
    std::string_view target;
    std::string_view message;
};

// Called from any thread, possibly concurrently; it must do its own locking.
using LogSink = std::function<void(const LogEvent&)>;

// Installs a sink (an empty one restores the discarding default) and returns the
// one it replaces.
std::shared_ptr<const LogSink> set_log_sink(std::shared_ptr<const LogSink> sink);

[[nodiscard]] bool log_enabled() noexcept;

void log(LogLevel level, std::string_view target, std::string_view message);

// Builds the message only when a sink is installed.
template <class MakeMessage>
void log_lazy(LogLevel level, std::string_view target, MakeMessage&& make_message) {
    if (log_enabled()) log(level, target, std::forward<MakeMessage>(make_message)());
}

// A sink that records events with owned texts, for tests and diagnostics. While it
// lives it is the installed sink; the previous one comes back when it is destroyed.
class LogCapture {
public:
    struct Entry {
        LogLevel level;
        std::string target;
        std::string message;
        friend bool operator==(const Entry&, const Entry&) = default;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    [[nodiscard]] std::vector<Entry> entries() const;

private:
    struct State {
        mutable std::mutex mutex;
        std::vector<Entry> entries;
    };
    std::shared_ptr<State> state_;
    std::shared_ptr<const LogSink> previous_;
};

}  // namespace velatro::engine
