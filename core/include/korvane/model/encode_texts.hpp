// Texts to embeddings in one pass: each thread tokenizes a chunk of texts and embeds it at once,
// so that the tokens of a call are never gathered whole, and a call of any size takes memory
// beyond its output only in proportion to its threads (and a count per text).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

#include "korvane/format/embedding_table.hpp"
#include "korvane/tokenizer/tokenizer.hpp"
#include "korvane/util/cancellation.hpp"

namespace korvane {

// What encode_texts did with each text.
struct EncodedTexts {
    std::vector<std::uint64_t> token_counts;  // the tokens embedded of each text (0: deferred)
    std::vector<std::size_t> deferred;        // texts left for the caller to tokenize, in order
    // The first text, in order, that cannot be embedded, as embed_batch names it.
    std::expected<void, BatchFailure> embedded;
    bool cancelled = false;  // stopped on request: the rest is incomplete
};

// Tokenizes each text, keeps what `filter` keeps of its tokens and writes its embedding into
// row i of `out` (N x D floats), on up to `threads` threads (the caller's among them), which are
// started once for the whole call. Row i holds, bit for bit, what embed_batch writes for the
// same tokens; a deferred text, or one not valid UTF-8, gets no tokens and a row of zeros. When
// `cancellation` is requested, the threads stop after their current text and the result comes
// back `cancelled`. Throws InternalFailure when `out` does not hold N x D floats.
[[nodiscard]] EncodedTexts encode_texts(const Tokenizer& tokenizer, const EmbeddingTable& table,
                                        std::span<const std::string_view> texts, TokenFilter filter,
                                        bool normalize, std::span<float> out, unsigned threads,
                                        const Cancellation* cancellation = nullptr);

}  // namespace korvane
