// The Metaspace pre-tokenizer: each space becomes the replacement character (▁), which also
// starts the text when prepend_scheme asks ("always", or "first" for the text's first segment
// only) and the text does not start with one; with `split`, each replacement starts a word.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

class Metaspace {
public:
    enum class Prepend { always, first, never };

    // Reads the pre-tokenizer's part of tokenizer.json.
    [[nodiscard]] static std::expected<Metaspace, std::string> from_json(const json::Object& part);

    // Calls `word(piece)` for each word of `text` (valid UTF-8), in order; stops early once the
    // text's cancellation is requested.
    template <typename OnWord>
    void split(std::string_view text, Scratch& scratch, OnWord&& word) const {
        if (text.empty()) return;
        std::string& current = scratch.pre_tokenized;
        current.clear();
        const bool starts_replaced = text.front() == ' ' || text.starts_with(replacement_);
        if (!starts_replaced &&
            (prepend_ == Prepend::always || (prepend_ == Prepend::first && scratch.first_segment)))
            current = replacement_;
        std::size_t next_check = cancellation_interval;
        for (std::size_t position = 0; position < text.size();) {
            if (position >= next_check) {
                if (scratch.stop_requested()) return;
                next_check = position + cancellation_interval;
            }
            if (text[position] == ' ' || text.substr(position).starts_with(replacement_)) {
                if (split_ && !current.empty()) word(std::string_view(current));
                if (split_) current.clear();
                current += replacement_;
                position += text[position] == ' ' ? 1 : replacement_.size();
                continue;
            }
            const std::size_t length =
                utf8::character_length(static_cast<unsigned char>(text[position]));
            current.append(text, position, length);
            position += length;
        }
        if (!current.empty()) word(std::string_view(current));
    }

    // Whether the scheme "first" may follow the normalizer `part` (null: none). tokenizers
    // prepends for "first" only when the normalized text starts at the text's first character,
    // which a normalizer that removes characters (Strip, Replace, the BertNormalizer's cleaning)
    // may move; such pairs keep the tokenizers path. Precompiled keeps that start, and so, in
    // effect, does a Replace whose content starts with a space.
    [[nodiscard]] bool may_follow(const json::Value* normalizer_part) const;

    [[nodiscard]] bool prepends_first() const noexcept { return prepend_ == Prepend::first; }

private:
    std::string replacement_ = "\u2581";
    Prepend prepend_ = Prepend::always;
    bool split_ = true;
};

}  // namespace korvane::tokenizer
