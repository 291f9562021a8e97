// The instance record of the Python class StaticEmbedding, shared by the class (module.cpp) and
// its method (embed_tokens_method.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <source_location>
#include <type_traits>

#include "korvane/model/static_embedding.hpp"

namespace korvane::python {

struct StaticEmbeddingObject {
    PyObject ob_base;
    // Moved in by the constructor once the instance is allocated, destroyed by the deallocator.
    korvane::StaticEmbedding core;
    // 0 while the core is free; all bits set while one embed_tokens call uses it.
    std::atomic<std::uintptr_t> borrow_flag;
    // The value of fork_count() when borrow_flag was last taken (or the instance made). A flag
    // still taken in an earlier one belongs to a thread that the fork left behind.
    std::atomic<std::uint64_t> borrowed_in_fork;
    // Set by the constructor once `core` exists. A `__new__` replaced on the class can return an
    // instance that object.__new__ allocated, zero-filled, without one.
    bool constructed;
};

// The constructor moves the core object into freshly allocated memory; a move that could throw
// would leave a half-built instance for the deallocator.
static_assert(std::is_nothrow_move_constructible_v<korvane::StaticEmbedding>);

inline StaticEmbeddingObject& as_static_embedding(PyObject* self) noexcept {
    return *reinterpret_cast<StaticEmbeddingObject*>(self);
}

// How many forks led to this process since the module was first executed: each child counts one
// more than its parent had at the fork. Counting starts with watch_forks().
std::uint64_t fork_count() noexcept;
void watch_forks();

// The class's method table, ending with its sentinel: embed_tokens. The location captured on the
// line above it is where the type stub's description of the interface says its methods are.
inline constexpr auto static_embedding_methods_location = std::source_location::current();
extern PyMethodDef static_embedding_methods[];

}  // namespace korvane::python
