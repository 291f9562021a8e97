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
//
// Usage: unicode_tables OUTPUT.cpp
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tokenizer/unicode_flags.hpp"

namespace {

using namespace korvane::unicode;

using Version = std::array<std::uint8_t, 2>;
constexpr Version category_version{8, 0};
constexpr Version normalization_version{9, 0};

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

std::u32string decomposition(const UNormalizer2* nfd, UChar32 code_point) {
    if (!assigned_in(code_point, normalization_version)) return {};
    std::array<UChar, 32> units{};
    UErrorCode status = U_ZERO_ERROR;
    const int length =
        unorm2_getDecomposition(nfd, code_point, units.data(), units.size(), &status);
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: unicode_tables OUTPUT.cpp\n");
        return 2;
    }
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfd = unorm2_getNFDInstance(&status);
    check(status, "NFD instance");

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

    std::vector<std::array<std::uint32_t, block_size>> blocks;
    std::map<std::array<std::uint32_t, block_size>, std::uint16_t> block_indices;
    std::vector<std::uint16_t> stage1;
    for (UChar32 block_start = 0; block_start < 0x110000; block_start += block_size) {
        std::array<std::uint32_t, block_size> block{};
        for (std::size_t offset = 0; offset < block_size; ++offset) {
            const UChar32 code_point = block_start + static_cast<UChar32>(offset);
            const std::int8_t category = old_category(code_point);
            std::uint32_t flags = 0;
            if (u_isUWhiteSpace(code_point)) flags |= whitespace;
            const bool control_category = category == U_CONTROL_CHAR || category == U_FORMAT_CHAR ||
                                          category == U_PRIVATE_USE_CHAR;
            if (code_point == 0 || code_point == 0xFFFD ||
                (control_category && code_point != '\t' && code_point != '\n' &&
                 code_point != '\r'))
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
            const std::uint32_t combining_class = assigned_in(code_point, normalization_version)
                                                      ? u_getCombiningClass(code_point)
                                                      : 0;
            const std::uint32_t decomposition_offset = store(decomposition(nfd, code_point));
            const std::uint32_t lowercase_offset = store(lowercase(code_point));
            std::uint32_t mapping = 0;
            if (decomposition_offset != 0 || lowercase_offset != 0) {
                mapping = static_cast<std::uint32_t>(mappings.size());
                mappings.push_back({decomposition_offset, lowercase_offset});
            }
            block[offset] = flags | (combining_class << 10) | (mapping << 18);
        }
        const auto [found, inserted] =
            block_indices.try_emplace(block, static_cast<std::uint16_t>(blocks.size()));
        if (inserted) blocks.push_back(block);
        stage1.push_back(found->second);
    }
    if (mappings.size() > 0x3FFF) {
        std::fprintf(stderr, "unicode_tables: too many mappings\n");
        return 1;
    }

    std::ofstream out(argv[1]);
    UVersionInfo version;
    u_getUnicodeVersion(version);
    out << "// Generated by core/tools/unicode_tables.cpp from ICU " U_ICU_VERSION " (Unicode "
        << int{version[0]} << '.' << int{version[1]} << "). Do not edit.\n"
        << "#include \"tokenizer/unicode_flags.hpp\"\n\nnamespace korvane::unicode {\n\n"
        << "const char library_version[] = \"ICU " U_ICU_VERSION " (Unicode " << int{version[0]}
        << '.' << int{version[1]} << ")\";\n\n";
    out << "const std::uint16_t stage1[" << stage1.size() << "] = {";
    for (std::size_t index = 0; index < stage1.size(); ++index)
        out << (index % 16 == 0 ? "\n" : "") << stage1[index] << ',';
    out << "};\n\nconst std::uint32_t stage2[" << blocks.size() << "][" << block_size << "] = {";
    for (const auto& block : blocks) {
        out << "\n{";
        for (std::size_t index = 0; index < block_size; ++index)
            out << (index % 16 == 0 ? "\n" : "") << block[index] << "u,";
        out << "},";
    }
    out << "};\n\nconst std::uint32_t mappings[" << mappings.size() << "][2] = {";
    for (std::size_t index = 0; index < mappings.size(); ++index)
        out << (index % 8 == 0 ? "\n" : "") << '{' << mappings[index][0] << ','
            << mappings[index][1] << "},";
    out << "};\n\nconst char32_t sequences[" << sequences.size() << "] = {";
    for (std::size_t index = 0; index < sequences.size(); ++index)
        out << (index % 16 == 0 ? "\n" : "") << static_cast<std::uint32_t>(sequences[index]) << ',';
    out << "};\n\n}  // namespace korvane::unicode\n";
    return out ? 0 : 1;
}
