// Writes the character table of the WordPiece tokenizer as C++ source, from ICU's data.
//
// The tokenizer must classify characters exactly as the `tokenizers` package does, and that
// package answers different questions from different Unicode versions, found by probing it code
// point by code point: general categories (punctuation, control and format characters, nonspacing
// marks) come from Unicode 8.0 tables; canonical combining classes and canonical decompositions
// from Unicode 9.0 ones (the 63 marks of 9.0 with a nonzero class are reordered by it, those of
// 10.0 and later are not; no decomposition was added between 8.0 and 12.1); lowercase mappings
// and White_Space from a current one. ICU carries one version (ICU 72: Unicode 15.0) plus each
// code point's age, and combining classes and decompositions never change once assigned, so an
// older version's answer is ICU's answer for code points assigned by then and "unassigned" for
// the rest, except for the few code points whose category changed after 8.0 (below).
// Code points unassigned in ICU's own version are marked: the tokenizer cannot know their
// lowercase mapping and hands texts holding them back to its caller.
// The normalization forms (NFD, NFKD, NFC, NFKC) and StripAccents follow Unicode 9.0 too: no
// decomposition of 10.0 to 12.0 is applied, the composition of 13.0 (U+11938) is not made, marks
// of 10.0 and later are neither reordered nor stripped; StripAccents removes the marks (Mn, Mc,
// Me) of 9.0's general categories.
// Regular expressions are matched by Oniguruma, and Debian 12's (6.9.8) has Unicode 14.0's
// properties where tokenizers' has 16.0's (found by matching \p{Cn}, and each of the 805
// property, script, block and category names the older one knows, against every code point in
// each). A text holding a code point they answer differently is deferred under a regular
// expression: those ICU assigns and 14.0 does not (those of 15.1 and 16.0 are unknown to the
// table itself), and the 98 of 14.0 whose properties changed by 16.0 (listed below).
//
// Usage: unicode_tables OUTPUT.cpp
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tokenizer/unicode_flags.hpp"
#include "tokenizer/unicode_forms.hpp"

