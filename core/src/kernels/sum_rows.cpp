#include "kernels/sum_rows.hpp"

#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "kernels/decode.hpp"

namespace korvane {

namespace {

constexpr std::size_t lanes = 8;            // floats in a 256-bit register
constexpr std::size_t block_registers = 8;  // accumulators kept in registers at once
constexpr std::size_t block_columns = lanes * block_registers;
constexpr std::size_t cache_line = 64;

// Loads 8 elements of a row as floats: F32 as they stand, F16 widened by F16C, which is exact.
template <DataType dtype>
__attribute__((target("avx2,f16c"), always_inline)) inline __m256 load_lanes(
    const std::byte* element) noexcept {
    if constexpr (dtype == DataType::F32) {
        return _mm256_loadu_ps(reinterpret_cast<const float*>(element));
    } else {
        return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(element)));
    }
}

template <DataType dtype>
float load_scalar(const std::byte* element) noexcept {
    if constexpr (dtype == DataType::F32) {
        float value;
        std::memcpy(&value, element, sizeof value);
        return value;
    } else {
        std::uint16_t half;
        std::memcpy(&half, element, sizeof half);
        return std::bit_cast<float>(widen_f16_bits(half));
    }
}

// The bytes of `columns` columns of `token`'s row from column `first` on, asked for early.
void prefetch_columns(const RowSource& source, std::uint32_t token, std::size_t first,
                      std::size_t columns, std::size_t element) noexcept {
    const std::byte* start = source.row_of(token) + first * element;
    for (std::size_t offset = 0; offset < columns * element; offset += cache_line) {
        __builtin_prefetch(start + offset);
    }
}

// Sums columns [first, first + Registers x 8) over all tokens in registers. While it does, the
// same columns of the next list's rows are requested, one sentence ahead of their use.
template <DataType dtype, std::size_t Registers>
__attribute__((target("avx2,f16c"))) void sum_block(const RowSource& source,
                                                    std::span<const std::uint32_t> tokens,
                                                    std::span<const std::uint32_t> prefetch,
                                                    std::size_t first, float* out) noexcept {
    constexpr std::size_t element = dtype == DataType::F32 ? 4 : 2;
    __m256 sums[Registers];
    for (std::size_t r = 0; r < Registers; ++r) sums[r] = _mm256_setzero_ps();
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        if (index < prefetch.size()) {
            prefetch_columns(source, prefetch[index], first, Registers * lanes, element);
        }
        const std::byte* row = source.row_of(tokens[index]) + first * element;
        for (std::size_t r = 0; r < Registers; ++r) {
            sums[r] = _mm256_add_ps(sums[r], load_lanes<dtype>(row + r * lanes * element));
        }
    }
    for (std::size_t index = tokens.size(); index < prefetch.size(); ++index) {
        prefetch_columns(source, prefetch[index], first, Registers * lanes, element);
    }
    for (std::size_t r = 0; r < Registers; ++r) _mm256_storeu_ps(out + first + r * lanes, sums[r]);
}

template <DataType dtype>
__attribute__((target("avx2,f16c"))) void sum_rows_avx2(const RowSource& source,
                                                        std::span<const std::uint32_t> tokens,
                                                        std::span<const std::uint32_t> prefetch,
                                                        float* out) noexcept {
    constexpr std::size_t element = dtype == DataType::F32 ? 4 : 2;
    const std::size_t width = source.width;
    std::size_t first = 0;
    for (; first + block_columns <= width; first += block_columns) {
        sum_block<dtype, block_registers>(source, tokens, prefetch, first, out);
    }
    for (; first + lanes <= width; first += lanes) {
        sum_block<dtype, 1>(source, tokens, prefetch, first, out);
    }
    // The last width % 8 columns one by one, still in token order.
    for (std::size_t column = first; column < width; ++column) {
        float sum = 0.0f;
        for (const std::uint32_t token : tokens) {
            sum = sum + load_scalar<dtype>(source.row_of(token) + column * element);
        }
        out[column] = sum;
    }
}

