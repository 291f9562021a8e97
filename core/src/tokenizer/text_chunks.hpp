// Many texts tokenized on several threads, a chunk of texts at a time: the loop that
// tokenize_batch and encode_texts share, each doing its own with a chunk's tokens.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "korvane/tokenizer/tokenizer.hpp"
#include "korvane/util/cancellation.hpp"
#include "util/threads.hpp"

namespace korvane::tokenizer {

// Texts are handed out to the threads in chunks of this many, so that a thread that meets long
// texts does not hold up the others.
inline constexpr std::size_t text_chunk_size = 256;

[[nodiscard]] constexpr std::size_t text_chunk_count(std::size_t texts) noexcept {
    return (texts + text_chunk_size - 1) / text_chunk_size;
}

// The tokens of a chunk's texts: text i at tokens[offsets[i], offsets[i + 1]), the texts it
// deferred numbered among all texts. Aligned to a cache line: kept side by side, neighbouring
// chunks are written by different threads.
struct alignas(64) ChunkTokens {
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> offsets{0};
    std::vector<std::size_t> deferred;

    void clear() {
        tokens.clear();
        offsets.assign(1, 0);
        deferred.clear();
    }
};

// Appends the tokens of `texts`, the first of which is text number `first`, to `chunk`, keeping
// what `filter` keeps of each; a deferred text, or one not valid UTF-8, gets none. False when
// stopped by `cancellation`.
bool tokenize_chunk(const Tokenizer& tokenizer, std::span<const std::string_view> texts,
                    std::size_t first, TokenFilter filter, const Cancellation* cancellation,
                    ChunkTokens& chunk);

// Tokenizes `texts` chunk by chunk on up to `threads` threads (the caller's among them), each
// thread taking the next chunk not yet taken into a ChunkTokens of its own, then calling
// `done(chunk_number, first_text, tokens)`, which may take the tokens' storage. False when
// stopped by `cancellation` (the threads stop after their current text). The first exception
// stops the others and is rethrown.
template <typename Done>
bool tokenize_in_chunks(const Tokenizer& tokenizer, std::span<const std::string_view> texts,
                        TokenFilter filter, unsigned threads, const Cancellation* cancellation,
                        Done&& done) {
    const std::size_t chunks = text_chunk_count(texts.size());
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> stopped{false};
    const std::size_t workers =
        std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(chunks, 1));
    run_on_threads(workers, [&](std::size_t) {
        ChunkTokens own;
        for (std::size_t chunk = next_chunk++; chunk < chunks && !failed && !stopped;
             chunk = next_chunk++) {
            const std::size_t first = chunk * text_chunk_size;
            try {
                own.clear();
                const auto part =
                    texts.subspan(first, std::min(text_chunk_size, texts.size() - first));
                if (!tokenize_chunk(tokenizer, part, first, filter, cancellation, own)) {
                    stopped = true;
                    return;
                }
                done(chunk, first, own);
            } catch (...) {
                failed = true;
                throw;
            }
        }
    });
    return !stopped;
}

}  // namespace korvane::tokenizer
