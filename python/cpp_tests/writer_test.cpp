#include "stub/writer.hpp"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "stub/description.hpp"

namespace korvane::stub {
namespace {

struct Widget {};

constexpr TypeHint int_hint{"builtins.int", ImportSet{}.with("builtins")};
constexpr TypeHint none_hint{"None", {}};
constexpr ParameterEntry parameters[] = {{"a", int_hint, nullptr}, {"b", int_hint, "1"}};
constexpr MethodEntry widget_methods[] = {
    {"__new__", parameters, TypeHint{"Widget", {}}, "", MethodKind::Constructor},
    {"reset", {}, none_hint, "", MethodKind::Instance},
};

ClassDescription widget(bool subclassable, std::string_view docstring) {
    return {ClassIdentity::of<Widget>(), "Widget", "pkg.mod", docstring, subclassable};
}

MethodBlockDescription block_of(ClassIdentity identity, std::span<const MethodEntry> methods) {
    return {identity, methods, {"pkg/mod.cpp", 7, 1}};
}

std::string render(const ClassDescription& description, std::span<const MethodEntry> methods) {
    const MethodBlockDescription block = block_of(description.identity, methods);
    const std::vector<const ClassDescription*> classes{&description};
    const std::vector<const MethodBlockDescription*> blocks{&block};
    auto stub = render_stub(classes, blocks);
    EXPECT_TRUE(stub.has_value()) << stub.error().message;
    return stub.value_or("");
}

struct ClassCase {
    const char* label;
    bool subclassable;
    std::string_view docstring;
    std::span<const MethodEntry> methods;
    std::string_view expected;
};

class StubWriter : public ::testing::TestWithParam<ClassCase> {};

TEST_P(StubWriter, WritesHeaderImportsAndTheClass) {
    const ClassCase& example = GetParam();
    EXPECT_EQ(render(widget(example.subclassable, example.docstring), example.methods),
              example.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, StubWriter,
    ::testing::Values(
        ClassCase{"final_with_methods", false, "", widget_methods,
                  "# Type stub of pkg.mod, written by korvane_stubgen. Do not edit.\n"
                  "import builtins\n"
                  "import typing\n"
                  "\n"
                  "__all__ = [\"Widget\"]\n"
                  "\n"
                  "@typing.final\n"
                  "class Widget:\n"
                  "    def __new__(cls, a: builtins.int, b: builtins.int = 1) -> Widget: ...\n"
                  "\n"
                  "    def reset(self) -> None: ...\n"},
        ClassCase{"subclassable_with_docstring", true, "A widget.",
                  std::span(widget_methods).subspan(1),
                  "# Type stub of pkg.mod, written by korvane_stubgen. Do not edit.\n"
                  "\n"
                  "__all__ = [\"Widget\"]\n"
                  "\n"
                  "class Widget:\n"
                  "    \"\"\"A widget.\"\"\"\n"
                  "\n"
                  "    def reset(self) -> None: ...\n"},
        ClassCase{"empty",
                  true,
                  "",
                  {},
                  "# Type stub of pkg.mod, written by korvane_stubgen. Do not edit.\n"
                  "\n"
                  "__all__ = [\"Widget\"]\n"
                  "\n"
                  "class Widget:\n"
                  "    ...\n"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(StubWriterDocstrings, EscapesDocstringsAndKeepsTheirLinesReadableBack) {
    const MethodEntry methods[] = {
        {"f", {}, none_hint, "Says \"\"\"hi\"\"\" \\ bye.\n\n  indented", MethodKind::Instance}};
    const std::string stub = render(widget(true, ""), methods);
    EXPECT_NE(stub.find("    def f(self) -> None:\n"
                        "        \"\"\"Says \\\"\\\"\\\"hi\\\"\\\"\\\" \\\\ bye.\n"
                        "\n"
                        "          indented\n"
                        "        \"\"\"\n"),
              std::string::npos)
        << stub;
}

struct FailureCase {
    const char* label;
    std::size_t class_count;
    bool orphan_block;
    std::string_view message_part;
};

class StubWriterFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(StubWriterFailures, RefuseDescriptionsOfOtherThanOneClass) {
    const FailureCase& failure = GetParam();
    const ClassDescription description = widget(false, "");
    const std::vector<const ClassDescription*> classes(failure.class_count, &description);
    const MethodBlockDescription block =
        block_of(failure.orphan_block ? ClassIdentity::of<int>() : description.identity, {});
    const std::vector<const MethodBlockDescription*> blocks{&block};
    const auto stub = render_stub(classes, blocks);
    ASSERT_FALSE(stub.has_value());
    EXPECT_NE(stub.error().message.find(failure.message_part), std::string::npos)
        << stub.error().message;
}

INSTANTIATE_TEST_SUITE_P(
    Descriptions, StubWriterFailures,
    ::testing::Values(FailureCase{"no_class", 0, false, "expected one class description, found 0"},
                      FailureCase{"two_classes", 2, false, "found 2"},
                      FailureCase{"orphan_block", 1, true, "method block at pkg/mod.cpp:7:1"}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace korvane::stub
