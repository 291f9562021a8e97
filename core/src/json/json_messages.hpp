// The texts of the JSON parser's faults.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/json.hpp"

namespace korvane::json {

// "<reason> at line <L> column <C>" for a fault that ends just after `end` bytes of `text`.
[[nodiscard]] std::string describe_fault(std::string_view text, std::size_t end,
                                         std::string_view reason);

// A scalar as a fault names it: null, boolean `true`, integer `-3`, floating point `1.5`,
// string "text".
[[nodiscard]] std::string describe_scalar(const Value& scalar);

}  // namespace korvane::json
