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

// The file a model directory must hold.
inline constexpr const char* model_file_name = "model.safetensors";

// The per-object cache of decoded rows, keyed by token ID.
//
// Rows are found through an index addressed directly by token ID (a lookup is one bounds check
// and one load) and stored back to back in chunks of up to 120 KiB that never move, so an entry
// costs one pointer beyond its own floats. The index grows on demand, never beyond the number of
// rows the table holds, and the chunks never hold more rows than that either: once every row of
// a table is cached, nothing is left unused. Entries are never removed.
class TokenCache {
public:
    TokenCache() = default;
    // A moved-from cache is left empty rather than sharing the free rows of its last chunk.
    TokenCache(TokenCache&& other) noexcept { swap(other); }
    TokenCache& operator=(TokenCache&& other) noexcept {
        TokenCache taken(std::move(other));
        swap(taken);
        return *this;
    }

    // The cached row of `token`, or nullptr.
    [[nodiscard]] const float* find(std::uint32_t token) const noexcept {
        return token < slots_.size() ? slots_[token] : nullptr;
    }

    // Storage for the row of `token`, which is not cached yet: room for exactly `dimension`
    // floats (dimension > 0, the same on every call), to be filled and then passed to `insert`.
    // `row_capacity` is the number of rows the table holds; `token` must be below it. Throws
    // InternalFailure when memory runs out, leaving every entry as it was.
    [[nodiscard]] float* prepare_row(std::uint32_t token, std::size_t dimension,
                                     std::uint64_t row_capacity);

    // Makes `row`, the filled storage that `prepare_row` returned for `token`, its entry.
    void insert(std::uint32_t token, const float* row) noexcept {
        slots_[token] = row;
        ++size_;
    }

    // The number of entries.
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // The bytes the cache has allocated: index, chunk list and row storage (allocator headers
    // not counted).
    [[nodiscard]] std::size_t allocated_bytes() const noexcept;

private:
    void swap(TokenCache& other) noexcept;
    void grow_index(std::uint32_t token, std::uint64_t row_capacity);
    void add_chunk(std::size_t dimension, std::uint64_t row_capacity);

    std::vector<const float*> slots_;               // token ID -> row, nullptr when absent
    std::vector<std::unique_ptr<float[]>> chunks_;  // row storage
    float* free_row_ = nullptr;                     // the next unused row in the last chunk
    std::size_t free_rows_ = 0;                     // unused rows left in the last chunk
    std::uint64_t rows_reserved_ = 0;               // rows of all chunks together
    std::size_t size_ = 0;
    std::size_t dimension_ = 0;
};

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
