// The Python interface of korvane_py, written once: the names, parameters, defaults, docstrings
// and annotations of the class StaticEmbedding and its methods. The binding's method table,
// argument binding and text signatures read these records, and so does the type stub's
// description.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "stub/description.hpp"

namespace korvane::python::interface {

inline constexpr char module_name[] = "korvane_py";
inline constexpr char class_name[] = "StaticEmbedding";
inline constexpr std::string_view class_docstring = "";
inline constexpr bool subclassable = false;

inline constexpr stub::ParameterEntry new_parameters[] = {
    {"model_dir", stub::PythonType<std::string>::input.hint(), nullptr},
    {"normalize", stub::PythonType<bool>::input.hint(), stub::python_repr(true)},
};

inline constexpr stub::MethodEntry new_method{
    "__new__", new_parameters, stub::TypeHint{class_name, {}},
    "Creates a `StaticEmbedding` from a local directory.\n"
    "\n"
    "The directory must contain at least `model.safetensors`. When the\n"
    "`tokenizers` feature is enabled, `tokenizer.json` is also required.\n"
    "\n"
    "# Arguments\n"
    "* `model_dir` - Path to the model directory.\n"
    "* `normalize` - If `True`, output embeddings will be L2-normalized.",
    stub::MethodKind::Constructor};

inline constexpr stub::ParameterEntry embed_tokens_parameters[] = {
    {"tokens", stub::PythonType<std::vector<std::uint32_t>>::input.hint(), nullptr},
};

inline constexpr stub::MethodEntry embed_tokens_method{
    "embed_tokens", embed_tokens_parameters, stub::PythonType<std::vector<float>>::output.hint(),
    // "libary" is kept as callers know it (core/src/errors/exact_texts.hpp).
    "Generates an embedding for a pre-tokenized sequence of token IDs (use whatever tokenization\n"
    "libary you prefer to generate tokens).\n"
    "\n"
    "The tensor is loaded lazily on first call. Embeddings are mean-pooled\n"
    "and optionally normalized.",
    stub::MethodKind::Instance};

// A builtin's __doc__, from which the interpreter reads its signature:
// "<name>(<receiver, >parameters)\n--\n\n<docstring>", a default written "name=default".
struct DocText {
    std::string_view name;
    std::string_view receiver;  // "$self", or empty
    std::span<const stub::ParameterEntry> parameters;
    std::string_view docstring;

    // Writes the text to `out` unless it is null; returns the text's length.
    constexpr std::size_t write(char* out) const {
        std::size_t length = 0;
        const auto put = [out, &length](std::string_view piece) {
            for (const char c : piece) {
                if (out != nullptr) out[length] = c;
                ++length;
            }
        };
        put(name);
        put("(");
        put(receiver);
        for (std::size_t index = 0; index < parameters.size(); ++index) {
            if (index > 0 || !receiver.empty()) put(", ");
            put(parameters[index].name);
            if (parameters[index].default_value != nullptr) {
                put("=");
                put(parameters[index].default_value);
            }
        }
        put(")\n--\n\n");
        put(docstring);
        return length;
    }
};

// A method's __doc__: its text signature, the receiver written "$self", then its docstring.
constexpr DocText method_doc(const stub::MethodEntry& method) {
    return {method.name, "$self", method.parameters, method.docstring};
}

// The class's __doc__: the constructor's text signature under the class's name, then the class's
// docstring.
inline constexpr DocText class_doc{class_name, "", new_parameters, class_docstring};

// The text of `doc`, NUL-terminated, in static storage.
template <const DocText& doc>
inline constexpr auto doc_string = [] {
    std::array<char, doc.write(nullptr) + 1> chars{};
    doc.write(chars.data());
    return chars;
}();

}  // namespace korvane::python::interface
