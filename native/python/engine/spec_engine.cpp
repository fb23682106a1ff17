#include "python/engine/spec_engine.hpp"

#include "columnar/record_reader.hpp"
#include "engine/compiler.hpp"
#include "python/engine/arrow_capsule.hpp"
#include "spec/reader.hpp"

namespace velatro::python {

CompiledSpec compile_spec(std::string_view yaml) {
    spec::IdentitySpec spec;
    try {
        spec = spec::read_identity_spec(yaml);
    } catch (const velatro::Error& e) {
        throw velatro::Error(std::string("Invalid spec YAML: ") + e.what());
    }
    plan::IdentityPlan plan;
    engine::CompiledExpression expression;
    try {
        plan = engine::SpecCompiler::compile(spec, expression);
    } catch (const velatro::Error& e) {
        throw velatro::Error(std::string("Compilation error: ") + e.what());
    }
    engine::ReconciliationEngine eng =
        engine::ReconciliationEngine::from_plan(plan, std::move(expression));
    return {std::move(plan), std::move(eng)};
}

std::vector<engine::NormalizedEntity> read_records_arg(PyObject* records) {
    ArrowArrayStream stream{};
    if (!take_stream(records, &stream)) throw PythonError();
    return columnar::read_records(&stream);
}

}  // namespace velatro::python
