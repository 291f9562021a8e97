#include "kernels/decode.hpp"

#if defined(KORVANE_KERNELS_X86_64)
#include <cpuid.h>
#include <immintrin.h>
#elif defined(KORVANE_KERNELS_NEON)
#include <arm_neon.h>
#endif

#include <atomic>
#include <cstring>

namespace korvane {

static_assert(std::endian::native == std::endian::little,
              "elements are loaded by copying their little-endian bytes as they stand");

namespace {

void widen_f16_software(const std::byte* bytes, std::size_t count, float* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t half;
        std::memcpy(&half, bytes + 2 * i, sizeof half);
        out[i] = std::bit_cast<float>(widen_f16_bits(half));
    }
}

// Whole blocks of 8 first so the compiler turns each block into vector additions; every element
// is still one rounded addition, as in a plain loop. Inlined into each path, which the compiler
// vectorises for its own instruction set.
[[gnu::always_inline]] inline void add_row_blocks(float* __restrict accumulator,
                                                  const float* __restrict row,
                                                  std::size_t count) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        for (std::size_t lane = 0; lane < 8; ++lane) {
            accumulator[i + lane] = accumulator[i + lane] + row[i + lane];
        }
    }
    for (; i < count; ++i) accumulator[i] = accumulator[i] + row[i];
}

void add_row_portable(float* __restrict accumulator, const float* __restrict row,
                      std::size_t count) noexcept {
    add_row_blocks(accumulator, row, count);
}

#if defined(KORVANE_KERNELS_X86_64)

bool detect_f16c() noexcept {
    __builtin_cpu_init();
    // The 256-bit form needs the AVX register state, which the operating system must enable; the
    // AVX test covers that. F16C itself is read from CPUID, since clang's builtin does not know
    // its name.
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __builtin_cpu_supports("avx") && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 &&
           (ecx & bit_F16C) != 0;
}

bool detect_avx2() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

__attribute__((target("avx,f16c"))) void widen_f16_hardware(const std::byte* bytes,
                                                            std::size_t count,
                                                            float* out) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * i));
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(halves));
    }
    if (i < count) {
        const std::size_t rest = count - i;
        alignas(16) std::byte padded[16] = {};
        std::memcpy(padded, bytes + 2 * i, 2 * rest);
        alignas(32) float widened[8];
        const __m128i halves = _mm_load_si128(reinterpret_cast<const __m128i*>(padded));
        _mm256_store_ps(widened, _mm256_cvtph_ps(halves));
        std::memcpy(out + i, widened, rest * sizeof(float));
    }
}

__attribute__((target("avx2"))) void add_row_avx2(float* __restrict accumulator,
                                                  const float* __restrict row,
                                                  std::size_t count) noexcept {
    add_row_blocks(accumulator, row, count);
}

#elif defined(KORVANE_KERNELS_NEON)

// NEON and its half-to-single conversion belong to every ARM64 processor.
bool detect_neon() noexcept {
    return true;
}

void widen_f16_hardware(const std::byte* bytes, std::size_t count, float* out) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        std::uint16_t halves[4];
        std::memcpy(halves, bytes + 2 * i, sizeof halves);
        vst1q_f32(out + i, vcvt_f32_f16(vreinterpret_f16_u16(vld1_u16(halves))));
    }
    if (i < count) {
        std::uint16_t halves[4] = {};
        std::memcpy(halves, bytes + 2 * i, 2 * (count - i));
        float widened[4];
        vst1q_f32(widened, vcvt_f32_f16(vreinterpret_f16_u16(vld1_u16(halves))));
        std::memcpy(out + i, widened, (count - i) * sizeof(float));
    }
}

// Four lanes at a time, each one rounded addition, as in the portable loop.
void add_row_neon(float* __restrict accumulator, const float* __restrict row,
                  std::size_t count) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        vst1q_f32(accumulator + i, vaddq_f32(vld1q_f32(accumulator + i), vld1q_f32(row + i)));
    }
    for (; i < count; ++i) accumulator[i] = accumulator[i] + row[i];
}

