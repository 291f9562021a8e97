// Reading the parts of tokenizer.json: members looked up by key, flags, a part's "type".
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "json/json.hpp"

namespace korvane::tokenizer {

// The value of `key` in `object` (the first, if listed twice), or null.
inline const json::Value* member(const json::Object& object, std::string_view key) {
    for (const auto& entry : object)
        if (entry.key == key) return &entry.value;
    return nullptr;
}

// The boolean `key` of `object`, `fallback` if absent; an error names it as `where`.`key`.
inline std::expected<bool, std::string> boolean_member(const json::Object& object,
                                                       std::string_view key, bool fallback,
                                                       std::string_view where) {
    const json::Value* value = member(object, key);
    if (value == nullptr) return fallback;
    if (const auto* flag = std::get_if<bool>(&value->content)) return *flag;
    return std::unexpected(std::string(where) + "." + std::string(key) + " is not a boolean");
}

// The "type" of a part, or "?" when it has none.
inline std::string part_type(const json::Value& part) {
    if (const auto* object = part.if_object())
        if (const json::Value* type = member(*object, "type"); type && type->if_string())
            return *type->if_string();
    return "?";
}

}  // namespace korvane::tokenizer
