// embed_batch against StaticEmbedding::embed_tokens, bit for bit, on every kernel path, and the
// loader of one named table.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "kernels/decode.hpp"
#include "korvane/format/embedding_table.hpp"
#include "korvane/model/static_embedding.hpp"
#include "support/model_file.hpp"

namespace korvane {
namespace {

using testing::model_file_bytes;
using testing::TemporaryDirectory;
using testing::write_file;

// Random halves, singles or bfloat16s as a table's bytes: finite (a table refuses others), but
// otherwise any pattern now and then, subnormals and negative zeros included.
std::string random_table_bytes(DataType dtype, std::size_t elements, std::mt19937& random) {
    std::string bytes(elements * element_width(dtype), '\0');
    std::normal_distribution<float> normal(0.0f, 3.0f);
    for (std::size_t i = 0; i < elements; ++i) {
        std::uint32_t single = std::bit_cast<std::uint32_t>(normal(random));
        // Clearing the top exponent bit keeps a value below 2 in magnitude.
        if (random() % 97 == 0) single = random() & 0xBFFFFFFFu;
        const auto half = static_cast<std::uint16_t>(random() & 0xBFFFu);
        if (dtype == DataType::F32) std::memcpy(&bytes[4 * i], &single, 4);
        if (dtype == DataType::F16) std::memcpy(&bytes[2 * i], &half, 2);
        if (dtype == DataType::BF16) {
            const auto top = static_cast<std::uint16_t>(single >> 16);
            std::memcpy(&bytes[2 * i], &top, 2);
        }
    }
    return bytes;
}

void write_model(const TemporaryDirectory& directory, DataType dtype, std::size_t rows,
                 std::size_t width, const std::string& data) {
    const std::string header = R"({"w":{"dtype":"F32","shape":[1,1],"data_offsets":[0,4]},)"
                               R"("embeddings":{"dtype":")" +
                               std::string(data_type_name(dtype)) + R"(","shape":[)" +
                               std::to_string(rows) + "," + std::to_string(width) +
                               R"(],"data_offsets":[4,)" + std::to_string(4 + data.size()) + "]}}";
    write_file(directory.model_file(), model_file_bytes(header, "ABCD" + data));
}

// (element type, columns, threads, portable kernels forced)
class EmbedBatchTest
    : public ::testing::TestWithParam<std::tuple<DataType, std::size_t, unsigned, bool>> {
protected:
    void TearDown() override {
        add_row_kernel.force_portable(false);
        f16_kernel.force_portable(false);
    }
};

TEST_P(EmbedBatchTest, EveryRowIsEmbedTokensBitForBit) {
    const auto [dtype, width, threads, portable] = GetParam();
    std::mt19937 random(static_cast<unsigned>(width * 7 + threads));
    const std::size_t rows = 97;
    const TemporaryDirectory directory;
    write_model(directory, dtype, rows, width, random_table_bytes(dtype, rows * width, random));
    add_row_kernel.force_portable(portable);
    f16_kernel.force_portable(portable);

    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> offsets{0};
    for (int sentence = 0; sentence < 150; ++sentence) {
        const std::size_t length = random() % 30;
        for (std::size_t i = 0; i < length; ++i) tokens.push_back(random() % rows);
        offsets.push_back(tokens.size());
    }
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings");
    ASSERT_TRUE(table.has_value()) << table.error().display();
    for (const bool normalize : {true, false}) {
        std::vector<float> out((offsets.size() - 1) * width, -1.0f);
        ASSERT_TRUE(embed_batch(*table, {tokens, offsets}, normalize, out, threads).has_value());
        // embed_tokens reads the first tensor of the header, so it gets a file of its own.
        const TemporaryDirectory alone;
        const std::string data(reinterpret_cast<const char*>(table->bytes().data()),
                               table->bytes().size());
        write_file(
            alone.model_file(),
            model_file_bytes(R"({"t":{"dtype":")" + std::string(data_type_name(dtype)) +
                                 R"(","shape":[97,)" + std::to_string(width) +
                                 R"(],"data_offsets":[0,)" + std::to_string(data.size()) + "]}}",
                             data));
        auto reference = StaticEmbedding::from_dir(alone.path().string(), normalize);
        ASSERT_TRUE(reference.has_value());
        for (std::size_t sentence = 0; sentence + 1 < offsets.size(); ++sentence) {
            const std::vector<std::uint32_t> list(tokens.begin() + offsets[sentence],
                                                  tokens.begin() + offsets[sentence + 1]);
            const float* row = out.data() + sentence * width;
            if (list.empty()) {
                for (std::size_t i = 0; i < width; ++i) {
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(row[i]), 0u);
                }
                continue;
            }
            const auto expected = reference->embed_tokens(list);
            ASSERT_TRUE(expected.has_value());
            for (std::size_t i = 0; i < width; ++i) {
                // Which NaN an addition of two NaNs keeps is the compiler's choice of operand
                // order in either path; every other value must match bit for bit.
                if (std::isnan(row[i]) && std::isnan((*expected)[i])) continue;
                ASSERT_EQ(std::bit_cast<std::uint32_t>(row[i]),
                          std::bit_cast<std::uint32_t>((*expected)[i]))
                    << "sentence " << sentence << " column " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    PathsAndShapes, EmbedBatchTest,
    ::testing::Combine(::testing::Values(DataType::F32, DataType::F16, DataType::BF16),
                       ::testing::Values(std::size_t{3}, std::size_t{67}, std::size_t{136}),
                       ::testing::Values(1u, 3u), ::testing::Bool()));

TEST(EmbedBatchTest, AnOutOfRangeTokenNamesItsSentence) {
    const TemporaryDirectory directory;
    std::mt19937 random(1);
    write_model(directory, DataType::F32, 4, 2, random_table_bytes(DataType::F32, 8, random));
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings");
    ASSERT_TRUE(table.has_value());
    const std::vector<std::uint32_t> tokens{1, 2, 3, 0, 4, 9};
    const std::vector<std::uint64_t> offsets{0, 3, 3, 6};
    std::vector<float> out(6, -1.0f);
    const auto result = embed_batch(*table, {tokens, offsets}, true, out, 2);
    ASSERT_FALSE(result.has_value());
    ASSERT_TRUE(std::holds_alternative<TokenOutOfRange>(result.error()));
    EXPECT_EQ(std::get<TokenOutOfRange>(result.error()).display(),
              "token ID 4 in sentence 2 is outside the table (vocab_size 4)");
    EXPECT_EQ(std::get<TokenOutOfRange>(result.error()).display("texts[7]"),
              "token ID 4 in texts[7] is outside the table (vocab_size 4)");
    const std::vector<std::uint64_t> backwards{0, 4, 3};
    EXPECT_THROW((void)embed_batch(*table, {tokens, backwards}, true, out, 1), InternalFailure);
}

std::string floats_bytes(const std::vector<float>& values) {
    return {reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float)};
}

// A table of no rows is valid: sentences without tokens are zero rows, any token is outside.
TEST(EmbedBatchTest, ATableWithoutRowsEmbedsEmptySentencesOnly) {
    const TemporaryDirectory directory;
    write_model(directory, DataType::F32, 0, 4, "");
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings");
    ASSERT_TRUE(table.has_value()) << table.error().display();
    for (const bool normalize : {true, false}) {
        const std::vector<std::uint32_t> none;
        const std::vector<std::uint64_t> offsets{0, 0, 0};
        std::vector<float> out(8, -1.0f);
        ASSERT_TRUE(embed_batch(*table, {none, offsets}, normalize, out, 2).has_value());
        EXPECT_EQ(out, std::vector<float>(8, 0.0f));
        const std::vector<std::uint32_t> one{0};
        const std::vector<std::uint64_t> second{0, 0, 1};
        const auto refused = embed_batch(*table, {one, second}, normalize, out, 2);
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(std::get<TokenOutOfRange>(refused.error()).display(),
                  "token ID 0 in sentence 1 is outside the table (vocab_size 0)");
    }
}

// (element type, bytes of one value that is not finite in single precision)
class NonFiniteTableTest : public ::testing::TestWithParam<std::pair<DataType, std::string>> {};

TEST_P(NonFiniteTableTest, IsRefusedAtLoadNamingTheRow) {
    const auto& [dtype, bad] = GetParam();
    const std::size_t rows = 5;
    const std::size_t width = 3;
    std::string data(rows * width * element_width(dtype), '\0');
    data.replace((3 * width + 2) * element_width(dtype), bad.size(), bad);  // row 3, column 2
    const TemporaryDirectory directory;
    write_model(directory, dtype, rows, width, data);
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings");
    ASSERT_FALSE(table.has_value());
    EXPECT_EQ(table.error().display(),
              "tensor 'embeddings' holds a value that is infinite or NaN in single precision "
              "(row 3, column 2); its rows cannot be embedded");
}

std::string bytes_of(auto value) {
    return {reinterpret_cast<const char*>(&value), sizeof value};
}

INSTANTIATE_TEST_SUITE_P(
    ElementTypes, NonFiniteTableTest,
    ::testing::Values(
        std::pair{DataType::F32, bytes_of(std::numeric_limits<float>::infinity())},
        std::pair{DataType::F32, bytes_of(std::uint32_t{0xFFC00001u})},  // a NaN
        std::pair{DataType::F16, bytes_of(std::uint16_t{0xFC00u})},      // -infinity
        std::pair{DataType::F16, bytes_of(std::uint16_t{0x7E00u})},
        std::pair{DataType::BF16, bytes_of(std::uint16_t{0x7F80u})},
        std::pair{DataType::F64, bytes_of(1e39)},  // finite, but not in single precision
        std::pair{DataType::F64, bytes_of(std::numeric_limits<double>::quiet_NaN())}));

// A table large enough to be read in parts, one per usable CPU: the first value that is not
// finite in file order is named, whichever part holds it.
TEST(NonFiniteTableTest, TheFirstInFileOrderIsNamedAcrossParts) {
    const std::size_t rows = 5000;
    const std::size_t width = 1024;  // 20 MB of F32
    for (const std::size_t first_bad : {std::size_t{1000}, std::size_t{4000}}) {
        std::vector<float> values(rows * width, 0.25f);
        values[first_bad * width + 7] = std::numeric_limits<float>::infinity();
        values[4999 * width + 1023] = std::numeric_limits<float>::quiet_NaN();
        const TemporaryDirectory directory;
        write_model(directory, DataType::F32, rows, width, floats_bytes(values));
        const auto table = EmbeddingTable::load(directory.model_file(), "embeddings");
        ASSERT_FALSE(table.has_value());
        EXPECT_NE(table.error().display().find("(row " + std::to_string(first_bad) + ", column 7)"),
                  std::string::npos)
            << table.error().display();
    }
}

// Finite rows whose sum (3e38 + 3e38) or sum of squares (3e38 squared) overflows: the first
// such sentence is refused, on every path, never given as zeros, infinities or NaN.
TEST(EmbedBatchTest, AnOverflowingSentenceIsRefusedNotReturned) {
    const TemporaryDirectory directory;
    // Row 0 small, row 1 1e19 in both columns, row 2 3e38 in both.
    write_model(directory, DataType::F32, 3, 2,
                floats_bytes({0.5f, 0.25f, 1e19f, 1e19f, 3e38f, 3e38f}));
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings");
    ASSERT_TRUE(table.has_value());
    struct Case {
        std::vector<std::uint32_t> tokens;
        bool normalize;
        std::optional<std::size_t> refused;  // the sentence named, of 100
    };
    const std::vector<Case> cases{
        {{1}, false, std::nullopt},  // a mean of 1e19 is right without scaling
        {{1}, true, std::nullopt},   // and its squares, 1e38 + 1e38, fit too
        {{2}, true, 70},             // 9e76 + 9e76 does not
        {{2, 2}, false, 70},         // 6e38 does not either
        {{2, 2}, true, 70},
    };
    for (const bool portable : {false, true}) {
        add_row_kernel.force_portable(portable);
        for (const auto& [bad_tokens, normalize, refused] : cases) {
            for (const unsigned threads : {1u, 3u}) {
                // 100 sentences of token 0; sentences 70 and 90 hold the large rows.
                std::vector<std::uint32_t> tokens;
                std::vector<std::uint64_t> offsets{0};
                for (std::size_t sentence = 0; sentence < 100; ++sentence) {
                    if (sentence == 70 || sentence == 90) {
                        tokens.insert(tokens.end(), bad_tokens.begin(), bad_tokens.end());
                    } else {
                        tokens.push_back(0);
                    }
                    offsets.push_back(tokens.size());
                }
                std::vector<float> out(200);
                const auto done = embed_batch(*table, {tokens, offsets}, normalize, out, threads);
                if (!refused) {
                    EXPECT_TRUE(done.has_value());
                    continue;
                }
                ASSERT_FALSE(done.has_value());
                ASSERT_TRUE(std::holds_alternative<RowOverflow>(done.error()));
                EXPECT_EQ(failed_sentence(done.error()), *refused);
            }
        }
    }
    add_row_kernel.force_portable(false);
    std::vector<float> out(4);
    const std::vector<std::uint32_t> tokens{2, 2, 7};
    // An overflow before a token outside the table is the one reported; after it, the token.
    const std::vector<std::uint64_t> overflow_first{0, 2, 3};
    auto done = embed_batch(*table, {tokens, overflow_first}, false, out, 1);
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(std::get<RowOverflow>(done.error()).display(),
              "the embedding of sentence 0 overflows float32: the sum of its rows, or of the "
              "squares that scale it to unit length, exceeds 3.4e38 (the table's values are too "
              "large)");
    const std::vector<std::uint32_t> reversed{7, 2, 2};
    const std::vector<std::uint64_t> token_first{0, 1, 3};
    done = embed_batch(*table, {reversed, token_first}, false, out, 1);
    ASSERT_FALSE(done.has_value());
    EXPECT_EQ(failed_sentence(done.error()), 0u);
    EXPECT_TRUE(std::holds_alternative<TokenOutOfRange>(done.error()));
}

// The large shape is read in parts by several threads where the CPUs allow it.
class EmbeddingTableTest : public ::testing::TestWithParam<std::pair<std::uint64_t, std::size_t>> {
};

TEST_P(EmbeddingTableTest, ReadsOnlyTheNamedTensorAndListsEntries) {
    const auto [rows, dimension] = GetParam();
    const TemporaryDirectory directory;
    std::mt19937 random(2);
    const std::string data = random_table_bytes(DataType::BF16, rows * dimension, random);
    write_model(directory, DataType::BF16, rows, dimension, data);
    const auto entries = read_tensor_entries(directory.model_file());
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[1].name, "embeddings");
    EXPECT_EQ((*entries)[1].shape, (std::vector<std::uint64_t>{rows, dimension}));
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings");
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->rows(), rows);
    EXPECT_EQ(table->dimension(), dimension);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table->bytes().data()) % 64, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(table->bytes().data()), data.size()), data);
    EXPECT_EQ(EmbeddingTable::load(directory.model_file(), "x").error().display(),
              "no tensor named 'x'");
}

INSTANTIATE_TEST_SUITE_P(Shapes, EmbeddingTableTest,
                         ::testing::Values(std::pair<std::uint64_t, std::size_t>{5, 2},
                                           std::pair<std::uint64_t, std::size_t>{12289, 1023}));

}  // namespace
}  // namespace korvane
