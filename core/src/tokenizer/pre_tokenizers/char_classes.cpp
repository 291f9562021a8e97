#include "tokenizer/pre_tokenizers/char_classes.hpp"

#include <utility>

#include "tokenizer/json_fields.hpp"

namespace korvane::tokenizer {

std::expected<SplitBehavior, std::string> read_behavior(const json::Object& part) {
    const json::Value* value = member(part, "behavior");
    const std::string* name = value != nullptr ? value->if_string() : nullptr;
    if (name == nullptr) return std::unexpected("the pre-tokenizer's behavior is not text");
    if (*name == "Removed") return SplitBehavior::removed;
    if (*name == "Isolated") return SplitBehavior::isolated;
    if (*name == "MergedWithPrevious") return SplitBehavior::merged_with_previous;
    if (*name == "MergedWithNext") return SplitBehavior::merged_with_next;
    if (*name == "Contiguous") return SplitBehavior::contiguous;
    return std::unexpected("the pre-tokenizer's behavior " + *name + " is unknown");
}

std::expected<Punctuation, std::string> Punctuation::from_json(const json::Object& part) {
    Punctuation punctuation;
    auto behavior = read_behavior(part);
    if (!behavior) return std::unexpected(std::move(behavior.error()));
    punctuation.behavior_ = *behavior;
    return punctuation;
}

std::expected<Digits, std::string> Digits::from_json(const json::Object& part) {
    Digits digits;
    auto individual = boolean_member(part, "individual_digits", false, "pre_tokenizer");
    if (!individual) return std::unexpected(std::move(individual.error()));
    digits.individual_ = *individual;
    return digits;
}

std::expected<SplitPattern, std::string> SplitPattern::from_json(const json::Object& part) {
    SplitPattern split;
    const json::Value* pattern = member(part, "pattern");
    const json::Object* pattern_part = pattern != nullptr ? pattern->if_object() : nullptr;
    const json::Value* string = pattern_part != nullptr ? member(*pattern_part, "String") : nullptr;
    const json::Value* regex = pattern_part != nullptr ? member(*pattern_part, "Regex") : nullptr;
    if (regex != nullptr && regex->if_string() != nullptr) {
        // A well-known pattern is matched by hand, any other by the engine.
        split.llama3_ = Llama3Pattern::of(*regex->if_string());
        if (!split.llama3_) {
            auto compiled = Regex::compile(*regex->if_string());
            if (!compiled) return std::unexpected(std::move(compiled.error()));
            split.regex_ = std::move(*compiled);
        }
    } else if (string != nullptr && string->if_string() != nullptr &&
               !string->if_string()->empty()) {
        split.pattern_ = *string->if_string();
    } else {
        return std::unexpected("the Split pattern is not a string or a regular expression");
    }
    auto behavior = read_behavior(part);
    if (!behavior) return std::unexpected(std::move(behavior.error()));
    split.behavior_ = *behavior;
    auto invert = boolean_member(part, "invert", false, "pre_tokenizer");
    if (!invert) return std::unexpected(std::move(invert.error()));
    split.invert_ = *invert;
    return split;
}

}  // namespace korvane::tokenizer
