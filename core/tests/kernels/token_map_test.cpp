// A table with a token mapping and per-token weights: embed_batch against the documented order
// of operations (row widened, times the weight in double precision, rounded, then added; the
// mean rounded once to single), bit for bit on every kernel path and thread count.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "kernels/decode.hpp"
#include "korvane/format/embedding_table.hpp"
#include "support/model_file.hpp"

namespace korvane {
namespace {

using testing::bytes_of;
using testing::model_file_bytes;
using testing::TemporaryDirectory;
using testing::tensor_entry;
using testing::write_file;

// (table element type, columns, threads, portable kernels forced, weighted)
class TokenMapTest
    : public ::testing::TestWithParam<std::tuple<DataType, std::size_t, unsigned, bool, bool>> {
protected:
    void TearDown() override {
        add_row_kernel.force_portable(false);
        f16_kernel.force_portable(false);
    }
};

TEST_P(TokenMapTest, EveryRowFollowsTheDocumentedOrder) {
    const auto [dtype, width, threads, portable, weighted] = GetParam();
    std::mt19937 random(static_cast<unsigned>(width * 11 + threads));
    const std::size_t rows = 13;
    const std::size_t vocab = 211;
    std::vector<float> values(rows * width);
    std::normal_distribution<float> normal(0.0f, 2.0f);
    for (float& value : values) value = normal(random);
    std::string table_bytes;
    if (dtype == DataType::F32) {
        table_bytes = bytes_of(values);
    } else {  // F16: the halves' own bits, finite
        std::vector<std::uint16_t> halves(values.size());
        for (auto& half : halves) half = static_cast<std::uint16_t>(random() & 0xBBFFu);
        table_bytes = bytes_of(halves);
    }
    std::vector<std::int64_t> mapping(vocab);
    for (auto& row : mapping) row = static_cast<std::int64_t>(random() % rows);
    std::vector<double> weights(vocab);
    std::uniform_real_distribution<double> uniform(-3.0, 3.0);
    for (auto& weight : weights) weight = uniform(random);

    std::string table_shape = "[";
    table_shape += std::to_string(rows);
    table_shape += ",";
    table_shape += std::to_string(width);
    table_shape += "]";
    std::string vocab_shape = "[";
    vocab_shape += std::to_string(vocab);
    vocab_shape += "]";
    const std::string table_entry =
        tensor_entry("embeddings", data_type_name(dtype), table_shape, 0, table_bytes.size());
    const std::size_t mapping_end = table_bytes.size() + vocab * 8;
    const std::string header =
        "{" + table_entry + "," +
        tensor_entry("mapping", "I64", vocab_shape, table_bytes.size(), mapping_end) + "," +
        tensor_entry("weights", "F64", vocab_shape, mapping_end, mapping_end + vocab * 8) + "}";
    const TemporaryDirectory directory;
    write_file(directory.model_file(),
               model_file_bytes(header, table_bytes + bytes_of(mapping) + bytes_of(weights)));
    add_row_kernel.force_portable(portable);
    f16_kernel.force_portable(portable);
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings", "mapping",
                                            weighted ? "weights" : "");
    ASSERT_TRUE(table.has_value()) << table.error().display();
    ASSERT_EQ(table->vocab_size(), vocab);

    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> offsets{0};
    for (int sentence = 0; sentence < 150; ++sentence) {
        const std::size_t length = random() % 30;
        for (std::size_t i = 0; i < length; ++i) tokens.push_back(random() % vocab);
        offsets.push_back(tokens.size());
    }
    std::vector<float> decoded(rows * width);
    decode_row(dtype, table->bytes().data(), decoded.size(), decoded.data());
    for (const bool normalize : {true, false}) {
        std::vector<float> out((offsets.size() - 1) * width, -1.0f);
        ASSERT_TRUE(embed_batch(*table, {tokens, offsets}, normalize, out, threads).has_value());
        for (std::size_t sentence = 0; sentence + 1 < offsets.size(); ++sentence) {
            const std::size_t count = offsets[sentence + 1] - offsets[sentence];
            std::vector<float> expected(width, 0.0f);
            for (std::size_t c = 0; c < width; ++c) {
                float sum = 0.0f;
                double weighted_sum = 0.0;
                for (std::size_t i = offsets[sentence]; i < offsets[sentence + 1]; ++i) {
                    const float value =
                        decoded[static_cast<std::size_t>(mapping[tokens[i]]) * width + c];
                    sum = sum + value;
                    const double product = static_cast<double>(value) * weights[tokens[i]];
                    weighted_sum = weighted_sum + product;
                }
                if (count == 0) continue;
                expected[c] = weighted
                                  ? static_cast<float>(weighted_sum / static_cast<double>(count))
                                  : sum / static_cast<float>(count);
            }
            if (normalize && count != 0) {
                float squares = 0.0f;
                for (const float value : expected) squares = squares + value * value;
                float norm = std::sqrt(squares);
                if (!(norm > 1e-12f)) norm = 1e-12f;
                for (float& value : expected) value = value / norm;
            }
            for (std::size_t c = 0; c < width; ++c) {
                ASSERT_EQ(std::bit_cast<std::uint32_t>(out[sentence * width + c]),
                          std::bit_cast<std::uint32_t>(expected[c]))
                    << "sentence " << sentence << " column " << c;
            }
        }
    }
    // IDs are checked against the vocabulary, not the table's rows.
    const std::vector<std::uint32_t> beyond{3, static_cast<std::uint32_t>(vocab)};
    const std::vector<std::uint64_t> two{0, 1, 2};
    std::vector<float> out(2 * width);
    const auto refused = embed_batch(*table, {beyond, two}, true, out, threads);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(std::get<TokenOutOfRange>(refused.error()).display(),
              "token ID 211 in sentence 1 is outside the table (vocab_size 211)");
}

// A mapping (and weights) of length 0 is a vocabulary of no tokens, never a table used unmapped.
class EmptyMappingTest : public ::testing::TestWithParam<bool> {};

TEST_P(EmptyMappingTest, RefusesEveryTokenID) {
    const bool weighted = GetParam();
    const std::vector<float> values(5 * 4, 1.0f);
    const std::string header = "{" + tensor_entry("embeddings", "F32", "[5,4]", 0, 80) + "," +
                               tensor_entry("mapping", "I32", "[0]", 80, 80) + "," +
                               tensor_entry("weights", "F64", "[0]", 80, 80) + "}";
    const TemporaryDirectory directory;
    write_file(directory.model_file(), model_file_bytes(header, bytes_of(values)));
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings", "mapping",
                                            weighted ? "weights" : "");
    ASSERT_TRUE(table.has_value()) << table.error().display();
    EXPECT_TRUE(table->has_mapping());
    EXPECT_EQ(table->has_weights(), weighted);
    EXPECT_EQ(table->vocab_size(), 0u);
    const std::vector<std::uint32_t> tokens{1, 2};
    const std::vector<std::uint64_t> offsets{0, 0, 2};
    std::vector<float> out(8, -1.0f);
    const auto refused = embed_batch(*table, {tokens, offsets}, false, out, 1);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(std::get<TokenOutOfRange>(refused.error()).display(),
              "token ID 1 in sentence 1 is outside the table (vocab_size 0)");
    std::vector<float> row(4);
    EXPECT_THROW(token_rows(*table, std::span(tokens).first(1), row, 1), InternalFailure);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutWeights, EmptyMappingTest, ::testing::Bool());

INSTANTIATE_TEST_SUITE_P(
    PathsAndShapes, TokenMapTest,
    ::testing::Combine(::testing::Values(DataType::F32, DataType::F16),
                       ::testing::Values(std::size_t{3}, std::size_t{67}, std::size_t{136}),
                       ::testing::Values(1u, 3u), ::testing::Bool(), ::testing::Bool()));

}  // namespace
}  // namespace korvane
