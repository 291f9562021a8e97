#include "kernels/sum_rows.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "kernels/decode.hpp"

#if defined(KORVANE_KERNELS_X86_64)
#include <immintrin.h>
#elif defined(KORVANE_KERNELS_NEON)
#include <arm_neon.h>
#endif

namespace korvane {

namespace {

// The vector instructions the blocked sums are written in, as a set of operations on registers of
// `lanes` floats and `double_lanes` doubles. Loads read elements at any alignment; F16 elements
// are widened by the processor's instruction, which is exact.
#if defined(KORVANE_KERNELS_X86_64)

#define KORVANE_VECTOR_TARGET [[gnu::target("avx2,f16c")]]
#define KORVANE_VECTOR_INLINE [[gnu::always_inline, gnu::target("avx2,f16c")]]

struct Vector {
    using Floats = __m256;
    using Doubles = __m256d;
    static constexpr std::size_t lanes = 8;
    static constexpr std::size_t double_lanes = 4;

    KORVANE_VECTOR_INLINE static Floats zero_floats() noexcept { return _mm256_setzero_ps(); }
    KORVANE_VECTOR_INLINE static Doubles zero_doubles() noexcept { return _mm256_setzero_pd(); }

    template <DataType dtype>
    KORVANE_VECTOR_INLINE static Floats load_floats(const std::byte* element) noexcept {
        if constexpr (dtype == DataType::F32) {
            return _mm256_loadu_ps(reinterpret_cast<const float*>(element));
        } else {
            return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(element)));
        }
    }

    template <DataType dtype>
    KORVANE_VECTOR_INLINE static Doubles load_doubles(const std::byte* element) noexcept {
        if constexpr (dtype == DataType::F32) {
            return _mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<const float*>(element)));
        } else {
            std::uint64_t halves;
            std::memcpy(&halves, element, sizeof halves);
            const __m128i packed = _mm_cvtsi64_si128(static_cast<long long>(halves));
            return _mm256_cvtps_pd(_mm_cvtph_ps(packed));
        }
    }

    KORVANE_VECTOR_INLINE static Floats add(Floats a, Floats b) noexcept {
        return _mm256_add_ps(a, b);
    }
    KORVANE_VECTOR_INLINE static Doubles add(Doubles a, Doubles b) noexcept {
        return _mm256_add_pd(a, b);
    }
    KORVANE_VECTOR_INLINE static Doubles broadcast(double value) noexcept {
        return _mm256_set1_pd(value);
    }
    KORVANE_VECTOR_INLINE static Doubles multiply(Doubles a, Doubles b) noexcept {
        return _mm256_mul_pd(a, b);
    }

    KORVANE_VECTOR_INLINE static void store(float* out, Floats value) noexcept {
        _mm256_storeu_ps(out, value);
    }
    KORVANE_VECTOR_INLINE static void store(double* out, Doubles value) noexcept {
        _mm256_storeu_pd(out, value);
    }
};

#elif defined(KORVANE_KERNELS_NEON)

#define KORVANE_VECTOR_TARGET
#define KORVANE_VECTOR_INLINE [[gnu::always_inline]]

struct Vector {
    using Floats = float32x4_t;
    using Doubles = float64x2_t;
    static constexpr std::size_t lanes = 4;
    static constexpr std::size_t double_lanes = 2;

    KORVANE_VECTOR_INLINE static Floats zero_floats() noexcept { return vdupq_n_f32(0.0f); }
    KORVANE_VECTOR_INLINE static Doubles zero_doubles() noexcept { return vdupq_n_f64(0.0); }

    template <DataType dtype>
    KORVANE_VECTOR_INLINE static Floats load_floats(const std::byte* element) noexcept {
        if constexpr (dtype == DataType::F32) {
            float values[4];
            std::memcpy(values, element, sizeof values);
            return vld1q_f32(values);
        } else {
            std::uint16_t halves[4];
            std::memcpy(halves, element, sizeof halves);
            return vcvt_f32_f16(vreinterpret_f16_u16(vld1_u16(halves)));
        }
    }

    template <DataType dtype>
    KORVANE_VECTOR_INLINE static Doubles load_doubles(const std::byte* element) noexcept {
        if constexpr (dtype == DataType::F32) {
            float values[2];
            std::memcpy(values, element, sizeof values);
            return vcvt_f64_f32(vld1_f32(values));
        } else {
            std::uint16_t halves[4] = {};
            std::memcpy(halves, element, 2 * sizeof(std::uint16_t));
            const float32x4_t widened = vcvt_f32_f16(vreinterpret_f16_u16(vld1_u16(halves)));
            return vcvt_f64_f32(vget_low_f32(widened));
        }
    }

