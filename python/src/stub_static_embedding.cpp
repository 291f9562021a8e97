// The description of the class StaticEmbedding and of its methods, registered when the shared
// object is loaded.
#include <cstdint>
#include <string>
#include <vector>

#include "static_embedding_object.hpp"
#include "stub_description.hpp"

namespace korvane::stub {

namespace {

constexpr char module_name[] = "korvane_py";
constexpr char class_name[] = "StaticEmbedding";
constexpr auto class_output = class_annotation(module_name, class_name);
constexpr ClassIdentity static_embedding = ClassIdentity::of<python::StaticEmbeddingObject>();

constexpr std::string_view new_docstring =
    "Creates a `StaticEmbedding` from a local directory.\n"
    "\n"
    "The directory must contain at least `model.safetensors`. When the\n"
    "`tokenizers` feature is enabled, `tokenizer.json` is also required.\n"
    "\n"
    "# Arguments\n"
    "* `model_dir` - Path to the model directory.\n"
    "* `normalize` - If `True`, output embeddings will be L2-normalized.";

constexpr std::string_view embed_tokens_docstring =
    "Generates an embedding for a pre-tokenized sequence of token IDs (use whatever tokenization\n"
    "libary you prefer to generate tokens).\n"
    "\n"
    "The tensor is loaded lazily on first call. Embeddings are mean-pooled\n"
    "and optionally normalized.";

constexpr ParameterEntry new_parameters[] = {
    {"model_dir", PythonType<std::string>::input.hint(), std::nullopt,
     ParameterKind::PositionalOrKeyword},
    {"normalize", PythonType<bool>::input.hint(), python_repr(true),
     ParameterKind::PositionalOrKeyword},
};

constexpr ParameterEntry embed_tokens_parameters[] = {
    {"tokens", PythonType<std::vector<std::uint32_t>>::input.hint(), std::nullopt,
     ParameterKind::PositionalOrKeyword},
};

constexpr MethodEntry methods[] = {
    {"__new__", new_parameters, class_output.hint(), new_docstring, MethodKind::Constructor},
    {"embed_tokens", embed_tokens_parameters, PythonType<std::vector<float>>::output.hint(),
     embed_tokens_docstring, MethodKind::Instance},
};

constexpr ClassDescription class_description{
    .identity = static_embedding,
    .name = class_name,
    .module = module_name,
    .docstring = "",
    .members = {},
    .flags = {},
};

constexpr MethodBlockDescription method_block_description{
    .identity = static_embedding,
    .members = {},
    .methods = methods,
    .location = SourceLocation::from(python::static_embedding_methods_location),
};

Registry<ClassDescription>::Link class_link{&class_description};
Registry<MethodBlockDescription>::Link method_block_link{&method_block_description};

[[gnu::constructor]] void register_class_description() {
    class_registry().add(class_link);
}

[[gnu::constructor]] void register_method_block_description() {
    method_block_registry().add(method_block_link);
}

}  // namespace

}  // namespace korvane::stub
