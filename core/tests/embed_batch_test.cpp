// embed_batch against StaticEmbedding::embed_tokens, bit for bit, on every kernel path, and the
// loader of one named table.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "decode.hpp"
#include "korvane/embedding_table.hpp"
#include "korvane/static_embedding.hpp"
#include "model_file.hpp"

namespace korvane {
namespace {

using testing::model_file_bytes;
using testing::TemporaryDirectory;
using testing::write_file;

// Random halves, singles or bfloat16s (NaNs and infinities included) as a table's bytes.
std::string random_table_bytes(DataType dtype, std::size_t elements, std::mt19937& random) {
    std::string bytes(elements * element_width(dtype), '\0');
    std::normal_distribution<float> normal(0.0f, 3.0f);
    for (std::size_t i = 0; i < elements; ++i) {
        std::uint32_t single = std::bit_cast<std::uint32_t>(normal(random));
        if (random() % 97 == 0) single = random();  // any pattern at all, now and then
        const auto half = static_cast<std::uint16_t>(random());
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

TEST(EmbedBatchTest, AnOutOfRangeTokenNamesItsSentenceAndWritesNothing) {
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
    EXPECT_EQ(result.error().display(),
              "token ID 4 in sentence 2 is outside the table (vocab_size 4)");
    EXPECT_EQ(out, std::vector<float>(6, -1.0f));
    const std::vector<std::uint64_t> backwards{0, 4, 3};
    EXPECT_THROW((void)embed_batch(*table, {tokens, backwards}, true, out, 1), InternalFailure);
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
