// A machine-readable description of korvane_py's Python interface, from which the type stub of
// the module is generated.
//
// Rules of use:
//  1. Records are constant data. Each is registered once, by a load-time initialiser of the
//     shared object, and never removed. Nothing in the module reads them: only the stub generator
//     and the tests do, so importing the module exposes none of them.
//  2. A method block joins its class by `ClassIdentity`, never by name.
//  3. Annotation texts are fully qualified ("builtins.int") and carry the imports they need; a
//     parameter takes a type's input form, a return value its output form.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

namespace korvane::stub {

// The text of a type expression, composed at compile time from literal pieces.
template <std::size_t Capacity>
struct TypeText {
    std::array<char, Capacity> chars{};
    std::size_t length = 0;

    [[nodiscard]] constexpr std::string_view view() const noexcept {
        return {chars.data(), length};
    }
};

template <std::size_t Size>
consteval TypeText<Size - 1> literal_text(const char (&piece)[Size]) {
    TypeText<Size - 1> text;
    for (std::size_t index = 0; index + 1 < Size; ++index) text.chars[index] = piece[index];
    text.length = Size - 1;
    return text;
}

template <std::size_t... Capacities>
consteval TypeText<(Capacities + ... + 0)> join(const TypeText<Capacities>&... pieces) {
    TypeText<(Capacities + ... + 0)> text;
    const auto append = [&text](std::string_view piece) {
        for (const char c : piece) text.chars[text.length++] = c;
    };
    (append(pieces.view()), ...);
    return text;
}

// "korvane_py" for "korvane_py", "c" for "a.b.c": how a stub refers to a class of that module.
template <std::size_t Size>
consteval TypeText<Size - 1> last_component(const char (&module)[Size]) {
    const std::string_view name(module, Size - 1);
    const std::size_t dot = name.rfind('.');
    TypeText<Size - 1> text;
    for (const char c : name.substr(dot == std::string_view::npos ? 0 : dot + 1)) {
        text.chars[text.length++] = c;
    }
    return text;
}

// An identifier that a stub must take from a module ("StaticEmbedding" from "korvane_py").
struct ImportedName {
    std::string_view name;
    std::string_view module;

    friend constexpr bool operator==(const ImportedName&, const ImportedName&) = default;
};

// The modules and names an annotation needs, each once, in order of first mention.
class ImportSet {
public:
    static constexpr std::size_t capacity = 4;

    [[nodiscard]] consteval ImportSet with_module(std::string_view module) const {
        ImportSet result = *this;
        for (const std::string_view known : modules()) {
            if (known == module) return result;
        }
        if (module_count_ == capacity) throw "ImportSet: too many modules";
        result.modules_[result.module_count_++] = module;
        return result;
    }

    [[nodiscard]] consteval ImportSet with_name(std::string_view name,
                                                std::string_view module) const {
        ImportSet result = with_module(module);
        for (const ImportedName& known : names()) {
            if (known == ImportedName{name, module}) return result;
        }
        if (name_count_ == capacity) throw "ImportSet: too many names";
        result.names_[result.name_count_++] = ImportedName{name, module};
        return result;
    }

    [[nodiscard]] consteval ImportSet merged(const ImportSet& other) const {
        ImportSet result = *this;
        for (const std::string_view module : other.modules()) result = result.with_module(module);
        for (const ImportedName& name : other.names()) {
            result = result.with_name(name.name, name.module);
        }
        return result;
    }

    [[nodiscard]] constexpr std::span<const std::string_view> modules() const noexcept {
        return {modules_.data(), module_count_};
    }
    [[nodiscard]] constexpr std::span<const ImportedName> names() const noexcept {
        return {names_.data(), name_count_};
    }

private:
    std::array<std::string_view, capacity> modules_{};
    std::size_t module_count_ = 0;
    std::array<ImportedName, capacity> names_{};
    std::size_t name_count_ = 0;
};

// One annotation form as the records hold it.
struct TypeHint {
    std::string_view text;
    ImportSet imports;
};

// An annotation form that owns its text; `hint()` of one with static storage is a record value.
template <std::size_t Capacity>
struct Annotation {
    TypeText<Capacity> text;
    ImportSet imports;

