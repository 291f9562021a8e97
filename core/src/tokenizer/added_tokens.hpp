// The added tokens of tokenizer.json: texts matched before the rest of the pipeline runs, on the
// raw text (`"normalized": false`) or on its normalized form. Matched in one pass, leftmost first
// and longest at that position, as the `tokenizers` package matches them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"

namespace korvane::tokenizer {

struct AddedToken {
    std::string content;  // as matched: normalized for a normalized token
    std::uint32_t id = 0;
    bool single_word = false;
    bool lstrip = false;
    bool rstrip = false;
};

class AddedTokens {
public:
    // False when a token of the same content is there already (two normalized to one text).
    [[nodiscard]] bool add(AddedToken token);
    [[nodiscard]] bool empty() const noexcept { return tokens_.empty(); }

    struct Match {
        std::size_t start;  // of the span the token takes, stripped whitespace included
        std::size_t end;
        std::uint32_t id;
    };

    // All usable matches in `text`, in order, and true; or false when the text is left to the
    // `tokenizers` package. Matches are found first, without overlap and whether usable or not;
    // a token then takes the whitespace before it (lstrip) and after it (rstrip). Where that
    // whitespace reaches another match or another token's whitespace, tokenizers gives both
    // tokens the shared characters (and sometimes fails), so such texts are handed back.
    // `found_tokens` is the caller's scratch.
    [[nodiscard]] bool find_all(std::string_view text, std::vector<Match>& matches,
                                std::vector<const AddedToken*>& found_tokens) const;

private:
    static constexpr std::uint32_t unusable = UINT32_MAX;  // a single-word token inside a word

    // The position of the next byte at or after `position` that starts a token, or the text's
    // size.
    [[nodiscard]] std::size_t next_start(std::string_view text,
                                         std::size_t position) const noexcept;

    std::array<bool, 256> first_bytes_{};
    int first_byte_ = -1;     // the one byte all tokens start with, if they share one (BERT's '[')
    bool any_strip_ = false;  // a token takes whitespace around it
    std::vector<AddedToken> tokens_;
};

// An entry of "added_tokens", with its `normalized` flag.
struct ListedToken {
    AddedToken token;
    bool normalized = false;
};

// Reads the "added_tokens" list. A token gets the vocabulary's ID (`vocabulary_id`) when the
// vocabulary holds it, else the next free ID from `next_id` on, in order; a token listed again
// keeps its ID and takes the flags of its last listing.
[[nodiscard]] std::expected<std::vector<ListedToken>, std::string> read_added_tokens(
    const json::Array& list,
    const std::function<std::optional<std::uint32_t>(std::string_view)>& vocabulary_id,
    std::uint32_t& next_id);

}  // namespace korvane::tokenizer
