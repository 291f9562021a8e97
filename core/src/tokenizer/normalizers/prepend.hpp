// The Prepend normalizer: a text that is not empty starts with `prepend`.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

class Prepend {
public:
    [[nodiscard]] static std::expected<Prepend, std::string> from_json(const json::Object& part);

    // Appends `text` (valid UTF-8), prepended, to `out`; never fails.
    bool normalize(std::string_view text, std::string& out, Scratch&) const {
        if (!text.empty()) out += prepend_;
        out.append(text);
        return true;
    }

private:
    std::string prepend_;
};

}  // namespace korvane::tokenizer