    KORVANE_VECTOR_INLINE static Floats add(Floats a, Floats b) noexcept { return vaddq_f32(a, b); }
    KORVANE_VECTOR_INLINE static Doubles add(Doubles a, Doubles b) noexcept {
        return vaddq_f64(a, b);
    }
    KORVANE_VECTOR_INLINE static Doubles broadcast(double value) noexcept {
        return vdupq_n_f64(value);
    }
    KORVANE_VECTOR_INLINE static Doubles multiply(Doubles a, Doubles b) noexcept {
        return vmulq_f64(a, b);
    }

    KORVANE_VECTOR_INLINE static void store(float* out, Floats value) noexcept {
        vst1q_f32(out, value);
    }
    KORVANE_VECTOR_INLINE static void store(double* out, Doubles value) noexcept {
        vst1q_f64(out, value);
    }
};

#endif

constexpr std::size_t block_registers = 8;  // accumulators kept in registers at once
constexpr std::size_t cache_line = 64;

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

// Columns [first, width) summed one by one in token order: the last columns that fill no
// register, and every column where there are no vector instructions.
template <DataType dtype>
void sum_columns(const RowSource& source, std::span<const std::uint32_t> tokens, std::size_t first,
                 float* out) noexcept {
    constexpr std::size_t element = dtype == DataType::F32 ? 4 : 2;
    for (std::size_t column = first; column < source.width; ++column) {
        float sum = 0.0f;
        for (const std::uint32_t token : tokens) {
            sum = sum + load_scalar<dtype>(source.row_of(token) + column * element);
        }
        out[column] = sum;
    }
}

// sum_columns with weights, in double precision.
template <DataType dtype>
void sum_weighted_columns(const RowSource& source, const double* weights,
                          std::span<const std::uint32_t> tokens, std::size_t first,
                          double* out) noexcept {
    constexpr std::size_t element = dtype == DataType::F32 ? 4 : 2;
    for (std::size_t column = first; column < source.width; ++column) {
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

// The bytes of `columns` columns of `token`'s row from column `first` on, asked for early.
void prefetch_columns(const RowSource& source, std::uint32_t token, std::size_t first,
                      std::size_t columns, std::size_t element) noexcept {
    const std::byte* start = source.row_of(token) + first * element;
    for (std::size_t offset = 0; offset < columns * element; offset += cache_line) {
        __builtin_prefetch(start + offset);
    }
}

#if defined(KORVANE_KERNELS_X86_64) || defined(KORVANE_KERNELS_NEON)

constexpr std::size_t lanes = Vector::lanes;
constexpr std::size_t double_lanes = Vector::double_lanes;

// Sums columns [first, first + Registers x lanes) over all tokens in registers. While it does,
// the same columns of the next list's rows are requested, one sentence ahead of their use.
template <DataType dtype, std::size_t Registers>
KORVANE_VECTOR_TARGET void sum_block(const RowSource& source, std::span<const std::uint32_t> tokens,
                                     std::span<const std::uint32_t> prefetch, std::size_t first,
                                     float* out) noexcept {
    constexpr std::size_t element = dtype == DataType::F32 ? 4 : 2;
    Vector::Floats sums[Registers];
    for (std::size_t r = 0; r < Registers; ++r) sums[r] = Vector::zero_floats();
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        if (index < prefetch.size()) {
            prefetch_columns(source, prefetch[index], first, Registers * lanes, element);
        }
        const std::byte* row = source.row_of(tokens[index]) + first * element;
        for (std::size_t r = 0; r < Registers; ++r) {
            sums[r] = Vector::add(sums[r], Vector::load_floats<dtype>(row + r * lanes * element));
        }
    }
    for (std::size_t index = tokens.size(); index < prefetch.size(); ++index) {
        prefetch_columns(source, prefetch[index], first, Registers * lanes, element);
    }
    for (std::size_t r = 0; r < Registers; ++r) Vector::store(out + first + r * lanes, sums[r]);
}

template <DataType dtype>
KORVANE_VECTOR_TARGET void sum_rows_vector(const RowSource& source,
                                           std::span<const std::uint32_t> tokens,
                                           std::span<const std::uint32_t> prefetch,
                                           float* out) noexcept {
    constexpr std::size_t block = lanes * block_registers;
    const std::size_t width = source.width;
    std::size_t first = 0;
    for (; first + block <= width; first += block) {
        sum_block<dtype, block_registers>(source, tokens, prefetch, first, out);
    }
    for (; first + lanes <= width; first += lanes) {
        sum_block<dtype, 1>(source, tokens, prefetch, first, out);
    }
    sum_columns<dtype>(source, tokens, first, out);
}

// sum_block in double precision with weights: columns [first, first + Registers x
// double_lanes).
template <DataType dtype, std::size_t Registers>
KORVANE_VECTOR_TARGET void sum_weighted_block(const RowSource& source, const double* weights,
                                              std::span<const std::uint32_t> tokens,
                                              std::span<const std::uint32_t> prefetch,
                                              std::size_t first, double* out) noexcept {
    constexpr std::size_t element = dtype == DataType::F32 ? 4 : 2;
    Vector::Doubles sums[Registers];
    for (std::size_t r = 0; r < Registers; ++r) sums[r] = Vector::zero_doubles();
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        if (index < prefetch.size()) {
            prefetch_columns(source, prefetch[index], first, Registers * double_lanes, element);
        }
        const std::byte* row = source.row_of(tokens[index]) + first * element;
        const Vector::Doubles weight = Vector::broadcast(weights[tokens[index]]);
        for (std::size_t r = 0; r < Registers; ++r) {
            // The product rounded, then added: two instructions, never one fused.
            const Vector::Doubles product = Vector::multiply(
                Vector::load_doubles<dtype>(row + r * double_lanes * element), weight);
            sums[r] = Vector::add(sums[r], product);
        }
    }
    for (std::size_t index = tokens.size(); index < prefetch.size(); ++index) {
        prefetch_columns(source, prefetch[index], first, Registers * double_lanes, element);
    }
    for (std::size_t r = 0; r < Registers; ++r) {
        Vector::store(out + first + r * double_lanes, sums[r]);
    }
}