    [[nodiscard]] constexpr TypeHint hint() const noexcept { return {text.view(), imports}; }
};

template <std::size_t Capacity>
Annotation(TypeText<Capacity>, ImportSet) -> Annotation<Capacity>;

template <std::size_t Size>
consteval auto builtin_annotation(const char (&name)[Size]) {
    return Annotation{join(literal_text("builtins."), literal_text(name)),
                      ImportSet{}.with_module("builtins")};
}

// "module.Generic[inner]", needing the module besides the inner type's imports.
template <std::size_t ModuleSize, std::size_t GenericSize, std::size_t Inner>
consteval auto generic_annotation(const char (&module)[ModuleSize],
                                  const char (&generic)[GenericSize],
                                  const Annotation<Inner>& inner) {
    return Annotation{join(literal_text(module), literal_text("."), literal_text(generic),
                           literal_text("["), inner.text, literal_text("]")),
                      ImportSet{}.with_module(module).merged(inner.imports)};
}

// A class of an extension module, as a stub refers to it.
template <std::size_t ModuleSize, std::size_t NameSize>
consteval auto class_annotation(const char (&module)[ModuleSize], const char (&name)[NameSize]) {
    return Annotation{join(last_component(module), literal_text("."), literal_text(name)),
                      ImportSet{}.with_name(name, module)};
}

// The annotation forms of each C++ type that crosses the binding: `input` for a value the
// binding accepts, `output` for one it returns.
template <typename T>
struct PythonType;

template <>
struct PythonType<std::string> {
    static constexpr auto input = builtin_annotation("str");
    static constexpr auto output = input;
};

template <>
struct PythonType<bool> {
    static constexpr auto input = builtin_annotation("bool");
    static constexpr auto output = input;
};

template <>
struct PythonType<std::uint32_t> {
    static constexpr auto input = builtin_annotation("int");
    static constexpr auto output = input;
};

template <>
struct PythonType<float> {
    static constexpr auto input = builtin_annotation("float");
    static constexpr auto output = input;
};

// Any sequence is accepted; a concrete list is returned.
template <typename Element>
struct PythonType<std::vector<Element>> {
    static constexpr auto input =
        generic_annotation("typing", "Sequence", PythonType<Element>::input);
    static constexpr auto output =
        generic_annotation("builtins", "list", PythonType<Element>::output);
};

// The Python repr of a default value, as a stub writes it.
[[nodiscard]] constexpr std::string_view python_repr(bool value) noexcept {
    return value ? "True" : "False";
}

enum class ParameterKind : std::uint8_t { PositionalOnly, PositionalOrKeyword, KeywordOnly };

struct ParameterEntry {
    std::string_view name;
    TypeHint annotation;                            // the input form
    std::optional<std::string_view> default_value;  // rendered, or none when required
    ParameterKind kind;
};

enum class MethodKind : std::uint8_t { Constructor, Instance };

struct MethodEntry {
    std::string_view name;
    std::span<const ParameterEntry> parameters;  // in call order, without the receiver
    TypeHint returns;                            // the output form
    std::string_view docstring;
    MethodKind kind;
};

// A class attribute, a property getter or a property setter.
struct MemberEntry {
    std::string_view name;
    TypeHint annotation;
    std::string_view docstring;
};

struct ClassMembers {
    std::span<const MemberEntry> attributes;
    std::span<const MemberEntry> getters;
    std::span<const MemberEntry> setters;
};

struct ClassFlags {
    bool subclassable = false;
    bool has_dict = false;
    bool weakrefable = false;
};

// The identity of the C++ type behind a Python class. type_info objects compare by name, so
// the identity survives the same type being seen from several translation units.
class ClassIdentity {
public:
    explicit constexpr ClassIdentity(const std::type_info& type) noexcept : type_(&type) {}

    template <typename T>
    [[nodiscard]] static constexpr ClassIdentity of() noexcept {
        return ClassIdentity(typeid(T));
    }

    [[nodiscard]] const char* mangled_name() const noexcept { return type_->name(); }

    friend bool operator==(const ClassIdentity& a, const ClassIdentity& b) noexcept {
        return *a.type_ == *b.type_;
    }

private:
    const std::type_info* type_;
};

struct ClassDescription {
    ClassIdentity identity;
    std::string_view name;
    std::string_view module;
    std::string_view docstring;
    ClassMembers members;
    ClassFlags flags;
};

// Where a block of methods is declared, relative to the repository's root.
struct SourceLocation {
    std::string_view file;
    std::uint_least32_t line;
    std::uint_least32_t column;

    [[nodiscard]] static consteval SourceLocation from(std::source_location where) {
        return {where.file_name(), where.line(), where.column()};
    }
};

struct MethodBlockDescription {
    ClassIdentity identity;
    ClassMembers members;
    std::span<const MethodEntry> methods;
    SourceLocation location;
};

// A process-wide list of records, filled by load-time initialisers. Adding is lock-free, so it
// needs no constructor of its own to have run first; records are never removed.
template <typename Record>
class Registry {
public:
    struct Link {
        const Record* record;
        Link* next = nullptr;
    };

    constexpr Registry() noexcept = default;
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // `link` must live as long as the process.
    void add(Link& link) noexcept {
        link.next = head_.load(std::memory_order_relaxed);
        while (!head_.compare_exchange_weak(link.next, &link, std::memory_order_release,
                                            std::memory_order_relaxed)) {
        }
    }

    // The records in the order in which they were added.
    [[nodiscard]] std::vector<const Record*> records() const {
        std::vector<const Record*> result;
        for (const Link* link = head_.load(std::memory_order_acquire); link != nullptr;
             link = link->next) {
            result.push_back(link->record);
        }
        return {result.rbegin(), result.rend()};
    }

private:
    std::atomic<Link*> head_{nullptr};
};

Registry<ClassDescription>& class_registry() noexcept;
Registry<MethodBlockDescription>& method_block_registry() noexcept;

}  // namespace korvane::stub
