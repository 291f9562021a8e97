#include "model/token_cache.hpp"

#include <algorithm>
#include <new>
#include <utility>

#include "util/exact_size.hpp"

namespace korvane {

namespace {

// Rows are allocated in chunks of up to this size: many rows of a typical model per allocation
// (120 rows of 256 floats), yet below the C library's threshold of 128 KiB, beyond which every
// allocation is mapped on its own and rounded up to whole pages, a page lost per chunk. Rows
// larger than this get a chunk each.
constexpr std::size_t chunk_bytes = std::size_t{120} * 1024;

constexpr std::uint64_t token_count = std::uint64_t{1} << 32;

}  // namespace

void TokenCache::swap(TokenCache& other) noexcept {
    std::swap(slots_, other.slots_);
    std::swap(chunks_, other.chunks_);
    std::swap(free_row_, other.free_row_);
    std::swap(free_rows_, other.free_rows_);
    std::swap(rows_reserved_, other.rows_reserved_);
    std::swap(size_, other.size_);
    std::swap(dimension_, other.dimension_);
}

float* TokenCache::prepare_row(std::uint32_t token, std::size_t dimension,
                               std::uint64_t row_capacity) {
    if (token >= slots_.size()) grow_index(token, row_capacity);
    if (free_rows_ == 0) add_chunk(dimension, row_capacity);
    float* row = free_row_;
    free_row_ += dimension;
    --free_rows_;
    return row;
}

void TokenCache::grow_index(std::uint32_t token, std::uint64_t row_capacity) {
    // Doubling keeps growth amortised; the table's row count caps it, so a fully cached table
    // leaves no unused slot.
    const std::uint64_t wanted =
        std::max<std::uint64_t>(std::uint64_t{token} + 1, std::uint64_t{slots_.size()} * 2);
    const std::uint64_t cap =
        std::max<std::uint64_t>(std::uint64_t{token} + 1, std::min(row_capacity, token_count));
    const auto slot_count = static_cast<std::size_t>(std::min(wanted, cap));
    try {
        // reserve allocates exactly the amount asked for, where resize alone may round up.
        slots_.reserve(slot_count);
    } catch (const std::bad_alloc&) {
        fail_allocation(ExactSize{slot_count} * sizeof(const float*));
    }
    slots_.resize(slot_count, nullptr);
}

void TokenCache::add_chunk(std::size_t dimension, std::uint64_t row_capacity) {
    dimension_ = dimension;
    const std::size_t row_bytes = dimension * sizeof(float);
    std::uint64_t rows = std::max<std::size_t>(1, chunk_bytes / row_bytes);
    // Every cached token is a distinct row of the table, so the chunks never need more rows
    // than the table has.
    if (row_capacity > rows_reserved_) rows = std::min(rows, row_capacity - rows_reserved_);
    const auto float_count = static_cast<std::size_t>(rows) * dimension;

    if (chunks_.size() == chunks_.capacity()) {
        const std::size_t grown = std::max<std::size_t>(16, chunks_.capacity() * 2);
        try {
            chunks_.reserve(grown);
        } catch (const std::bad_alloc&) {
            fail_allocation(ExactSize{grown} * sizeof(chunks_[0]));
        }
    }
    std::unique_ptr<float[]> chunk;
    try {
        chunk = std::make_unique_for_overwrite<float[]>(float_count);
    } catch (const std::bad_alloc&) {
        fail_allocation(ExactSize{float_count} * sizeof(float));
    }
    free_row_ = chunk.get();
    free_rows_ = static_cast<std::size_t>(rows);
    rows_reserved_ += rows;
    chunks_.push_back(std::move(chunk));
}

std::size_t TokenCache::allocated_bytes() const noexcept {
    return slots_.capacity() * sizeof(const float*) + chunks_.capacity() * sizeof(chunks_[0]) +
           static_cast<std::size_t>(rows_reserved_) * dimension_ * sizeof(float);
}

}  // namespace korvane
