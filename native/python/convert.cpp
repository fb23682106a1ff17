#include "python/convert.hpp"

#include <cstdint>
#include <limits>

namespace velatro::python {

using document::Kind;

PyObject* str_to_py(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* json_value_to_py(const document::Value& v) {
    switch (v.kind()) {
        case Kind::Null: Py_RETURN_NONE;
        case Kind::Bool:
            if (v.as_bool()) Py_RETURN_TRUE;
            Py_RETURN_FALSE;
        case Kind::UInt: {
            std::uint64_t u = v.as_uint();
            if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return PyFloat_FromDouble(static_cast<double>(u));
            return PyLong_FromLongLong(static_cast<long long>(u));
        }
        case Kind::Int: return PyLong_FromLongLong(v.as_int());
        case Kind::Float: return PyFloat_FromDouble(v.as_float());
        case Kind::String: return str_to_py(v.as_string());
        case Kind::Array: {
            const auto& arr = v.as_array();
            Ref list(PyList_New(static_cast<Py_ssize_t>(arr.size())));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < arr.size(); ++i) {
                PyObject* item = json_value_to_py(arr[i]);
                if (!item) return nullptr;
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
            }
            return list.release();
        }
        case Kind::Object: {
            Ref dict(PyDict_New());
            if (!dict) return nullptr;
            for (const auto& [key, item] : v.as_object()) {
                Ref k(str_to_py(key));
                if (!k) return nullptr;
                Ref val(json_value_to_py(item));
                if (!val) return nullptr;
                if (PyDict_SetItem(dict.get(), k.get(), val.get()) < 0) return nullptr;
            }
            return dict.release();
        }
    }
    Py_RETURN_NONE;
}

PyObject* string_list_to_py(const std::vector<std::string>& items) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* s = str_to_py(items[i]);
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
    }
    return list.release();
}

}  // namespace velatro::python
