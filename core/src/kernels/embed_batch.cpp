#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "kernels/decode.hpp"
#include "kernels/pooling.hpp"
#include "kernels/sum_rows.hpp"
#include "korvane/format/embedding_table.hpp"
#include "util/exact_size.hpp"
#include "util/threads.hpp"

namespace korvane {

namespace {

// Sentences are handed out to the threads in chunks of this many: small enough that two threads
// finish together on a batch of a few thousand, large enough that the shared counter is touched
// rarely.
constexpr std::size_t sentences_per_chunk = 32;

// The order in which overflows are reported: by sentence, and in one sentence an overflowing
// mean before the sum of squares that it overflows too.
constexpr std::size_t overflow_key(std::size_t sentence, bool in_squares) noexcept {
    return sentence * 2 + (in_squares ? 1 : 0);
}

// Lowers `target` to `value` when that is smaller.
void lower_to(std::atomic<std::size_t>& target, std::size_t value) noexcept {
    std::size_t current = target.load(std::memory_order_relaxed);
    while (value < current &&
           !target.compare_exchange_weak(current, value, std::memory_order_relaxed)) {
    }
}

// The work of one batch, shared by its threads; each thread brings its own decoding scratch.
class BatchKernel {
public:
    BatchKernel(const EmbeddingTable& table, TokenBatch batch, bool normalize, float* out) noexcept
        : source_{table.bytes().data(), table.dtype(), table.dimension(),
                  element_width(table.dtype()) * table.dimension(),
                  table.has_mapping() ? table.mapping().data() : nullptr},
          weights_(table.has_weights() ? table.weights().data() : nullptr),
          width_(table.dimension()),
          distance_(prefetch_distance(source_.row_bytes)),
          add_row_path_(add_row_kernel.active()),
          fast_path_(sum_rows_supported(table.dtype())),
          normalize_(normalize),
          batch_(batch),
          out_(out) {}

    [[nodiscard]] std::size_t chunk_count() const noexcept {
        return (batch_.sentence_count() + sentences_per_chunk - 1) / sentences_per_chunk;
    }

    // Takes chunks from `next_chunk` until none is left. `scratch` holds D floats where rows
    // are decoded (null where none are), `sums` D doubles for a weighted table (else null).
    // The first sentence whose embedding overflows lowers `overflow` to its overflow_key.
    // Kept out of line: inlined into run_on_threads' caller, GCC lays out the norm loop of
    // small batches less well (a third slower per call).
    [[gnu::noinline]] void run(std::atomic<std::size_t>& next_chunk, float* scratch, double* sums,
                               std::atomic<std::size_t>& overflow) const noexcept {
        const std::size_t chunks = chunk_count();
        for (;;) {
            const std::size_t chunk = next_chunk.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= chunks) return;
            const std::size_t first = chunk * sentences_per_chunk;
            const std::size_t last = std::min(first + sentences_per_chunk, batch_.sentence_count());
            std::size_t overflowed = last;  // the first sentence whose mean overflows
            for (std::size_t sentence = first; sentence < last; ++sentence) {
                const auto tokens = sentence_tokens(sentence);
                float* accumulator = out_ + sentence * width_;
                if (tokens.empty()) {
                    std::fill_n(accumulator, width_, 0.0f);  // not embed_tokens' 0 / 0
                    continue;
                }
                if (weights_ != nullptr) {
                    // The mean is formed in double precision and rounded once.
                    if (fast_path_) {
                        const auto next = sentence + 1 < last ? sentence_tokens(sentence + 1)
                                                              : std::span<const std::uint32_t>();
                        sum_weighted_rows(source_, weights_, tokens, next, sums);
                    } else {
                        add_weighted_rows(tokens, batch_.offsets[last], sums, scratch);
                    }
                    if (!mean_to_single({accumulator, width_}, sums, tokens.size())) {
                        overflowed = std::min(overflowed, sentence);
                    }
                    continue;
                }
                if (fast_path_) {
                    const auto next = sentence + 1 < last ? sentence_tokens(sentence + 1)
                                                          : std::span<const std::uint32_t>();
                    sum_rows(source_, tokens, next, accumulator);
                } else {
                    add_rows(tokens, batch_.offsets[last], accumulator, scratch);
                }
                // Finite rows added can overflow, never give NaN: an infinity is the only sign of
                // it, which the mean keeps and the sum of squares reaches. Normalizing tests
                // that sum; otherwise the mean is tested as it is divided.
                if (normalize_) {
                    divide_by_count({accumulator, width_}, tokens.size());
                } else if (!divide_by_count_finite({accumulator, width_}, tokens.size())) {
                    overflowed = std::min(overflowed, sentence);
                }
            }
            std::size_t squares_overflowed = last;
            if (normalize_) {
                squares_overflowed =
                    divide_rows_by_norm(out_ + first * width_, last - first, width_) + first;
            }
            if (overflowed < last || squares_overflowed < last) {
                lower_to(overflow, std::min(overflow_key(overflowed, false),
                                            overflow_key(squares_overflowed, true)));
            }
        }
    }

