#pragma once
// What every columnar entry point starts with: the spec read and compiled into an
// engine, the records taken from an Arrow stream, and a way to run the long part
// without the interpreter lock.
#include <exception>
#include <string_view>
#include <vector>

#include "engine/entity.hpp"
#include "engine/reconciliation_engine.hpp"
#include "plan/identity_plan.hpp"
#include "python/binding.hpp"

namespace velatro::python {

struct CompiledSpec {
    plan::IdentityPlan plan;
    engine::ReconciliationEngine engine;
};

// Failures carry the prefixes of the local run: "Invalid spec YAML: " for a spec the
// typed reading refuses, "Compilation error: " for one the compiler refuses.
CompiledSpec compile_spec(std::string_view yaml);

// Takes the stream of the records argument over (it is released however reading ends)
// and reads the canonical record layout.
std::vector<engine::NormalizedEntity> read_records_arg(PyObject* records);

// Runs work with the interpreter lock released; a failure is carried across the lock
// boundary and rethrown once the lock is held again.
template <class Work>
void without_lock(Work&& work) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { work(); } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
}

}  // namespace velatro::python
