#include "stub_writer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "stub_description.hpp"

namespace korvane::stub {
namespace {

struct Widget {};
struct Gadget {};

constexpr ImportSet builtins_import = ImportSet{}.with_module("builtins");
constexpr TypeHint int_hint{"builtins.int", builtins_import};
constexpr TypeHint none_hint{"None", {}};

ClassDescription class_of(ClassIdentity identity, std::string_view name,
                          std::string_view module = "pkg.mod") {
    return {identity, name, module, "", {}, {}};
}

MethodBlockDescription block_of(ClassIdentity identity, std::span<const MethodEntry> methods,
                                std::uint_least32_t line = 1) {
    return {identity, {}, methods, {"pkg/mod.cpp", line, 1}};
}

std::string render(std::vector<const ClassDescription*> classes,
                   std::vector<const MethodBlockDescription*> blocks) {
    auto stub = render_stub("pkg.mod", classes, blocks);
    EXPECT_TRUE(stub.has_value()) << stub.error().message;
    return stub.value_or("");
}

// The text after the header comment and imports: __all__ and the classes.
std::string_view declarations(const std::string& stub) {
    return std::string_view(stub).substr(stub.find("__all__"));
}

struct SignatureCase {
    const char* label;
    std::vector<ParameterEntry> parameters;
    std::string_view expected;
};

class MethodSignatures : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(MethodSignatures, MarkParameterKindsAsPythonDoes) {
    const SignatureCase& signature = GetParam();
    const MethodEntry methods[] = {
        {"f", signature.parameters, none_hint, "", MethodKind::Instance}};
    const ClassDescription widget = class_of(ClassIdentity::of<Widget>(), "Widget");
    const MethodBlockDescription block = block_of(widget.identity, methods);
    const std::string stub = render({&widget}, {&block});
    EXPECT_NE(
        stub.find(std::string("    def f(") + std::string(signature.expected) + ") -> None: ...\n"),
        std::string::npos)
        << stub;
}

constexpr auto positional_only = ParameterKind::PositionalOnly;
constexpr auto either = ParameterKind::PositionalOrKeyword;
constexpr auto keyword_only = ParameterKind::KeywordOnly;

INSTANTIATE_TEST_SUITE_P(
    Kinds, MethodSignatures,
    ::testing::Values(
        SignatureCase{"positional_only",
                      {{"a", int_hint, {}, positional_only}, {"b", int_hint, "1", positional_only}},
                      "self, a: builtins.int, b: builtins.int = 1, /"},
        SignatureCase{"keyword_only",
                      {{"c", int_hint, "...", keyword_only}},
                      "self, *, c: builtins.int = ..."},
        SignatureCase{
            "all_kinds",
            {{"a", int_hint, {}, positional_only},
             {"b", int_hint, {}, either},
             {"c", int_hint, {}, keyword_only},
             {"d", int_hint, {}, keyword_only}},
            "self, a: builtins.int, /, b: builtins.int, *, c: builtins.int, d: builtins.int"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(StubWriter, WritesMembersBeforeMethodsAndMarksUnsubclassableClassesFinal) {
    const MemberEntry attributes[] = {{"size", int_hint, ""}};
    const MemberEntry getters[] = {{"level", int_hint, "The level."}};
    const MemberEntry setters[] = {{"level", int_hint, ""}};
    const MethodEntry methods[] = {{"reset", {}, none_hint, "", MethodKind::Instance}};
    ClassDescription widget = class_of(ClassIdentity::of<Widget>(), "Widget");
    widget.members.attributes = attributes;
    widget.docstring = "A widget.";
    MethodBlockDescription block = block_of(widget.identity, methods);
    block.members.getters = getters;
    block.members.setters = setters;
    const ClassDescription gadget = class_of(ClassIdentity::of<Gadget>(), "Gadget");
    ClassDescription open_gadget = gadget;
    open_gadget.flags.subclassable = true;

    const std::string stub = render({&widget, &open_gadget}, {&block});
    EXPECT_EQ(declarations(stub),
              "__all__ = [\"Gadget\", \"Widget\"]\n"
              "\n"
              "class Gadget:\n"
              "    ...\n"
              "\n"
              "@typing.final\n"
              "class Widget:\n"
              "    \"\"\"A widget.\"\"\"\n"
              "    size: builtins.int\n"
              "\n"
              "    @property\n"
              "    def level(self) -> builtins.int:\n"
              "        \"\"\"The level.\"\"\"\n"
              "\n"
              "    @level.setter\n"
              "    def level(self, value: builtins.int) -> None: ...\n"
              "\n"
              "    def reset(self) -> None: ...\n");
    EXPECT_NE(stub.find("import builtins\nimport typing\n"), std::string::npos) << stub;
}

TEST(StubWriter, OrdersBlocksBySourceLocationAndLeavesOutOtherModules) {
    const MethodEntry later[] = {{"second", {}, none_hint, "", MethodKind::Instance}};
    const MethodEntry earlier[] = {{"first", {}, none_hint, "", MethodKind::Instance}};
    const ClassDescription widget = class_of(ClassIdentity::of<Widget>(), "Widget");
    const ClassDescription elsewhere = class_of(ClassIdentity::of<Gadget>(), "Gadget", "other");
    const MethodBlockDescription block_later = block_of(widget.identity, later, 20);
    const MethodBlockDescription block_earlier = block_of(widget.identity, earlier, 3);
    const std::string stub = render({&elsewhere, &widget}, {&block_later, &block_earlier});
    EXPECT_EQ(stub.find("Gadget"), std::string::npos) << stub;
    EXPECT_LT(stub.find("def first"), stub.find("def second")) << stub;
}

// Names of the stub's own module resolve to its own classes; lookalikes stay as written.
TEST(StubWriter, UnqualifiesOnlyWholeNamesOfItsOwnModule) {
    constexpr ImportSet imports = ImportSet{}.with_module("typing").with_name("Widget", "pkg.mod");
    const TypeHint hint{"typing.Union[mod.Widget, mod.WidgetX, xmod.Widget, other.mod.Widget]",
                        imports};
    const MethodEntry methods[] = {{"f", {}, hint, "", MethodKind::Instance}};
    const ClassDescription widget = class_of(ClassIdentity::of<Widget>(), "Widget");
    const MethodBlockDescription block = block_of(widget.identity, methods);
    const std::string stub = render({&widget}, {&block});
    EXPECT_NE(stub.find("-> typing.Union[Widget, mod.WidgetX, xmod.Widget, other.mod.Widget]:"),
              std::string::npos)
        << stub;
    EXPECT_EQ(stub.find("import pkg.mod"), std::string::npos) << stub;
}

TEST(StubWriter, EscapesDocstringsAndKeepsTheirLinesReadableBack) {
    const MethodEntry methods[] = {
        {"f", {}, none_hint, "Says \"\"\"hi\"\"\" \\ bye.\n\n  indented", MethodKind::Instance}};
    const ClassDescription widget = class_of(ClassIdentity::of<Widget>(), "Widget");
    const MethodBlockDescription block = block_of(widget.identity, methods);
    const std::string stub = render({&widget}, {&block});
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
    bool orphan_block;
    bool duplicate_identity;
    bool setter_without_getter;
    std::string_view message_part;
};

class StubWriterFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(StubWriterFailures, RefuseInconsistentDescriptions) {
    const FailureCase& failure = GetParam();
    const MemberEntry setters[] = {{"level", int_hint, ""}};
    ClassDescription widget = class_of(ClassIdentity::of<Widget>(), "Widget");
    if (failure.setter_without_getter) widget.members.setters = setters;
    const ClassDescription twin = class_of(
        failure.duplicate_identity ? widget.identity : ClassIdentity::of<Gadget>(), "Twin");
    const MethodBlockDescription block =
        block_of(failure.orphan_block ? ClassIdentity::of<int>() : widget.identity, {}, 7);
    const auto stub = render_stub("pkg.mod", std::vector<const ClassDescription*>{&widget, &twin},
                                  std::vector<const MethodBlockDescription*>{&block});
    ASSERT_FALSE(stub.has_value());
    EXPECT_NE(stub.error().message.find(failure.message_part), std::string::npos)
        << stub.error().message;
}

INSTANTIATE_TEST_SUITE_P(Descriptions, StubWriterFailures,
                         ::testing::Values(FailureCase{"orphan_block", true, false, false,
                                                       "method block at pkg/mod.cpp:7:1"},
                                           FailureCase{"duplicate_identity", false, true, false,
                                                       "Widget and Twin share one identity"},
                                           FailureCase{"setter_without_getter", false, false, true,
                                                       "setter Widget.level has no getter"}),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace korvane::stub
