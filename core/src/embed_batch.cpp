#include <algorithm>
#include <atomic>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "decode.hpp"
#include "exact_size.hpp"
#include "korvane/embedding_table.hpp"
#include "pooling.hpp"

namespace korvane {

namespace {

// Sentences are handed out to the threads in chunks of this many: small enough that two threads
// finish together on a batch of a few thousand, large enough that the shared counter is touched
// rarely.
constexpr std::size_t sentences_per_chunk = 32;

// The work of one batch, shared by its threads; each thread brings its own decoding scratch.
class BatchKernel {
public:
    BatchKernel(const EmbeddingTable& table, TokenBatch batch, bool normalize, float* out) noexcept
        : table_(table.bytes().data()),
          dtype_(table.dtype()),
          width_(table.dimension()),
          row_bytes_(element_width(table.dtype()) * table.dimension()),
          distance_(prefetch_distance(row_bytes_)),
          add_row_path_(active_add_row_path()),
          normalize_(normalize),
          batch_(batch),
          out_(out) {}

    [[nodiscard]] std::size_t chunk_count() const noexcept {
        return (batch_.sentence_count() + sentences_per_chunk - 1) / sentences_per_chunk;
    }

    // Takes chunks from `next_chunk` until none is left. `scratch` holds D floats.
    void run(std::atomic<std::size_t>& next_chunk, float* scratch) const noexcept {
        const std::size_t chunks = chunk_count();
        for (;;) {
            const std::size_t chunk = next_chunk.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= chunks) return;
            const std::size_t first = chunk * sentences_per_chunk;
            const std::size_t last = std::min(first + sentences_per_chunk, batch_.sentence_count());
            for (std::size_t sentence = first; sentence < last; ++sentence) {
                embed_sentence(sentence, batch_.offsets[last], scratch);
            }
        }
    }

private:
    [[nodiscard]] const std::byte* row_bytes_of(std::uint32_t token) const noexcept {
        return table_ + static_cast<std::size_t>(token) * row_bytes_;
    }

    // `prefetch_end` bounds the tokens this thread will read soon: the end of its chunk.
    void embed_sentence(std::size_t sentence, std::size_t prefetch_end,
                        float* scratch) const noexcept {
        float* accumulator = out_ + sentence * width_;
        std::fill_n(accumulator, width_, 0.0f);
        const std::size_t begin = batch_.offsets[sentence];
        const std::size_t end = batch_.offsets[sentence + 1];
        if (begin == end) return;  // a row of zeros, not embed_tokens' 0 / 0
        const std::uint32_t* tokens = batch_.tokens.data();
        for (std::size_t index = begin; index < end; ++index) {
            if (index + distance_ < prefetch_end) {
                prefetch_row(row_bytes_of(tokens[index + distance_]), row_bytes_, row_bytes_);
            }
            const std::byte* bytes = row_bytes_of(tokens[index]);
            // F32 rows are added from the table itself (aligned: the table starts on 64 bytes,
            // rows are whole floats); others are widened first, exactly as decode_row does for
            // the cached rows of embed_tokens.
            const float* row = reinterpret_cast<const float*>(bytes);
            if (dtype_ != DataType::F32) {
                decode_row(dtype_, bytes, width_, scratch);
                row = scratch;
            }
            add_row(add_row_path_, accumulator, row, width_);
        }
        const std::span<float> values(accumulator, width_);
        divide_by_count(values, end - begin);
        if (normalize_) divide_by_norm(values);
    }

    const std::byte* table_;
    DataType dtype_;
    std::size_t width_;
    std::size_t row_bytes_;
    std::size_t distance_;
    AddRowPath add_row_path_;
    bool normalize_;
    TokenBatch batch_;
    float* out_;
};

void check_shape(const EmbeddingTable& table, TokenBatch batch, std::span<float> out) {
    const auto& offsets = batch.offsets;
    if (!std::is_sorted(offsets.begin(), offsets.end()) ||
        (!offsets.empty() && offsets.back() > batch.tokens.size())) {
        throw InternalFailure("batch offsets must be non-decreasing and within the tokens");
    }
    if (ExactSize{batch.sentence_count()} * table.dimension() != out.size()) {
        throw InternalFailure("the output does not hold one row per sentence");
    }
}

// The first token of the batch outside the table, with its sentence.
std::optional<TokenOutOfRange> find_token_out_of_range(const EmbeddingTable& table,
                                                       TokenBatch batch) {
    if (batch.sentence_count() == 0) return std::nullopt;
    const auto used = batch.tokens.subspan(batch.offsets.front(),
                                           batch.offsets.back() - batch.offsets.front());
    // A plain maximum first: it vectorises, and almost every batch passes it.
    std::uint32_t largest = 0;
    for (const std::uint32_t token : used) largest = std::max(largest, token);
    if (largest < table.rows()) return std::nullopt;
    const auto bad = std::find_if(used.begin(), used.end(),
                                  [&](std::uint32_t token) { return token >= table.rows(); });
    const auto index = static_cast<std::uint64_t>(bad - batch.tokens.begin());
    // The sentence whose range holds `index`: the last offset not above it.
    const auto sentence = static_cast<std::size_t>(
        std::upper_bound(batch.offsets.begin(), batch.offsets.end(), index) -
        batch.offsets.begin() - 1);
    return TokenOutOfRange{sentence, *bad, table.rows()};
}

}  // namespace

std::expected<void, TokenOutOfRange> embed_batch(const EmbeddingTable& table, TokenBatch batch,
                                                 bool normalize, std::span<float> out,
                                                 unsigned threads) {
    check_shape(table, batch, out);
    if (auto bad = find_token_out_of_range(table, batch)) return std::unexpected(*bad);

    const BatchKernel kernel(table, batch, normalize, out.data());
    const std::size_t workers =
        std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(kernel.chunk_count(), 1));
    // Allocated here, where a failure can still be reported: a thread cannot throw.
    std::vector<float> scratch(workers * table.dimension());
    std::atomic<std::size_t> next_chunk{0};
    {
        // Threads live for this call only: nothing outlives it, so a fork between calls copies
        // no pool in a state the child cannot use. A thread that cannot be started leaves its
        // share to the others.
        std::vector<std::jthread> helpers;
        helpers.reserve(workers - 1);
        for (std::size_t helper = 1; helper < workers; ++helper) {
            try {
                float* own_scratch = scratch.data() + helper * table.dimension();
                helpers.emplace_back([&kernel, &next_chunk, own_scratch] {
                    kernel.run(next_chunk, own_scratch);
                });
            } catch (const std::system_error&) {
                break;
            }
        }
        kernel.run(next_chunk, scratch.data());
    }
    return {};
}

}  // namespace korvane