namespace {

using namespace korvane::unicode;

using Version = std::array<std::uint8_t, 2>;
constexpr Version category_version{8, 0};
constexpr Version normalization_version{9, 0};
// The Unicode version of the linked Oniguruma's tables; a test checks it against the library.
constexpr Version regex_engine_version{14, 0};

// General categories in Unicode 8.0 of code points that had another one in Unicode 15.0.
// Found by comparing every code point against `tokenizers`; the comparison is a test.
const std::map<UChar32, std::int8_t> categories_before_change{
    {0x166D, U_OTHER_PUNCTUATION},       // CANADIAN SYLLABICS CHI SIGN, So since 12.0
    {0x111C9, U_OTHER_PUNCTUATION},      // SHARADA SANDHI MARK, Mn since 11.0
    {0x1885, U_OTHER_LETTER},            // MONGOLIAN LETTER ALI GALI BALUDA, Mn since 9.0
    {0x1886, U_OTHER_LETTER},            // MONGOLIAN LETTER ALI GALI THREE BALUDA, Mn since 9.0
    {0xA9BD, U_COMBINING_SPACING_MARK},  // JAVANESE CONSONANT SIGN KERET, Mn since 12.0
    {0x1734, U_NON_SPACING_MARK},        // HANUNOO SIGN PAMUDPOD, Mc since 14.0
};

// General categories in Unicode 9.0 of code points that had another one in Unicode 15.0 and were
// a mark in one of them.
const std::map<UChar32, std::int8_t> mark_categories_before_change{
    {0x1CF2, U_COMBINING_SPACING_MARK},  // VEDIC SIGN ARDHAVISARGA, Lo since 10.0
    {0x1CF3, U_COMBINING_SPACING_MARK},  // VEDIC SIGN ROTATED ARDHAVISARGA, Lo since 10.0
    {0x111C9, U_OTHER_PUNCTUATION},      // SHARADA SANDHI MARK, Mn since 11.0
};

// Code points assigned by Unicode 14.0 that the two Oniguruma versions match differently, by
// Alphabetic, Cased and Lowercase, the Changes_When_* properties, Case_Ignorable, Diacritic,
// Extender, Grapheme_Base and Grapheme_Extend, ID_Continue, Sentence_Terminal and
// Terminal_Punctuation, or Mn and Mc (U+1171E).
const std::vector<std::array<UChar32, 2>> regex_properties_changed{
    {0x019B, 0x019B},   {0x0264, 0x0264},   {0x0363, 0x036F},   {0x0836, 0x0836},
    {0x0A71, 0x0A71},   {0x0AFB, 0x0AFB},   {0x0C04, 0x0C04},   {0x0CC0, 0x0CC0},
    {0x0CC7, 0x0CC8},   {0x0CCA, 0x0CCB},   {0x0E3A, 0x0E3A},   {0x0F82, 0x0F83},
    {0x10FC, 0x10FC},   {0x1715, 0x1715},   {0x1734, 0x1734},   {0x17D4, 0x17D5},
    {0x1A60, 0x1A60},   {0x1B3B, 0x1B3B},   {0x1B3D, 0x1B3D},   {0x1B43, 0x1B44},
    {0x1BAA, 0x1BAA},   {0x1BE6, 0x1BE6},   {0x1BF2, 0x1BF3},   {0x1DD3, 0x1DE6},
    {0x200C, 0x200D},   {0x2024, 0x2024},   {0x2CF9, 0x2CFB},   {0x30FB, 0x30FB},
    {0xA7F2, 0xA7F4},   {0xA806, 0xA806},   {0xA82C, 0xA82C},   {0xA953, 0xA953},
    {0xA9C0, 0xA9C0},   {0xAB69, 0xAB69},   {0xFE12, 0xFE12},   {0xFE15, 0xFE16},
    {0xFF65, 0xFF65},   {0x10A38, 0x10A3A}, {0x10A3F, 0x10A3F}, {0x11080, 0x11081},
    {0x111C0, 0x111C0}, {0x11235, 0x11235}, {0x11237, 0x11237}, {0x1133B, 0x1133B},
    {0x1134D, 0x1134D}, {0x116B6, 0x116B6}, {0x1171E, 0x1171E}, {0x1193D, 0x1193D},
    {0x16FF0, 0x16FF1}, {0x1D166, 0x1D166}, {0x1D16D, 0x1D16D},
};

bool assigned_in(UChar32 code_point, Version version) {
    UVersionInfo age;
    u_charAge(code_point, age);
    return u_charType(code_point) != U_UNASSIGNED &&
           (age[0] < version[0] || (age[0] == version[0] && age[1] <= version[1]));
}

std::int8_t old_category(UChar32 code_point) {
    if (const auto changed = categories_before_change.find(code_point);
        changed != categories_before_change.end())
        return changed->second;
    return assigned_in(code_point, category_version) ? u_charType(code_point)
                                                     : static_cast<std::int8_t>(U_UNASSIGNED);
}

bool is_punctuation_category(std::int8_t category) {
    switch (category) {
        case U_DASH_PUNCTUATION:
        case U_START_PUNCTUATION:
        case U_END_PUNCTUATION:
        case U_CONNECTOR_PUNCTUATION:
        case U_OTHER_PUNCTUATION:
        case U_INITIAL_PUNCTUATION:
        case U_FINAL_PUNCTUATION:
            return true;
        default:
            return false;
    }
}

std::u32string to_utf32(const UChar* units, int length) {
    std::u32string out;
    for (int index = 0; index < length;) {
        UChar32 code_point;
        U16_NEXT(units, index, length, code_point);
        out.push_back(static_cast<char32_t>(code_point));
    }
    return out;
}

void check(UErrorCode status, const char* what) {
    if (U_FAILURE(status)) {
        std::fprintf(stderr, "unicode_tables: %s: %s\n", what, u_errorName(status));
        std::exit(1);
    }
}

bool is_old_mark(UChar32 code_point) {
    std::int8_t category = u_charType(code_point);
    if (const auto changed = mark_categories_before_change.find(code_point);
        changed != mark_categories_before_change.end())
        category = changed->second;
    else if (!assigned_in(code_point, normalization_version))
        return false;
    return category == U_NON_SPACING_MARK || category == U_COMBINING_SPACING_MARK ||
           category == U_ENCLOSING_MARK;
}

// The full decomposition of `code_point` by `form` (NFD or NFKD); empty if none.
std::u32string decomposition(const UNormalizer2* form, UChar32 code_point) {
    if (!assigned_in(code_point, normalization_version)) return {};
    std::array<UChar, 64> units{};
    UErrorCode status = U_ZERO_ERROR;
    const int length =
        unorm2_getDecomposition(form, code_point, units.data(), units.size(), &status);
    if (length < 0) return {};  // none
    check(status, "decomposition");
    return to_utf32(units.data(), length);
}

// The full lowercase mapping of the character alone: no context, so no final sigma.
std::u32string lowercase(UChar32 code_point) {
    std::array<UChar, 2> in{};
    int in_length = 0;
    U16_APPEND_UNSAFE(in.data(), in_length, code_point);
    std::array<UChar, 16> out{};
    UErrorCode status = U_ZERO_ERROR;
    const int length = u_strToLower(out.data(), out.size(), in.data(), in_length, "", &status);
    check(status, "lowercase");
    std::u32string mapped = to_utf32(out.data(), length);
    return mapped == std::u32string(1, static_cast<char32_t>(code_point)) ? std::u32string{}
                                                                          : mapped;
}

// A table of one 32-bit entry per code point in two stages: blocks of `block_size` entries, the
// same block stored once.
struct TwoStageTable {
    std::vector<std::uint16_t> stage1;
    std::vector<std::array<std::uint32_t, block_size>> blocks;

