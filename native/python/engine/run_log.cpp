#include "python/engine/run_log.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <tuple>

namespace velatro::python {

struct RunLog::State {
    std::mutex mutex;
    std::vector<Event> events;
    std::map<std::tuple<engine::LogLevel, std::string, std::string>, std::size_t> index;

    void add(const engine::LogEvent& e) {
        std::lock_guard lock(mutex);
        auto key = std::make_tuple(e.level, std::string(e.target), std::string(e.message));
        auto [at, fresh] = index.try_emplace(std::move(key), events.size());
        if (fresh) events.push_back({e.level, std::string(e.target), std::string(e.message), 0});
        ++events[at->second].count;
    }
};

namespace {

// The calls gathering now; the router sink is installed while there is one.
std::mutex g_mutex;
std::vector<std::shared_ptr<RunLog::State>> g_active;
std::shared_ptr<const engine::LogSink> g_previous;

void route(const engine::LogEvent& event) {
    std::vector<std::shared_ptr<RunLog::State>> active;
    {
        std::lock_guard lock(g_mutex);
        active = g_active;
    }
    for (const auto& state : active) state->add(event);
}

const char* level_name(engine::LogLevel level) {
    static constexpr const char* kNames[] = {"ERROR", "WARNING", "INFO", "DEBUG", "TRACE"};
    return kNames[static_cast<std::size_t>(level)];
}

}  // namespace

RunLog::RunLog() : state_(std::make_shared<State>()) {
    std::lock_guard lock(g_mutex);
    g_active.push_back(state_);
    if (g_active.size() == 1)
        g_previous = engine::set_log_sink(std::make_shared<const engine::LogSink>(route));
}

RunLog::~RunLog() {
    std::lock_guard lock(g_mutex);
    g_active.erase(std::find(g_active.begin(), g_active.end(), state_));
    if (g_active.empty()) engine::set_log_sink(std::move(g_previous));
}

PyObject* RunLog::to_py() const {
    std::lock_guard lock(state_->mutex);
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (const Event& e : state_->events) {
        Ref item(Py_BuildValue("(ss#s#K)", level_name(e.level), e.target.data(),
                               static_cast<Py_ssize_t>(e.target.size()), e.message.data(),
                               static_cast<Py_ssize_t>(e.message.size()),
                               static_cast<unsigned long long>(e.count)));
        if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
    }
    return out.release();
}

}  // namespace velatro::python
