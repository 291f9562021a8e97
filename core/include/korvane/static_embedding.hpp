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
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvane/errors.hpp"
#include "korvane/load.hpp"

namespace korvane {

// The per-object cache of decoded rows, keyed by token ID. Rows live in fixed-size chunks and are
// found through a table indexed directly by token ID, so a lookup is one array load and an entry
// costs one pointer beyond its floats. Entries are never removed.
class TokenCache {
public:
    // The cached row of `token` (exactly `dimension` floats), or nullptr.
    [[nodiscard]] const float* find(std::uint32_t token) const noexcept {
        return token < slots_.size() ? slots_[token] : nullptr;
    }

    // Room for one new row of `dimension` floats, to be filled and then passed to `insert`.
    // `row_capacity` bounds the token IDs the table can hold; it sizes the index.
    [[nodiscard]] float* allocate_row(std::size_t dimension);

    // Makes the row last returned by `allocate_row` the entry of `token`.
    void insert(std::uint32_t token, float* row, std::uint64_t row_capacity);

    [[nodiscard]] std::size_t size() const noexcept { return size_; }

private:
    std::vector<float*> slots_;                         // token ID -> row, nullptr when absent
    std::vector<std::unique_ptr<float[]>> chunks_;      // row storage, never moved
    std::size_t chunk_rows_used_ = 0;                   // rows handed out from the last chunk
    std::size_t chunk_row_count_ = 0;                   // rows per chunk, fixed at first use
    std::size_t size_ = 0;
};

class StaticEmbedding {
public:
    // Checks that `model_dir` joined with "model.safetensors" exists (following symbolic links);
    // nothing is opened or read.
    [[nodiscard]] static std::expected<StaticEmbedding, InvalidModelOrPathError> from_dir(
        std::string model_dir, bool normalize);

    // The mean of the rows of `tokens`, scaled to unit length when `normalize` is set. Loads the
    // table on first use. Returns an EmbedError when the load fails; throws InternalFailure for a
    // token outside the table or a malformed file.
    [[nodiscard]] std::expected<std::vector<float>, EmbedError> embed_tokens(
        std::vector<std::uint32_t> tokens);

private:
    StaticEmbedding(std::filesystem::path model_dir, bool normalize)
        : model_dir(std::move(model_dir)), normalize(normalize) {}

    friend class StaticEmbeddingTestAccess;

    std::filesystem::path model_dir;    // as the caller gave it: not absolute, not normalised
    std::optional<LoadedTensor> tensor;  // set once, by the first successful load
    TokenCache token_cache;
    bool normalize;
};

}  // namespace korvane