    template <typename EntryOf>
    explicit TwoStageTable(EntryOf entry_of) {
        std::map<std::array<std::uint32_t, block_size>, std::uint16_t> block_indices;
        for (UChar32 block_start = 0; block_start < 0x110000; block_start += block_size) {
            std::array<std::uint32_t, block_size> block{};
            for (std::size_t offset = 0; offset < block_size; ++offset)
                block[offset] = entry_of(block_start + static_cast<UChar32>(offset));
            const auto [found, inserted] =
                block_indices.try_emplace(block, static_cast<std::uint16_t>(blocks.size()));
            if (inserted) blocks.push_back(block);
            stage1.push_back(found->second);
        }
    }

    void write(std::ostream& out, const char* stage1_name, const char* stage2_name) const {
        out << "const std::uint16_t " << stage1_name << "[" << stage1.size() << "] = {";
        for (std::size_t index = 0; index < stage1.size(); ++index)
            out << (index % 16 == 0 ? "\n" : "") << stage1[index] << ',';
        out << "};\n\nconst std::uint32_t " << stage2_name << "[" << blocks.size() << "]["
            << block_size << "] = {";
        for (const auto& block : blocks) {
            out << "\n{";
            for (std::size_t index = 0; index < block_size; ++index)
                out << (index % 16 == 0 ? "\n" : "") << block[index] << "u,";
            out << "},";
        }
        out << "};\n\n";
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: unicode_tables OUTPUT.cpp\n");
        return 2;
    }
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
    check(status, "NFD instance");
    const UNormalizer2* nfkd = unorm2_getNFKDInstance(&status);
    check(status, "NFKD instance");
    const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
    check(status, "NFC instance");

    // Sequences: each is its length followed by its code points; offset 0 means none.
    std::vector<char32_t> sequences{0};
    std::map<std::u32string, std::uint32_t> sequence_offsets;
    const auto store = [&](const std::u32string& sequence) -> std::uint32_t {
        if (sequence.empty()) return 0;
        const auto [found, inserted] = sequence_offsets.try_emplace(sequence, sequences.size());
        if (inserted) {
            sequences.push_back(static_cast<char32_t>(sequence.size()));
            sequences.insert(sequences.end(), sequence.begin(), sequence.end());
        }
        return found->second;
    };
    std::vector<std::array<std::uint32_t, 2>> mappings{{0, 0}};

