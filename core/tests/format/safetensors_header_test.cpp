#include "format/safetensors_header.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace korvane::safetensors {
namespace {

// The entry of {"t": <value_json>}; it refers to the parsed header, kept here with it.
struct Decoded {
    explicit Decoded(std::string_view value_json)
        : object(*json::parse_object(std::string(R"({"t": )").append(value_json).append("}"))),
          entry(decode_entry(object.front().value)) {}

    json::Object object;
    std::optional<Entry> entry;
};

TEST(SafetensorsEntry, ReadsEachForm) {
    const Decoded decoded_usual(R"({"shape": [3, 2], "dtype": "F16", "x": 1,
                                    "data_offsets": [0, 12]})");
    const auto& usual = decoded_usual.entry;
    ASSERT_TRUE(usual);
    EXPECT_EQ(usual->dtype, "F16");
    EXPECT_FALSE(usual->as_list || usual->dtype_as_object);
    EXPECT_EQ(usual->shape, (std::vector<std::uint64_t>{3, 2}));
    EXPECT_EQ(usual->data_offsets, (std::array<std::uint64_t, 2>{0, 12}));

    const Decoded decoded_listed(R"([{"F32": null}, [4], [8, 24]])");
    const auto& listed = decoded_listed.entry;
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->dtype, "F32");
    EXPECT_TRUE(listed->as_list && listed->dtype_as_object);
    EXPECT_EQ(listed->shape, (std::vector<std::uint64_t>{4}));

    // The last of a key listed twice counts.
    const Decoded decoded_twice(
        R"({"dtype": 1, "dtype": "I8", "shape": [], "data_offsets": [0, 0]})");
    const auto& twice = decoded_twice.entry;
    ASSERT_TRUE(twice);
    EXPECT_EQ(twice->dtype, "I8");
}

class SafetensorsEntryRefused : public testing::TestWithParam<std::string_view> {};

TEST_P(SafetensorsEntryRefused, HasNoEntry) {
    EXPECT_FALSE(Decoded(GetParam()).entry);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SafetensorsEntryRefused,
    testing::Values(R"("F32")", R"(null)", R"([])", R"(["F32", [1]])",
                    R"({"shape": [1], "data_offsets": [0, 4]})",
                    R"({"dtype": "F32", "data_offsets": [0, 4]})",
                    R"({"dtype": "F32", "shape": [1], "data_offsets": [0]})",
                    R"({"dtype": "F32", "shape": [-1], "data_offsets": [0, 4]})",
                    R"({"dtype": "F32", "shape": [1.0], "data_offsets": [0, 4]})",
                    R"({"dtype": {"F32": 1}, "shape": [1], "data_offsets": [0, 4]})",
                    R"({"dtype": {"F32": null, "F16": null}, "shape": [1],
                        "data_offsets": [0, 4]})"));

}  // namespace
}  // namespace korvane::safetensors
