// The description of the class StaticEmbedding and of its methods, registered when the shared
// object is loaded.
#include "description.hpp"
#include "interface.hpp"
#include "static_embedding_object.hpp"

namespace korvane::stub {

namespace {

constexpr ClassIdentity static_embedding = ClassIdentity::of<python::StaticEmbeddingObject>();

constexpr MethodEntry methods[] = {python::interface::new_method,
                                   python::interface::embed_tokens_method};

constexpr ClassDescription class_description{
    .identity = static_embedding,
    .name = python::interface::class_name,
    .module = python::interface::module_name,
    .docstring = python::interface::class_docstring,
    .subclassable = python::interface::subclassable,
};

constexpr MethodBlockDescription method_block_description{
    .identity = static_embedding,
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
