// Python objects made once per process and kept for the rest of it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace korvane::python {

// A Python object kept for the rest of the process once made.
class ProcessWideObject {
public:
    using Maker = PyObject* (*)();  // a new reference, or null with a Python error set

    // The object (borrowed), made on first need. Nothing is locked: making it runs Python code (an
    // import, with its hooks), which may ask for the same object again, switch threads or fork.
    // Whoever finishes first stores theirs, and later makers' objects are dropped. A failed fill
    // leaves the slot empty and throws with the maker's error set.
    PyObject* get(Maker make);

private:
    std::atomic<PyObject*> object_{nullptr};
};

// The interned attribute names the binding looks up.
PyObject* all_attribute_name();  // "__all__"

}  // namespace korvane::python
