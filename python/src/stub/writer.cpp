#include "writer.hpp"

#include <set>
#include <string_view>

namespace korvane::stub {

namespace {

constexpr std::string_view indent = "    ";

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

// Writes annotations and collects the modules they need.
class Annotations {
public:
    std::string_view write(const TypeHint& hint) {
        for (const std::string_view module : hint.imports.modules()) modules_.emplace(module);
        return hint.text;
    }

    void require(std::string_view module) { modules_.emplace(module); }

    [[nodiscard]] const std::set<std::string, std::less<>>& modules() const { return modules_; }

private:
    std::set<std::string, std::less<>> modules_;
};

void append_method(std::string& out, const MethodEntry& method, Annotations& annotations) {
    out.append(indent).append("def ").append(method.name).append("(");
    out.append(method.kind == MethodKind::Constructor ? "cls" : "self");
    for (const ParameterEntry& parameter : method.parameters) {
        out.append(", ").append(parameter.name).append(": ");
        out.append(annotations.write(parameter.annotation));
        if (parameter.default_value != nullptr) out.append(" = ").append(parameter.default_value);
    }
    out.append(") -> ").append(annotations.write(method.returns)).append(":");
    if (method.docstring.empty()) {
        out.append(" ...\n");
    } else {
        out.push_back('\n');
        append_docstring(out, method.docstring, std::string(indent).append(indent));
    }
}

std::string location_text(const SourceLocation& location) {
    return std::string(location.file) + ":" + std::to_string(location.line) + ":" +
           std::to_string(location.column);
}

}  // namespace

std::expected<std::string, StubError> render_stub(
    std::span<const ClassDescription* const> classes,
    std::span<const MethodBlockDescription* const> method_blocks) {
    if (classes.size() != 1) {
        return std::unexpected(
            StubError{"expected one class description, found " + std::to_string(classes.size())});
    }
    const ClassDescription& description = *classes.front();
    Annotations annotations;

    std::string body = "\n";
    if (!description.subclassable) {
        annotations.require("typing");
        body.append("@typing.final\n");
    }
    body.append("class ").append(description.name).append(":\n");
    const std::size_t body_start = body.size();
    if (!description.docstring.empty()) append_docstring(body, description.docstring, indent);
    for (const MethodBlockDescription* block : method_blocks) {
        if (!(block->identity == description.identity)) {
            return std::unexpected(StubError{
                "the method block at " + location_text(block->location) + " belongs to no " +
                "registered class (" + block->identity.mangled_name() + ")"});
        }
        for (const MethodEntry& method : block->methods) {
            // Definitions are set apart by one blank line, as is the class docstring.
            if (body.size() > body_start) body.push_back('\n');
            append_method(body, method, annotations);
        }
    }
    if (body.size() == body_start) body.append(indent).append("...\n");

    std::string out = "# Type stub of ";
    out.append(description.module).append(", written by korvane_stubgen. Do not edit.\n");
    for (const std::string& module : annotations.modules()) {
        out.append("import ").append(module).append("\n");
    }
    out.append("\n__all__ = [\"").append(description.name).append("\"]\n");
    return out.append(body);
}

}  // namespace korvane::stub
