#include "tokenizer/normalizers/unicode_form.hpp"

#include "tokenizer/json_fields.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

std::expected<UnicodeForm, std::string> UnicodeForm::from_json(const json::Object& part) {
    UnicodeForm form;
    const json::Value* type_value = member(part, "type");
    const std::string type = type_value != nullptr && type_value->if_string() != nullptr
                                 ? *type_value->if_string()
                                 : std::string("?");
    if (type == "NFKC")
        form.unchanged_ = unicode::nfkc_unchanged;
    else if (type == "NFC")
        form.unchanged_ = unicode::nfc_unchanged;
    else
        return std::unexpected("the normalization form " + type + " is not NFKC or NFC");
    return form;
}

bool UnicodeForm::normalize(std::string_view text, std::string& out, Scratch&) const {
    std::uint32_t last_class = 0;  // the previous character's combining class
    for (std::size_t position = 0; position < text.size();) {
        const auto byte = static_cast<unsigned char>(text[position]);
        if (byte < 0x80) {  // ASCII is in every form
            last_class = 0;
            ++position;
            continue;
        }
        // A code point unassigned in the table's version may be assigned in the other's.
        const std::uint32_t flags = unicode::properties(utf8::decode_at(text, position));
        if ((flags & unchanged_) == 0 || (flags & unicode::unknown) != 0) return false;
        // The table's combining classes are those tokenizers reorders by.
        const std::uint32_t combining_class = unicode::combining_class(flags);
        if (combining_class != 0 && last_class > combining_class) return false;
        last_class = combining_class;
        position += utf8::character_length(byte);
    }
    out.append(text);
    return true;
}

}  // namespace korvane::tokenizer
