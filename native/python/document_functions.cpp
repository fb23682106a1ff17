// parse and hash: the two functions that work on the bare document tree.
#include "document/digest.hpp"
#include "document/tree.hpp"
#include "python/convert.hpp"
#include "python/functions.hpp"

namespace velatro::python {

PyObject* fn_parse(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 2> kNames{"yaml_str", nullptr};
    std::array<std::string_view, 1> in;
    if (!bind_str_args<1>(args, kwargs, "O:parse", kNames, in)) return nullptr;
    return guarded([&] { return json_value_to_py(document::read_tree(in[0])); });
}

PyObject* fn_hash(PyObject*, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<const char*, 2> kNames{"yaml_str", nullptr};
    std::array<std::string_view, 1> in;
    if (!bind_str_args<1>(args, kwargs, "O:hash", kNames, in)) return nullptr;
    return guarded([&] { return str_to_py(document::fingerprint(document::read_tree(in[0]))); });
}

}  // namespace velatro::python
