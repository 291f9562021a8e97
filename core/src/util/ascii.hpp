// Runs of ASCII found and rewritten many bytes at a time: 16 with SSE2 (every x86-64 processor
// has it), else 8 in a 64-bit word. Each function gives what its plain byte loop gives; the tail
// shorter than a block goes byte by byte.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::ascii {

namespace detail {

inline constexpr std::uint64_t high_bits = 0x8080808080808080ull;
inline constexpr std::uint64_t ones = 0x0101010101010101ull;

[[nodiscard]] inline std::uint64_t load8(const char* data) noexcept {
    std::uint64_t word;
    std::memcpy(&word, data, 8);
    return word;
}

// The index of the first byte whose bit is set in `bits` (one bit 0x80 per byte, not all zero),
// in memory order.
[[nodiscard]] inline std::size_t first_flagged_byte(std::uint64_t bits) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        return static_cast<std::size_t>(std::countr_zero(bits)) / 8;
    } else {
        return static_cast<std::size_t>(std::countl_zero(bits)) / 8;
    }
}

}  // namespace detail

// The number of bytes below 0x80 at the start of the `size` bytes at `data`.
[[nodiscard]] inline std::size_t run_length(const char* data, std::size_t size) noexcept {
    std::size_t index = 0;
#if defined(__SSE2__)
    for (; index + 16 <= size; index += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + index));
        if (const int high = _mm_movemask_epi8(block); high != 0)
            return index + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(high)));
    }
#endif
    for (; index + 8 <= size; index += 8) {
        if (const std::uint64_t high = detail::load8(data + index) & detail::high_bits; high != 0)
            return index + detail::first_flagged_byte(high);
    }
    while (index < size && static_cast<unsigned char>(data[index]) < 0x80) ++index;
    return index;
}

// Copies the `size` bytes at `from` to `to`, as long as they are printable ASCII (0x20 to 0x7E),
// lowercasing A to Z when `lowercase`; returns how many it copied (the index of the first byte
// that is not printable ASCII, or `size`).
[[nodiscard]] inline std::size_t copy_printable(const char* from, std::size_t size, char* to,
                                                bool lowercase) noexcept {
    std::size_t index = 0;
#if defined(__SSE2__)
    // Signed comparisons: bytes from 0x80 up are negative, so below the space.
    const __m128i below_space = _mm_set1_epi8(0x20);
    const __m128i delete_character = _mm_set1_epi8(0x7F);
    const __m128i before_a = _mm_set1_epi8('A' - 1);
    const __m128i after_z = _mm_set1_epi8('Z' + 1);
    const __m128i case_bit = _mm_set1_epi8(lowercase ? 0x20 : 0);
    for (; index + 16 <= size; index += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + index));
        const __m128i other = _mm_or_si128(_mm_cmplt_epi8(block, below_space),
                                           _mm_cmpeq_epi8(block, delete_character));
        if (_mm_movemask_epi8(other) != 0) break;
        const __m128i upper =
            _mm_and_si128(_mm_cmpgt_epi8(block, before_a), _mm_cmplt_epi8(block, after_z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + index),
                         _mm_or_si128(block, _mm_and_si128(upper, case_bit)));
    }
#endif
    const std::uint64_t case_bits = lowercase ? 0x20 * detail::ones : 0;
    for (; index + 8 <= size; index += 8) {
        const std::uint64_t word = detail::load8(from + index);
        // Each byte below 0x80 plus a constant below 0x80 stays within its byte: its high bit
        // then tells whether the byte reached the bound.
        const std::uint64_t low = word & ~detail::high_bits;
        const std::uint64_t from_space = low + (0x80 - 0x20) * detail::ones;
        const std::uint64_t from_delete = low + (0x80 - 0x7F) * detail::ones;
        const std::uint64_t printable = ~word & from_space & ~from_delete & detail::high_bits;
        if (printable != detail::high_bits) break;
        const std::uint64_t from_a = word + (0x80 - 'A') * detail::ones;
        const std::uint64_t past_z = word + (0x80 - 'Z' - 1) * detail::ones;
        const std::uint64_t upper = from_a & ~past_z & detail::high_bits;
        const std::uint64_t lowered = word | ((upper >> 2) & case_bits);
        std::memcpy(to + index, &lowered, 8);
    }
    for (; index < size; ++index) {
        const auto byte = static_cast<unsigned char>(from[index]);
        if (byte < 0x20 || byte >= 0x7F) break;
        to[index] = static_cast<char>(lowercase && byte >= 'A' && byte <= 'Z' ? byte + 0x20 : byte);
    }
    return index;
}

}  // namespace korvane::ascii
