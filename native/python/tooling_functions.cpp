// The spec tooling's module functions: the two checks and their combination, the
// plan document, the plan report and the diff. Reading failures surface as
// ValueError through the guard.
#include "python/convert.hpp"
#include "python/functions.hpp"
#include "tooling/plan_document.hpp"
#include "tooling/plan_report.hpp"
#include "tooling/schema_check.hpp"
#include "tooling/semantic_check.hpp"
#include "tooling/spec_diff.hpp"

namespace velatro::python {

namespace {

constexpr std::array<const char*, 2> kYamlNames{"yaml_str", nullptr};

// One-argument functions of a spec text share their binding; `work` maps the text
// to a new Python reference.
template <typename Work>
PyObject* with_yaml(PyObject* args, PyObject* kwargs, const char* format, Work work) {
    std::array<std::string_view, 1> in;
    if (!bind_str_args<1>(args, kwargs, format, kYamlNames, in)) return nullptr;
    return guarded([&] { return work(in[0]); });
}

}  // namespace

PyObject* fn_validate(PyObject*, PyObject* args, PyObject* kwargs) {
    return with_yaml(args, kwargs, "O:validate", [](std::string_view yaml) {
        return string_list_to_py(tooling::validate_yaml(yaml));
    });
}

PyObject* fn_validate_schema(PyObject*, PyObject* args, PyObject* kwargs) {
    return with_yaml(args, kwargs, "O:validate_schema", [](std::string_view yaml) {
        return string_list_to_py(tooling::validate_schema(tooling::parse_yaml(yaml)));
    });
}

PyObject* fn_validate_semantics(PyObject*, PyObject* args, PyObject* kwargs) {
    return with_yaml(args, kwargs, "O:validate_semantics", [](std::string_view yaml) {
        return string_list_to_py(tooling::validate_semantics(tooling::parse_yaml(yaml)));
    });
}

PyObject* fn_compile_ir(PyObject*, PyObject* args, PyObject* kwargs) {
    return with_yaml(args, kwargs, "O:compile_ir", [](std::string_view yaml) {
        return json_value_to_py(tooling::compile_to_ir(tooling::parse_yaml(yaml)));
    });
}

PyObject* fn_plan(PyObject*, PyObject* args, PyObject* kwargs) {
    return with_yaml(args, kwargs, "O:plan", [](std::string_view yaml) {
        return json_value_to_py(tooling::to_value(tooling::generate_plan(yaml)));
    });
}

PyObject* fn_diff(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 3> kNames{"yaml_a", "yaml_b", nullptr};
    std::array<std::string_view, 2> in;
    if (!bind_str_args<2>(args, kwargs, "OO:diff", kNames, in)) return nullptr;
    return guarded(
        [&] { return json_value_to_py(tooling::to_value(tooling::compute_diff(in[0], in[1]))); });
}

}  // namespace velatro::python
