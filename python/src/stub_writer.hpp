// Renders a Python type stub from interface descriptions.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "stub_description.hpp"

namespace korvane::stub {

struct StubError {
    std::string message;
};

// The stub of `module`: its classes ordered by name, each with the members of its description and
// of its method blocks, blocks ordered by source location and methods in declared order. Classes
// of other modules are left out. Fails when a method block names no class among `classes`, when
// two classes share an identity, or when a setter has no getter.
[[nodiscard]] std::expected<std::string, StubError> render_stub(
    std::string_view module, std::span<const ClassDescription* const> classes,
    std::span<const MethodBlockDescription* const> method_blocks);

}  // namespace korvane::stub
