#include "python/engine/interruptible_run.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace velatro::python {
namespace {

// Often enough that Ctrl-C feels immediate, rarely enough to cost nothing.
constexpr auto kWakeUp = std::chrono::milliseconds(50);

PyObject* progress_dict(const engine::RunProgress& p) {
    return Py_BuildValue("{s:K,s:K,s:K,s:K}", "blocks_done",
                         static_cast<unsigned long long>(p.blocks_done.load()), "blocks_total",
                         static_cast<unsigned long long>(p.blocks_total.load()), "pairs_done",
                         static_cast<unsigned long long>(p.pairs_done.load()), "pairs_total",
                         static_cast<unsigned long long>(p.pairs_total.load()));
}

// False with the callback's error set when it raised.
bool report(PyObject* progress, const engine::RunProgress& p) {
    if (progress == Py_None) return true;
    Ref state(progress_dict(p));
    if (!state) return false;
    Ref ignored(PyObject_CallOneArg(progress, state.get()));
    return static_cast<bool>(ignored);
}

class Worker {
  public:
    Worker(const engine::RunOptions& options,
           const std::function<void(const engine::RunOptions&)>& work)
        : thread_([this, &options, &work] {
              try {
                  work(options);
              } catch (...) {
                  failure_ = std::current_exception();
              }
              std::lock_guard lock(mutex_);
              done_ = true;
              finished_.notify_all();
          }) {}
    ~Worker() {
        if (thread_.joinable()) thread_.join();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Waits up to one wake-up period; true once the work has finished.
    bool wait() {
        std::unique_lock lock(mutex_);
        return finished_.wait_for(lock, kWakeUp, [this] { return done_; });
    }
    void join() { thread_.join(); }
    [[nodiscard]] std::exception_ptr failure() const { return failure_; }

  private:
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    std::exception_ptr failure_;
    std::thread thread_;  // last: it starts once the members it uses exist
};

}  // namespace

bool run_interruptible(engine::RunOptions& options, PyObject* progress,
                       const std::function<void(const engine::RunOptions&)>& work) {
    std::atomic<bool> cancel{false};
    engine::RunProgress counters;
    options.cancel = &cancel;
    options.progress = &counters;
    bool stopped = false;  // a Python error is set
    {
        Worker worker(options, work);
        for (;;) {
            bool done = false;
            Py_BEGIN_ALLOW_THREADS done = worker.wait();
            Py_END_ALLOW_THREADS if (done) break;
            if (PyErr_CheckSignals() < 0 || !report(progress, counters)) {
                stopped = true;
                cancel.store(true, std::memory_order_relaxed);
                break;
            }
        }
        Py_BEGIN_ALLOW_THREADS worker.join();
        Py_END_ALLOW_THREADS if (stopped) return false;
        if (worker.failure()) std::rethrow_exception(worker.failure());
    }
    return report(progress, counters);
}

}  // namespace velatro::python
