// The Precompiled normalizer: SentencePiece's character map, carried in tokenizer.json as base64
// (`precompiled_charsmap`). The map is a little-endian uint32 byte size of a double-array trie,
// the trie's 32-bit units, then NUL-terminated replacement texts; a trie key's value is the
// offset of its replacement.
//
// tokenizers applies it to each grapheme cluster: one shorter than 6 bytes that starts with a
// key becomes the replacement of its shortest such key, the rest of the cluster dropped; other
// clusters go character by character, each one replaced when it is a key. Without the clusters'
// boundaries at hand, this normalizer goes character by character, handles a carriage return
// and a line feed (always a cluster of their own) exactly, and defers a text where a key starts
// at a character that may share its cluster with the next one.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

class Precompiled {
public:
    [[nodiscard]] static std::expected<Precompiled, std::string> from_json(
        const json::Object& part);
    // The map from its bytes (the decoded `precompiled_charsmap`).
    [[nodiscard]] static std::expected<Precompiled, std::string> from_bytes(std::string_view bytes);

    // Appends `text` (valid UTF-8) with the replacements to `out`; false if the text is deferred.
    bool normalize(std::string_view text, std::string& out, Scratch& scratch) const;

    // The replacement of the shortest key that starts `text`, and that key's length in bytes.
    struct Match {
        std::size_t length;
        std::string_view replacement;
    };
    [[nodiscard]] std::optional<Match> shortest_prefix(std::string_view text) const noexcept;

private:
    std::vector<std::uint32_t> units_;  // the double-array trie; empty: no key at all
    std::string replacements_;          // NUL-terminated texts
};

// The bytes that the base64 text `text` encodes (the standard alphabet, padding optional), or
// nothing when it is not base64.
[[nodiscard]] std::optional<std::string> decode_base64(std::string_view text);

}  // namespace korvane::tokenizer
