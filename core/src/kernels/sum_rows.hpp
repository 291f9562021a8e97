// Adding up the rows of one token list, straight from a table in its file encoding.
//
// The sum of each column is formed in token order, starting from +0, exactly as repeated add_row
// calls on a zeroed accumulator form it, so every path gives the same bits. The fast paths
// (AVX2, for F32 tables and for F16 tables with F16C; NEON on ARM64) keep a block of 8 registers
// of columns (64 columns with AVX2, 32 with NEON) while they walk the tokens, instead of loading
// and storing the accumulator once per token.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "korvane/format/load.hpp"

namespace korvane {

// The table a token list is summed from: `rows` of `width` elements of `dtype`, back to back,
// with the row of each token ID (`mapping`, null: the ID itself).
struct RowSource {
    const std::byte* table;
    DataType dtype;
    std::size_t width;
    std::size_t row_bytes;
    const std::uint32_t* mapping = nullptr;

    [[nodiscard]] const std::byte* row_of(std::uint32_t token) const noexcept {
        const std::uint32_t row = mapping == nullptr ? token : mapping[token];
        return table + static_cast<std::size_t>(row) * row_bytes;
    }
};

// Whether `sum_rows` has a fast path for `dtype` on this processor (F32 with AVX2, F16 with AVX2
// and F16C; both on every ARM64 processor), unless the portable addition or widening is forced.
[[nodiscard]] bool sum_rows_supported(DataType dtype) noexcept;

// out[c] = +0 + row(tokens[0])[c] + row(tokens[1])[c] + ..., for every column c. `prefetch` is
// the token list to be summed next: its rows are requested while this one is summed. Requires
// sum_rows_supported(source.dtype); every token must lie inside the table.
void sum_rows(const RowSource& source, std::span<const std::uint32_t> tokens,
              std::span<const std::uint32_t> prefetch, float* out) noexcept;

// out[c] = +0.0 + double(row(tokens[0])[c]) * weights[tokens[0]] + ..., for every column c, in
// double precision and token order, each product rounded before it is added. Same
// requirements as sum_rows.
void sum_weighted_rows(const RowSource& source, const double* weights,
                       std::span<const std::uint32_t> tokens,
                       std::span<const std::uint32_t> prefetch, double* out) noexcept;

}  // namespace korvane