    const TwoStageTable table([&](UChar32 code_point) {
        const std::int8_t category = old_category(code_point);
        std::uint32_t flags = 0;
        if (u_isUWhiteSpace(code_point)) flags |= whitespace;
        const bool control_category = category == U_CONTROL_CHAR || category == U_FORMAT_CHAR ||
                                      category == U_PRIVATE_USE_CHAR;
        if (code_point == 0 || code_point == 0xFFFD ||
            (control_category && code_point != '\t' && code_point != '\n' && code_point != '\r'))
            flags |= control;
        // Every printable ASCII character that is neither a letter nor a digit, '$' and '+'
        // too.
        const bool ascii_punctuation =
            code_point > 0x20 && code_point < 0x7F && u_isalnum(code_point) == 0;
        if (ascii_punctuation || is_punctuation_category(category)) flags |= punctuation;
        if (category == U_NON_SPACING_MARK) flags |= nonspacing_mark;
        if (u_charType(code_point) == U_UNASSIGNED) flags |= unknown;
        const auto mask = U_GET_GC_MASK(code_point);
        if (u_hasBinaryProperty(code_point, UCHAR_ALPHABETIC) ||
            (mask & (U_GC_M_MASK | U_GC_ND_MASK | U_GC_PC_MASK)) != 0 ||
            u_hasBinaryProperty(code_point, UCHAR_JOIN_CONTROL))
            flags |= word;
        // The normalization forms' quick checks follow ICU's own version: a code point that
        // the other side does not have yet is left as it is there too.
        if (u_getIntPropertyValue(code_point, UCHAR_NFKC_QUICK_CHECK) == UNORM_YES)
            flags |= nfkc_unchanged;
        if (u_getIntPropertyValue(code_point, UCHAR_NFC_QUICK_CHECK) == UNORM_YES)
            flags |= nfc_unchanged;
        if ((mask & U_GC_L_MASK) != 0) flags |= letter;
        if ((mask & U_GC_N_MASK) != 0) flags |= number;
        const std::uint32_t combining_class =
            assigned_in(code_point, normalization_version) ? u_getCombiningClass(code_point) : 0;
        const std::uint32_t decomposition_offset = store(decomposition(nfd, code_point));
        const std::uint32_t lowercase_offset = store(lowercase(code_point));
        std::uint32_t mapping = 0;
        if (decomposition_offset != 0 || lowercase_offset != 0) {
            mapping = static_cast<std::uint32_t>(mappings.size());
            mappings.push_back({decomposition_offset, lowercase_offset});
        }
        return flags | (combining_class << 10) | (mapping << 18);
    });

