#include "tokenizer/normalizers/unicode_form.hpp"

#include <algorithm>
#include <span>

#include "tokenizer/json_fields.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "tokenizer/unicode_forms.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

namespace {

// Hangul syllables, composed and decomposed by arithmetic.
constexpr char32_t syllable_base = 0xAC00;
constexpr char32_t leading_base = 0x1100;
constexpr char32_t vowel_base = 0x1161;
constexpr char32_t trailing_base = 0x11A7;  // one before the first trailing consonant
constexpr char32_t leading_count = 19;
constexpr char32_t vowel_count = 21;
constexpr char32_t trailing_count = 28;
constexpr char32_t syllable_count = leading_count * vowel_count * trailing_count;

std::uint32_t class_of(char32_t code_point) {
    return unicode::combining_class(unicode::properties(code_point));
}

// The primary composite of `first` and `second`; 0 if none.
char32_t compose_pair(char32_t first, char32_t second) {
    if (first >= leading_base && first < leading_base + leading_count && second >= vowel_base &&
        second < vowel_base + vowel_count)
        return syllable_base +
               ((first - leading_base) * vowel_count + (second - vowel_base)) * trailing_count;
    if (first >= syllable_base && first < syllable_base + syllable_count &&
        (first - syllable_base) % trailing_count == 0 && second > trailing_base &&
        second < trailing_base + trailing_count)
        return first + (second - trailing_base);
    if ((unicode::form_properties(second) & unicode::composes_with_previous) == 0) return 0;
    return unicode::compose(first, second);
}

// Sorts the marks from `start` to the end of `code_points` by combining class, stably.
void reorder_marks(std::u32string& code_points, std::size_t start) {
    if (code_points.size() - start < 2) return;
    const std::span marks(code_points.data() + start, code_points.size() - start);
    std::ranges::stable_sort(marks, {}, class_of);
}

}  // namespace

std::expected<UnicodeForm, std::string> UnicodeForm::from_json(const json::Object& part) {
    UnicodeForm form;
    const json::Value* type_value = member(part, "type");
    const std::string type = type_value != nullptr && type_value->if_string() != nullptr
                                 ? *type_value->if_string()
                                 : std::string("?");
    if (type != "NFD" && type != "NFKD" && type != "NFC" && type != "NFKC")
        return std::unexpected("the normalization form " + type + " is not NFD, NFKD, NFC or NFKC");
    form.compatibility_ = type.starts_with("NFK");
    form.composed_ = type.ends_with('C');
    form.unchanged_ = form.compatibility_ ? unicode::nfkc_unchanged : unicode::nfc_unchanged;
    return form;
}

bool UnicodeForm::already_in_form(std::string_view text) const {
    std::uint32_t last_class = 0;  // the previous character's combining class
    for (std::size_t position = 0; position < text.size();) {
        const auto byte = static_cast<unsigned char>(text[position]);
        if (byte < 0x80) {  // ASCII is in every form
            last_class = 0;
            ++position;
            continue;
        }
        // ICU's quick check, of a later version: a code point it leaves alone is left alone by
        // Unicode 9.0's data too.
        const std::uint32_t flags = unicode::properties(utf8::decode_at(text, position));
        if ((flags & unchanged_) == 0 || (flags & unicode::unknown) != 0) return false;
        const std::uint32_t combining_class = unicode::combining_class(flags);
        if (combining_class != 0 && last_class > combining_class) return false;
        last_class = combining_class;
        position += utf8::character_length(byte);
    }
    return true;
}

bool UnicodeForm::decompose(std::string_view text, Scratch& scratch) const {
    std::u32string& code_points = scratch.code_points;
    code_points.clear();
    std::size_t marks_start = 0;  // where the current run of marks starts
    bool marks_ordered = true;
    std::uint32_t last_class = 0;
    const auto push = [&](char32_t code_point, std::uint32_t combining_class) {
        if (combining_class == 0) {
            if (!marks_ordered) reorder_marks(code_points, marks_start);
            marks_ordered = true;
            marks_start = code_points.size() + 1;
        } else if (combining_class < last_class) {
            marks_ordered = false;
        }
        last_class = combining_class;
        code_points.push_back(code_point);
    };
    std::size_t next_check = cancellation_interval;
    for (std::size_t position = 0; position < text.size();) {
        if (position >= next_check) {
            if (scratch.stop_requested()) return false;
            next_check = position + cancellation_interval;
        }
        const auto byte = static_cast<unsigned char>(text[position]);
        if (byte < 0x80) {
            push(byte, 0);
            ++position;
            continue;
        }
        const char32_t code_point = *utf8::decode_multibyte(text, position);
        const std::uint32_t flags = unicode::properties(code_point);
        if ((flags & unicode::unknown) != 0) return false;
        const auto decomposition = compatibility_ ? unicode::compatibility_decomposition(
                                                        flags, unicode::form_properties(code_point))
                                                  : unicode::mapping(flags, 0);
        if (decomposition.empty()) {
            push(code_point, unicode::combining_class(flags));
            continue;
        }
        for (const char32_t part : decomposition) push(part, class_of(part));
    }
    if (!marks_ordered) reorder_marks(code_points, marks_start);
    return true;
}

void compose(std::u32string& code_points) {
    if (code_points.empty()) return;
    std::size_t starter_position = 0;
    char32_t starter = code_points[0];
    // A text starting with a mark has no starter to compose with until its first one.
    std::uint32_t last_class = class_of(starter) == 0 ? 0 : 256;
    std::size_t write = 1;
    for (std::size_t read = 1; read < code_points.size(); ++read) {
        const char32_t code_point = code_points[read];
        const std::uint32_t combining_class = class_of(code_point);
        // Not blocked: right after the starter, or only marks of lower classes between.
        if (last_class < combining_class || last_class == 0) {
            if (const char32_t composite = compose_pair(starter, code_point); composite != 0) {
                code_points[starter_position] = starter = composite;
                continue;
            }
        }
        if (combining_class == 0) {
            starter_position = write;
            starter = code_point;
        }
        last_class = combining_class;
        code_points[write++] = code_point;
    }
    code_points.resize(write);
}

bool UnicodeForm::normalize(std::string_view text, std::string& out, Scratch& scratch) const {
    if (composed_ && already_in_form(text)) {
        out.append(text);
        return true;
    }
    if (!decompose(text, scratch)) return false;
    if (composed_) compose(scratch.code_points);
    for (const char32_t code_point : scratch.code_points) utf8::append(out, code_point);
    return true;
}

}  // namespace korvane::tokenizer
