#include "engine/log.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace velatro::engine {
namespace {

TEST(Log, CaptureSeesEventsOnlyWhileInstalled) {
    log(LogLevel::Warn, kEngineLogTarget, "before");
    int built = 0;
    log_lazy(LogLevel::Warn, kEngineLogTarget, [&] {
        ++built;
        return std::string("lazy");
    });
    EXPECT_EQ(built, 0);  // no sink: the message is never built
    {
        LogCapture capture;
        EXPECT_TRUE(log_enabled());
        log(LogLevel::Error, kCompilerLogTarget, "bad expression");
        log_lazy(LogLevel::Warn, kEngineLogTarget, [] { return std::string("fallback"); });
        auto entries = capture.entries();
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0], (LogCapture::Entry{LogLevel::Error, "orvane_core::engine::compiler",
                                                 "bad expression"}));
        EXPECT_EQ(entries[1],
                  (LogCapture::Entry{LogLevel::Warn, "orvane_core::engine", "fallback"}));
    }
    EXPECT_FALSE(log_enabled());
}

TEST(Log, ConcurrentEventsAreAllRecorded) {
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i) log(LogLevel::Warn, kEngineLogTarget, "pair");
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(capture.entries().size(), 4000u);
}

}  // namespace
}  // namespace velatro::engine
