// Decoding table elements into single-precision floats, and adding rows.
//
// Rules of use:
//  1. Element bytes are little-endian and may sit at any alignment; `bytes` must hold
//     `count` x element_width(dtype) readable bytes.
//  2. Two kernels have a variant for newer processors, chosen at first use: F16 elements go
//     through the half-to-single instruction (F16C) when the processor has it, and rows are added
//     with 256-bit AVX2 additions when it has those. Each variant gives the same bits as its
//     portable form; `force_software_f16` and `force_portable_add_row` let tests and benchmarks
//     reach the portable forms anyway.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "korvane/load.hpp"

namespace korvane {

// How F16 elements are widened.
enum class F16Path : std::uint8_t { software, f16c };

// How rows are added.
enum class AddRowPath : std::uint8_t { portable, avx2 };

// The single-precision bit pattern of an IEEE half, widened exactly. NaNs keep sign and payload
// and come out quiet; subnormal halves become normal singles.
[[nodiscard]] constexpr std::uint32_t widen_f16_bits(std::uint16_t half) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
    const std::uint32_t magnitude = half & 0x7FFFu;
    const std::uint32_t exponent = half & 0x7C00u;
    const std::uint32_t mantissa = half & 0x03FFu;
    if (magnitude == 0) return sign;
    if (exponent == 0x7C00u) {
        return mantissa == 0 ? (sign | 0x7F800000u) : (sign | 0x7FC00000u | (mantissa << 13));
    }
    // Re-bias the exponent from 15 to 127.
    if (exponent != 0) return sign + (magnitude << 13) + 0x38000000u;
    // Subnormal: m x 2^-24 with the highest set bit k of m becomes the implicit bit.
    const int top_bit = std::bit_width(mantissa) - 1;
    return sign | (static_cast<std::uint32_t>(top_bit + 103) << 23) |
           ((mantissa << (23 - top_bit)) & 0x7FFFFFu);
}

// The single-precision bit pattern of a bfloat16: its bits on top, zeros below; a NaN is made
// quiet.
[[nodiscard]] constexpr std::uint32_t widen_bf16_bits(std::uint16_t half) noexcept {
    const std::uint32_t quiet = (half & 0x7FFFu) > 0x7F80u ? 0x0040u : 0u;
    return static_cast<std::uint32_t>(half | quiet) << 16;
}

// Whether the processor and the operating system support F16C.
[[nodiscard]] bool f16c_supported() noexcept;

// The path `decode_row` widens F16 elements with now.
[[nodiscard]] F16Path active_f16_path() noexcept;

// With `force` set, F16 elements take the software path even where F16C exists; unset, the
// processor's best path is used again. Meant for tests and benchmarks.
void force_software_f16(bool force) noexcept;

// Widens `count` halves through `path`. The F16C path requires f16c_supported().
void widen_f16(F16Path path, const std::byte* bytes, std::size_t count, float* out) noexcept;

// Decodes `count` consecutive elements of type `dtype` into `out`.
void decode_row(DataType dtype, const std::byte* bytes, std::size_t count, float* out) noexcept;

// Whether the processor and the operating system support AVX2.
[[nodiscard]] bool avx2_supported() noexcept;

// The path `add_row` takes now.
[[nodiscard]] AddRowPath active_add_row_path() noexcept;

// With `force` set, rows are added by the portable path even where AVX2 exists.
void force_portable_add_row(bool force) noexcept;

// accumulator[i] = accumulator[i] + row[i] for every i < count, one rounded addition each. The
// arrays must not overlap. The AVX2 path requires avx2_supported().
void add_row(AddRowPath path, float* accumulator, const float* row, std::size_t count) noexcept;

}  // namespace korvane
