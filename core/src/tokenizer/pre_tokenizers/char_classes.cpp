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

}  // namespace korvane::tokenizer
