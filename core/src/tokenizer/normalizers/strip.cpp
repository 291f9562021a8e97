#include "tokenizer/normalizers/strip.hpp"

#include <utility>

#include "tokenizer/json_fields.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

std::expected<Strip, std::string> Strip::from_json(const json::Object& part) {
    Strip strip;
    auto left = boolean_member(part, "strip_left", true, "normalizer");
    if (!left) return std::unexpected(std::move(left.error()));
    auto right = boolean_member(part, "strip_right", true, "normalizer");
    if (!right) return std::unexpected(std::move(right.error()));
    strip.left_ = *left;
    strip.right_ = *right;
    return strip;
}

bool Strip::normalize(std::string_view text, std::string& out, Scratch&) const {
    const auto is_space = [](char32_t code_point) {
        return (unicode::properties(code_point) & unicode::whitespace) != 0;
    };
    std::size_t start = 0;
    std::size_t end = text.size();
    if (left_)
        while (start < end && is_space(utf8::decode_at(text, start)))
            start += utf8::character_length(static_cast<unsigned char>(text[start]));
    if (right_) {
        while (end > start) {
            std::size_t last = end - 1;
            while (utf8::is_continuation(text[last])) --last;
            if (!is_space(utf8::decode_at(text, last))) break;
            end = last;
        }
    }
    out.append(text, start, end - start);
    return true;
}

}  // namespace korvane::tokenizer
