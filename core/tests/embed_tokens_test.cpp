#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "korvane/static_embedding.hpp"

namespace korvane {

// Builds objects around a table given in memory, without a model file.
class StaticEmbeddingTestAccess {
public:
    static StaticEmbedding with_table(LoadedTensor tensor, bool normalize) {
        StaticEmbedding model("no-such-directory", normalize);
        model.tensor = std::move(tensor);
        return model;
    }
    static std::vector<std::byte>& table_bytes(StaticEmbedding& model) {
        return model.tensor->data;
    }
    static const TokenCache& cache(const StaticEmbedding& model) { return model.token_cache; }
};

namespace {

using Access = StaticEmbeddingTestAccess;

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

const float infinity = std::numeric_limits<float>::infinity();
const float nan = std::numeric_limits<float>::quiet_NaN();

template <typename T>
void append(std::vector<std::byte>& bytes, T value) {
    const auto* raw = reinterpret_cast<const std::byte*>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof(T));
}

// The half holding `value`, which must be zero or a normal half, exactly.
std::uint16_t exact_half(float value) {
    const std::uint32_t single = bits(value);
    if ((single & 0x7FFFFFFFu) == 0) return static_cast<std::uint16_t>(single >> 16);
    const int exponent = static_cast<int>((single >> 23) & 0xFF) - 127;
    EXPECT_TRUE(exponent >= -14 && exponent <= 15 && (single & 0x1FFFu) == 0) << value;
    return static_cast<std::uint16_t>(((single >> 16) & 0x8000u) |
                                      static_cast<std::uint32_t>(exponent + 15) << 10 |
                                      ((single >> 13) & 0x3FFu));
}

// The bytes of `value` as an element of `dtype`; the value must be exact in that type.
void append_element(std::vector<std::byte>& bytes, DataType dtype, float value) {
    switch (dtype) {
        case DataType::F64: append(bytes, static_cast<double>(value)); return;
        case DataType::F32: append(bytes, value); return;
        case DataType::F16: append(bytes, exact_half(value)); return;
        case DataType::BF16:
            EXPECT_EQ(bits(value) & 0xFFFFu, 0u) << value;
            append(bytes, static_cast<std::uint16_t>(bits(value) >> 16));
            return;
        case DataType::I64: append(bytes, static_cast<std::int64_t>(value)); return;
        case DataType::I32: append(bytes, static_cast<std::int32_t>(value)); return;
        case DataType::I16: append(bytes, static_cast<std::int16_t>(value)); return;
        case DataType::I8: append(bytes, static_cast<std::int8_t>(value)); return;
        case DataType::U8:
        case DataType::BOOL: append(bytes, static_cast<std::uint8_t>(value)); return;
    }
}

LoadedTensor table_of(DataType dtype, std::uint64_t dimension, const std::vector<float>& values) {
    LoadedTensor tensor{{dtype, {dimension == 0 ? 0 : values.size() / dimension, dimension}, {}},
                        {}};
    for (const float value : values) append_element(tensor.data, dtype, value);
    tensor.details.data_offsets = {0, tensor.data.size()};
    return tensor;
}

// The embedding worked out directly from the row values.
std::vector<float> reference_embedding(const std::vector<float>& values, std::size_t dimension,
                                       const std::vector<std::uint32_t>& tokens, bool normalize) {
    std::vector<float> result(dimension, 0.0f);
    for (const std::uint32_t token : tokens) {
        for (std::size_t i = 0; i < dimension; ++i) {
            result[i] = result[i] + values[token * dimension + i];
        }
    }
    const auto count = static_cast<float>(tokens.size());
    for (float& value : result) value = value / count;
    if (!normalize) return result;
    float sum = 0.0f;
    for (const float value : result) sum = sum + value * value;
    const float root = std::sqrt(sum);
    const float norm = root >= 1e-12f ? root : 1e-12f;
    for (float& value : result) value = value / norm;
    return result;
}

void expect_same_bits(const std::vector<float>& actual, const std::vector<float>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(bits(actual[i]), bits(expected[i]))
            << "element " << i << ": " << actual[i] << " vs " << expected[i];
    }
}

std::vector<float> embed(StaticEmbedding& model, std::vector<std::uint32_t> tokens) {
    auto result = model.embed_tokens(std::move(tokens));
    EXPECT_TRUE(result.has_value());
    return result ? *result : std::vector<float>{};
}

std::string failure_of(StaticEmbedding& model, std::vector<std::uint32_t> tokens) {
    try {
        (void)model.embed_tokens(std::move(tokens));
    } catch (const InternalFailure& failure) {
        return failure.what();
    }
    return "no failure";
}

