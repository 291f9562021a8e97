// The Strip normalizer: removes white space (Unicode's White_Space) from the text's left end,
// its right end, or both.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "json/json.hpp"
#include "tokenizer/scratch.hpp"

namespace korvane::tokenizer {

class Strip {
public:
    [[nodiscard]] static std::expected<Strip, std::string> from_json(const json::Object& part);

    // Appends `text` (valid UTF-8) stripped to `out`; never fails.
    bool normalize(std::string_view text, std::string& out, Scratch& scratch) const;

private:
    bool left_ = true;
    bool right_ = true;
};

}  // namespace korvane::tokenizer
