#include "binding.hpp"

#include <algorithm>
#include <exception>
#include <limits>

#include "korvane/errors.hpp"

namespace korvane::python {

namespace {

ProcessWideObject panic_exception_type;
ProcessWideObject all_name;
ProcessWideObject add_note_name;
ProcessWideObject sequence_type;

constexpr const char* panic_text_without_description =
    "korvane stopped an operation after an internal failure that gave no description";

PyObject* make_panic_exception_type() {
    return PyErr_NewExceptionWithDoc(
        "korvane_py._runtime.PanicException",
        "An operation of korvane_py stopped at an internal failure.\n\n"
        "It derives from BaseException, so `except Exception` does not catch it.",
        PyExc_BaseException, nullptr);
}

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

// Raises PanicException with `text`. An error still pending becomes its __context__.
void raise_panic(std::string_view text) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    try {
        PyObject* type = panic_exception_type.get(make_panic_exception_type);
        if (text.empty()) text = panic_text_without_description;
        Ref message = require(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        PyErr_SetObject(type, message.get());
    } catch (const ErrorAlreadySet&) {
        return;  // the error of the failed step stands in for the panic
    }
    if (pending) {
        Ref panic = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(panic.get(), pending.release());
        PyErr_SetRaisedException(panic.release());
    }
}

[[noreturn]] void throw_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required_count < signature.parameters.size()) {
        PyErr_Format(PyExc_TypeError,
                     "%s.%s() takes from %zu to %zu positional arguments but %zd %s given",
                     signature.class_name, signature.function_name, signature.required_count,
                     signature.parameters.size(), given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s.%s() takes %zu positional arguments but %zd %s given",
                     signature.class_name, signature.function_name, signature.parameters.size(),
                     given, verb);
    }
    throw ErrorAlreadySet{};
}

void bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t count,
                     std::span<PyObject*> bound) {
    if (static_cast<std::size_t>(count) > signature.parameters.size()) {
        throw_too_many_positional(signature, count);
    }
    std::copy_n(args, count, bound.begin());
}

void bind_keyword(const Signature& signature, PyObject* name, PyObject* value,
                  std::span<PyObject*> bound) {
    // Compares without raising: a name that cannot be encoded matches nothing.
    const bool is_text = PyUnicode_Check(name);
    for (std::size_t index = 0; index < signature.parameters.size(); ++index) {
        if (!is_text || !PyUnicode_EqualToUTF8(name, signature.parameters[index])) continue;
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'",
                         signature.class_name, signature.function_name,
                         signature.parameters[index]);
            throw ErrorAlreadySet{};
        }
        bound[index] = value;
        return;
    }
    PyErr_Format(PyExc_TypeError,
                 is_text ? "%s.%s() got an unexpected keyword argument '%U'"
                         : "%s.%s() got an unexpected keyword argument '%S'",
                 signature.class_name, signature.function_name, name);
    throw ErrorAlreadySet{};
}

void check_required(const Signature& signature, std::span<PyObject* const> bound) {
    const auto required = bound.first(signature.required_count);
    const auto missing =
        static_cast<std::size_t>(std::count(required.begin(), required.end(), nullptr));
    if (missing == 0) return;
    std::string names;
    std::size_t listed = 0;
    for (std::size_t index = 0; index < required.size(); ++index) {
        if (required[index] != nullptr) continue;
        if (listed > 0) names += missing == 2 ? " and " : listed + 1 == missing ? ", and " : ", ";
        names.append("'").append(signature.parameters[index]).append("'");
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "%s.%s() missing %zu required positional %s: %s",
                 signature.class_name, signature.function_name, missing,
                 missing == 1 ? "argument" : "arguments", names.c_str());
    throw ErrorAlreadySet{};
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

void throw_python_error(PyObject* type, std::string_view message) {
    Ref text = require(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyErr_SetObject(type, text.get());
    throw ErrorAlreadySet{};
}

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

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
        if (!PyErr_Occurred()) raise_panic("a failed call into Python left no exception set");
    } catch (const std::exception& failure) {  // korvane::InternalFailure, std::bad_alloc, ...
        raise_panic(failure.what());
    } catch (...) {
        raise_panic({});
    }
}

PyObject* ProcessWideObject::get(Maker make) {
    if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
    Ref made = require(make());
    PyObject* stored = nullptr;
    if (object_.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel)) {
        return made.release();
    }
    return stored;
}

void register_runtime_module() {
    constexpr const char* name = "korvane_py._runtime";
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* found = nullptr;
    const int present = require(PyDict_GetItemStringRef(modules, name, &found));
    Ref existing = Ref::steal(found);
    if (present == 1) return;
    Ref module = require(PyModule_New(name));
    PyObject* type = panic_exception_type.get(make_panic_exception_type);
    require(PyModule_AddObjectRef(module.get(), "PanicException", type));
    require(PyDict_SetItemString(modules, name, module.get()));
}

PyObject* all_attribute_name() {
    return all_name.get([]() -> PyObject* { return PyUnicode_InternFromString("__all__"); });
}

void bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound) {
    std::fill(bound.begin(), bound.end(), nullptr);
    bind_positional(signature, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), bound);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            bind_keyword(signature, name, value, bound);
        }
    }
    check_required(signature, bound);
}

void bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                    PyObject* kwnames, std::span<PyObject*> bound) {
    std::fill(bound.begin(), bound.end(), nullptr);
    bind_positional(signature, args, positional_count, bound);
    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t index = 0; index < keyword_count; ++index) {
            bind_keyword(signature, PyTuple_GET_ITEM(kwnames, index),
                         args[positional_count + index], bound);
        }
    }
    check_required(signature, bound);
}

void add_parameter_note(const char* parameter) noexcept {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    if (!exception) return;
    try {
        PyObject* method =
            add_note_name.get([]() -> PyObject* { return PyUnicode_InternFromString("add_note"); });
        Ref note = require(PyUnicode_FromFormat("while processing '%s'", parameter));
        require(PyObject_CallMethodOneArg(exception.get(), method, note.get()));
    } catch (const ErrorAlreadySet&) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exception.release());
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
