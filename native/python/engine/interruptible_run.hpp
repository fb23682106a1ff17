#pragma once
// Running a long engine call so that Ctrl-C and progress reach it. Python runs signal
// handlers only on the main thread and only when that thread looks, so the work goes to
// a helper thread while the calling thread, without the interpreter lock, wakes a few
// times a second to run the handlers and report progress. An interrupt (or a failing
// progress callback) sets the run's cancel flag; the run stops at its next chunk of work
// and frees what it built before the exception reaches Python.
#include <functional>

#include "engine/run/run_options.hpp"
#include "python/binding.hpp"

namespace velatro::python {

// Calls work(options) with options.cancel and options.progress set. progress, when not
// None, is called with a dict of blocks_done, blocks_total, pairs_done and pairs_total
// on every wake-up and once at the end. Returns true when the work finished; false
// with a Python error set when it was interrupted or the callback raised. A failure of
// the work itself is rethrown.
bool run_interruptible(engine::RunOptions& options, PyObject* progress,
                       const std::function<void(const engine::RunOptions&)>& work);

}  // namespace velatro::python
