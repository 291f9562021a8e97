#include "process_wide.hpp"

#include "guard.hpp"
#include "ref.hpp"

namespace korvane::python {

namespace {

ProcessWideObject all_name;

}  // namespace

PyObject* ProcessWideObject::get(Maker make) {
    if (PyObject* object = object_.load(std::memory_order_acquire)) return object;
    Ref made = require(make());
    PyObject* stored = nullptr;
    if (object_.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel)) {
        return made.release();
    }
    return stored;
}

PyObject* all_attribute_name() {
    return all_name.get([]() -> PyObject* { return PyUnicode_InternFromString("__all__"); });
}

}  // namespace korvane::python
