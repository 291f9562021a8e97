// What a StaticEmbedding holds, and its computation. Tests build one around a table given in
// memory, without a model file.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "korvane/errors.hpp"
#include "korvane/format/load.hpp"
#include "model/token_cache.hpp"

namespace korvane {

struct EmbeddingState {
    EmbeddingState(std::filesystem::path model_dir, bool normalize)
        : model_dir(std::move(model_dir)), normalize(normalize) {}

    // StaticEmbedding::embed_tokens.
    [[nodiscard]] std::expected<std::vector<float>, EmbedError> embed_tokens(
        std::vector<std::uint32_t> tokens, const InterruptCheck& check_interrupt = {});

    std::filesystem::path model_dir;  // as the caller gave it: not absolute, not normalised
    bool normalize;
    std::optional<LoadedTensor> tensor;  // set once, by the first successful load
    TokenCache token_cache;
};

}  // namespace korvane
