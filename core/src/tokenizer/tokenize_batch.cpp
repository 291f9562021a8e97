#include <algorithm>
#include <atomic>

#include "korvane/tokenizer/tokenizer.hpp"
#include "util/threads.hpp"

namespace korvane {

namespace {

// Texts are handed out to the threads in chunks of this many, so that a thread that meets long
// texts does not hold up the others.
constexpr std::size_t chunk_size = 256;

// Aligned to a cache line: the threads write to neighbouring chunks' vectors as they append.
struct alignas(64) ChunkResult {
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> lengths;
    std::vector<std::size_t> deferred;
};

// False when stopped by `cancellation`.
bool tokenize_chunk(const Tokenizer& tokenizer, std::span<const std::string_view> texts,
                    std::size_t first, TokenFilter filter, const Cancellation* cancellation,
                    ChunkResult& result) {
    result.lengths.reserve(texts.size());
    for (std::size_t index = 0; index < texts.size(); ++index) {
        if (cancellation != nullptr && cancellation->requested()) return false;
        const std::size_t start = result.tokens.size();
        const auto outcome = tokenizer.tokenize(texts[index], result.tokens, cancellation);
        if (outcome == Tokenizer::Outcome::cancelled) return false;
        if (outcome != Tokenizer::Outcome::tokenized) result.deferred.push_back(first + index);
        filter.apply(result.tokens, start);
        result.lengths.push_back(result.tokens.size() - start);
    }
    return true;
}

}  // namespace

TokenizedBatch tokenize_batch(const Tokenizer& tokenizer, std::span<const std::string_view> texts,
                              TokenFilter filter, unsigned threads,
                              const Cancellation* cancellation) {
    const std::size_t chunks = (texts.size() + chunk_size - 1) / chunk_size;
    std::vector<ChunkResult> results(chunks);
    std::atomic<std::size_t> next_chunk{0};
    // The first failure (memory) stops the others; run_on_threads rethrows it.
    std::atomic<bool> failed{false};
    std::atomic<bool> stopped{false};
    const std::size_t workers =
        std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(chunks, 1));
    run_on_threads(workers, [&](std::size_t) {
        for (std::size_t chunk = next_chunk++; chunk < chunks && !failed && !stopped;
             chunk = next_chunk++) {
            const std::size_t first = chunk * chunk_size;
            try {
                if (!tokenize_chunk(
                        tokenizer, texts.subspan(first, std::min(chunk_size, texts.size() - first)),
                        first, filter, cancellation, results[chunk]))
                    stopped = true;
            } catch (...) {
                failed = true;
                throw;
            }
        }
    });

    TokenizedBatch batch;
    if (stopped) {
        batch.cancelled = true;
        return batch;
    }
    std::size_t total = 0;
    for (const ChunkResult& result : results) total += result.tokens.size();
    batch.tokens.reserve(total);
    batch.offsets.reserve(texts.size() + 1);
    batch.offsets.push_back(0);
    for (const ChunkResult& result : results) {
        batch.tokens.insert(batch.tokens.end(), result.tokens.begin(), result.tokens.end());
        for (const std::uint64_t length : result.lengths)
            batch.offsets.push_back(batch.offsets.back() + length);
        batch.deferred.insert(batch.deferred.end(), result.deferred.begin(), result.deferred.end());
    }
    return batch;
}

}  // namespace korvane
