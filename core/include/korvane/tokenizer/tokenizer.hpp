// A tokenizer read from a `tokenizer.json` file, giving the IDs that the `tokenizers` package's
// `encode(text, add_special_tokens=False).ids` gives for the same file, without its truncation
// and padding. It runs the file's stages as a pipeline (core/src/tokenizer/pipeline.hpp).
//
// Rules of use:
//  1. Only a file made entirely of parts this tokenizer implements is accepted: today a WordPiece
//     model, a BertNormalizer (or none), a BertPreTokenizer and added tokens. Anything else
//     yields the reason as an error, and the caller keeps using the `tokenizers` package.
//     Truncation, padding, the post-processor and the decoder do not change the IDs asked for
//     here and are ignored.
//  2. `tokenize` is const and may run on many threads at once.
//  3. A text holding a character that is unassigned in the Unicode version of the character
//     table (unicode_version()) is `deferred`: `tokenizers` may know its lowercase form. So is
//     a text where an added token's lstrip/rstrip whitespace meets another added token's match
//     or whitespace (`tokenizers` then gives the shared characters to both, or fails). The
//     caller tokenizes such texts with `tokenizers`.
//  4. An added token whose normalized form is empty makes `from_json` fail: `tokenizers` splits
//     every word around it.
//  5. A word costs time in proportion to its length times at most the longest vocabulary token,
//     whatever max_input_chars_per_word allows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "korvane/util/cancellation.hpp"

namespace korvane {

class Tokenizer {
public:
    enum class Outcome : std::uint8_t { tokenized, deferred, invalid_utf8, cancelled };

    // Parses the text of a tokenizer.json file. The error says which part is not supported.
    [[nodiscard]] static std::expected<Tokenizer, std::string> from_json(
        std::string_view json_text);
    // Reads and parses the file at `path`.
    [[nodiscard]] static std::expected<Tokenizer, std::string> from_file(
        const std::filesystem::path& path);

    Tokenizer(Tokenizer&&) noexcept;
    Tokenizer& operator=(Tokenizer&&) noexcept;
    ~Tokenizer();

    // Appends the IDs of the UTF-8 `text` to `ids`. On any outcome but `tokenized`, `ids` is left
    // as it was. A long text gives up midway, `cancelled`, once `cancellation` is requested.
    [[nodiscard]] Outcome tokenize(std::string_view text, std::vector<std::uint32_t>& ids,
                                   const Cancellation* cancellation = nullptr) const;

    // Number of IDs: the vocabulary and the added tokens outside it.
    [[nodiscard]] std::size_t id_count() const noexcept;

    struct State;

private:
    explicit Tokenizer(std::unique_ptr<State> state) noexcept;
    std::unique_ptr<State> state_;
};

// The tokens of many texts, sentence i at tokens[offsets[i], offsets[i + 1]).
struct TokenizedBatch {
    std::vector<std::uint32_t> tokens;
    std::vector<std::uint64_t> offsets;  // N + 1 boundaries, the first 0
    std::vector<std::size_t> deferred;   // texts left empty here, for the caller to tokenize
    bool cancelled = false;              // stopped on request: the rest is incomplete
};

// What is kept of each text's tokens: at most `max_length` leading tokens (none: all), and of
// those all but `skipped_token`.
struct TokenFilter {
    std::optional<std::size_t> max_length;
    std::optional<std::uint32_t> skipped_token;

    // Applies the filter to the last text's tokens, those of `tokens` from `start` on.
    void apply(std::vector<std::uint32_t>& tokens, std::size_t start) const {
        if (max_length && tokens.size() - start > *max_length) tokens.resize(start + *max_length);
        if (skipped_token) {
            const auto kept = std::remove(tokens.begin() + static_cast<std::ptrdiff_t>(start),
                                          tokens.end(), *skipped_token);
            tokens.erase(kept, tokens.end());
        }
    }
};

// Tokenizes `texts` on up to `threads` threads (the caller's among them). Texts that are
// deferred or not valid UTF-8 get no tokens and are listed in `deferred`, in order. When
// `cancellation` is requested, the threads stop after their current text and the batch comes
// back `cancelled`.
[[nodiscard]] TokenizedBatch tokenize_batch(const Tokenizer& tokenizer,
                                            std::span<const std::string_view> texts,
                                            TokenFilter filter, unsigned threads,
                                            const Cancellation* cancellation = nullptr);

// The library and Unicode version the character table was generated from, e.g.
// "ICU 72.1 (Unicode 15.0)".
[[nodiscard]] std::string_view unicode_version() noexcept;

}  // namespace korvane
