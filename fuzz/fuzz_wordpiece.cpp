// The WordPiece tokenizer on arbitrary bytes, with the tokenizer of fuzz/wordpiece/tokenizer.json.
//
// An input is a text, optionally followed by a 0xFF byte (never part of UTF-8) and the IDs that
// the tokenizers package gives for that text, in decimal, separated by spaces: the saved corpus
// records them (make_wordpiece_corpus.py), so its replay is a differential test. Any input must
// tokenize without a crash to IDs below the tokenizer's ID count, and the same text twice in a
// row must give its IDs twice.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "korvane/wordpiece.hpp"

namespace {

const korvane::WordPieceTokenizer& tokenizer() {
    static const auto loaded = korvane::WordPieceTokenizer::from_file(KORVANE_FUZZ_WORDPIECE_JSON);
    korvane::fuzz::require(loaded.has_value(), "the fuzz tokenizer.json is supported");
    return *loaded;
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
    using Outcome = korvane::WordPieceTokenizer::Outcome;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t separator = input.rfind('\xFF');
    const std::string_view text = separator == std::string_view::npos ? input
                                                                      : input.substr(0, separator);
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
    if (separator != std::string_view::npos && text.find('\xFF') == std::string_view::npos) {
        require(first == parse_ids(input.substr(separator + 1)), "the recorded IDs");
    }
    return 0;
}
