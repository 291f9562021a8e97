#include "stub/description.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::stub {
namespace {

std::vector<std::string_view> modules_of(const TypeHint& hint) {
    return {hint.imports.modules().begin(), hint.imports.modules().end()};
}

TEST(StubRegistries, HoldOneClassAndOneMethodBlockOfThatClass) {
    const auto classes = class_registry().records();
    const auto blocks = method_block_registry().records();
    ASSERT_EQ(classes.size(), 1u);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_TRUE(classes[0]->identity == blocks[0]->identity);
    EXPECT_EQ(classes[0]->name, "StaticEmbedding");
    EXPECT_EQ(classes[0]->module, "korvane_py");
}

// The location is captured on the line above the declaration of the class's method table.
TEST(StubRegistries, MethodBlockLocationMarksTheMethodTable) {
    const auto blocks = method_block_registry().records();
    ASSERT_EQ(blocks.size(), 1u);
    const SourceLocation& location = blocks[0]->location;
    const std::filesystem::path file(location.file);
    ASSERT_TRUE(file.is_relative()) << location.file;
    std::ifstream source(std::filesystem::path(KORVANE_SOURCE_ROOT) / file);
    ASSERT_TRUE(source) << location.file;
    std::string line;
    for (std::uint_least32_t number = 0; number <= location.line; ++number) {
        ASSERT_TRUE(std::getline(source, line)) << location.file << ":" << location.line;
    }
    EXPECT_TRUE(line.starts_with("extern PyMethodDef static_embedding_methods[];"))
        << location.file << ":" << location.line + 1 << ": " << line;
}

// A registry returns records in the order they were added, whatever order the links sit in.
TEST(StubRegistries, ListRecordsInOrderOfAddition) {
    static constexpr int values[] = {1, 2, 3};
    static Registry<int> registry;
    static Registry<int>::Link links[] = {{&values[0]}, {&values[1]}, {&values[2]}};
    for (auto& link : links) registry.add(link);
    const auto records = registry.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(*records[0], 1);
    EXPECT_EQ(*records[1], 2);
    EXPECT_EQ(*records[2], 3);
}

struct AnnotationCase {
    const char* label;
    TypeHint hint;
    std::string_view text;
    std::vector<std::string_view> modules;
};

class AnnotationForms : public ::testing::TestWithParam<AnnotationCase> {};

TEST_P(AnnotationForms, ComposeTextAndImports) {
    const AnnotationCase& expected = GetParam();
    EXPECT_EQ(expected.hint.text, expected.text);
    EXPECT_EQ(modules_of(expected.hint), expected.modules);
}

using TokenIds = std::vector<std::uint32_t>;

INSTANTIATE_TEST_SUITE_P(
    Types, AnnotationForms,
    ::testing::Values(AnnotationCase{"nested_in",
                                     PythonType<std::vector<TokenIds>>::input.hint(),
                                     "typing.Sequence[typing.Sequence[builtins.int]]",
                                     {"typing", "builtins"}},
                      AnnotationCase{"nested_out",
                                     PythonType<std::vector<TokenIds>>::output.hint(),
                                     "builtins.list[builtins.list[builtins.int]]",
                                     {"builtins"}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace korvane::stub
