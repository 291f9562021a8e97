// The WordPiece tokenizer on arbitrary bytes, with the tokenizer of fuzz/wordpiece/tokenizer.json.
//
// An input is a text, optionally followed by a 0xFF byte (never part of UTF-8), the IDs that the
// tokenizers package gives for that text (decimal, separated by spaces), another 0xFF and the
// FNV-1a hash of everything before it (16 hex digits). The saved corpus records IDs so
// (make_wordpiece_corpus.py), so its replay is a differential test; a mutated input fails the
// hash and is taken as text alone. Any input must tokenize without a crash to IDs below the
// tokenizer's ID count, and the same text twice in a row must give its IDs twice.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "korvane/tokenizer/tokenizer.hpp"

namespace {

const korvane::Tokenizer& tokenizer() {
    static const auto loaded = korvane::Tokenizer::from_file(KORVANE_FUZZ_WORDPIECE_JSON);
    korvane::fuzz::require(loaded.has_value(), "the fuzz tokenizer.json is supported");
    return *loaded;
}

std::uint64_t fnv1a(std::string_view bytes) {
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (const char byte : bytes)
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001B3ull;
    return hash;
}

// The recorded IDs at the end of `input`, when its hash holds; `text` becomes what precedes them.
std::optional<std::string_view> recorded_ids(std::string_view input, std::string_view& text) {
    text = input;
    const std::size_t hash_start = input.rfind('\xFF');
    if (hash_start == std::string_view::npos || hash_start == 0) return std::nullopt;
    const std::size_t ids_start = input.rfind('\xFF', hash_start - 1);
    if (ids_start == std::string_view::npos) return std::nullopt;
    const std::string_view digits = input.substr(hash_start + 1);
    std::uint64_t hash = 0;
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), hash, 16);
    if (digits.size() != 16 || parsed.ptr != digits.data() + digits.size() ||
        hash != fnv1a(input.substr(0, hash_start)))
        return std::nullopt;
    text = input.substr(0, ids_start);
    return input.substr(ids_start + 1, hash_start - ids_start - 1);
}

std::vector<std::uint32_t> parse_ids(std::string_view text) {
    std::vector<std::uint32_t> ids;
    const char* position = text.data();
    const char* end = text.data() + text.size();
    while (position < end) {
        if (*position == ' ') {
            ++position;
            continue;
        }
        std::uint32_t id = 0;
        const auto parsed = std::from_chars(position, end, id);
        korvane::fuzz::require(parsed.ec == std::errc{}, "recorded IDs are decimal numbers");
        ids.push_back(id);
        position = parsed.ptr;
    }
    return ids;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using korvane::fuzz::require;
    using Outcome = korvane::Tokenizer::Outcome;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view text;
    const std::optional<std::string_view> recorded = recorded_ids(input, text);
    std::vector<std::uint32_t> ids{7};
    const Outcome outcome = tokenizer().tokenize(text, ids);
    if (outcome != Outcome::tokenized) {
        require(ids == std::vector<std::uint32_t>{7}, "a failed text adds no IDs");
        return 0;
    }
    require(std::ranges::all_of(ids, [](std::uint32_t id) { return id < tokenizer().id_count(); }),
            "IDs are below the ID count");
    const std::vector<std::uint32_t> first(ids.begin() + 1, ids.end());
    ids.resize(1);
    require(tokenizer().tokenize(text, ids) == Outcome::tokenized, "the same outcome again");
    require(std::ranges::equal(first, std::span(ids).subspan(1)), "the same IDs again");
    if (recorded) require(first == parse_ids(*recorded), "the recorded IDs");
    return 0;
}
