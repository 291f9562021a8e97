// The static embedding model: a directory holding `model.safetensors`, whose table is read on the
// first `embed_tokens` call and kept, undecoded, for the object's life. Each token row is decoded
// to floats once and cached.
//
// Rules of use:
//  1. `from_dir` only checks that the model file exists; load failures belong to the first
//     `embed_tokens` call, and a failed load leaves the object as it was, so the next call retries.
//  2. `embed_tokens` needs exclusive access to the object; the object takes no lock itself.
//  3. Results are reproducible bit for bit: rows are added in token order, the mean is a true
//     division by the token count, the norm sums squares strictly in index order.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "korvane/errors.hpp"
#include "korvane/format/load.hpp"

namespace korvane {

// The file a model directory must hold.
inline constexpr const char* model_file_name = "model.safetensors";

// The object's state: the directory, the table once loaded and the cache of decoded rows.
struct EmbeddingState;

class StaticEmbedding {
public:
    // Checks that `model_dir` joined with "model.safetensors" exists (following symbolic links);
    // nothing is opened or read.
    [[nodiscard]] static std::expected<StaticEmbedding, InvalidModelOrPathError> from_dir(
        std::string model_dir, bool normalize);

    // The mean of the rows of `tokens`, scaled to unit length when `normalize` is set. Loads the
    // table on first use, asking `check_interrupt` during the file's read (load_safetensors_file);
    // what it throws passes on and leaves the table unloaded. Returns an EmbedError when the load
    // fails; throws InternalFailure for a token outside the table or a malformed file.
    [[nodiscard]] std::expected<std::vector<float>, EmbedError> embed_tokens(
        std::vector<std::uint32_t> tokens, const InterruptCheck& check_interrupt = {});

    // A moved-from object may only be assigned to or destroyed.
    StaticEmbedding(StaticEmbedding&& other) noexcept;
    StaticEmbedding& operator=(StaticEmbedding&& other) noexcept;
    ~StaticEmbedding();

private:
    explicit StaticEmbedding(std::unique_ptr<EmbeddingState> state) noexcept;

    std::unique_ptr<EmbeddingState> state_;
};

}  // namespace korvane