    // Whether rows are widened into a scratch row before they are added.
    [[nodiscard]] bool decodes_rows() const noexcept {
        return !fast_path_ && source_.dtype != DataType::F32;
    }

    // Whether sentences are summed in double precision, in a scratch row of doubles.
    [[nodiscard]] bool weighted() const noexcept { return weights_ != nullptr; }

private:
    [[nodiscard]] std::span<const std::uint32_t> sentence_tokens(
        std::size_t sentence) const noexcept {
        return batch_.tokens.subspan(batch_.offsets[sentence],
                                     batch_.offsets[sentence + 1] - batch_.offsets[sentence]);
    }

    [[nodiscard]] const std::byte* row_bytes_of(std::uint32_t token) const noexcept {
        return source_.row_of(token);
    }

    // The row of the batch's token at `position` as floats, after asking for the row `distance_`
    // tokens ahead when it is before `prefetch_end`. F32 rows are read from the table itself
    // (aligned: the table starts on 64 bytes, rows are whole floats); others are widened into
    // `scratch`.
    [[nodiscard]] const float* row_at(std::size_t position, std::size_t prefetch_end,
                                      float* scratch) const noexcept {
        if (position + distance_ < prefetch_end) {
            prefetch_row(row_bytes_of(batch_.tokens[position + distance_]), source_.row_bytes,
                         source_.row_bytes);
        }
        const std::byte* bytes = row_bytes_of(batch_.tokens[position]);
        if (source_.dtype == DataType::F32) return reinterpret_cast<const float*>(bytes);
        decode_row(source_.dtype, bytes, width_, scratch);
        return scratch;
    }

    // The path of every element type: each row widened as decode_row widens the cached rows of
    // embed_tokens, then added with add_row. `prefetch_end` bounds the tokens this thread will
    // read soon: the end of its chunk.
    void add_rows(std::span<const std::uint32_t> tokens, std::size_t prefetch_end,
                  float* accumulator, float* scratch) const noexcept {
        std::fill_n(accumulator, width_, 0.0f);
        const std::size_t begin = static_cast<std::size_t>(tokens.data() - batch_.tokens.data());
        for (std::size_t index = 0; index < tokens.size(); ++index) {
            const float* row = row_at(begin + index, prefetch_end, scratch);
            add_row(add_row_path_, accumulator, row, width_);
        }
    }

    // The path of a table with weights: sums[c] = +0 + double(row(t_0)[c]) * weight(t_0) + ...
    // in token order, each product rounded to double precision before it is added (the core is
    // compiled without contraction).
    void add_weighted_rows(std::span<const std::uint32_t> tokens, std::size_t prefetch_end,
                           double* sums, float* scratch) const noexcept {
        std::fill_n(sums, width_, 0.0);
        const std::size_t begin = static_cast<std::size_t>(tokens.data() - batch_.tokens.data());
        for (std::size_t index = 0; index < tokens.size(); ++index) {
            const float* row = row_at(begin + index, prefetch_end, scratch);
            const double weight = weights_[tokens[index]];
            for (std::size_t column = 0; column < width_; ++column) {
                const double product = static_cast<double>(row[column]) * weight;
                sums[column] = sums[column] + product;
            }
        }
    }

    // out[c] = float(sums[c] / count), a true division in double precision rounded once to
    // single; whether every value is finite.
    [[nodiscard]] static bool mean_to_single(std::span<float> out, const double* sums,
                                             std::size_t count) noexcept {
        const auto divisor = static_cast<double>(count);
        unsigned infinite = 0;
        for (std::size_t column = 0; column < out.size(); ++column) {
            out[column] = static_cast<float>(sums[column] / divisor);
            infinite |= static_cast<unsigned>(
                !(std::abs(out[column]) <= std::numeric_limits<float>::max()));
        }
        return infinite == 0;
    }

