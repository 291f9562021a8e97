#include "tokenizer/normalizers/replace.hpp"

#include <utility>

#include "tokenizer/json_fields.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

std::expected<Replace, std::string> Replace::from_json(const json::Object& part) {
    Replace replace;
    const json::Value* pattern = member(part, "pattern");
    const json::Object* pattern_part = pattern != nullptr ? pattern->if_object() : nullptr;
    const json::Value* string = pattern_part != nullptr ? member(*pattern_part, "String") : nullptr;
    const json::Value* regex = pattern_part != nullptr ? member(*pattern_part, "Regex") : nullptr;
    if (regex != nullptr && regex->if_string() != nullptr) {
        auto compiled = Regex::compile(*regex->if_string());
        if (!compiled) return std::unexpected(std::move(compiled.error()));
        replace.regex_ = std::move(*compiled);
    } else if (string == nullptr || string->if_string() == nullptr) {
        return std::unexpected("the Replace pattern is not a string or a regular expression");
    }
    const json::Value* content = member(part, "content");
    if (content == nullptr || content->if_string() == nullptr)
        return std::unexpected("the Replace content is not text");
    if (!replace.regex_) replace.pattern_ = *string->if_string();
    replace.content_ = *content->if_string();
    return replace;
}

bool Replace::normalize(std::string_view text, std::string& out, Scratch&) const {
    if (regex_) {
        if (regex_->may_differ_on(text)) return false;
        std::size_t done = 0;
        const bool matched = regex_->for_each_match(text, [&](std::size_t start, std::size_t end) {
            out.append(text, done, start - done);
            out += content_;
            done = end;
        });
        out.append(text, done);
        return matched;
    }
    if (pattern_.empty()) {
        if (text.empty()) return true;
        for (std::size_t position = 0; position < text.size();) {
            const std::size_t length =
                utf8::character_length(static_cast<unsigned char>(text[position]));
            out += content_;
            out.append(text, position, length);
            position += length;
        }
        out += content_;
        return true;
    }
    std::size_t done = 0;
    for (std::size_t found = text.find(pattern_); found != std::string_view::npos;
         found = text.find(pattern_, done)) {
        out.append(text, done, found - done);
        out += content_;
        done = found + pattern_.size();
    }
    out.append(text, done);
    return true;
}

}  // namespace korvane::tokenizer
