// Renders a Python type stub from interface descriptions.
#pragma once

#include <expected>
#include <span>
#include <string>

#include "description.hpp"

namespace korvane::stub {

struct StubError {
    std::string message;
};

// The stub of the module of the one class in `classes`, with the methods of its method blocks in
// the order given. Fails unless there is exactly one class and every block belongs to it.
[[nodiscard]] std::expected<std::string, StubError> render_stub(
    std::span<const ClassDescription* const> classes,
    std::span<const MethodBlockDescription* const> method_blocks);

}  // namespace korvane::stub
