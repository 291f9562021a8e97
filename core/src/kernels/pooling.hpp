// The steps shared by every path that turns token rows into one embedding: the mean's division,
// the scaling to unit length, and the prefetching of rows about to be added. Each path adds its
// rows itself, in token order, with add_row.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace korvane {

// The single nearest to 10^-12: no norm below it is divided by.
inline constexpr float norm_floor = 1e-12f;
static_assert(std::bit_cast<std::uint32_t>(norm_floor) == 0x2B8CBCCCu);

// A true division by the token count rounded to single precision, never a multiplication by its
// reciprocal. A count of 0 gives 0 / 0, NaN.
inline void divide_by_count(std::span<float> values, std::size_t count) noexcept {
    const auto divisor = static_cast<float>(count);
    for (float& value : values) value = value / divisor;
}

// divide_by_count that also tells whether every quotient is finite: one pass, where the
// division's latency hides the test.
[[nodiscard]] inline bool divide_by_count_finite(std::span<float> values,
                                                 std::size_t count) noexcept {
    const auto divisor = static_cast<float>(count);
    unsigned infinite = 0;  // counted without a branch, so the loop vectorises
    for (float& value : values) {
        value = value / divisor;
        infinite |= static_cast<unsigned>(!(std::abs(value) <= std::numeric_limits<float>::max()));
    }
    return infinite == 0;
}

// Divides by the square root of `sum_of_squares`, or by the floor when that is smaller or NaN.
inline void divide_by_root(std::span<float> values, float sum_of_squares) noexcept {
    float norm = std::sqrt(sum_of_squares);
    // Written so that a NaN norm also falls back to the floor.
    if (!(norm > norm_floor)) norm = norm_floor;
    for (float& value : values) value = value / norm;
}

inline void divide_by_norm(std::span<float> values) noexcept {
    // Strictly in index order, every product rounded before it is added (the core is compiled
    // without contraction): the rounding of this sum decides the result's last bits.
    float sum_of_squares = 0.0f;
    for (const float value : values) sum_of_squares = sum_of_squares + value * value;
    divide_by_root(values, sum_of_squares);
}

// divide_by_norm for `count` rows of `width` floats back to back. One row's sum is a chain of
// dependent additions; eight rows' sums are formed side by side, each still in index order, so
// the processor overlaps the chains instead of waiting on every addition. Returns the first row
// whose sum of squares is infinite or NaN (its result is then wrong: zeros or NaN), or `count`.
inline std::size_t divide_rows_by_norm(float* rows, std::size_t count, std::size_t width) noexcept {
    std::size_t first_bad = count;
    constexpr std::size_t group = 8;
    for (std::size_t first = 0; first < count; first += group) {
        const float* row[group];
        for (std::size_t j = 0; j < group; ++j) {
            // Past the last row the first is summed again, and the sum dropped.
            row[j] = rows + (first + (first + j < count ? j : 0)) * width;
        }
        float sums[group] = {};
        for (std::size_t i = 0; i < width; ++i) {
            for (std::size_t j = 0; j < group; ++j) sums[j] = sums[j] + row[j][i] * row[j][i];
        }
        for (std::size_t j = 0; j < group && first + j < count; ++j) {
            if (!(std::abs(sums[j]) <= std::numeric_limits<float>::max())) {
                first_bad = std::min(first_bad, first + j);
            }
            divide_by_root({rows + (first + j) * width, width}, sums[j]);
        }
    }
    return first_bad;
}

// Rows of a long token list lie scattered over the cache, and waiting for one costs far more than
// adding it. Asking for the rows of the next tokens early overlaps those waits: about this many
// bytes ahead, enough to cover the wait and few enough for the processor's outstanding requests.
inline constexpr std::size_t prefetch_bytes = 4096;

[[nodiscard]] inline std::size_t prefetch_distance(std::size_t row_bytes) noexcept {
    return std::clamp<std::size_t>(prefetch_bytes / std::max<std::size_t>(row_bytes, 1), 1, 8);
}

// A hint only: touches nothing, so it cannot change a result or fault. The first `limit` bytes of
// a long row are enough for the processor to stream the rest.
inline void prefetch_row(const void* row, std::size_t row_bytes, std::size_t limit) noexcept {
    if (row == nullptr) return;
    constexpr std::size_t cache_line = 64;
    const auto* bytes = static_cast<const char*>(row);
    const std::size_t length = std::min(row_bytes, limit);
    for (std::size_t offset = 0; offset < length; offset += cache_line) {
        __builtin_prefetch(bytes + offset);
    }
}

}  // namespace korvane
