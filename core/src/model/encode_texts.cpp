#include "korvane/model/encode_texts.hpp"

#include <algorithm>
#include <atomic>
#include <optional>
#include <utility>
#include <variant>

#include "util/exact_size.hpp"
#include "util/threads.hpp"

namespace korvane {

namespace {

// Texts are handed out to the threads in chunks of this many: a thread that meets long texts
// does not hold up the others, and the embedding of a chunk still reads long runs of rows.
constexpr std::size_t chunk_size = 256;

// What a chunk leaves for the end: its deferred texts and its first failure. Aligned to a cache
// line, as neighbouring chunks are written by different threads.
struct alignas(64) ChunkOutcome {
    std::vector<std::size_t> deferred;
    std::optional<BatchFailure> failure;
};

// `failure` of a chunk's sentence, numbered from the call's first text: the chunk's starts at
// `first`.
BatchFailure from_chunk(BatchFailure failure, std::size_t first) {
    std::visit([&](auto& reason) { reason.sentence += first; }, failure);
    return failure;
}

}  // namespace

EncodedTexts encode_texts(const Tokenizer& tokenizer, const EmbeddingTable& table,
                          std::span<const std::string_view> texts, TokenFilter filter,
                          bool normalize, std::span<float> out, unsigned threads,
                          const Cancellation* cancellation) {
    const std::size_t width = table.dimension();
    if (ExactSize{texts.size()} * width != out.size()) {
        throw InternalFailure("the output does not hold one row per text");
    }
    EncodedTexts encoded;
    encoded.token_counts.assign(texts.size(), 0);
    const std::size_t chunks = (texts.size() + chunk_size - 1) / chunk_size;
    std::vector<ChunkOutcome> outcomes(chunks);
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<bool> failed{false};  // a thread's exception (memory) stops the others
    std::atomic<bool> stopped{false};
    const std::size_t workers =
        std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(chunks, 1));
    run_on_threads(workers, [&](std::size_t) {
        // The chunk at hand's tokens, sentence i at tokens[offsets[i], offsets[i + 1]).
        std::vector<std::uint32_t> tokens;
        std::vector<std::uint64_t> offsets;
        for (std::size_t chunk = next_chunk++; chunk < chunks && !failed && !stopped;
             chunk = next_chunk++) {
            const std::size_t first = chunk * chunk_size;
            const std::size_t count = std::min(chunk_size, texts.size() - first);
            ChunkOutcome& outcome = outcomes[chunk];
            try {
                tokens.clear();
                offsets.assign(1, 0);
                for (std::size_t index = first; index < first + count; ++index) {
                    if (cancellation != nullptr && cancellation->requested()) {
                        stopped = true;
                        return;
                    }
                    const std::size_t start = tokens.size();
                    const auto result = tokenizer.tokenize(texts[index], tokens, cancellation);
                    if (result == Tokenizer::Outcome::cancelled) {
                        stopped = true;
                        return;
                    }
                    if (result != Tokenizer::Outcome::tokenized) outcome.deferred.push_back(index);
                    filter.apply(tokens, start);
                    offsets.push_back(tokens.size());
                    encoded.token_counts[index] = tokens.size() - start;
                }
                const auto embedded = embed_batch(table, {tokens, offsets}, normalize,
                                                  out.subspan(first * width, count * width), 1);
                if (!embedded) outcome.failure = from_chunk(embedded.error(), first);
            } catch (...) {
                failed = true;
                throw;
            }
        }
    });
    if (stopped) {
        encoded.cancelled = true;
        return encoded;
    }
    for (ChunkOutcome& outcome : outcomes) {
        encoded.deferred.insert(encoded.deferred.end(), outcome.deferred.begin(),
                                outcome.deferred.end());
        if (outcome.failure && encoded.embedded) {
            encoded.embedded = std::unexpected(std::move(*outcome.failure));
        }
    }
    return encoded;
}

}  // namespace korvane
