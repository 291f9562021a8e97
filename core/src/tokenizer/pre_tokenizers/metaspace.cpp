#include "tokenizer/pre_tokenizers/metaspace.hpp"

#include <utility>

#include "tokenizer/json_fields.hpp"

namespace korvane::tokenizer {

std::expected<Metaspace, std::string> Metaspace::from_json(const json::Object& part) {
    Metaspace metaspace;
    const json::Value* replacement = member(part, "replacement");
    if (replacement == nullptr || replacement->if_string() == nullptr ||
        replacement->if_string()->empty() ||
        utf8::character_length(static_cast<unsigned char>(replacement->if_string()->front())) !=
            replacement->if_string()->size())
        return std::unexpected("the Metaspace replacement is not one character");
    metaspace.replacement_ = *replacement->if_string();
    const json::Value* prepend = member(part, "prepend_scheme");
    const std::string* scheme = prepend != nullptr ? prepend->if_string() : nullptr;
    if (scheme != nullptr && *scheme == "always")
        metaspace.prepend_ = Prepend::always;
    else if (scheme != nullptr && *scheme == "first")
        metaspace.prepend_ = Prepend::first;
    else if (scheme != nullptr && *scheme == "never")
        metaspace.prepend_ = Prepend::never;
    else
        return std::unexpected("the Metaspace prepend_scheme is not always, first or never");
    auto split = boolean_member(part, "split", true, "pre_tokenizer");
    if (!split) return std::unexpected(std::move(split.error()));
    metaspace.split_ = *split;
    return metaspace;
}

namespace {

bool keeps_first_character(const json::Value* part) {
    if (part == nullptr || part->is_null()) return true;
    const json::Object* object = part->if_object();
    if (object == nullptr) return false;
    const std::string type = part_type(*part);
    if (type == "Sequence") {
        const json::Value* list = member(*object, "normalizers");
        if (list == nullptr || list->if_array() == nullptr) return false;
        // A Precompiled map may remove the space that such a Replace put first.
        bool spaced_first = false;
        for (const json::Value& item : *list->if_array()) {
            if (!keeps_first_character(&item)) return false;
            const std::string item_type = part_type(item);
            if (item_type == "Precompiled" && spaced_first) return false;
            spaced_first = spaced_first || item_type == "Replace" || item_type == "Sequence";
        }
        return true;
    }
    if (type == "BertNormalizer") {
        const auto clean = boolean_member(*object, "clean_text", true, "normalizer");
        return clean && !*clean;
    }
    // A Replace whose content starts with a space makes a text that it changes at its start
    // start with the replacement, never prepended.
    if (type == "Replace") {
        const json::Value* content = member(*object, "content");
        return content != nullptr && content->if_string() != nullptr &&
               content->if_string()->starts_with(' ');
    }
    // Precompiled keeps the start where a character it removes was.
    return type == "Lowercase" || type == "NFKC" || type == "NFC" || type == "NFD" ||
           type == "NFKD" || type == "Precompiled";
}

}  // namespace

bool Metaspace::may_follow(const json::Value* normalizer_part) const {
    return prepend_ != Prepend::first || keeps_first_character(normalizer_part);
}

}  // namespace korvane::tokenizer