template <DataType dtype>
KORVANE_VECTOR_TARGET void sum_weighted_rows_vector(const RowSource& source, const double* weights,
                                                    std::span<const std::uint32_t> tokens,
                                                    std::span<const std::uint32_t> prefetch,
                                                    double* out) noexcept {
    constexpr std::size_t block = double_lanes * block_registers;
    const std::size_t width = source.width;
    std::size_t first = 0;
    for (; first + block <= width; first += block) {
        sum_weighted_block<dtype, block_registers>(source, weights, tokens, prefetch, first, out);
    }
    for (; first + double_lanes <= width; first += double_lanes) {
        sum_weighted_block<dtype, 1>(source, weights, tokens, prefetch, first, out);
    }
    sum_weighted_columns<dtype>(source, weights, tokens, first, out);
}

#else

// Without vector instructions every column is summed one by one; sum_rows_supported says no, so
// only a caller that forces the way here comes.
template <DataType dtype>
void sum_rows_vector(const RowSource& source, std::span<const std::uint32_t> tokens,
                     std::span<const std::uint32_t>, float* out) noexcept {
    sum_columns<dtype>(source, tokens, 0, out);
}

template <DataType dtype>
void sum_weighted_rows_vector(const RowSource& source, const double* weights,
                              std::span<const std::uint32_t> tokens, std::span<const std::uint32_t>,
                              double* out) noexcept {
    sum_weighted_columns<dtype>(source, weights, tokens, 0, out);
}

#endif

}  // namespace

void sum_weighted_rows(const RowSource& source, const double* weights,
                       std::span<const std::uint32_t> tokens,
                       std::span<const std::uint32_t> prefetch, double* out) noexcept {
    if (source.dtype == DataType::F32) {
        sum_weighted_rows_vector<DataType::F32>(source, weights, tokens, prefetch, out);
    } else {
        sum_weighted_rows_vector<DataType::F16>(source, weights, tokens, prefetch, out);
    }
}

bool sum_rows_supported(DataType dtype) noexcept {
    if (add_row_kernel.active() != AddRowPath::vector) return false;
    if (dtype == DataType::F32) return true;
    return dtype == DataType::F16 && f16_kernel.active() == F16Path::hardware;
}

void sum_rows(const RowSource& source, std::span<const std::uint32_t> tokens,
              std::span<const std::uint32_t> prefetch, float* out) noexcept {
    if (source.dtype == DataType::F32) {
        sum_rows_vector<DataType::F32>(source, tokens, prefetch, out);
    } else {
        sum_rows_vector<DataType::F16>(source, tokens, prefetch, out);
    }
}

}  // namespace korvane
