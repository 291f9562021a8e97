// A machine-readable description of korvane_py's Python interface, from which the type stub of
// the module is generated.
//
// Rules of use:
//  1. Records are constant data. Each is registered once, by a load-time initialiser of the
//     shared object, and never removed. Nothing in the module reads the registries: only the stub
//     generator and the tests do, so importing the module exposes none of them.
//  2. A method block joins its class by `ClassIdentity`, never by name.
//  3. Annotation texts are fully qualified ("builtins.int") and carry the modules they need; a
//     parameter takes a type's input form, a return value its output form.
//  4. Every parameter is positional-or-keyword.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
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

template <std::size_t Capacity>
consteval TypeText<Capacity> text_of(std::string_view piece) {
    TypeText<Capacity> text;
    for (const char c : piece) text.chars[text.length++] = c;
    return text;
}

template <std::size_t Size>
consteval TypeText<Size - 1> literal_text(const char (&piece)[Size]) {
    return text_of<Size - 1>(piece);
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

// The modules an annotation needs, each once, in order of first mention.
class ImportSet {
public:
    static constexpr std::size_t capacity = 4;

    [[nodiscard]] consteval ImportSet with(std::string_view module) const {
        ImportSet result = *this;
        for (const std::string_view known : modules()) {
            if (known == module) return result;
        }
        if (count_ == capacity) throw "ImportSet: too many modules";
        result.modules_[result.count_++] = module;
        return result;
    }

    [[nodiscard]] consteval ImportSet merged(const ImportSet& other) const {
        ImportSet result = *this;
        for (const std::string_view module : other.modules()) result = result.with(module);
        return result;
    }

    [[nodiscard]] constexpr std::span<const std::string_view> modules() const noexcept {
        return {modules_.data(), count_};
    }

private:
    std::array<std::string_view, capacity> modules_{};
    std::size_t count_ = 0;
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
consteval auto builtin_annotation(std::string_view name) {
    return Annotation{join(literal_text("builtins."), text_of<Size>(name)),
                      ImportSet{}.with("builtins")};
}

// "module.Generic[inner]", needing the module besides the inner type's imports.
template <std::size_t ModuleSize, std::size_t GenericSize, std::size_t Inner>
consteval auto generic_annotation(const char (&module)[ModuleSize],
                                  const char (&generic)[GenericSize],
                                  const Annotation<Inner>& inner) {
    return Annotation{join(literal_text(module), literal_text("."), literal_text(generic),
                           literal_text("["), inner.text, literal_text("]")),
                      ImportSet{}.with(module).merged(inner.imports)};
}

// The builtin type each scalar crosses the binding as, both ways.
template <typename T>
inline constexpr std::string_view builtin_name = {};
template <>
inline constexpr std::string_view builtin_name<std::string> = "str";
template <>
inline constexpr std::string_view builtin_name<bool> = "bool";
template <>
inline constexpr std::string_view builtin_name<std::uint32_t> = "int";
template <>
inline constexpr std::string_view builtin_name<float> = "float";

// The annotation forms of each C++ type that crosses the binding: `input` for a value the
// binding accepts, `output` for one it returns.
template <typename T>
struct PythonType {
    static_assert(!builtin_name<T>.empty(), "no Python form for this type");
    static constexpr auto input = builtin_annotation<builtin_name<T>.size()>(builtin_name<T>);
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

// The Python repr of a default value, as a stub and a text signature write it.
[[nodiscard]] constexpr const char* python_repr(bool value) noexcept {
    return value ? "True" : "False";
}

// Names are C strings, as the binding's messages and keyword matching use them too.
struct ParameterEntry {
    const char* name;
    TypeHint annotation;                  // the input form
    const char* default_value = nullptr;  // rendered, or null when required
};

enum class MethodKind : std::uint8_t { Constructor, Instance };

struct MethodEntry {
    const char* name;
    std::span<const ParameterEntry> parameters;  // in call order, without the receiver
    TypeHint returns;                            // the output form
    std::string_view docstring;
    MethodKind kind;
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
    bool subclassable;
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