#else

bool detect_none() noexcept {
    return false;
}

#endif

// One element type: load `Element` from its bytes, convert with `convert`.
template <typename Element, typename Convert>
void decode_elements(const std::byte* bytes, std::size_t count, float* out,
                     Convert convert) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        Element element;
        std::memcpy(&element, bytes + sizeof(Element) * i, sizeof element);
        out[i] = convert(element);
    }
}

}  // namespace

#if defined(KORVANE_KERNELS_X86_64)
constinit KernelSwitch<F16Path, F16Path::software, F16Path::hardware> f16_kernel(detect_f16c);
constinit KernelSwitch<AddRowPath, AddRowPath::portable, AddRowPath::vector> add_row_kernel(
    detect_avx2);
#elif defined(KORVANE_KERNELS_NEON)
constinit KernelSwitch<F16Path, F16Path::software, F16Path::hardware> f16_kernel(detect_neon);
constinit KernelSwitch<AddRowPath, AddRowPath::portable, AddRowPath::vector> add_row_kernel(
    detect_neon);
#else
constinit KernelSwitch<F16Path, F16Path::software, F16Path::hardware> f16_kernel(detect_none);
constinit KernelSwitch<AddRowPath, AddRowPath::portable, AddRowPath::vector> add_row_kernel(
    detect_none);
#endif

void widen_f16(F16Path path, const std::byte* bytes, std::size_t count, float* out) noexcept {
#if defined(KORVANE_KERNELS_X86_64) || defined(KORVANE_KERNELS_NEON)
    if (path == F16Path::hardware) {
        widen_f16_hardware(bytes, count, out);
        return;
    }
#endif
    (void)path;
    widen_f16_software(bytes, count, out);
}

void decode_row(DataType dtype, const std::byte* bytes, std::size_t count, float* out) noexcept {
    // Conversions to float round to nearest (ties to even) under the default floating-point
    // environment; a double beyond the single range becomes an infinity, a NaN stays NaN.
    const auto to_float = [](auto value) { return static_cast<float>(value); };
    switch (dtype) {
        case DataType::F64:
            decode_elements<double>(bytes, count, out, to_float);
            return;
        // The bit pattern as it stands, signalling NaNs included: a copy, never an arithmetic
        // operation.
        case DataType::F32:
            std::memcpy(out, bytes, count * sizeof(float));
            return;
        case DataType::F16:
            widen_f16(f16_kernel.active(), bytes, count, out);
            return;
        case DataType::BF16:
            decode_elements<std::uint16_t>(bytes, count, out, [](std::uint16_t half) {
                return std::bit_cast<float>(widen_bf16_bits(half));
            });
            return;
        case DataType::I64:
            decode_elements<std::int64_t>(bytes, count, out, to_float);
            return;
        case DataType::I32:
            decode_elements<std::int32_t>(bytes, count, out, to_float);
            return;
        case DataType::I16:
            decode_elements<std::int16_t>(bytes, count, out, to_float);
            return;
        case DataType::I8:
            decode_elements<std::int8_t>(bytes, count, out, to_float);
            return;
        // BOOL bytes count as their unsigned value, not as true or false.
        case DataType::U8:
        case DataType::BOOL:
            decode_elements<std::uint8_t>(bytes, count, out, to_float);
            return;
    }
}

void add_row(AddRowPath path, float* accumulator, const float* row, std::size_t count) noexcept {
#if defined(KORVANE_KERNELS_X86_64)
    if (path == AddRowPath::vector) {
        add_row_avx2(accumulator, row, count);
        return;
    }
#elif defined(KORVANE_KERNELS_NEON)
    if (path == AddRowPath::vector) {
        add_row_neon(accumulator, row, count);
        return;
    }
#endif
    (void)path;
    add_row_portable(accumulator, row, count);
}

}  // namespace korvane
