#include "tokenizer/added_tokens.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "tokenizer/json_fields.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

namespace {

bool is_word_character(char32_t code_point) {
    return (unicode::properties(code_point) & unicode::word) != 0;
}

bool is_whitespace(char32_t code_point) {
    return (unicode::properties(code_point) & unicode::whitespace) != 0;
}

}  // namespace

bool AddedTokens::add(AddedToken token) {
    if (token.content.empty()) return true;
    if (std::ranges::any_of(tokens_,
                            [&](const AddedToken& t) { return t.content == token.content; }))
        return false;
    const auto first = static_cast<unsigned char>(token.content[0]);
    first_byte_ = tokens_.empty() || first_byte_ == first ? first : -1;
    first_bytes_[first] = true;
    any_strip_ = any_strip_ || token.lstrip || token.rstrip;
    tokens_.push_back(std::move(token));
    std::ranges::stable_sort(tokens_, std::ranges::greater{},
                             [](const AddedToken& t) { return t.content.size(); });
    return true;
}

std::size_t AddedTokens::next_start(std::string_view text, std::size_t position) const noexcept {
    if (first_byte_ >= 0) {
        // memchr scans many bytes at a time: most texts hold no token at all.
        const void* found =
            std::memchr(text.data() + position, first_byte_, text.size() - position);
        return found ? static_cast<std::size_t>(static_cast<const char*>(found) - text.data())
                     : text.size();
    }
    while (position < text.size() && !first_bytes_[static_cast<unsigned char>(text[position])])
        ++position;
    return position;
}

bool AddedTokens::find_all(std::string_view text, std::vector<Match>& matches,
                           std::vector<const AddedToken*>& found_tokens) const {
    matches.clear();
    std::size_t position = 0;
    found_tokens.clear();
    bool strips = false;
    while ((position = next_start(text, position)) < text.size()) {
        const AddedToken* found = nullptr;
        for (const AddedToken& token : tokens_) {
            if (text.substr(position).starts_with(token.content)) {
                found = &token;
                break;
            }
        }
        if (found == nullptr) {
            ++position;
            continue;
        }
        const std::size_t end = position + found->content.size();
        if (!found->single_word ||
            !((position > 0 && is_word_character(utf8::decode_before(text, position))) ||
              (end < text.size() && is_word_character(utf8::decode_at(text, end))))) {
            matches.push_back(Match{position, end, found->id});
            found_tokens.push_back(found);
            strips = strips || found->lstrip || found->rstrip;
        } else if (any_strip_) {
            // An unusable match still ends a neighbour's whitespace in tokenizers.
            matches.push_back(Match{position, end, unusable});
            found_tokens.push_back(found);
        }
        position = end;
    }
    if (!strips) {
        std::erase_if(matches, [](const Match& match) { return match.id == unusable; });
        return true;
    }
    std::size_t floor = 0;  // where the previous match's span ends
    for (std::size_t index = 0; index < matches.size(); ++index) {
        Match& match = matches[index];
        if (match.id != unusable && found_tokens[index]->lstrip) {
            while (match.start > 0 && is_whitespace(utf8::decode_before(text, match.start))) {
                do --match.start;
                while (utf8::is_continuation(text[match.start]));
            }
        }
        if (match.start < floor) return false;
        if (match.id != unusable && found_tokens[index]->rstrip) {
            while (match.end < text.size() && is_whitespace(utf8::decode_at(text, match.end)))
                match.end += utf8::character_length(static_cast<unsigned char>(text[match.end]));
        }
        floor = match.end;
    }
    std::erase_if(matches, [](const Match& match) { return match.id == unusable; });
    return true;
}

std::expected<std::vector<ListedToken>, std::string> read_added_tokens(
    const json::Array& list,
    const std::function<std::optional<std::uint32_t>(std::string_view)>& vocabulary_id,
    std::uint32_t& next_id) {
    std::vector<ListedToken> tokens;
    std::map<std::string, std::size_t, std::less<>> positions;
    for (const json::Value& entry : list) {
        const json::Object* object = entry.if_object();
        const json::Value* content = object ? member(*object, "content") : nullptr;
        if (content == nullptr || content->if_string() == nullptr)
            return std::unexpected("an added token has no content");
        AddedToken token;
        token.content = *content->if_string();
        bool normalized = false;
        for (auto [key, target] :
             {std::pair{"single_word", &token.single_word}, std::pair{"lstrip", &token.lstrip},
              std::pair{"rstrip", &token.rstrip}, std::pair{"normalized", &normalized}}) {
            auto flag = boolean_member(*object, key, false, "an added token");
            if (!flag) return std::unexpected(flag.error());
            *target = *flag;
        }
        if (auto special = boolean_member(*object, "special", false, "an added token"); !special)
            return std::unexpected(special.error());
        if (token.content.empty()) return std::unexpected("an added token is empty");
        if (const auto known = positions.find(token.content); known != positions.end()) {
            token.id = tokens[known->second].token.id;
            tokens[known->second] = {std::move(token), normalized};
            continue;
        }
        if (const auto id = vocabulary_id(token.content)) {
            token.id = *id;
        } else {
            token.id = next_id++;
        }
        positions.emplace(token.content, tokens.size());
        tokens.push_back({std::move(token), normalized});
    }
    return tokens;
}

}  // namespace korvane::tokenizer
