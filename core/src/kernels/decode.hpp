// Decoding table elements into single-precision floats, and adding rows.
//
// Rules of use:
//  1. Element bytes are little-endian and may sit at any alignment; `bytes` must hold
//     `count` x element_width(dtype) readable bytes.
//  2. Two kernels have a variant for the processor's vector instructions, chosen at first use:
//     F16 elements go through the half-to-single instruction, and rows are added with vector
//     additions. On x86-64 these are F16C and 256-bit AVX2, taken when the processor has them; on
//     ARM64 they are NEON's (FCVTL, 128-bit FADD), which every ARM64 processor has. Elsewhere only
//     the portable forms exist. Each variant gives the same bits as its portable form; the
//     switches `f16_kernel` and `add_row_kernel` let tests and benchmarks force the portable
//     forms anyway.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "korvane/format/load.hpp"

// The instruction sets the kernels have variants for.
#if defined(__x86_64__)
#define KORVANE_KERNELS_X86_64 1
#elif defined(__aarch64__) && defined(__ARM_NEON)
#define KORVANE_KERNELS_NEON 1
#endif

namespace korvane {

// How F16 elements are widened: by the rules in software, or by the processor's instruction.
enum class F16Path : std::uint8_t { software, hardware };

// How rows are added: by a loop the compiler vectorises for the baseline instruction set, or with
// the vector instructions of the variant.
enum class AddRowPath : std::uint8_t { portable, vector };

// The instructions of the variants here, for messages and test names.
#if defined(KORVANE_KERNELS_X86_64)
inline constexpr std::string_view f16_variant_name = "f16c";
inline constexpr std::string_view add_row_variant_name = "avx2";
#elif defined(KORVANE_KERNELS_NEON)
inline constexpr std::string_view f16_variant_name = "neon";
inline constexpr std::string_view add_row_variant_name = "neon";
#else
inline constexpr std::string_view f16_variant_name = "none";
inline constexpr std::string_view add_row_variant_name = "none";
#endif

// Chooses between a kernel's portable form and its variant for newer processors: the variant
// when the processor and the operating system support it, unless the portable form is forced.
template <typename Path, Path portable, Path variant>
class KernelSwitch {
public:
    constexpr explicit KernelSwitch(bool (&detect)() noexcept) : detect_(detect) {}

    // Whether the variant can run here; detected on first use. Threads that race to detect all
    // find the same answer.
    [[nodiscard]] bool supported() const noexcept {
        int known = support_.load(std::memory_order_relaxed);
        if (known < 0) {
            known = detect_() ? 1 : 0;
            support_.store(known, std::memory_order_relaxed);
        }
        return known == 1;
    }

    // The path taken now.
    [[nodiscard]] Path active() const noexcept {
        return !portable_forced_.load(std::memory_order_relaxed) && supported() ? variant
                                                                                : portable;
    }

    // With `force` set, the portable form runs even where the variant could; unset, the
    // processor's best path is used again. Meant for tests and benchmarks.
    void force_portable(bool force) noexcept {
        portable_forced_.store(force, std::memory_order_relaxed);
    }

private:
    bool (&detect_)() noexcept;
    mutable std::atomic<int> support_{-1};  // -1 until detected, then 0 or 1
    std::atomic<bool> portable_forced_{false};
};

// How `decode_row` widens F16 elements: on x86-64 the variant needs F16C and AVX.
extern KernelSwitch<F16Path, F16Path::software, F16Path::hardware> f16_kernel;

// How `add_row` adds rows in embed_tokens: on x86-64 the variant needs AVX2.
extern KernelSwitch<AddRowPath, AddRowPath::portable, AddRowPath::vector> add_row_kernel;

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

// Widens `count` halves through `path`. The hardware path requires f16_kernel.supported().
void widen_f16(F16Path path, const std::byte* bytes, std::size_t count, float* out) noexcept;

// Decodes `count` consecutive elements of type `dtype` into `out`.
void decode_row(DataType dtype, const std::byte* bytes, std::size_t count, float* out) noexcept;

// accumulator[i] = accumulator[i] + row[i] for every i < count, one rounded addition each. The
// arrays must not overlap. The vector path requires add_row_kernel.supported().
void add_row(AddRowPath path, float* accumulator, const float* row, std::size_t count) noexcept;

}  // namespace korvane
