#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvane {

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

}  // namespace korvane
