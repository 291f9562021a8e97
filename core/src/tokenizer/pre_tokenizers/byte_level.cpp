#include "tokenizer/pre_tokenizers/byte_level.hpp"

#include "tokenizer/json_fields.hpp"

namespace korvane::tokenizer {

std::expected<ByteLevelPreTokenizer, std::string> ByteLevelPreTokenizer::from_json(
    const json::Object& part) {
    ByteLevelPreTokenizer pre_tokenizer;
    // trim_offsets changes offsets only.
    for (auto [key, target] : {std::pair{"add_prefix_space", &pre_tokenizer.add_prefix_space_},
                               std::pair{"use_regex", &pre_tokenizer.use_regex_}}) {
        auto flag = boolean_member(part, key, true, "pre_tokenizer");
        if (!flag) return std::unexpected(flag.error());
        *target = *flag;
    }
    return pre_tokenizer;
}

}  // namespace korvane::tokenizer
