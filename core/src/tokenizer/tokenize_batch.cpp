#include <utility>

#include "korvane/tokenizer/tokenizer.hpp"
#include "tokenizer/text_chunks.hpp"

namespace korvane {

namespace tokenizer {

bool tokenize_chunk(const Tokenizer& tokenizer, std::span<const std::string_view> texts,
                    std::size_t first, TokenFilter filter, const Cancellation* cancellation,
                    ChunkTokens& chunk) {
    chunk.offsets.reserve(chunk.offsets.size() + texts.size());
    for (std::size_t index = 0; index < texts.size(); ++index) {
        if (cancellation != nullptr && cancellation->requested()) return false;
        const std::size_t start = chunk.tokens.size();
        const auto outcome = tokenizer.tokenize(texts[index], chunk.tokens, cancellation);
        if (outcome == Tokenizer::Outcome::cancelled) return false;
        if (outcome != Tokenizer::Outcome::tokenized) chunk.deferred.push_back(first + index);
        filter.apply(chunk.tokens, start);
        chunk.offsets.push_back(chunk.tokens.size());
    }
    return true;
}

}  // namespace tokenizer

TokenizedBatch tokenize_batch(const Tokenizer& tokenizer, std::span<const std::string_view> texts,
                              TokenFilter filter, unsigned threads,
                              const Cancellation* cancellation) {
    std::vector<tokenizer::ChunkTokens> results(tokenizer::text_chunk_count(texts.size()));
    const bool finished = tokenizer::tokenize_in_chunks(
        tokenizer, texts, filter, threads, cancellation,
        [&](std::size_t chunk, std::size_t, tokenizer::ChunkTokens& tokens) {
            std::swap(results[chunk], tokens);
        });

    TokenizedBatch batch;
    if (!finished) {
        batch.cancelled = true;
        return batch;
    }
    std::size_t total = 0;
    for (const tokenizer::ChunkTokens& result : results) total += result.tokens.size();
    batch.tokens.reserve(total);
    batch.offsets.reserve(texts.size() + 1);
    batch.offsets.push_back(0);
    for (const tokenizer::ChunkTokens& result : results) {
        const std::uint64_t base = batch.tokens.size();
        batch.tokens.insert(batch.tokens.end(), result.tokens.begin(), result.tokens.end());
        for (std::size_t text = 1; text < result.offsets.size(); ++text)
            batch.offsets.push_back(base + result.offsets[text]);
        batch.deferred.insert(batch.deferred.end(), result.deferred.begin(), result.deferred.end());
    }
    return batch;
}

}  // namespace korvane
