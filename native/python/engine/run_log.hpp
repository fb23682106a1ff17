#pragma once
// The engine's log events of one call, gathered so that Python's logging receives one
// record per distinct event with a count, not one per pair: a scoring fallback warns
// on every pair it scores. While any call gathers, one router sink is installed; with
// two calls at once, an event cannot be told apart and reaches both.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/log.hpp"
#include "python/binding.hpp"

namespace velatro::python {

class RunLog {
  public:
    struct Event {
        engine::LogLevel level;
        std::string target;
        std::string message;
        std::uint64_t count = 0;
    };
    struct State;

    RunLog();
    ~RunLog();
    RunLog(const RunLog&) = delete;
    RunLog& operator=(const RunLog&) = delete;

    // The events in the order first seen, as a list of (level, target, message, count)
    // tuples with the level as "ERROR", "WARNING", "INFO", "DEBUG" or "TRACE"; a new
    // reference, or nullptr with a Python error set.
    PyObject* to_py() const;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace velatro::python