// Values exact in every type: small integers (non-negative for U8 and BOOL), and eighths for
// the floating-point types.
float table_value(DataType dtype, std::size_t row, std::size_t column) {
    const auto step = static_cast<int>((row * 7 + column * 3) % 21);
    switch (dtype) {
        case DataType::F64:
        case DataType::F32:
        case DataType::F16:
        case DataType::BF16: return static_cast<float>(step * 13 % 41 - 20) / 8.0f;
        case DataType::U8:
        case DataType::BOOL: return static_cast<float>(step);
        default: return static_cast<float>(step - 10);
    }
}

class EmbedEveryType : public ::testing::TestWithParam<std::tuple<DataType, bool>> {};

// 11 columns: one block of 8 and a remainder of 3.
TEST_P(EmbedEveryType, MatchesTheReferenceAndRepeatsBitForBit) {
    const auto [dtype, normalize] = GetParam();
    constexpr std::size_t rows = 6, dimension = 11;
    std::vector<float> values;
    for (std::size_t row = 0; row < rows; ++row) {
        for (std::size_t column = 0; column < dimension; ++column) {
            values.push_back(table_value(dtype, row, column));
        }
    }
    StaticEmbedding model = Access::with_table(table_of(dtype, dimension, values), normalize);
    const std::vector<std::uint32_t> tokens{3, 0, 5, 3, 1, 3};
    const std::vector<float> expected = reference_embedding(values, dimension, tokens, normalize);

    expect_same_bits(embed(model, tokens), expected);
    EXPECT_EQ(Access::cache(model).size(), 4u);
    expect_same_bits(embed(model, tokens), expected);
    EXPECT_EQ(Access::cache(model).size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Types, EmbedEveryType,
    ::testing::Combine(::testing::Values(DataType::F64, DataType::F32, DataType::F16,
                                         DataType::BF16, DataType::I64, DataType::I32,
                                         DataType::I16, DataType::I8, DataType::U8,
                                         DataType::BOOL),
                       ::testing::Bool()),
    [](const auto& info) {
        return std::string(data_type_name(std::get<0>(info.param))) +
               (std::get<1>(info.param) ? "_normalized" : "_raw");
    });

// A row of elements given as raw bytes, embedded alone without normalisation: the decoded row
// comes out, as the cache holds it.
struct SingleRowCase {
    const char* name;
    DataType dtype;
    std::vector<std::byte> row;
    std::vector<float> expected;
};

void PrintTo(const SingleRowCase& value, std::ostream* out) { *out << value.name; }

template <typename T>
std::vector<std::byte> bytes_of(std::initializer_list<T> elements) {
    std::vector<std::byte> bytes;
    for (const T element : elements) append(bytes, element);
    return bytes;
}

class EmbedSingleRow : public ::testing::TestWithParam<SingleRowCase> {};

TEST_P(EmbedSingleRow, GivesTheDecodedRow) {
    const SingleRowCase& row = GetParam();
    const std::uint64_t dimension = row.expected.size();
    LoadedTensor tensor{{row.dtype, {1, dimension}, {0, row.row.size()}}, row.row};
    StaticEmbedding model = Access::with_table(std::move(tensor), false);
    expect_same_bits(embed(model, {0}), row.expected);
    ASSERT_NE(Access::cache(model).find(0), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EmbedSingleRow,
    ::testing::Values(
        SingleRowCase{"I32_rounds_to_even", DataType::I32, bytes_of<std::int32_t>({16777217, -1}),
                      {16777216.0f, -1.0f}},
        SingleRowCase{"I64_max", DataType::I64,
                      bytes_of<std::int64_t>({std::numeric_limits<std::int64_t>::max()}),
                      {0x1p63f}},
        SingleRowCase{"BOOL_bytes", DataType::BOOL, bytes_of<std::uint8_t>({0, 1, 2}),
                      {0.0f, 1.0f, 2.0f}},
        SingleRowCase{"F16_one_and_smallest", DataType::F16,
                      bytes_of<std::uint16_t>({0x3C00, 0x0001}), {1.0f, 0x1p-24f}},
        SingleRowCase{"F64_overflow", DataType::F64, bytes_of<double>({1e300, -1e300}),
                      {infinity, -infinity}},
        // 0 + (-0) is +0.
        SingleRowCase{"F32_negative_zero", DataType::F32, bytes_of<float>({-0.0f, 2.5f}),
                      {0.0f, 2.5f}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EmbedTokensTest, EmptyListGivesNaNs) {
    for (const bool normalize : {false, true}) {
        StaticEmbedding model =
            Access::with_table(table_of(DataType::F32, 3, {1, 2, 3, 4, 5, 6}), normalize);
        const std::vector<float> result = embed(model, {});
        ASSERT_EQ(result.size(), 3u);
        for (const float value : result) EXPECT_TRUE(std::isnan(value)) << normalize;
        EXPECT_EQ(Access::cache(model).size(), 0u);
    }
}

// Every token lies inside a table of empty rows; nothing is sized by the token IDs.
TEST(EmbedTokensTest, ZeroDimensionGivesEmptyResults) {
    for (const bool normalize : {false, true}) {
        LoadedTensor tensor{{DataType::F32, {4, 0}, {0, 8}}, std::vector<std::byte>(8)};
        StaticEmbedding model = Access::with_table(std::move(tensor), normalize);
        EXPECT_TRUE(embed(model, {}).empty());
        EXPECT_TRUE(embed(model, {0, 4294967295u, 7}).empty());
        EXPECT_EQ(Access::cache(model).allocated_bytes(), 0u);
    }
}

TEST(EmbedTokensTest, RepeatedTokensAreServedFromTheCache) {
    const std::vector<float> values{1.5f, -2.0f, 0.25f, 3.0f, 7.0f, -1.0f, 0.1f, 0.2f, 0.3f};
    StaticEmbedding model = Access::with_table(table_of(DataType::F32, 3, values), false);
    const std::vector<float> expected = reference_embedding(values, 3, {2, 2, 0}, false);
    expect_same_bits(embed(model, {2, 2, 0}), expected);
    EXPECT_EQ(Access::cache(model).size(), 2u);

    // Rows already decoded come from the cache, not from the table's bytes.
    std::vector<std::byte>& table = Access::table_bytes(model);
    std::memset(table.data(), 0, table.size());
    expect_same_bits(embed(model, {2, 2, 0}), expected);
    expect_same_bits(embed(model, {1}), {0.0f, 0.0f, 0.0f});
}

struct NormCase {
    const char* name;
    std::vector<float> row;
    std::vector<float> expected;
};

void PrintTo(const NormCase& value, std::ostream* out) { *out << value.name; }

class Normalisation : public ::testing::TestWithParam<NormCase> {};

TEST_P(Normalisation, DividesByTheFlooredNorm) {
    const NormCase& norm_case = GetParam();
    StaticEmbedding model =
        Access::with_table(table_of(DataType::F32, norm_case.row.size(), norm_case.row), true);
    const std::vector<float> result = embed(model, {0});
    ASSERT_EQ(result.size(), norm_case.expected.size());
    for (std::size_t i = 0; i < result.size(); ++i) {
        if (std::isnan(norm_case.expected[i])) {
            EXPECT_TRUE(std::isnan(result[i])) << i;
        } else {
            EXPECT_EQ(bits(result[i]), bits(norm_case.expected[i])) << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Normalisation,
    ::testing::Values(
        NormCase{"all_zero_stays_zero", {0.0f, -0.0f, 0.0f}, {0.0f, 0.0f, 0.0f}},
        NormCase{"three_four_five", {3.0f, 4.0f}, {0.6f, 0.8f}},
        // The norm 1.7e-20 is below the floor, so the result is far shorter than unit length.
        NormCase{"tiny_norm_uses_the_floor", {1e-20f, 1e-20f, 1e-20f},
                 {1e-20f / 1e-12f, 1e-20f / 1e-12f, 1e-20f / 1e-12f}},
        NormCase{"overflowing_norm", {1e20f, 1.0f, infinity}, {0.0f, 0.0f, nan}},
        NormCase{"nan_norm_uses_the_floor", {nan, 1.0f}, {nan, 1.0f / 1e-12f}}),
    [](const auto& info) { return std::string(info.param.name); });

// The squares summed with a fused multiply-add round differently here, and the difference
// reaches the result.
TEST(EmbedTokensTest, SumOfSquaresRoundsEveryProduct) {
    const std::vector<float> row{0x1.ad4p-2f, 0x1.503p+0f};
    StaticEmbedding model = Access::with_table(table_of(DataType::F32, 2, row), true);
    const std::vector<float> result = embed(model, {0});

    float fused = 0.0f;
    for (const float value : row) fused = std::fmaf(value, value, fused);
    const float fused_norm = std::sqrt(fused);
    const std::vector<float> expected = reference_embedding(row, 2, {0}, true);
    ASSERT_NE(bits(row[0] / fused_norm), bits(expected[0]));
    expect_same_bits(result, expected);
}

// n = 2^24 + 1 rounds to 2^24 before dividing; so does the running sum of ones.
TEST(EmbedTokensTest, TokenCountIsRoundedToSinglePrecision) {
    StaticEmbedding model = Access::with_table(table_of(DataType::F32, 1, {1.0f}), false);
    const std::vector<float> result = embed(model, std::vector<std::uint32_t>((1u << 24) + 1, 0));
    expect_same_bits(result, {1.0f});
}

// A table of 4 rows of 3 F32 elements (R = 12) plus `extra_bytes`, whose shape claims
// `shape_rows` rows: the bytes decide.
struct BoundCase {
    const char* name;
    std::uint64_t shape_rows;
    std::size_t extra_bytes;
    std::uint32_t token;
    const char* failure;  // nullptr when the token is inside the table
};

void PrintTo(const BoundCase& value, std::ostream* out) { *out << value.name; }

class TableBound : public ::testing::TestWithParam<BoundCase> {};

TEST_P(TableBound, IsTheByteLengthOfTheTable) {
    const BoundCase& bound = GetParam();
    std::vector<float> values(12 + bound.extra_bytes / 4);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i);
    LoadedTensor tensor = table_of(DataType::F32, 3, values);
    tensor.data.resize(48 + bound.extra_bytes);
    tensor.details.shape[0] = bound.shape_rows;
    StaticEmbedding model = Access::with_table(std::move(tensor), false);
    if (bound.failure == nullptr) {
        const float first = static_cast<float>(bound.token * 3);
        expect_same_bits(embed(model, {bound.token}), {first, first + 1, first + 2});
    } else {
        EXPECT_EQ(failure_of(model, {bound.token}), bound.failure);
        EXPECT_EQ(Access::cache(model).find(bound.token), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TableBound,
    ::testing::Values(
        BoundCase{"last_row", 4, 0, 3, nullptr},
        BoundCase{"one_past_the_end", 4, 0, 4,
                  "range end index 60 out of range for slice of length 48"},
        BoundCase{"two_past_the_end", 4, 0, 5,
                  "range start index 60 out of range for slice of length 48"},
        BoundCase{"partial_row", 4, 5, 4,
                  "range end index 60 out of range for slice of length 53"},
        BoundCase{"rows_beyond_the_shape", 2, 12, 4, nullptr},
        BoundCase{"shape_beyond_the_rows", 10, 0, 4,
                  "range end index 60 out of range for slice of length 48"},
        BoundCase{"largest_token", 4, 0, 4294967295u,
                  "range start index 51539607540 out of range for slice of length 48"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EmbedTokensTest, RowsCachedBeforeAFailingTokenSurviveIt) {
    const std::vector<float> values{1, 2, 3, 4, 5, 6, 7, 8};
    StaticEmbedding model = Access::with_table(table_of(DataType::F32, 2, values), false);
    EXPECT_EQ(failure_of(model, {1, 2, 1, 9}),
              "range start index 72 out of range for slice of length 32");
    EXPECT_EQ(Access::cache(model).size(), 2u);

    std::vector<std::byte>& table = Access::table_bytes(model);
    std::memset(table.data(), 0, table.size());
    expect_same_bits(embed(model, {1, 2}), reference_embedding(values, 2, {1, 2}, false));
}

// The accumulator's size comes from the file; a size that cannot be allocated fails the call
// and nothing else.
TEST(EmbedTokensTest, UnallocatableDimensionFailsTheCall) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {std::uint64_t{1} << 62, "memory allocation of 18446744073709551616 bytes failed"},
        {std::uint64_t{1} << 60, "memory allocation of 4611686018427387904 bytes failed"}};
    for (const auto& [dimension, failure] : cases) {
        LoadedTensor tensor{{DataType::F32, {1, dimension}, {0, 16}}, std::vector<std::byte>(16)};
        StaticEmbedding model = Access::with_table(std::move(tensor), true);
        EXPECT_EQ(failure_of(model, {}), failure);
        EXPECT_EQ(failure_of(model, {0}), failure);
        EXPECT_EQ(Access::cache(model).size(), 0u);
    }
}

// Every row of a table cached in an awkward order: rows keep their values while the index and
// the chunks grow, and the cache holds little beyond the rows themselves.
TEST(TokenCacheTest, FullTableCostsOneSlotPerRow) {
    constexpr std::uint32_t rows = 5000;
    constexpr std::size_t dimension = 24;
    TokenCache cache;
    std::vector<const float*> stored(rows);
    for (std::uint32_t step = 0; step < rows; ++step) {
        const std::uint32_t token = (step * 2903u) % rows;
        float* row = cache.prepare_row(token, dimension, rows);
        for (std::size_t i = 0; i < dimension; ++i) row[i] = static_cast<float>(token + i);
        cache.insert(token, row);
        stored[token] = row;
    }
    ASSERT_EQ(cache.size(), rows);
    for (std::uint32_t token = 0; token < rows; ++token) {
        ASSERT_EQ(cache.find(token), stored[token]);
        for (std::size_t i = 0; i < dimension; ++i) {
            ASSERT_EQ(stored[token][i], static_cast<float>(token + i)) << token;
        }
    }
    EXPECT_EQ(cache.find(rows), nullptr);
    const std::size_t row_bytes = rows * dimension * sizeof(float);
    EXPECT_LE(cache.allocated_bytes(), row_bytes + rows * 9);
}

}  // namespace
}  // namespace korvane
