// Reading the model file: an 8-byte little-endian header length N, N bytes of JSON header, then
// the data section. The reader takes the first usable tensor entry of the header and returns its
// description with a copy of its bytes; it interprets neither the bytes nor the shape.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "korvane/errors.hpp"

namespace korvane {

// Element types a model file may declare, stored as their ordinal.
enum class DataType : std::uint8_t { F64, F32, F16, BF16, I64, I32, I16, I8, U8, BOOL };

inline constexpr std::size_t data_type_count = 10;

// Bytes of one element.
[[nodiscard]] constexpr std::size_t element_width(DataType dtype) noexcept {
    constexpr std::array<std::size_t, data_type_count> widths{8, 4, 2, 2, 8, 4, 2, 1, 1, 1};
    return widths[static_cast<std::size_t>(dtype)];
}

// The name the file's header writes ("F16", "BOOL", ...).
[[nodiscard]] constexpr std::string_view data_type_name(DataType dtype) noexcept {
    constexpr std::array<std::string_view, data_type_count> names{
        "F64", "F32", "F16", "BF16", "I64", "I32", "I16", "I8", "U8", "BOOL"};
    return names[static_cast<std::size_t>(dtype)];
}

// The type with exactly this name (case-sensitive), or none.
[[nodiscard]] constexpr std::optional<DataType> data_type_from_name(
    std::string_view name) noexcept {
    for (std::size_t ordinal = 0; ordinal < data_type_count; ++ordinal) {
        const auto dtype = static_cast<DataType>(ordinal);
        if (data_type_name(dtype) == name) return dtype;
    }
    return std::nullopt;
}

// The decoded description of one tensor.
struct TensorDetails {
    DataType dtype;
    std::array<std::uint64_t, 2> shape;         // rows, columns (the model dimension D)
    std::array<std::uint64_t, 2> data_offsets;  // [start, end) within the data section

    friend bool operator==(const TensorDetails&, const TensorDetails&) = default;
};

// A table read from a model file: its description and a copy of its bytes, start to end - 1.
struct LoadedTensor {
    TensorDetails details;
    std::vector<std::byte> data;
};

// Asked by the reader before each read of at most 16 MiB and again after every read that a signal
// interrupted, so that the caller can stop a read that would take long or never end (a huge file,
// a device, a pipe that stays silent). It stops the read by throwing: the reader then closes the
// file, frees what it read and lets the exception pass unchanged.
using InterruptCheck = std::function<void()>;

// Reads the whole file at `path` and returns its first usable tensor. Returns a LoadError when
// the file cannot be opened or read, its header is not a JSON object, or no entry describes a
// tensor. Throws InternalFailure when the file is shorter than its header says ("mid > len"), the
// chosen tensor's offsets leave the data section, or memory for the file's content or the tensor's
// copy runs out ("memory allocation of N bytes failed").
[[nodiscard]] std::expected<LoadedTensor, LoadError> load_safetensors_file(
    std::filesystem::path path, const InterruptCheck& check_interrupt = {});

}  // namespace korvane
