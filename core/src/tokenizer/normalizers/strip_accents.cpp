#include "tokenizer/normalizers/strip_accents.hpp"

#include "tokenizer/unicode_forms.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

bool StripAccents::normalize(std::string_view text, std::string& out, Scratch&) const {
    std::size_t kept = 0;  // the text from `kept` on is not written yet
    for (std::size_t position = 0; position < text.size();) {
        const auto byte = static_cast<unsigned char>(text[position]);
        if (byte < 0x80) {
            ++position;
            continue;
        }
        const std::size_t start = position;
        const char32_t code_point = *utf8::decode_multibyte(text, position);
        if ((unicode::form_properties(code_point) & unicode::mark) != 0) {
            out.append(text, kept, start - kept);
            kept = position;
        }
    }
    out.append(text, kept, text.size() - kept);
    return true;
}

}  // namespace korvane::tokenizer
