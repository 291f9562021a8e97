#include "korvane/static_embedding.hpp"

namespace korvane {

std::expected<std::vector<float>, EmbedError> StaticEmbedding::embed_tokens(
    std::vector<std::uint32_t> tokens) {
    (void)tokens;
    throw InternalFailure("embed_tokens: not built yet");
}

}  // namespace korvane
