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
#include "sum_rows.hpp"

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
        : source_{table.bytes().data(), table.dtype(), table.dimension(),
                  element_width(table.dtype()) * table.dimension()},
          width_(table.dimension()),
          distance_(prefetch_distance(source_.row_bytes)),
          add_row_path_(active_add_row_path()),
          fast_path_(sum_rows_supported(table.dtype())),
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
                const auto tokens = sentence_tokens(sentence);
                float* accumulator = out_ + sentence * width_;
                if (tokens.empty()) {
                    std::fill_n(accumulator, width_, 0.0f);  // not embed_tokens' 0 / 0
                    continue;
                }
                if (fast_path_) {
                    const auto next = sentence + 1 < last ? sentence_tokens(sentence + 1)
                                                          : std::span<const std::uint32_t>();
                    sum_rows(source_, tokens, next, accumulator);
                } else {
                    add_rows(tokens, batch_.offsets[last], accumulator, scratch);
                }
                divide_by_count({accumulator, width_}, tokens.size());
            }
            if (normalize_) divide_rows_by_norm(out_ + first * width_, last - first, width_);
        }
    }

private:
    [[nodiscard]] std::span<const std::uint32_t> sentence_tokens(std::size_t sentence) const noexcept {
        return batch_.tokens.subspan(batch_.offsets[sentence],
                                     batch_.offsets[sentence + 1] - batch_.offsets[sentence]);
    }

    [[nodiscard]] const std::byte* row_bytes_of(std::uint32_t token) const noexcept {
        return source_.table + static_cast<std::size_t>(token) * source_.row_bytes;
    }

    // The path of every element type: each row widened as decode_row widens the cached rows of
    // embed_tokens, then added with add_row. `prefetch_end` bounds the tokens this thread will
    // read soon: the end of its chunk.
    void add_rows(std::span<const std::uint32_t> tokens, std::size_t prefetch_end,
                  float* accumulator, float* scratch) const noexcept {
        std::fill_n(accumulator, width_, 0.0f);
        const std::size_t begin = static_cast<std::size_t>(tokens.data() - batch_.tokens.data());
        for (std::size_t index = 0; index < tokens.size(); ++index) {
            if (begin + index + distance_ < prefetch_end) {
                prefetch_row(row_bytes_of(batch_.tokens[begin + index + distance_]),
                             source_.row_bytes, source_.row_bytes);
            }
            const std::byte* bytes = row_bytes_of(tokens[index]);
            // F32 rows are added from the table itself (aligned: the table starts on 64 bytes,
            // rows are whole floats).
            const float* row = reinterpret_cast<const float*>(bytes);
            if (source_.dtype != DataType::F32) {
                decode_row(source_.dtype, bytes, width_, scratch);
                row = scratch;
            }
            add_row(add_row_path_, accumulator, row, width_);
        }
    }

    RowSource source_;
    std::size_t width_;
    std::size_t distance_;
    AddRowPath add_row_path_;
    bool fast_path_;
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
