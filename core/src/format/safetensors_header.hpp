// The header of a safetensors file: an 8-byte little-endian length, then that many bytes of JSON
// giving each tensor's element type, shape and data offsets.
//
// Why two loaders decode it: the reader behind korvane_py (load.cpp) reads the whole file in one
// pass and must fail with exactly the texts korvane_py's callers match on, accepting every form
// of entry they accept; the package's table loader (embedding_table.cpp) reads the header alone,
// then only the table asked for, in parallel parts straight into aligned memory, and explains
// each fault in words of its own. What an entry says is decoded here, for both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "json/json.hpp"
#include "util/file_io.hpp"

namespace korvane::safetensors {

// The bytes before the header: its length.
inline constexpr std::size_t length_prefix = 8;

[[nodiscard]] inline std::uint64_t header_length(std::span<const std::byte, 8> prefix) noexcept {
    return read_u64_le(prefix);
}

// A header entry: an object with "dtype", "shape" and "data_offsets" (the last of each if listed
// twice, other keys ignored) or a list of the three in that order. The element type is a name
// ("F32") or an object whose only key is the name and whose value is null; the shape is a list of
// unsigned integers, the data offsets a list of two.
struct Entry {
    std::string_view dtype;
    bool dtype_as_object = false;  // {"F32": null}
    bool as_list = false;          // [dtype, shape, data_offsets]
    std::vector<std::uint64_t> shape;
    std::array<std::uint64_t, 2> data_offsets{};
};

// The entry `value` describes, or none when it has none of these forms.
[[nodiscard]] std::optional<Entry> decode_entry(const json::Value& value);

}  // namespace korvane::safetensors
