#include "conversions.hpp"

#include <algorithm>
#include <limits>

#include "guard.hpp"
#include "korvane/errors.hpp"
#include "process_wide.hpp"

namespace korvane::python {

namespace {

ProcessWideObject sequence_type;

// The class is only used to name it in the TypeError for a value that is not a sequence.
PyObject* import_sequence_type() {
    Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!module) return nullptr;
    Ref sequence = Ref::steal(PyObject_GetAttrString(module.get(), "Sequence"));
    if (sequence && !PyType_Check(sequence.get())) {
        PyErr_SetString(PyExc_TypeError, "collections.abc.Sequence is not a class");
        return nullptr;
    }
    return sequence.release();
}

bool equals_text(PyObject* object, const char* text) {
    return PyUnicode_Check(object) && PyUnicode_EqualToUTF8(object, text);
}

// numpy's boolean scalar type, recognised by name so that numpy need not be imported.
bool is_numpy_bool_type(PyTypeObject* type) {
    Ref module_name = Ref::steal(PyType_GetModuleName(type));
    if (!module_name) {
        PyErr_Clear();  // a heap type without __module__ is not numpy's
        return false;
    }
    if (!equals_text(module_name.get(), "numpy")) return false;
    Ref name = require(PyType_GetName(type));
    return equals_text(name.get(), "bool_") || equals_text(name.get(), "bool");
}

std::uint32_t to_token_id(PyObject* item) {
    const long value = PyLong_AsLong(item);
    if (value == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (value < 0 ||
        static_cast<unsigned long>(value) > std::numeric_limits<std::uint32_t>::max()) {
        throw_python_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint32_t>(value);
}

// A sequence's __len__ may claim any size; past this the list grows as items really arrive.
constexpr Py_ssize_t reservation_limit = Py_ssize_t{1} << 20;

void reserve_for(std::vector<std::uint32_t>& ids, Py_ssize_t length) {
    ids.reserve(static_cast<std::size_t>(std::min(length, reservation_limit)));
}

#ifndef Py_GIL_DISABLED
// Reads an exact list or tuple the way its iterator would: the size is read again before each
// item (an item's __index__ may shrink a list), and an item that is not an exact int is held
// while its __index__ runs, since that code may drop it from the list.
void append_items_by_index(PyObject* list_or_tuple, std::vector<std::uint32_t>& ids) {
    for (Py_ssize_t index = 0; index < PySequence_Fast_GET_SIZE(list_or_tuple); ++index) {
        PyObject* item = PySequence_Fast_GET_ITEM(list_or_tuple, index);
        if (PyLong_CheckExact(item)) {
            ids.push_back(to_token_id(item));
        } else {
            Ref held = Ref::borrow(item);
            ids.push_back(to_token_id(held.get()));
        }
    }
}
#endif

}  // namespace

void throw_type_mismatch(PyObject* value, PyTypeObject* expected) {
    Ref expected_name = require(PyType_GetQualName(expected));
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", expected_name.get());
    } else {
        Ref value_type_name = require(PyType_GetQualName(Py_TYPE(value)));
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'",
                     value_type_name.get(), expected_name.get());
    }
    throw ErrorAlreadySet{};
}

std::string to_utf8_text(PyObject* value) {
    if (!PyUnicode_Check(value)) throw_type_mismatch(value, &PyUnicode_Type);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) throw ErrorAlreadySet{};
    return std::string(text, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* value) {
    if (Py_IS_TYPE(value, &PyBool_Type)) return value == Py_True;
    PyTypeObject* type = Py_TYPE(value);
    if (!is_numpy_bool_type(type)) throw_type_mismatch(value, &PyBool_Type);
    const inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     reinterpret_cast<PyObject*>(type));
        throw ErrorAlreadySet{};
    }
    return require(truth(value)) != 0;
}

std::vector<std::uint32_t> to_token_ids(PyObject* tokens) {
    if (PyUnicode_Check(tokens)) {
        throw_python_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(tokens)) {
        PyObject* sequence = sequence_type.get(import_sequence_type);
        throw_type_mismatch(tokens, reinterpret_cast<PyTypeObject*>(sequence));
    }
    std::vector<std::uint32_t> ids;
#ifndef Py_GIL_DISABLED
    if (PyList_CheckExact(tokens) || PyTuple_CheckExact(tokens)) {
        reserve_for(ids, PySequence_Fast_GET_SIZE(tokens));
        append_items_by_index(tokens, ids);
        return ids;
    }
#endif
    const Py_ssize_t length = PyObject_Size(tokens);
    if (length < 0) {
        // Only a capacity hint, but KeyboardInterrupt, SystemExit and the like must not be lost.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw ErrorAlreadySet{};
        PyErr_Clear();
    } else {
        reserve_for(ids, length);
    }
    Ref iterator = require(PyObject_GetIter(tokens));
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        ids.push_back(to_token_id(item.get()));
    }
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    return ids;
}

Ref to_float_list(std::span<const float> values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) throw InternalFailure("could not create the list of an embedding");
    for (std::size_t index = 0; index < values.size(); ++index) {
        PyObject* element = PyFloat_FromDouble(static_cast<double>(values[index]));
        if (element == nullptr) throw InternalFailure("could not create a float of an embedding");
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), element);
    }
    return list;
}

}  // namespace korvane::python
