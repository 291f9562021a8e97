// A table held as int8 in memory (HeldAs::i8): the integers model2vec's int8 option gives for the
// same table, recorded from it, where a plain rint(v / scale) would differ.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "korvane/format/embedding_table.hpp"
#include "support/model_file.hpp"

namespace korvane {
namespace {

using testing::bytes_of;
using testing::model_file_bytes;
using testing::TemporaryDirectory;
using testing::write_file;

struct Int8Case {
    const char* name;
    std::vector<float> row;  // row 0 of a two-row table; row 1 is zeros
    std::optional<std::size_t> columns;
    std::vector<std::int8_t> expected;  // row 0 as held
};

const Int8Case int8_cases[] = {
    // Each value goes through a half twice: most of these round differently without that.
    {"ThroughHalves",
     {9.100000381469727f, -8.992304801940918f, -7.701967716217041f, -6.4855055809021f,
      -5.195168495178223f, -3.6899428367614746f, -2.2568717002868652f, 1.7557268142700195f,
      3.4754116535186768f, 4.909056186676025f, 6.198820114135742f, 7.415855407714844f},
     std::nullopt,
     {127, -126, -108, -90, -72, -52, -32, 24, 48, 68, 86, 104}},
    // Beyond float16's range a value becomes an infinity, and then the end of the range.
    {"BeyondHalfRange",
     {-70000.0f, 70000.0f, 65519.0f, -65519.0f, 65520.0f, 1000.0f},
     std::nullopt,
     {-127, 127, 119, -119, 127, 2}},
    // Values below the smallest normal half keep only a subnormal half's precision.
    {"SubnormalHalves",
     {-1e-30f, 1e-8f, 3e-8f, 6e-8f, 1e-7f, 2e-7f},
     std::nullopt,
     {0, 0, 38, 38, 76, 114}},
    {"TinyLargest",
     {-1e-30f, 1e-30f, 3e-31f, 6e-8f, 0.0f, 0.0f},
     std::nullopt,
     {0, 0, 0, 126, 0, 0}},
    {"AllZero", {0.0f, -0.0f, 0.0f}, std::nullopt, {0, 0, 0}},
    // A scale of exactly 1: ties go to the even integer.
    {"TiesToEven",
     {127.0f, 0.5f, 1.5f, 2.5f, -0.5f, -1.5f, -2.5f, 126.5f},
     std::nullopt,
     {127, 0, 2, 2, 0, -2, -2, 126}},
    // The scale comes from the whole table, before the columns are cut.
    {"ScaleBeforeColumnsAreCut", {1.0f, -0.5f, 0.25f, 8.0f}, 2, {16, -8}},
};

// The table [row; zeros] as `dtype` (every case's values are exact in F64; BF16 is written
// only for cases whose values it holds exactly).
std::string table_bytes(DataType dtype, const std::vector<float>& row) {
    std::vector<float> values(row);
    values.resize(row.size() * 2, 0.0f);
    if (dtype == DataType::F64) return bytes_of(std::vector<double>(values.begin(), values.end()));
    if (dtype == DataType::BF16) {
        std::vector<std::uint16_t> tops;
        for (const float value : values) {
            tops.push_back(static_cast<std::uint16_t>(std::bit_cast<std::uint32_t>(value) >> 16));
        }
        return bytes_of(tops);
    }
    return bytes_of(values);
}

class HeldAsInt8Test : public ::testing::TestWithParam<std::tuple<Int8Case, DataType>> {};

TEST_P(HeldAsInt8Test, GivesModel2vecIntegers) {
    const auto& [test_case, dtype] = GetParam();
    const std::string data = table_bytes(dtype, test_case.row);
    const std::string header = R"({"embeddings":{"dtype":")" + std::string(data_type_name(dtype)) +
                               R"(","shape":[2,)" + std::to_string(test_case.row.size()) +
                               R"(],"data_offsets":[0,)" + std::to_string(data.size()) + "]}}";
    const TemporaryDirectory directory;
    write_file(directory.model_file(), model_file_bytes(header, data));
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings", {}, {},
                                            test_case.columns, HeldAs::i8);
    ASSERT_TRUE(table.has_value()) << table.error().display();
    EXPECT_EQ(table->dtype(), DataType::I8);
    const std::size_t width = test_case.expected.size();
    ASSERT_EQ(table->dimension(), width);
    ASSERT_EQ(table->bytes().size(), 2 * width);
    std::vector<std::int8_t> held(2 * width);
    std::memcpy(held.data(), table->bytes().data(), held.size());
    EXPECT_EQ(std::vector<std::int8_t>(held.begin(), held.begin() + width), test_case.expected);
    EXPECT_EQ(std::vector<std::int8_t>(held.begin() + width, held.end()),
              std::vector<std::int8_t>(width, 0));
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldAsInt8Test,
                         ::testing::Combine(::testing::ValuesIn(int8_cases),
                                            ::testing::Values(DataType::F32, DataType::F64)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name)
                                 .append(data_type_name(std::get<1>(info.param)));
                         });

INSTANTIATE_TEST_SUITE_P(BFloat16, HeldAsInt8Test,
                         ::testing::Combine(::testing::Values(int8_cases[5], int8_cases[6]),
                                            ::testing::Values(DataType::BF16)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name);
                         });

// A table of integers is held as the file encodes it.
TEST(HeldAsInt8, LeavesAnIntegerTableAsItIs) {
    const std::vector<std::int16_t> values{300, -2, 7, 0};
    const std::string header =
        R"({"embeddings":{"dtype":"I16","shape":[2,2],"data_offsets":[0,8]}})";
    const TemporaryDirectory directory;
    write_file(directory.model_file(), model_file_bytes(header, bytes_of(values)));
    const auto table = EmbeddingTable::load(directory.model_file(), "embeddings", {}, {},
                                            std::nullopt, HeldAs::i8);
    ASSERT_TRUE(table.has_value()) << table.error().display();
    EXPECT_EQ(table->dtype(), DataType::I16);
    EXPECT_EQ(table->bytes().size(), 8u);
}

}  // namespace
}  // namespace korvane