    RowSource source_;
    const double* weights_;
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
    const auto used =
        batch.tokens.subspan(batch.offsets.front(), batch.offsets.back() - batch.offsets.front());
    // A plain maximum first: it vectorises, and almost every batch passes it. A batch without
    // tokens passes whatever the table, even one of no rows.
    std::uint32_t largest = 0;
    for (const std::uint32_t token : used) largest = std::max(largest, token);
    const std::uint64_t vocab_size = table.vocab_size();
    if (used.empty() || largest < vocab_size) return std::nullopt;
    const auto bad = std::find_if(used.begin(), used.end(),
                                  [&](std::uint32_t token) { return token >= vocab_size; });
    const auto index = static_cast<std::uint64_t>(bad - batch.tokens.begin());
    // The sentence whose range holds `index`: the last offset not above it.
    const auto sentence = static_cast<std::size_t>(
        std::upper_bound(batch.offsets.begin(), batch.offsets.end(), index) -
        batch.offsets.begin() - 1);
    return TokenOutOfRange{sentence, *bad, vocab_size};
}

// Computes every sentence of `batch` (all tokens inside the table) into `out`; returns the
// overflow_key of the first sentence whose embedding overflows, or that of the sentence count.
std::size_t compute(const EmbeddingTable& table, TokenBatch batch, bool normalize, float* out,
                    unsigned threads) {
    const std::size_t sentences = batch.sentence_count();
    if (batch.offsets.empty() || batch.offsets.front() == batch.offsets.back()) {
        // No tokens at all: zero rows, and no thread or scratch memory, whatever the width.
        std::fill_n(out, sentences * table.dimension(), 0.0f);
        return overflow_key(sentences, false);
    }
    const BatchKernel kernel(table, batch, normalize, out);
    const std::size_t workers =
        std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(kernel.chunk_count(), 1));
    // Allocated here, where a failure can still be reported: a thread cannot throw. Only the
    // paths that decode rows need it.
    const std::size_t scratch_width = kernel.decodes_rows() ? table.dimension() : 0;
    std::vector<float> scratch(workers * scratch_width);
    const std::size_t sums_width = kernel.weighted() ? table.dimension() : 0;
    std::vector<double> sums(workers * sums_width);
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<std::size_t> overflow{overflow_key(sentences, false)};
    // A thread that cannot be started leaves its share to the others: by the time its worker
    // runs on the calling thread, the chunks are taken.
    run_on_threads(workers, [&](std::size_t worker) {
        kernel.run(next_chunk, scratch.data() + worker * scratch_width,
                   sums.data() + worker * sums_width, overflow);
    });
    return overflow.load();
}

}  // namespace

std::expected<void, BatchFailure> embed_batch(const EmbeddingTable& table, TokenBatch batch,
                                              bool normalize, std::span<float> out,
                                              unsigned threads) {
    check_shape(table, batch, out);
    const auto bad = find_token_out_of_range(table, batch);
    // Up to a token outside the table, the sentences before it are computed: one of them may
    // overflow, and the first sentence that cannot be embedded is the one reported.
    const TokenBatch valid{batch.tokens,
                           bad ? batch.offsets.first(bad->sentence + 1) : batch.offsets};
    const std::size_t overflow = compute(table, valid, normalize, out.data(), threads);
    if (overflow < overflow_key(valid.sentence_count(), false)) {
        const bool in_squares = overflow % 2 != 0;
        // Finite rows average to finite values: a weighted mean overflows through the weights.
        const OverflowCause cause = !table.has_weights() ? OverflowCause::rows
                                    : in_squares         ? OverflowCause::weighted_squares
                                                         : OverflowCause::weights;
        return std::unexpected(RowOverflow{overflow / 2, cause});
    }
    if (bad) return std::unexpected(*bad);
    return {};
}

void token_rows(const EmbeddingTable& table, std::span<const std::uint32_t> tokens,
                std::span<float> out, unsigned threads) {
    const std::size_t width = table.dimension();
    if (ExactSize{tokens.size()} * width != out.size()) {
        throw InternalFailure("the output does not hold one row per token");
    }
    for (const std::uint32_t token : tokens) {
        if (token >= table.vocab_size())
            throw InternalFailure("a token lies outside the vocabulary");
    }
    const std::size_t row_bytes = element_width(table.dtype()) * width;
    const std::span<const std::uint32_t> mapping = table.mapping();
    const std::span<const double> weights = table.weights();
    const bool mapped = table.has_mapping();
    const bool weighted = table.has_weights();
    constexpr std::size_t tokens_per_chunk = 256;
    const std::size_t chunks = (tokens.size() + tokens_per_chunk - 1) / tokens_per_chunk;
    std::atomic<std::size_t> next_chunk{0};
    const std::size_t workers =
        std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(chunks, 1));
    run_on_threads(workers, [&](std::size_t) {
        for (;;) {
            const std::size_t chunk = next_chunk.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= chunks) return;
            const std::size_t last = std::min(tokens.size(), (chunk + 1) * tokens_per_chunk);
            for (std::size_t index = chunk * tokens_per_chunk; index < last; ++index) {
                const std::uint32_t token = tokens[index];
                const std::uint32_t row = mapped ? mapping[token] : token;
                float* into = out.data() + index * width;
                decode_row(table.dtype(), table.bytes().data() + row * row_bytes, width, into);
                if (!weighted) continue;
                const double weight = weights[token];
                for (std::size_t column = 0; column < width; ++column) {
                    into[column] = static_cast<float>(static_cast<double>(into[column]) * weight);
                }
            }
        }
    });
}

}  // namespace korvane
