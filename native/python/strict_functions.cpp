// validate_strict: the validate findings plus at most one coded message from the
// typed reading. Unreadable YAML raises ValueError through the guard.
#include "python/convert.hpp"
#include "python/functions.hpp"
#include "spec/strict_validation.hpp"

namespace velatro::python {

PyObject* fn_validate_strict(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 2> kNames{"yaml_str", nullptr};
    std::array<std::string_view, 1> in;
    if (!bind_str_args<1>(args, kwargs, "O:validate_strict", kNames, in)) return nullptr;
    return guarded([&] { return string_list_to_py(spec::validate_strict(in[0])); });
}

}  // namespace velatro::python
