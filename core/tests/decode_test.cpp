#include "decode.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <limits>
#include <string>
#include <vector>

#include "exact_size.hpp"

namespace korvane {
namespace {

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

// The half's value worked out arithmetically, independent of bit manipulation; NaNs by the
// widening rule (quiet bit on, sign and payload kept).
std::uint32_t reference_half(std::uint16_t half) {
    const bool negative = (half & 0x8000u) != 0;
    const int exponent = (half >> 10) & 0x1F;
    const int mantissa = half & 0x3FF;
    if (exponent == 0x1F) {
        if (mantissa == 0) {
            return bits(negative ? -std::numeric_limits<float>::infinity()
                                 : std::numeric_limits<float>::infinity());
        }
        return (negative ? 0x80000000u : 0u) | 0x7FC00000u |
               (static_cast<std::uint32_t>(mantissa) << 13);
    }
    const double magnitude = exponent == 0 ? std::ldexp(mantissa, -24)
                                           : std::ldexp(1024 + mantissa, exponent - 25);
    return bits(static_cast<float>(negative ? -magnitude : magnitude));
}

std::vector<F16Path> available_paths() {
    std::vector<F16Path> paths{F16Path::software};
    if (f16c_supported()) paths.push_back(F16Path::f16c);
    return paths;
}

std::string path_name(const ::testing::TestParamInfo<F16Path>& info) {
    return info.param == F16Path::f16c ? "f16c" : "software";
}

class WidenF16 : public ::testing::TestWithParam<F16Path> {};

// Every half, placed at an odd address so that no load is aligned.
TEST_P(WidenF16, EveryHalfMatchesItsArithmeticValue) {
    std::vector<std::byte> bytes(1 + 2 * 65536);
    for (std::uint32_t half = 0; half < 65536; ++half) {
        const auto value = static_cast<std::uint16_t>(half);
        std::memcpy(bytes.data() + 1 + 2 * half, &value, 2);
    }
    std::vector<float> widened(65536);
    widen_f16(GetParam(), bytes.data() + 1, widened.size(), widened.data());
    for (std::uint32_t half = 0; half < 65536; ++half) {
        ASSERT_EQ(bits(widened[half]), reference_half(static_cast<std::uint16_t>(half)))
            << "half 0x" << std::hex << half;
    }
}

TEST_P(WidenF16, DocumentedExamples) {
    const std::uint16_t halves[] = {0x3C00, 0x7BFF, 0x0001, 0x7C01, 0xFC00, 0x8000, 0xFDFF};
    const std::uint32_t expected[] = {0x3F800000, 0x477FE000, 0x33800000, 0x7FC02000,
                                      0xFF800000, 0x80000000, 0xFFFFE000};
    float widened[7];
    widen_f16(GetParam(), reinterpret_cast<const std::byte*>(halves), 7, widened);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(bits(widened[i]), expected[i]) << "element " << i;
}

// Row lengths around the 8-element block of the F16C path, with bytes after the row that must
// stay unread and unwritten.
TEST_P(WidenF16, PartialBlocksWriteExactlyTheRow) {
    for (std::size_t count = 0; count <= 19; ++count) {
        std::vector<std::uint16_t> halves(count);
        for (std::size_t i = 0; i < count; ++i) halves[i] = static_cast<std::uint16_t>(0x3C00 + i);
        std::vector<float> widened(count + 1, -7.0f);
        widen_f16(GetParam(), reinterpret_cast<const std::byte*>(halves.data()), count,
                  widened.data());
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(bits(widened[i]), reference_half(halves[i])) << count << " / " << i;
        }
        EXPECT_EQ(widened[count], -7.0f) << "count " << count;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, WidenF16, ::testing::ValuesIn(available_paths()), path_name);

// The active paths follow the processor unless forced, so a run knows which paths it tested.
TEST(KernelPathTest, ForcingThePortablePathsIsSeenAndUndone) {
    force_software_f16(true);
    force_portable_add_row(true);
    EXPECT_EQ(active_f16_path(), F16Path::software);
    EXPECT_EQ(active_add_row_path(), AddRowPath::portable);
    force_software_f16(false);
    force_portable_add_row(false);
    EXPECT_EQ(active_f16_path(), f16c_supported() ? F16Path::f16c : F16Path::software);
    EXPECT_EQ(active_add_row_path(), avx2_supported() ? AddRowPath::avx2 : AddRowPath::portable);
}

// One element of each type, given as bytes and placed after one byte of padding so that the load
// is unaligned; `expected` is the single's bit pattern.
struct ElementCase {
    const char* name;
    DataType dtype;
    std::vector<std::uint8_t> bytes;
    std::uint32_t expected;
};

void PrintTo(const ElementCase& value, std::ostream* out) { *out << value.name; }

template <typename T>
std::vector<std::uint8_t> le(T value) {
    std::vector<std::uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

class DecodeElement : public ::testing::TestWithParam<ElementCase> {};

TEST_P(DecodeElement, GivesTheExpectedBits) {
    const ElementCase& element = GetParam();
    ASSERT_EQ(element.bytes.size(), element_width(element.dtype));
    std::vector<std::byte> buffer(1 + element.bytes.size());
    std::memcpy(buffer.data() + 1, element.bytes.data(), element.bytes.size());
    float decoded = 0.0f;
    decode_row(element.dtype, buffer.data() + 1, 1, &decoded);
    EXPECT_EQ(bits(decoded), element.expected) << std::hex << "got 0x" << bits(decoded);
}

const float infinity = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Types, DecodeElement,
    ::testing::Values(
        ElementCase{"F64_exact", DataType::F64, le(-1.5), bits(-1.5f)},
        ElementCase{"F64_tie_to_even_down", DataType::F64, le(1.0 + 0x1p-24), bits(1.0f)},
        ElementCase{"F64_tie_to_even_up", DataType::F64, le(1.0 + 0x3p-24),
                    bits(1.0f + 0x1p-22f)},
        ElementCase{"F64_overflow", DataType::F64, le(1e300), bits(infinity)},
        ElementCase{"F64_negative_overflow", DataType::F64, le(-1e300), bits(-infinity)},
        ElementCase{"F64_largest_finite_single", DataType::F64, le(0x1.fffffep127),
                    0x7F7FFFFFu},
        ElementCase{"F64_rounds_past_largest_single", DataType::F64, le(0x1.ffffffp127),
                    bits(infinity)},
        ElementCase{"F64_smallest_subnormal", DataType::F64, le(0x1p-149), 0x00000001u},
        ElementCase{"F64_quiet_nan", DataType::F64, le(std::numeric_limits<double>::quiet_NaN()),
                    0x7FC00000u},
        ElementCase{"F32_signalling_nan_payload", DataType::F32, le(0x7F800001u), 0x7F800001u},
        ElementCase{"F32_negative_zero", DataType::F32, le(0x80000000u), 0x80000000u},
        ElementCase{"F16_normal", DataType::F16, le(std::uint16_t{0xC500}), bits(-5.0f)},
        ElementCase{"F16_signalling_nan", DataType::F16, le(std::uint16_t{0xFC01}), 0xFFC02000u},
        ElementCase{"BF16_one", DataType::BF16, le(std::uint16_t{0x3F80}), bits(1.0f)},
        ElementCase{"BF16_infinity", DataType::BF16, le(std::uint16_t{0x7F80}), bits(infinity)},
        ElementCase{"BF16_signalling_nan", DataType::BF16, le(std::uint16_t{0x7F81}),
                    0x7FC10000u},
        ElementCase{"BF16_negative_nan", DataType::BF16, le(std::uint16_t{0xFF81}), 0xFFC10000u},
        ElementCase{"BF16_quiet_nan", DataType::BF16, le(std::uint16_t{0x7FC0}), 0x7FC00000u},
        ElementCase{"I64_max_rounds_up", DataType::I64,
                    le(std::numeric_limits<std::int64_t>::max()), bits(0x1p63f)},
        ElementCase{"I64_min", DataType::I64, le(std::numeric_limits<std::int64_t>::min()),
                    bits(-0x1p63f)},
        ElementCase{"I64_tie_to_even_up", DataType::I64, le(std::int64_t{16777219}),
                    bits(16777220.0f)},
        ElementCase{"I32_tie_to_even_down", DataType::I32, le(std::int32_t{16777217}),
                    bits(16777216.0f)},
        ElementCase{"I32_min", DataType::I32, le(std::numeric_limits<std::int32_t>::min()),
                    bits(-0x1p31f)},
        ElementCase{"I16_min", DataType::I16, le(std::int16_t{-32768}), bits(-32768.0f)},
        ElementCase{"I8_min", DataType::I8, le(std::int8_t{-128}), bits(-128.0f)},
        ElementCase{"U8_max", DataType::U8, le(std::uint8_t{255}), bits(255.0f)},
        ElementCase{"BOOL_zero", DataType::BOOL, le(std::uint8_t{0}), bits(0.0f)},
        ElementCase{"BOOL_one", DataType::BOOL, le(std::uint8_t{1}), bits(1.0f)},
        ElementCase{"BOOL_two", DataType::BOOL, le(std::uint8_t{2}), bits(2.0f)}),
    [](const auto& info) { return std::string(info.param.name); });

// Lengths around the 8-element block, special values included; the reference is a plain loop.
// When both operands are NaNs, which one comes out depends on the operand order the compiler
// picks, so any NaN is accepted for a NaN.
std::vector<AddRowPath> available_add_row_paths() {
    std::vector<AddRowPath> paths{AddRowPath::portable};
    if (avx2_supported()) paths.push_back(AddRowPath::avx2);
    return paths;
}

class AddRow : public ::testing::TestWithParam<AddRowPath> {};

TEST_P(AddRow, MatchesAPlainLoopForEveryLength) {
    const float specials[] = {-0.0f, 1e30f, infinity, std::numeric_limits<float>::quiet_NaN(),
                              0x1p-149f, -3.25f, 1.0f + 0x1p-23f};
    for (std::size_t count = 0; count <= 70; ++count) {
        std::vector<float> accumulator(count + 1, 5.0f);
        std::vector<float> row(count + 1, 9.0f);
        for (std::size_t i = 0; i < count; ++i) {
            accumulator[i] = specials[i % 7] * static_cast<float>(i % 3);
            row[i] = specials[(i * 5) % 7];
        }
        std::vector<float> expected = accumulator;
        for (std::size_t i = 0; i < count; ++i) expected[i] = expected[i] + row[i];
        add_row(GetParam(), accumulator.data(), row.data(), count);
        for (std::size_t i = 0; i <= count; ++i) {
            if (std::isnan(expected[i])) {
                EXPECT_TRUE(std::isnan(accumulator[i])) << count << " / " << i;
            } else {
                EXPECT_EQ(bits(accumulator[i]), bits(expected[i])) << count << " / " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, AddRow, ::testing::ValuesIn(available_add_row_paths()),
                         [](const auto& info) {
                             return info.param == AddRowPath::avx2 ? "avx2" : "portable";
                         });

TEST(DecimalTest, PrintsNumbersBeyondSixtyFourBits) {
    EXPECT_EQ(decimal(0), "0");
    EXPECT_EQ(decimal(ExactSize{1} << 64), "18446744073709551616");
    EXPECT_EQ(decimal(~ExactSize{0}), "340282366920938463463374607431768211455");
}

}  // namespace
}  // namespace korvane
