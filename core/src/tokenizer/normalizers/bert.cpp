#include "tokenizer/normalizers/bert.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "tokenizer/json_fields.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/ascii.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

namespace {

// The ideographs the normalizer surrounds with spaces: the BERT tokenizer's block list, as the
// `tokenizers` package implements it (its third supplementary range starts at U+2B920).
bool is_chinese(char32_t code_point) {
    return (code_point >= 0x4E00 && code_point <= 0x9FFF) ||
           (code_point >= 0x3400 && code_point <= 0x4DBF) ||
           (code_point >= 0xF900 && code_point <= 0xFAFF) ||
           (code_point >= 0x20000 && code_point <= 0x2A6DF) ||
           (code_point >= 0x2A700 && code_point <= 0x2B81F) ||
           (code_point >= 0x2B920 && code_point <= 0x2CEAF) ||
           (code_point >= 0x2F800 && code_point <= 0x2FA1F);
}

}  // namespace

BertNormalizer::BertNormalizer(Options options) : options_(options) {
    for (int byte = 0; byte < 128; ++byte) {
        std::int16_t out = static_cast<std::int16_t>(byte);
        if (options_.clean_text) {
            const std::uint32_t flags = unicode::properties(static_cast<char32_t>(byte));
            if (flags & unicode::control)
                out = -1;
            else if (flags & unicode::whitespace)
                out = ' ';
        }
        if (options_.lowercase && byte >= 'A' && byte <= 'Z')
            out = static_cast<std::int16_t>(byte - 'A' + 'a');
        ascii_normalized_[static_cast<std::size_t>(byte)] = out;
    }
}

std::expected<BertNormalizer, std::string> BertNormalizer::from_json(const json::Object& part) {
    Options options;
    for (auto [key, target] : {std::pair{"clean_text", &options.clean_text},
                               std::pair{"handle_chinese_chars", &options.handle_chinese_chars},
                               std::pair{"lowercase", &options.lowercase}}) {
        auto flag = boolean_member(part, key, true, "normalizer");
        if (!flag) return std::unexpected(flag.error());
        *target = *flag;
    }
    // Accents are stripped as the text is lowercased unless the file says otherwise.
    const json::Value* strip = member(part, "strip_accents");
    if (strip == nullptr || strip->is_null()) {
        options.strip_accents = options.lowercase;
    } else if (const auto* flag = std::get_if<bool>(&strip->content)) {
        options.strip_accents = *flag;
    } else {
        return std::unexpected("normalizer.strip_accents is not a boolean");
    }
    return BertNormalizer(options);
}

void BertNormalizer::emit_character(char32_t code_point, std::string& out) const {
    if (options_.lowercase) {
        const auto lower = unicode::mapping(unicode::properties(code_point), 1);
        if (!lower.empty()) {
            for (const char32_t mapped : lower) utf8::append(out, mapped);
            return;
        }
    }
    utf8::append(out, code_point);
}

// Writes the pending combining marks in canonical order (stable by combining class).
void BertNormalizer::flush_marks(Scratch& scratch, std::string& out) const {
    auto& marks = scratch.marks;
    if (marks.empty()) return;
    std::ranges::stable_sort(marks, {}, [](const auto& mark) { return mark.first; });
    for (const auto& [combining_class, code_point] : marks) emit_character(code_point, out);
    marks.clear();
}

bool BertNormalizer::normalize(std::string_view text, std::string& out, Scratch& scratch) const {
    auto& marks = scratch.marks;
    marks.clear();  // a text given up on midway leaves its marks
    const auto flush = [&] {
        if (!marks.empty()) flush_marks(scratch, out);
    };
    std::size_t position = 0;
    std::size_t next_check = cancellation_interval;
    while (position < text.size()) {
        if (position >= next_check) {
            if (scratch.stop_requested()) return false;
            next_check = position + cancellation_interval;
        }
        const auto byte = static_cast<unsigned char>(text[position]);
        if (byte < 0x80 && marks.empty()) {
            // A run of ASCII into place: printable characters a block at a time (each is
            // itself, or lowercased), the others through the table.
            const std::size_t end =
                position + ascii::run_length(text.data() + position, text.size() - position);
            const std::size_t start = out.size();
            out.resize(start + (end - position));
            char* write = out.data() + start;
            while (position < end) {
                const std::size_t copied = ascii::copy_printable(
                    text.data() + position, end - position, write, options_.lowercase);
                position += copied;
                write += copied;
                if (position == end) break;
                const std::int16_t mapped =
                    ascii_normalized_[static_cast<unsigned char>(text[position++])];
                *write = static_cast<char>(mapped);
                write += mapped >= 0;
            }
            out.resize(static_cast<std::size_t>(write - out.data()));
            continue;
        }
        if (byte < 0x80) {
            ++position;
            const std::int16_t mapped = ascii_normalized_[byte];
            if (mapped < 0) continue;
            flush();
            out.push_back(static_cast<char>(mapped));
            continue;
        }
        const char32_t code_point = *utf8::decode_multibyte(text, position);
        const std::uint32_t flags = unicode::properties(code_point);
        if (flags & unicode::unknown) return false;
        if (options_.clean_text) {
            if (flags & unicode::control) continue;
            if (flags & unicode::whitespace) {
                flush();
                out.push_back(' ');
                continue;
            }
        }
        const bool chinese = options_.handle_chinese_chars && is_chinese(code_point);
        if (chinese) {
            flush();
            out.push_back(' ');
        }
        if (options_.strip_accents) {
            const auto decomposition = unicode::mapping(flags, 0);
            const std::span<const char32_t> parts =
                decomposition.empty() ? std::span<const char32_t>(&code_point, 1) : decomposition;
            for (const char32_t part : parts) {
                const std::uint32_t part_flags = unicode::properties(part);
                const std::uint32_t combining_class = unicode::combining_class(part_flags);
                // A character of class 0 ends the run of marks being reordered, even one that
                // is then removed as an accent (U+034F).
                if (combining_class == 0) flush();
                if (part_flags & unicode::nonspacing_mark) continue;
                if (combining_class == 0)
                    emit_character(part, out);
                else
                    marks.emplace_back(combining_class, part);
            }
        } else {
            emit_character(code_point, out);
        }
        if (chinese) {
            flush();
            out.push_back(' ');
        }
    }
    flush();
    return true;
}

}  // namespace korvane::tokenizer
