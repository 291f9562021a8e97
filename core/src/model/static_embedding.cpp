#include "korvane/model/static_embedding.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <utility>

#include "errors/exact_texts.hpp"
#include "model/embedding_state.hpp"

namespace korvane {

std::expected<StaticEmbedding, InvalidModelOrPathError> StaticEmbedding::from_dir(
    std::string model_dir, bool normalize) {
    std::filesystem::path directory(model_dir);
    const std::filesystem::path candidate = directory / model_file_name;
    // A path holding a NUL cannot be passed to the system at all, so it names no file.
    struct stat status;
    const bool exists =
        model_dir.find('\0') == std::string::npos && ::stat(candidate.c_str(), &status) == 0;
    if (!exists) {
        return std::unexpected(InvalidModelOrPathError{
            std::move(model_dir), std::string(exact_texts::missing_model_file)});
    }
    return StaticEmbedding(std::make_unique<EmbeddingState>(std::move(directory), normalize));
}

StaticEmbedding::StaticEmbedding(std::unique_ptr<EmbeddingState> state) noexcept
    : state_(std::move(state)) {}
StaticEmbedding::StaticEmbedding(StaticEmbedding&& other) noexcept = default;
StaticEmbedding& StaticEmbedding::operator=(StaticEmbedding&& other) noexcept = default;
StaticEmbedding::~StaticEmbedding() = default;

std::expected<std::vector<float>, EmbedError> StaticEmbedding::embed_tokens(
    std::vector<std::uint32_t> tokens, const InterruptCheck& check_interrupt) {
    return state_->embed_tokens(std::move(tokens), check_interrupt);
}

}  // namespace korvane
