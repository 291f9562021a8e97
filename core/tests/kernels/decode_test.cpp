#include "kernels/decode.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace korvane {
namespace {

std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

const float infinity = std::numeric_limits<float>::infinity();

// The half's value worked out arithmetically; NaNs by the widening rule (quiet bit on, sign and
// payload kept).
std::uint32_t reference_half(std::uint32_t half) {
    const float sign = (half & 0x8000u) != 0 ? -1.0f : 1.0f;
    const int exponent = static_cast<int>(half >> 10) & 0x1F;
    const int mantissa = static_cast<int>(half & 0x3FF);
    if (exponent == 0x1F && mantissa != 0) {
        return (half & 0x8000u) << 16 | 0x7FC00000u | static_cast<std::uint32_t>(mantissa) << 13;
    }
    if (exponent == 0x1F) return bits(sign * infinity);
    const double magnitude =
        exponent == 0 ? std::ldexp(mantissa, -24) : std::ldexp(1024 + mantissa, exponent - 25);
    return bits(sign * static_cast<float>(magnitude));
}

std::vector<F16Path> f16_paths() {
    if (f16_kernel.supported()) return {F16Path::software, F16Path::hardware};
    return {F16Path::software};
}

class WidenF16 : public ::testing::TestWithParam<F16Path> {};

// Every half, from an odd address, widened in runs of 1 to 19 elements taken from the end
// backwards: a path that needs alignment, or writes past its run into one already widened, fails.
TEST_P(WidenF16, EveryHalfMatchesItsArithmeticValue) {
    std::vector<std::byte> bytes(1 + 2 * 65536);
    for (std::uint32_t half = 0; half < 65536; ++half) std::memcpy(&bytes[1 + 2 * half], &half, 2);
    std::vector<float> widened(65536);
    std::size_t end = widened.size();
    for (std::size_t run = 1; end > 0; run = run % 19 + 1) {
        const std::size_t start = end > run ? end - run : 0;
        widen_f16(GetParam(), &bytes[1 + 2 * start], end - start, &widened[start]);
        end = start;
    }
    for (std::uint32_t half = 0; half < 65536; ++half) {
        ASSERT_EQ(bits(widened[half]), reference_half(half)) << "half 0x" << std::hex << half;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, WidenF16, ::testing::ValuesIn(f16_paths()), [](const auto& info) {
    return std::string(info.param == F16Path::hardware ? f16_variant_name : "software");
});

std::vector<AddRowPath> add_row_paths() {
    if (add_row_kernel.supported()) return {AddRowPath::portable, AddRowPath::vector};
    return {AddRowPath::portable};
}

class AddRow : public ::testing::TestWithParam<AddRowPath> {};

// Lengths around the 8-element blocks, special values included, one element past the row that
// must stay untouched; the reference is a plain loop. When both operands are NaNs, which one
// comes out depends on the operand order the compiler picks, so any NaN is accepted for a NaN.
TEST_P(AddRow, MatchesAPlainLoopForEveryLength) {
    const float specials[] = {
        -0.0f,     1e30f,  infinity,       std::numeric_limits<float>::quiet_NaN(),
        0x1p-149f, -3.25f, 1.0f + 0x1p-23f};
    for (std::size_t count = 0; count <= 40; ++count) {
        std::vector<float> accumulator(count + 1, 5.0f), row(count + 1, 9.0f);
        for (std::size_t i = 0; i < count; ++i) {
            accumulator[i] = specials[i % 7] * static_cast<float>(i % 3);
            row[i] = specials[i * 5 % 7];
        }
        std::vector<float> expected = accumulator;
        for (std::size_t i = 0; i < count; ++i) expected[i] = expected[i] + row[i];
        add_row(GetParam(), accumulator.data(), row.data(), count);
        for (std::size_t i = 0; i <= count; ++i) {
            if (!std::isnan(expected[i]) || !std::isnan(accumulator[i])) {
                EXPECT_EQ(bits(accumulator[i]), bits(expected[i])) << count << " / " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, AddRow, ::testing::ValuesIn(add_row_paths()), [](const auto& info) {
    return std::string(info.param == AddRowPath::vector ? add_row_variant_name : "portable");
});

// The active paths follow the processor unless forced, so a run knows which paths it tested.
TEST(KernelPathTest, ForcingThePortablePathsIsSeenAndUndone) {
    f16_kernel.force_portable(true);
    add_row_kernel.force_portable(true);
    EXPECT_EQ(f16_kernel.active(), F16Path::software);
    EXPECT_EQ(add_row_kernel.active(), AddRowPath::portable);
    f16_kernel.force_portable(false);
    add_row_kernel.force_portable(false);
    EXPECT_EQ(f16_kernel.active(), f16_kernel.supported() ? F16Path::hardware : F16Path::software);
    EXPECT_EQ(add_row_kernel.active(),
              add_row_kernel.supported() ? AddRowPath::vector : AddRowPath::portable);
}

// One element of each type at an unaligned address: its little-endian bits and the single's.
TEST(DecodeRowTest, EveryTypeByItsRule) {
    const auto f64 = [](double value) { return std::bit_cast<std::uint64_t>(value); };
    const auto integer = [](std::int64_t value) { return static_cast<std::uint64_t>(value); };
    const struct {
        DataType dtype;
        std::uint64_t element;
        std::uint32_t expected;
    } cases[] = {
        {DataType::F64, f64(-1.5), bits(-1.5f)},
        {DataType::F64, f64(1.0 + 0x1p-24), bits(1.0f)},             // ties to even, down
        {DataType::F64, f64(1.0 + 0x3p-24), bits(1.0f + 0x1p-22f)},  // ties to even, up
        {DataType::F64, f64(0x1.ffffffp127), bits(infinity)},        // past the largest single
        {DataType::F64, f64(-1e300), bits(-infinity)},
        {DataType::F64, f64(0x1p-149), 0x00000001u},
        {DataType::F64, f64(std::numeric_limits<double>::quiet_NaN()), 0x7FC00000u},
        {DataType::F32, 0x7F800001u, 0x7F800001u},  // a signalling NaN, unchanged
        {DataType::F32, 0x80000000u, 0x80000000u},
        {DataType::F16, 0x3C00u, bits(1.0f)},
        {DataType::F16, 0x7BFFu, bits(65504.0f)},
        {DataType::F16, 0x0001u, 0x33800000u},
        {DataType::F16, 0x7C01u, 0x7FC02000u},
        {DataType::BF16, 0x3F80u, bits(1.0f)},
        {DataType::BF16, 0x7F80u, bits(infinity)},
        {DataType::BF16, 0x7F81u, 0x7FC10000u},
        {DataType::BF16, 0xFF81u, 0xFFC10000u},
        {DataType::BF16, 0x7FC0u, 0x7FC00000u},
        {DataType::I64, integer(std::numeric_limits<std::int64_t>::max()), bits(0x1p63f)},
        {DataType::I64, integer(std::numeric_limits<std::int64_t>::min()), bits(-0x1p63f)},
        {DataType::I64, integer(16777219), bits(16777220.0f)},
        {DataType::I32, integer(16777217), bits(16777216.0f)},
        {DataType::I32, integer(std::numeric_limits<std::int32_t>::min()), bits(-0x1p31f)},
        {DataType::I16, integer(-32768), bits(-32768.0f)},
        {DataType::I8, integer(-128), bits(-128.0f)},
        {DataType::U8, 255u, bits(255.0f)},
        {DataType::BOOL, 0u, bits(0.0f)},
        {DataType::BOOL, 1u, bits(1.0f)},
        {DataType::BOOL, 2u, bits(2.0f)},
    };
    for (const auto& element : cases) {
        std::byte buffer[9];
        std::memcpy(buffer + 1, &element.element, element_width(element.dtype));
        float decoded = 0.0f;
        decode_row(element.dtype, buffer + 1, 1, &decoded);
        EXPECT_EQ(bits(decoded), element.expected)
            << data_type_name(element.dtype) << " 0x" << std::hex << element.element;
    }
}

}  // namespace
}  // namespace korvane