    // The normalization forms' table and the composition pairs.
    std::map<std::uint64_t, char32_t> pairs;
    for (UChar32 code_point = 0; code_point < 0x110000; ++code_point) {
        if (!assigned_in(code_point, normalization_version) ||
            (code_point >= 0xAC00 && code_point <= 0xD7A3))
            continue;
        std::array<UChar, 8> units{};
        UErrorCode raw_status = U_ZERO_ERROR;
        const int length =
            unorm2_getRawDecomposition(nfc, code_point, units.data(), units.size(), &raw_status);
        if (length < 0) continue;
        check(raw_status, "raw decomposition");
        const std::u32string raw = to_utf32(units.data(), length);
        if (raw.size() != 2 || unorm2_composePair(nfc, static_cast<UChar32>(raw[0]),
                                                  static_cast<UChar32>(raw[1])) != code_point)
            continue;
        pairs[(std::uint64_t{raw[0]} << 21) | raw[1]] = static_cast<char32_t>(code_point);
    }
    std::vector<bool> second_of_pair(0x110000);
    for (const auto& [key, composite] : pairs) second_of_pair[key & 0x1FFFFF] = true;
    const TwoStageTable form_table([&](UChar32 code_point) {
        std::uint32_t flags = 0;
        if (is_old_mark(code_point)) flags |= mark;
        if (second_of_pair[static_cast<std::size_t>(code_point)]) flags |= composes_with_previous;
        // Only where it differs from the canonical decomposition.
        const std::u32string compatibility = decomposition(nfkd, code_point);
        if (compatibility == decomposition(nfd, code_point)) return flags;
        return flags | (store(compatibility) << 8);
    });
    // Code points the regular expression engines answer differently, as ranges.
    std::vector<std::array<UChar32, 2>> regex_differing;
    for (UChar32 code_point = 0; code_point < 0x110000; ++code_point) {
        const bool changed = std::ranges::any_of(regex_properties_changed, [&](const auto& range) {
            return range[0] <= code_point && code_point <= range[1];
        });
        if (u_charType(code_point) == U_UNASSIGNED ||
            (assigned_in(code_point, regex_engine_version) && !changed))
            continue;
        if (!regex_differing.empty() && regex_differing.back()[1] + 1 == code_point)
            regex_differing.back()[1] = code_point;
        else
            regex_differing.push_back({code_point, code_point});
    }
    if (mappings.size() > 0x3FFF || sequences.size() > 0xFFFFFF) {
        std::fprintf(stderr, "unicode_tables: too many mappings\n");
        return 1;
    }

    std::ofstream out(argv[1]);
    UVersionInfo version;
    u_getUnicodeVersion(version);
    out << "// Generated by core/tools/unicode_tables.cpp from ICU " U_ICU_VERSION " (Unicode "
        << int{version[0]} << '.' << int{version[1]} << "). Do not edit.\n"
        << "#include \"tokenizer/unicode_flags.hpp\"\n#include \"tokenizer/unicode_forms.hpp\"\n\n"
        << "namespace korvane::unicode {\n\n"
        << "const char library_version[] = \"ICU " U_ICU_VERSION " (Unicode " << int{version[0]}
        << '.' << int{version[1]} << ")\";\n\n";
    table.write(out, "stage1", "stage2");
    form_table.write(out, "form_stage1", "form_stage2");
    out << "const std::uint64_t composition_pairs[" << pairs.size() << "] = {";
    std::size_t written = 0;
    for (const auto& [key, composite] : pairs)
        out << (written++ % 8 == 0 ? "\n" : "") << key << "u,";
    out << "};\n\nconst char32_t composites[" << pairs.size() << "] = {";
    written = 0;
    for (const auto& [key, composite] : pairs)
        out << (written++ % 16 == 0 ? "\n" : "") << static_cast<std::uint32_t>(composite) << ',';
    out << "};\n\nconst std::size_t composition_count = " << pairs.size() << ";\n\n";
    // Never empty: a range past every code point, not counted, closes the list.
    out << "const char32_t regex_differing_ranges[" << regex_differing.size() + 1 << "][2] = {";
    for (const auto& [first, last] : regex_differing)
        out << '\n' << '{' << first << ',' << last << "},";
    out << "\n{0x110000,0x110000}};\n\nconst std::size_t regex_differing_range_count = "
        << regex_differing.size() << ";\n\n";
    out << "const std::uint32_t mappings[" << mappings.size() << "][2] = {";
    for (std::size_t index = 0; index < mappings.size(); ++index)
        out << (index % 8 == 0 ? "\n" : "") << '{' << mappings[index][0] << ','
            << mappings[index][1] << "},";
    out << "};\n\nconst char32_t sequences[" << sequences.size() << "] = {";
    for (std::size_t index = 0; index < sequences.size(); ++index)
        out << (index % 16 == 0 ? "\n" : "") << static_cast<std::uint32_t>(sequences[index]) << ',';
    out << "};\n\n}  // namespace korvane::unicode\n";
    return out ? 0 : 1;
}
