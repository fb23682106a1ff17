#pragma once
// Document tree and string lists to Python objects.
#include <string>
#include <vector>

#include "document/value.hpp"
#include "python/binding.hpp"

namespace velatro::python {

// New reference or nullptr with a Python error set. Unsigned integers above
// 2^63 - 1 become float; dict keys are inserted in the tree's (sorted) order.
PyObject* json_value_to_py(const document::Value& value);

PyObject* string_list_to_py(const std::vector<std::string>& items);

PyObject* str_to_py(const std::string& text);

}  // namespace velatro::python
