#include "stub_writer.hpp"

#include <algorithm>
#include <set>
#include <tuple>
#include <vector>

namespace korvane::stub {

namespace {

constexpr std::string_view indent = "    ";

bool is_identifier_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string_view last_component(std::string_view module) {
    const std::size_t dot = module.rfind('.');
    return dot == std::string_view::npos ? module : module.substr(dot + 1);
}

// Collects the imports of every annotation written, and writes annotations so that names of the
// stub's own module refer to the classes declared in it rather than to an import of itself.
class Annotations {
public:
    explicit Annotations(std::string_view module) : module_(module) {}

    std::string write(const TypeHint& hint) {
        for (const std::string_view imported : hint.imports.modules()) {
            if (imported != module_) modules_.emplace(imported);
        }
        std::string text(hint.text);
        for (const ImportedName& name : hint.imports.names()) {
            if (name.module == module_) text = unqualify(text, name.name);
        }
        return text;
    }

    void require(std::string_view imported) { modules_.emplace(imported); }

    [[nodiscard]] const std::set<std::string, std::less<>>& modules() const { return modules_; }

private:
    // Replaces each whole "component.name" by "name".
    std::string unqualify(const std::string& text, std::string_view name) const {
        std::string qualified(last_component(module_));
        qualified.append(".").append(name);
        std::string result;
        std::size_t copied = 0;
        for (std::size_t at = text.find(qualified); at != std::string::npos;
             at = text.find(qualified, at + 1)) {
            const std::size_t end = at + qualified.size();
            const bool whole =
                (at == 0 || (!is_identifier_char(text[at - 1]) && text[at - 1] != '.')) &&
                (end == text.size() || !is_identifier_char(text[end]));
            if (!whole) continue;
            result.append(text, copied, at - copied).append(name);
            copied = end;
        }
        return result.append(text, copied);
    }

