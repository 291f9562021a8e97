#include "korvane/model/encode_texts.hpp"

#include <optional>
#include <utility>
#include <variant>

#include "tokenizer/text_chunks.hpp"
#include "util/exact_size.hpp"

namespace korvane {

namespace {

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
    std::vector<ChunkOutcome> outcomes(tokenizer::text_chunk_count(texts.size()));
    // Each chunk is embedded by the thread that tokenized it, while its tokens are in cache.
    const bool finished = tokenizer::tokenize_in_chunks(
        tokenizer, texts, filter, threads, cancellation,
        [&](std::size_t chunk, std::size_t first, tokenizer::ChunkTokens& tokens) {
            const std::size_t count = tokens.offsets.size() - 1;
            for (std::size_t text = 0; text < count; ++text)
                encoded.token_counts[first + text] =
                    tokens.offsets[text + 1] - tokens.offsets[text];
            ChunkOutcome& outcome = outcomes[chunk];
            outcome.deferred = tokens.deferred;
            const auto embedded = embed_batch(table, {tokens.tokens, tokens.offsets}, normalize,
                                              out.subspan(first * width, count * width), 1);
            if (!embedded) outcome.failure = from_chunk(embedded.error(), first);
        });
    if (!finished) {
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
