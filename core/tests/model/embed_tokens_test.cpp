#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include "korvane/model/static_embedding.hpp"
#include "model/embedding_state.hpp"
#include "support/model_file.hpp"

namespace korvane {

namespace {

using Tokens = std::vector<std::uint32_t>;

std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

const float infinity = std::numeric_limits<float>::infinity();
const float nan = std::numeric_limits<float>::quiet_NaN();

#ifdef __SANITIZE_ADDRESS__
constexpr bool address_sanitized = true;
#else
constexpr bool address_sanitized = false;
#endif

std::vector<std::byte> f32_table(const std::vector<float>& values) {
    std::vector<std::byte> bytes(values.size() * 4);
    std::memcpy(bytes.data(), values.data(), bytes.size());
    return bytes;
}

// The small integer `value` (0 to 20) as an element of `dtype`, little-endian.
void append_element(std::vector<std::byte>& bytes, DataType dtype, int value) {
    const std::uint32_t single = bits(static_cast<float>(value));
    auto element = static_cast<std::uint64_t>(value);
    if (dtype == DataType::F64) element = std::bit_cast<std::uint64_t>(double{1.0} * value);
    if (dtype == DataType::F32) element = single;
    if (dtype == DataType::F16) element = value == 0 ? 0 : (single >> 13) - (112u << 10);
    if (dtype == DataType::BF16) element = single >> 16;
    const auto* raw = reinterpret_cast<const std::byte*>(&element);
    bytes.insert(bytes.end(), raw, raw + element_width(dtype));
}

// The embedding worked out directly from the table's values.
std::vector<float> reference(const std::vector<float>& table, std::size_t dimension,
                             const Tokens& tokens, bool normalize) {
    std::vector<float> result(dimension, 0.0f);
    for (const std::uint32_t token : tokens) {
        for (std::size_t i = 0; i < dimension; ++i) result[i] += table[token * dimension + i];
    }
    for (float& value : result) value /= static_cast<float>(tokens.size());
    if (!normalize) return result;
    float sum = 0.0f;
    for (const float value : result) sum += value * value;
    const float norm = std::sqrt(sum) >= 1e-12f ? std::sqrt(sum) : 1e-12f;
    for (float& value : result) value /= norm;
    return result;
}

// Bit-identical, except that any NaN stands for a NaN.
void expect_same_bits(const std::vector<float>& actual, const std::vector<float>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        if (std::isnan(actual[i]) && std::isnan(expected[i])) continue;
        EXPECT_EQ(bits(actual[i]), bits(expected[i])) << i << ": " << actual[i];
    }
}

// An object around a table given in memory, without a model file. The row count of the shape is
// left 0: the computation never consults it.
EmbeddingState with_table(DataType dtype, std::uint64_t dimension, std::vector<std::byte> data,
                          bool normalize) {
    EmbeddingState model("no-such-directory", normalize);
    model.tensor = LoadedTensor{{dtype, {0, dimension}, {0, data.size()}}, std::move(data)};
    return model;
}

template <typename Model>
std::vector<float> embed(Model& model, Tokens tokens) {
    auto result = model.embed_tokens(std::move(tokens));
    EXPECT_TRUE(result.has_value());
    return result.value_or(std::vector<float>{});
}

std::string failure_of(EmbeddingState& model, Tokens tokens) {
    try {
        (void)model.embed_tokens(std::move(tokens));
    } catch (const InternalFailure& failure) {
        return failure.what();
    }
    return "no failure";
}

class EmbedEveryType : public ::testing::TestWithParam<std::tuple<DataType, bool>> {};

// Six rows of 11 elements (a block of 8 and 3 more), tokens repeated and out of order.
TEST_P(EmbedEveryType, MatchesTheReferenceTwiceOver) {
    const auto [dtype, normalize] = GetParam();
    std::vector<float> values;
    std::vector<std::byte> bytes;
    for (int index = 0; index < 66; ++index) {
        values.push_back(static_cast<float>(index * 7 % 21));
        append_element(bytes, dtype, index * 7 % 21);
    }
    EmbeddingState model = with_table(dtype, 11, std::move(bytes), normalize);
    const Tokens tokens{3, 0, 5, 3, 1, 3};
    expect_same_bits(embed(model, tokens), reference(values, 11, tokens, normalize));
    expect_same_bits(embed(model, tokens), reference(values, 11, tokens, normalize));
    EXPECT_EQ(model.token_cache.size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Types, EmbedEveryType,
    ::testing::Combine(::testing::Values(DataType::F64, DataType::F32, DataType::F16,
                                         DataType::BF16, DataType::I64, DataType::I32,
                                         DataType::I16, DataType::I8, DataType::U8, DataType::BOOL),
                       ::testing::Bool()),
    [](const auto& info) {
        return std::string(data_type_name(std::get<0>(info.param))) +
               (std::get<1>(info.param) ? "_normalized" : "_raw");
    });

// F32 tables of 2-element rows with results worked out by hand.
TEST(EmbedTokensTest, MeanAndNorm) {
    const struct {
        const char* name;
        bool normalize;
        std::vector<float> table;
        Tokens tokens;
        std::vector<float> expected;
    } cases[] = {
        {"negative zero", false, {-0.0f, 2.5f}, {0}, {0.0f, 2.5f}},  // 0 + (-0) = +0
        // 5 / 3 differs from 5 x (1 / 3) in single precision.
        {"duplicates", false, {2.0f, -2.0f, 1.0f, 3.0f}, {0, 0, 1}, {5.0f / 3, -1.0f / 3}},
        {"unit length", true, {3.0f, 4.0f}, {0}, {0.6f, 0.8f}},
        {"all-zero mean", true, {1.0f, -2.0f, -1.0f, 2.0f}, {0, 1}, {0.0f, 0.0f}},
        {"norm below the floor", true, {1e-20f, 0.0f}, {0}, {1e-20f / 1e-12f, 0.0f}},
        {"overflowing norm", true, {1e20f, infinity}, {0}, {0.0f, nan}},
        {"NaN norm", true, {nan, 1.0f}, {0}, {nan, 1.0f / 1e-12f}},
        {"empty list", false, {1.0f, 2.0f}, {}, {nan, nan}},
        {"empty list normalized", true, {1.0f, 2.0f}, {}, {nan, nan}},
    };
    for (const auto& example : cases) {
        SCOPED_TRACE(example.name);
        EmbeddingState model =
            with_table(DataType::F32, 2, f32_table(example.table), example.normalize);
        expect_same_bits(embed(model, example.tokens), example.expected);
    }
}

// Summed with a fused multiply-add, these squares round differently, and so does the result.
TEST(EmbedTokensTest, SumOfSquaresRoundsEveryProduct) {
    const std::vector<float> row{0x1.ad4p-2f, 0x1.503p+0f};
    float fused = 0.0f;
    for (const float value : row) fused = std::fmaf(value, value, fused);
    const std::vector<float> expected = reference(row, 2, {0}, true);
    ASSERT_NE(bits(row[0] / std::sqrt(fused)), bits(expected[0]));
    EmbeddingState model = with_table(DataType::F32, 2, f32_table(row), true);
    expect_same_bits(embed(model, {0}), expected);
}

// Every token lies inside a table of empty rows; nothing is sized by the token IDs.
TEST(EmbedTokensTest, ZeroDimensionGivesEmptyResults) {
    EmbeddingState model = with_table(DataType::F32, 0, std::vector<std::byte>(8), true);
    EXPECT_TRUE(embed(model, {}).empty());
    EXPECT_TRUE(embed(model, {0, 4294967295u, 7}).empty());
    EXPECT_EQ(model.token_cache.allocated_bytes(), 0u);
}

// Four rows of 3 F32 elements (R = 12) and `extra` bytes more: the byte length bounds the table.
TEST(EmbedTokensTest, TokensAtAndBeyondTheEnd) {
    const struct {
        std::size_t extra;
        std::uint32_t token;
        const char* failure;
    } cases[] = {
        {0, 3, nullptr},
        {12, 4, nullptr},
        {0, 4, "range end index 60 out of range for slice of length 48"},
        {0, 5, "range start index 60 out of range for slice of length 48"},
        {5, 4, "range end index 60 out of range for slice of length 53"},
        {0, 4294967295u, "range start index 51539607540 out of range for slice of length 48"},
    };
    for (const auto& bound : cases) {
        SCOPED_TRACE(bound.token);
        std::vector<float> values(15);
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i);
        std::vector<std::byte> bytes = f32_table(values);
        bytes.resize(48 + bound.extra);
        EmbeddingState model = with_table(DataType::F32, 3, std::move(bytes), false);
        const Tokens tokens{bound.token};
        if (bound.failure == nullptr) {
            expect_same_bits(embed(model, tokens), reference(values, 3, tokens, false));
        } else {
            EXPECT_EQ(failure_of(model, {bound.token}), bound.failure);
        }
    }
}

// Once decoded, a row comes from the cache and the table's bytes are not read again, also for
// rows decoded before a token that failed.
TEST(EmbedTokensTest, DecodedRowsAreServedFromTheCache) {
    const std::vector<float> values{1, 2, 3, 4, 5, 6, 7, 8};
    EmbeddingState model = with_table(DataType::F32, 2, f32_table(values), false);
    const std::vector<float> first = embed(model, {2, 2, 0});
    EXPECT_EQ(failure_of(model, {1, 3, 1, 9}),
              "range start index 72 out of range for slice of length 32");
    EXPECT_EQ(model.token_cache.size(), 4u);

    std::vector<std::byte>& table = model.tensor->data;
    std::memset(table.data(), 0, table.size());
    expect_same_bits(embed(model, {2, 2, 0}), first);
    expect_same_bits(embed(model, {1, 3}), reference(values, 2, {1, 3}, false));
}

// A dimension whose accumulator cannot be allocated fails each call, and nothing else. A token
// whose row does not fit fails at its bound before the accumulator is asked for.
TEST(EmbedTokensTest, UnallocatableDimensionFailsTheCall) {
    for (const int shift : {62, 60}) {
        EmbeddingState model =
            with_table(DataType::F32, std::uint64_t{1} << shift, std::vector<std::byte>(16), true);
        const std::string row_end = shift == 62 ? "18446744073709551616" : "4611686018427387904";
        // AddressSanitizer ends the process where operator new would throw std::bad_alloc; only
        // a size no vector can hold, refused before any allocation, is tried under it.
        if (shift == 62 || !address_sanitized) {
            EXPECT_EQ(failure_of(model, {}), "memory allocation of " + row_end + " bytes failed");
        }
        EXPECT_EQ(failure_of(model, {0, 1}),
                  "range end index " + row_end + " out of range for slice of length 16");
    }
}

// The file is read by the first call, an empty list included. A failed read, reported or
// abandoned, leaves the object unloaded, so the next call reads the file again; once loaded, the
// file is not read any more.
TEST(EmbedTokensTest, LoadsTheFileOnFirstUseAndRetriesAFailedLoad) {
    const testing::TemporaryDirectory directory;
    const std::vector<float> values{1.0f, 2.0f, 3.0f, 4.0f};
    const std::string header = R"({"t":{"dtype":"F32","shape":[2,2],"data_offsets":[0,16]}})";
    const std::string good_file = testing::model_file_bytes(
        header, std::string(reinterpret_cast<const char*>(values.data()), 16));
    testing::write_file(directory.model_file(), good_file);
    auto model = StaticEmbedding::from_dir(directory.path().string(), true);
    ASSERT_TRUE(model.has_value());

    std::filesystem::remove(directory.model_file());
    const auto missing = model->embed_tokens({0});
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().display(),
              "IO Error: entity not found. Details: No such file or directory (os error 2)");
    testing::write_file(directory.model_file(), testing::model_file_bytes(header, "", 1000));
    EXPECT_THROW((void)model->embed_tokens({}), InternalFailure);

    testing::write_file(directory.model_file(), good_file);
    expect_same_bits(embed(*model, {}), {nan, nan});
    std::filesystem::remove(directory.model_file());
    expect_same_bits(embed(*model, {1}), reference(values, 2, {1}, true));
}

}  // namespace
}  // namespace korvane
