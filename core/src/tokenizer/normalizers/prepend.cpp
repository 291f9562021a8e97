#include "tokenizer/normalizers/prepend.hpp"

#include "tokenizer/json_fields.hpp"

namespace korvane::tokenizer {

std::expected<Prepend, std::string> Prepend::from_json(const json::Object& part) {
    Prepend prepend;
    const json::Value* value = member(part, "prepend");
    if (value == nullptr || value->if_string() == nullptr)
        return std::unexpected("the Prepend normalizer's prepend is not text");
    prepend.prepend_ = *value->if_string();
    return prepend;
}

}  // namespace korvane::tokenizer
