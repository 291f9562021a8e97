#include "tokenizer/regex.hpp"

#include <oniguruma.h>

#include <algorithm>
#include <memory>
#include <string>

#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

namespace {

bool initialize() {
    OnigEncoding encodings[] = {ONIG_ENCODING_UTF8};
    return onig_initialize(encodings, 1) == ONIG_NORMAL;
}

struct RegionDeleter {
    void operator()(OnigRegion* region) const noexcept { onig_region_free(region, 1); }
};

// Each thread's match region.
OnigRegion* thread_region() {
    thread_local std::unique_ptr<OnigRegion, RegionDeleter> region(onig_region_new());
    return region.get();
}

// False only for a pattern whose matches cannot depend on characters' Unicode properties: no
// class escape (\w, \d, \s, \p{..}, \X, \b, ...), no POSIX bracket ([:alpha:]), no group
// of options ((?i) folds case). Literal characters, escaped punctuation, \t \n \r \f \v \a \e,
// \x, \u and octal codes, the anchors \A \z \Z \G, `.`, sets and repeats of these compare code
// points only. Anything else counts as asking, which only defers more texts.
bool uses_character_properties(std::string_view pattern) {
    constexpr std::string_view code_point_escapes = "tnrfvaexuAzZG01234567";
    for (std::size_t index = 0; index + 1 < pattern.size(); ++index) {
        const char next = pattern[index + 1];
        switch (pattern[index]) {
            case '[':
                if (next == ':') return true;
                break;
            case '(':
                if (next == '?' && index + 2 < pattern.size() &&
                    std::string_view(":=!<>").find(pattern[index + 2]) == std::string_view::npos)
                    return true;
                break;
            case '\\':
                ++index;
                if (((next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') ||
                     (next >= '0' && next <= '9')) &&
                    code_point_escapes.find(next) == std::string_view::npos)
                    return true;
                break;
            default:
                break;
        }
    }
    return false;
}

}  // namespace

struct Regex::Compiled {
    OnigRegex regex = nullptr;
    ~Compiled() {
        if (regex != nullptr) onig_free(regex);
    }
};

std::expected<Regex, std::string> Regex::compile(std::string_view pattern) {
    static const bool initialized = initialize();
    if (!initialized) return std::unexpected("Oniguruma cannot be initialized");
    auto compiled = std::make_shared<Compiled>();
    OnigErrorInfo error_info;
    const auto* begin = reinterpret_cast<const OnigUChar*>(pattern.data());
    const int result = onig_new(&compiled->regex, begin, begin + pattern.size(), ONIG_OPTION_NONE,
                                ONIG_ENCODING_UTF8, ONIG_SYNTAX_DEFAULT, &error_info);
    if (result != ONIG_NORMAL) {
        OnigUChar message[ONIG_MAX_ERROR_MESSAGE_LEN];
        onig_error_code_to_str(message, result, &error_info);
        return std::unexpected("the regular expression " + std::string(pattern) +
                               " does not compile: " + reinterpret_cast<const char*>(message));
    }
    Regex regex;
    regex.compiled_ = std::move(compiled);
    regex.uses_character_properties_ = uses_character_properties(pattern);
    std::size_t start = 0;
    std::size_t end = 0;
    if (regex.search("", 0, start, end) != no_match)
        return std::unexpected("the regular expression " + std::string(pattern) +
                               " matches the empty text");
    return regex;
}

bool Regex::holds_character_engines_differ_on(std::string_view text) noexcept {
    // UTF-8 keeps the order of code points: a character below the first range starts with a
    // byte below that range's lead byte. Continuation bytes lie below every multibyte lead byte,
    // and ASCII (Unicode 1.1) is never in a range. The sentinel range past U+10FFFF has none.
    static const unsigned char lowest_lead = [] {
        std::string encoded;
        utf8::append(encoded, std::min(unicode::regex_differing_ranges[0][0], char32_t{0x10FFFF}));
        return std::max(static_cast<unsigned char>(encoded[0]), static_cast<unsigned char>(0xC0));
    }();
    for (std::size_t position = 0; position < text.size(); ++position) {
        if (static_cast<unsigned char>(text[position]) < lowest_lead) continue;
        if (unicode::regex_engines_differ(utf8::decode_at(text, position))) return true;
    }
    return false;
}

bool Regex::holds_character_unknown_to_the_table(std::string_view text) noexcept {
    for (std::size_t position = 0; position < text.size(); ++position) {
        // ASCII and continuation bytes start no character the table lacks.
        if (static_cast<unsigned char>(text[position]) < 0xC0) continue;
        if ((unicode::properties(utf8::decode_at(text, position)) & unicode::unknown) != 0)
            return true;
    }
    return false;
}

int Regex::search(std::string_view text, std::size_t from, std::size_t& start,
                  std::size_t& end) const {
    const auto* begin = reinterpret_cast<const OnigUChar*>(text.data());
    const auto* stop = begin + text.size();
    OnigRegion* region = thread_region();
    const int found =
        onig_search(compiled_->regex, begin, stop, begin + from, stop, region, ONIG_OPTION_NONE);
    if (found < 0) return found;
    start = static_cast<std::size_t>(region->beg[0]);
    end = static_cast<std::size_t>(region->end[0]);
    return 0;
}

}  // namespace korvane::tokenizer