    std::string_view module_;
    std::set<std::string, std::less<>> modules_;
};

void append_string_literal(std::string& out, std::string_view text) {
    for (const char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
}

// A docstring at `depth`, its later lines indented to match as a hand-written one would be.
void append_docstring(std::string& out, std::string_view docstring, std::string_view depth) {
    out.append(depth).append("\"\"\"");
    std::size_t start = 0;
    bool first = true;
    while (true) {
        const std::size_t end = docstring.find('\n', start);
        const std::string_view line = docstring.substr(start, end - start);
        if (!first) {
            out.push_back('\n');
            if (!line.empty()) out.append(depth);
        }
        append_string_literal(out, line);
        first = false;
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    if (docstring.find('\n') != std::string_view::npos) out.append("\n").append(depth);
    out.append("\"\"\"\n");
}

// " ...\n" for an empty docstring, else a new line and the docstring one level deeper.
void append_body(std::string& out, std::string_view docstring, std::string_view depth) {
    if (docstring.empty()) {
        out.append(" ...\n");
        return;
    }
    out.push_back('\n');
    append_docstring(out, docstring, std::string(depth) + std::string(indent));
}

void append_method(std::string& out, const MethodEntry& method, Annotations& annotations) {
    out.append(indent).append("def ").append(method.name).append("(");
    out.append(method.kind == MethodKind::Constructor ? "cls" : "self");
    ParameterKind previous = ParameterKind::PositionalOnly;
    for (const ParameterEntry& parameter : method.parameters) {
        if (previous == ParameterKind::PositionalOnly &&
            parameter.kind != ParameterKind::PositionalOnly &&
            &parameter != &method.parameters[0]) {
            out.append(", /");
        }
        if (parameter.kind == ParameterKind::KeywordOnly &&
            previous != ParameterKind::KeywordOnly) {
            out.append(", *");
        }
        out.append(", ").append(parameter.name).append(": ");
        out.append(annotations.write(parameter.annotation));
        if (parameter.default_value) out.append(" = ").append(*parameter.default_value);
        previous = parameter.kind;
    }
    if (!method.parameters.empty() && previous == ParameterKind::PositionalOnly) out.append(", /");
    out.append(") -> ").append(annotations.write(method.returns)).append(":");
    append_body(out, method.docstring, indent);
}

struct ClassContent {
    std::vector<const MemberEntry*> attributes;
    std::vector<const MemberEntry*> getters;
    std::vector<const MemberEntry*> setters;
    std::vector<const MethodEntry*> methods;

    void add(const ClassMembers& members) {
        for (const MemberEntry& entry : members.attributes) attributes.push_back(&entry);
        for (const MemberEntry& entry : members.getters) getters.push_back(&entry);
        for (const MemberEntry& entry : members.setters) setters.push_back(&entry);
    }
};

std::expected<void, StubError> append_class(std::string& out, const ClassDescription& description,
                                            const ClassContent& content, Annotations& annotations) {
    for (const MemberEntry* setter : content.setters) {
        if (std::ranges::none_of(content.getters, [setter](const MemberEntry* getter) {
                return getter->name == setter->name;
            })) {
            return std::unexpected(StubError{"the setter " + std::string(description.name) + "." +
                                             std::string(setter->name) + " has no getter"});
        }
    }

    out.push_back('\n');
    if (!description.flags.subclassable) {
        annotations.require("typing");
        out.append("@typing.final\n");
    }
    out.append("class ").append(description.name).append(":\n");
    const std::size_t body_start = out.size();
    // Definitions are set apart by one blank line, as are the docstring and attributes before them.
    const auto separate = [&out, body_start] {
        if (out.size() > body_start) out.push_back('\n');
    };
    if (!description.docstring.empty()) append_docstring(out, description.docstring, indent);
    for (const MemberEntry* attribute : content.attributes) {
        out.append(indent).append(attribute->name).append(": ");
        out.append(annotations.write(attribute->annotation)).append("\n");
        if (!attribute->docstring.empty()) append_docstring(out, attribute->docstring, indent);
    }
    for (const MemberEntry* getter : content.getters) {
        separate();
        out.append(indent).append("@property\n");
        out.append(indent).append("def ").append(getter->name).append("(self) -> ");
        out.append(annotations.write(getter->annotation)).append(":");
        append_body(out, getter->docstring, indent);
        for (const MemberEntry* setter : content.setters) {
            if (setter->name != getter->name) continue;
            separate();
            out.append(indent).append("@").append(getter->name).append(".setter\n");
            out.append(indent).append("def ").append(setter->name).append("(self, value: ");
            out.append(annotations.write(setter->annotation)).append(") -> None:");
            append_body(out, setter->docstring, indent);
        }
    }
    for (const MethodEntry* method : content.methods) {
        separate();
        append_method(out, *method, annotations);
    }
    if (out.size() == body_start) out.append(indent).append("...\n");
    return {};
}

std::string location_text(const SourceLocation& location) {
    return std::string(location.file) + ":" + std::to_string(location.line) + ":" +
           std::to_string(location.column);
}

}  // namespace

std::expected<std::string, StubError> render_stub(
    std::string_view module, std::span<const ClassDescription* const> classes,
    std::span<const MethodBlockDescription* const> method_blocks) {
    for (std::size_t first = 0; first < classes.size(); ++first) {
        for (std::size_t second = first + 1; second < classes.size(); ++second) {
            if (classes[first]->identity == classes[second]->identity) {
                return std::unexpected(
                    StubError{"the classes " + std::string(classes[first]->name) + " and " +
                              std::string(classes[second]->name) + " share one identity"});
            }
        }
    }

    std::vector<const MethodBlockDescription*> blocks(method_blocks.begin(), method_blocks.end());
    std::ranges::sort(blocks, {}, [](const MethodBlockDescription* block) {
        return std::tuple(block->location.file, block->location.line, block->location.column);
    });
    std::vector<ClassContent> contents(classes.size());
    for (std::size_t index = 0; index < classes.size(); ++index) {
        contents[index].add(classes[index]->members);
    }
    for (const MethodBlockDescription* block : blocks) {
        const auto owner =
            std::ranges::find_if(classes, [block](const ClassDescription* description) {
                return description->identity == block->identity;
            });
        if (owner == classes.end()) {
            return std::unexpected(StubError{
                "the method block at " + location_text(block->location) +
                " belongs to no registered class (" + block->identity.mangled_name() + ")"});
        }
        ClassContent& content = contents[static_cast<std::size_t>(owner - classes.begin())];
        content.add(block->members);
        for (const MethodEntry& method : block->methods) content.methods.push_back(&method);
    }

    std::vector<std::size_t> order;
    for (std::size_t index = 0; index < classes.size(); ++index) {
        if (classes[index]->module == module) order.push_back(index);
    }
    std::ranges::sort(order, {}, [classes](std::size_t index) { return classes[index]->name; });

    Annotations annotations(module);
    std::string body;
    for (const std::size_t index : order) {
        if (auto appended = append_class(body, *classes[index], contents[index], annotations);
            !appended) {
            return std::unexpected(std::move(appended.error()));
        }
    }

    std::string out = "# Type stub of ";
    out.append(module).append(", written by korvane_stubgen. Do not edit.\n");
    for (const std::string& imported : annotations.modules()) {
        out.append("import ").append(imported).append("\n");
    }
    out.append("\n__all__ = [");
    for (const std::size_t index : order) {
        if (index != order.front()) out.append(", ");
        out.append("\"").append(classes[index]->name).append("\"");
    }
    out.append("]\n");
    return out.append(body);
}

}  // namespace korvane::stub