// Four elements of a row as doubles (exact): F32 as they stand, F16 widened by F16C.
template <DataType dtype>
__attribute__((target("avx2,f16c"), always_inline)) inline __m256d load_doubles(
    const std::byte* element) noexcept {
    if constexpr (dtype == DataType::F32) {
        return _mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<const float*>(element)));
    } else {
        std::uint64_t halves;
        std::memcpy(&halves, element, sizeof halves);
        const __m128i packed = _mm_cvtsi64_si128(static_cast<long long>(halves));
        return _mm256_cvtps_pd(_mm_cvtph_ps(packed));
    }
}

constexpr std::size_t double_lanes = 4;

// sum_block in double precision with weights: columns [first, first + Registers x 4).
template <DataType dtype, std::size_t Registers>
__attribute__((target("avx2,f16c"))) void sum_weighted_block(
    const RowSource& source, const double* weights, std::span<const std::uint32_t> tokens,
    std::span<const std::uint32_t> prefetch, std::size_t first, double* out) noexcept {
    constexpr std::size_t element = dtype == DataType::F32 ? 4 : 2;
    __m256d sums[Registers];
    for (std::size_t r = 0; r < Registers; ++r) sums[r] = _mm256_setzero_pd();
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        if (index < prefetch.size()) {
            prefetch_columns(source, prefetch[index], first, Registers * double_lanes, element);
        }
        const std::byte* row = source.row_of(tokens[index]) + first * element;
        const __m256d weight = _mm256_set1_pd(weights[tokens[index]]);
        for (std::size_t r = 0; r < Registers; ++r) {
            // The product rounded, then added: two instructions, never one fused.
            const __m256d product =
                _mm256_mul_pd(load_doubles<dtype>(row + r * double_lanes * element), weight);
            sums[r] = _mm256_add_pd(sums[r], product);
        }
    }
    for (std::size_t index = tokens.size(); index < prefetch.size(); ++index) {
        prefetch_columns(source, prefetch[index], first, Registers * double_lanes, element);
    }
    for (std::size_t r = 0; r < Registers; ++r) {
        _mm256_storeu_pd(out + first + r * double_lanes, sums[r]);
    }
}

template <DataType dtype>
__attribute__((target("avx2,f16c"))) void sum_weighted_rows_avx2(
    const RowSource& source, const double* weights, std::span<const std::uint32_t> tokens,
    std::span<const std::uint32_t> prefetch, double* out) noexcept {
    constexpr std::size_t element = dtype == DataType::F32 ? 4 : 2;
    constexpr std::size_t block = double_lanes * block_registers;
    const std::size_t width = source.width;
    std::size_t first = 0;
    for (; first + block <= width; first += block) {
        sum_weighted_block<dtype, block_registers>(source, weights, tokens, prefetch, first, out);
    }
    for (; first + double_lanes <= width; first += double_lanes) {
        sum_weighted_block<dtype, 1>(source, weights, tokens, prefetch, first, out);
    }
    for (std::size_t column = first; column < width; ++column) {
        double sum = 0.0;
        for (const std::uint32_t token : tokens) {
            const double product =
                static_cast<double>(load_scalar<dtype>(source.row_of(token) + column * element)) *
                weights[token];
            sum = sum + product;
        }
        out[column] = sum;
    }
}

}  // namespace

void sum_weighted_rows(const RowSource& source, const double* weights,
                       std::span<const std::uint32_t> tokens,
                       std::span<const std::uint32_t> prefetch, double* out) noexcept {
    if (source.dtype == DataType::F32) {
        sum_weighted_rows_avx2<DataType::F32>(source, weights, tokens, prefetch, out);
    } else {
        sum_weighted_rows_avx2<DataType::F16>(source, weights, tokens, prefetch, out);
    }
}

bool sum_rows_supported(DataType dtype) noexcept {
    if (add_row_kernel.active() != AddRowPath::avx2) return false;
    if (dtype == DataType::F32) return true;
    return dtype == DataType::F16 && f16_kernel.active() == F16Path::f16c;
}

void sum_rows(const RowSource& source, std::span<const std::uint32_t> tokens,
              std::span<const std::uint32_t> prefetch, float* out) noexcept {
    if (source.dtype == DataType::F32) {
        sum_rows_avx2<DataType::F32>(source, tokens, prefetch, out);
    } else {
        sum_rows_avx2<DataType::F16>(source, tokens, prefetch, out);
    }
}

}  // namespace korvane
