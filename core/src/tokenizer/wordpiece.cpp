#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <utility>

#include "json/json.hpp"
#include "korvane/tokenizer/tokenizer.hpp"
#include "tokenizer/unicode_flags.hpp"
#include "util/utf8.hpp"

namespace korvane {

namespace {

using utf8::character_length;
using utf8::decode_at;
using utf8::decode_before;
using utf8::decode_multibyte;

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

bool is_word_character(char32_t code_point) {
    return (unicode::properties(code_point) & unicode::word) != 0;
}

bool is_whitespace(char32_t code_point) {
    return (unicode::properties(code_point) & unicode::whitespace) != 0;
}

// ---------------------------------------------------------------------------------------------
// Vocabulary, for whole keys: open addressing over string views into the tokens' own storage.

std::uint64_t hash_bytes(std::string_view key) noexcept {
    std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ key.size();
    std::size_t index = 0;
    for (; index + 8 <= key.size(); index += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, key.data() + index, 8);
        hash = (hash ^ chunk) * 0xBF58476D1CE4E5B9ull;
        hash ^= hash >> 31;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, key.data() + index, key.size() - index);
    hash = (hash ^ tail) * 0x94D049BB133111EBull;
    return hash ^ (hash >> 29);
}

class TokenTable {
public:
    void reserve(std::size_t count) {
        const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, count * 2));
        slots_.assign(capacity, Slot{});
    }

    // Keeps the first ID given for a key.
    void insert(std::string_view key, std::uint32_t id) {
        std::size_t index = hash_bytes(key) & (slots_.size() - 1);
        while (slots_[index].data != nullptr) {
            if (view(slots_[index]) == key) return;
            index = (index + 1) & (slots_.size() - 1);
        }
        slots_[index] = Slot{key.data(), static_cast<std::uint32_t>(key.size()), id};
    }

    [[nodiscard]] std::optional<std::uint32_t> find(std::string_view key) const noexcept {
        std::size_t index = hash_bytes(key) & (slots_.size() - 1);
        while (slots_[index].data != nullptr) {
            const Slot& slot = slots_[index];
            if (slot.length == key.size() && std::memcmp(slot.data, key.data(), key.size()) == 0)
                return slot.id;
            index = (index + 1) & (slots_.size() - 1);
        }
        return std::nullopt;
    }

private:
    struct Slot {
        const char* data = nullptr;
        std::uint32_t length = 0;
        std::uint32_t id = 0;
    };
    static std::string_view view(const Slot& slot) { return {slot.data, slot.length}; }
    std::vector<Slot> slots_;
};

// ---------------------------------------------------------------------------------------------
// Vocabulary: a byte trie, so that the longest token at a position is found in one walk as long
// as that token, whatever the length of the word.

class TokenTrie {
public:
    static constexpr std::uint32_t no_id = UINT32_MAX;

    // Builds the trie of `entries` (key, ID); for a key given twice, the first ID is kept.
    void build(const std::vector<std::pair<std::string_view, std::uint32_t>>& entries) {
        // First linked, without sorting the keys: a node's children in a list, or by byte once
        // it has many (the root, "##", ...).
        constexpr std::uint32_t list_limit = 12;
        struct Linked {
            std::uint32_t first_child = 0;  // 0: none (the root is nobody's child)
            std::uint32_t next_sibling = 0;
            std::uint32_t id = no_id;
            std::uint32_t child_count = 0;
            std::uint32_t by_byte = 0;  // 1 + index into `tables`, or 0
            unsigned char label = 0;
        };
        std::size_t key_bytes = 0;
        for (const auto& entry : entries) key_bytes += entry.first.size();
        std::vector<Linked> linked(1);
        linked.reserve(std::min(key_bytes, entries.size() * 4) + 1);
        std::vector<std::array<std::uint32_t, 256>> tables(1);
        tables.front().fill(0);
        linked[0].by_byte = 1;
        for (const auto& [key, id] : entries) {
            std::uint32_t node = 0;
            for (const char byte : key) {
                const auto label = static_cast<unsigned char>(byte);
                std::uint32_t child = 0;
                if (linked[node].by_byte != 0) {
                    child = tables[linked[node].by_byte - 1][label];
                } else {
                    for (child = linked[node].first_child;
                         child != 0 && linked[child].label != label;
                         child = linked[child].next_sibling) {
                    }
                }
                if (child == 0) {
                    child = static_cast<std::uint32_t>(linked.size());
                    linked.push_back(Linked{0, linked[node].first_child, no_id, 0, 0, label});
                    Linked& parent = linked[node];
                    parent.first_child = child;
                    ++parent.child_count;
                    if (parent.by_byte != 0) {
                        tables[parent.by_byte - 1][label] = child;
                    } else if (parent.child_count > list_limit) {
                        tables.emplace_back().fill(0);
                        parent.by_byte = static_cast<std::uint32_t>(tables.size());
                        for (std::uint32_t sibling = parent.first_child; sibling != 0;
                             sibling = linked[sibling].next_sibling)
                            tables.back()[linked[sibling].label] = sibling;
                    }
                }
                node = child;
            }
            if (linked[node].id == no_id) linked[node].id = id;
        }
        // Then laid out breadth first, each node's children side by side and sorted.
        nodes_.assign(1, Node{0, 0, linked[0].id});
        labels_.clear();
        targets_.clear();
        nodes_.reserve(linked.size());
        labels_.reserve(linked.size());
        targets_.reserve(linked.size());
        std::vector<std::uint32_t> order{0};  // linked index of each laid-out node
        order.reserve(linked.size());
        std::vector<std::uint32_t> children;
        for (std::uint32_t next = 0; next < order.size(); ++next) {
            const Linked& parent = linked[order[next]];
            children.clear();
            if (parent.by_byte != 0) {
                for (const std::uint32_t child : tables[parent.by_byte - 1])
                    if (child != 0) children.push_back(child);
            } else {
                for (std::uint32_t child = parent.first_child; child != 0;
                     child = linked[child].next_sibling)
                    children.push_back(child);
                std::ranges::sort(children, {},
                                  [&](std::uint32_t child) { return linked[child].label; });
            }
            nodes_[next].first_edge = static_cast<std::uint32_t>(labels_.size());
            nodes_[next].edge_count = static_cast<std::uint32_t>(children.size());
            for (const std::uint32_t child : children) {
                labels_.push_back(linked[child].label);
                targets_.push_back(static_cast<std::uint32_t>(nodes_.size()));
                nodes_.push_back(Node{0, 0, linked[child].id});
                order.push_back(child);
            }
        }
    }

    static constexpr std::uint32_t root = 0;

    // The node of the keys that start with `prefix`, if any.
    [[nodiscard]] std::optional<std::uint32_t> node_of(std::string_view prefix) const noexcept {
        std::uint32_t node = root;
        for (const char byte : prefix) {
            node = child(node, static_cast<unsigned char>(byte));
            if (node == no_node) return std::nullopt;
        }
        return node;
    }

    // The longest non-empty key that, after the path to `start` (a node_of), starts `text` and
    // ends at a character boundary: its length in bytes (the path not counted) and its ID, or
    // length 0.
    [[nodiscard]] std::pair<std::size_t, std::uint32_t> longest_prefix(
        std::string_view text, std::uint32_t start = root) const noexcept {
        std::pair<std::size_t, std::uint32_t> found{0, no_id};
        std::uint32_t node = start;
        for (std::size_t index = 0; index < text.size(); ++index) {
            node = child(node, static_cast<unsigned char>(text[index]));
            if (node == no_node) break;
            if (nodes_[node].id != no_id &&
                (index + 1 == text.size() ||
                 (static_cast<unsigned char>(text[index + 1]) & 0xC0) != 0x80))
                found = {index + 1, nodes_[node].id};
        }
        return found;
    }

private:
    static constexpr std::uint32_t no_node = root;  // the root is nobody's child

    struct Node {
        std::uint32_t first_edge = 0;
        std::uint32_t edge_count = 0;
        std::uint32_t id = no_id;
    };

    [[nodiscard]] std::uint32_t child(std::uint32_t node, unsigned char label) const noexcept {
        const Node& parent = nodes_[node];
        const unsigned char* first = labels_.data() + parent.first_edge;
        const unsigned char* last = first + parent.edge_count;
        const unsigned char* found = parent.edge_count <= 8 ? std::find(first, last, label)
                                                            : std::lower_bound(first, last, label);
        if (found == last || *found != label) return no_node;
        return targets_[static_cast<std::size_t>(found - labels_.data())];
    }

    std::vector<Node> nodes_;
    std::vector<unsigned char> labels_;  // of each node's edges, sorted
    std::vector<std::uint32_t> targets_;
};

struct AddedToken {
    std::string content;  // as matched: normalized for a normalized token
    std::uint32_t id = 0;
    bool single_word = false;
    bool lstrip = false;
    bool rstrip = false;
};

// Added tokens matched in one pass, leftmost first and longest at that position.
class TokenMatcher {
public:
    // False when a token of the same content is there already (two normalized to one text).
    [[nodiscard]] bool add(AddedToken token) {
        if (token.content.empty()) return true;
        if (std::ranges::any_of(tokens_,
                                [&](const AddedToken& t) { return t.content == token.content; }))
            return false;
        first_bytes_[static_cast<unsigned char>(token.content[0])] = true;
        any_strip_ = any_strip_ || token.lstrip || token.rstrip;
        tokens_.push_back(std::move(token));
        std::ranges::stable_sort(tokens_, std::ranges::greater{},
                                 [](const AddedToken& t) { return t.content.size(); });
        return true;
    }
    [[nodiscard]] bool empty() const noexcept { return tokens_.empty(); }

    struct Match {
        std::size_t start;  // of the span the token takes, stripped whitespace included
        std::size_t end;
        std::uint32_t id;
    };
    static constexpr std::uint32_t unusable = UINT32_MAX;  // a single-word token inside a word

    // All usable matches in `text`, in order, and true; or false when the text is left to the
    // `tokenizers` package. Matches are found first, without overlap and whether usable or not;
    // a token then takes the whitespace before it (lstrip) and after it (rstrip). Where that
    // whitespace reaches another match or another token's whitespace, tokenizers gives both
    // tokens the shared characters (and sometimes fails), so such texts are handed back.
    [[nodiscard]] bool find_all(std::string_view text, std::vector<Match>& matches) const {
        matches.clear();
        std::size_t position = 0;
        std::vector<const AddedToken*>& found_tokens = found_tokens_;
        found_tokens.clear();
        bool strips = false;
        while (position < text.size()) {
            if (!first_bytes_[static_cast<unsigned char>(text[position])]) {
                ++position;
                continue;
            }
            const AddedToken* found = nullptr;
            for (const AddedToken& token : tokens_) {
                if (text.substr(position).starts_with(token.content)) {
                    found = &token;
                    break;
                }
            }
            if (found == nullptr) {
                ++position;
                continue;
            }
            const std::size_t end = position + found->content.size();
            if (!found->single_word ||
                !((position > 0 && is_word_character(decode_before(text, position))) ||
                  (end < text.size() && is_word_character(decode_at(text, end))))) {
                matches.push_back(Match{position, end, found->id});
                found_tokens.push_back(found);
                strips = strips || found->lstrip || found->rstrip;
            } else if (any_strip_) {
                // An unusable match still ends a neighbour's whitespace in tokenizers.
                matches.push_back(Match{position, end, unusable});
                found_tokens.push_back(found);
            }
            position = end;
        }
        if (!strips) {
            std::erase_if(matches, [](const Match& match) { return match.id == unusable; });
            return true;
        }
        std::size_t floor = 0;  // where the previous match's span ends
        for (std::size_t index = 0; index < matches.size(); ++index) {
            Match& match = matches[index];
            if (match.id != unusable && found_tokens[index]->lstrip) {
                while (match.start > 0 && is_whitespace(decode_before(text, match.start))) {
                    do --match.start;
                    while ((static_cast<unsigned char>(text[match.start]) & 0xC0) == 0x80);
                }
            }
            if (match.start < floor) return false;
            if (match.id != unusable && found_tokens[index]->rstrip) {
                while (match.end < text.size() && is_whitespace(decode_at(text, match.end)))
                    match.end += character_length(static_cast<unsigned char>(text[match.end]));
            }
            floor = match.end;
        }
        std::erase_if(matches, [](const Match& match) { return match.id == unusable; });
        return true;
    }

private:
    std::array<bool, 256> first_bytes_{};
    bool any_strip_ = false;  // a token takes whitespace around it
    std::vector<AddedToken> tokens_;
    static thread_local std::vector<const AddedToken*> found_tokens_;
};

thread_local std::vector<const AddedToken*> TokenMatcher::found_tokens_;

struct NormalizerOptions {
    bool clean_text = false;
    bool handle_chinese_chars = false;
    bool strip_accents = false;
    bool lowercase = false;
};

// Per thread, reused: nothing is allocated per character or per text once they have grown.
struct Scratch {
    std::string normalized;
    std::vector<std::pair<std::uint32_t, char32_t>> marks;  // combining class, code point
    std::vector<std::uint32_t> ids;
    std::vector<TokenMatcher::Match> raw_matches;
    std::vector<TokenMatcher::Match> normalized_matches;
    const Cancellation* cancellation = nullptr;  // of the text being tokenized
    bool cancelled = false;
};

thread_local Scratch scratch;

// Long texts check for cancellation every this many bytes.
constexpr std::size_t cancellation_interval = 64 * 1024;

// True once the current text's cancellation is requested; remembered in scratch.cancelled.
bool stop_requested() {
    if (scratch.cancellation != nullptr && scratch.cancellation->requested())
        scratch.cancelled = true;
    return scratch.cancelled;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

struct WordPieceTokenizer::State {
    std::vector<std::string> vocabulary;  // by ID; the tables' keys point into it
    // Each twice: whole keys by hash (most words are a token, or end in one) and a trie for the
    // longest key that starts a text.
    TokenTable words;
    TokenTable continuations;                        // keyed without the prefix
    TokenTrie trie;                                  // of the vocabulary
    std::optional<std::uint32_t> continuation_root;  // its node of the prefix
    std::size_t longest_key = 0;                     // in bytes
    std::uint32_t unknown_id = 0;
    std::size_t max_word_characters = 100;
    std::size_t id_count = 0;
    NormalizerOptions normalizer;
    bool has_normalizer = false;
    TokenMatcher raw_tokens;
    TokenMatcher normalized_tokens;

    // What normalizing makes of each ASCII byte: the byte to write, or -1 to drop it.
    std::array<std::int16_t, 128> ascii_normalized{};

    void prepare_ascii();
    // Appends the normalization of `text` to `out`; false if a character is unknown.
    bool normalize(std::string_view text, std::string& out) const;
    void emit_character(char32_t code_point, std::string& out) const;
    void flush_marks(std::string& out) const;
    void tokenize_normalized(std::string_view text, std::vector<std::uint32_t>& ids) const;
    void tokenize_word(std::string_view word, std::vector<std::uint32_t>& ids) const;
    bool tokenize_segment(std::string_view text, std::vector<std::uint32_t>& ids) const;
};

void WordPieceTokenizer::State::prepare_ascii() {
    for (int byte = 0; byte < 128; ++byte) {
        std::int16_t out = static_cast<std::int16_t>(byte);
        if (has_normalizer && normalizer.clean_text) {
            const std::uint32_t flags = unicode::properties(static_cast<char32_t>(byte));
            if (flags & unicode::control)
                out = -1;
            else if (flags & unicode::whitespace)
                out = ' ';
        }
        if (has_normalizer && normalizer.lowercase && byte >= 'A' && byte <= 'Z')
            out = static_cast<std::int16_t>(byte - 'A' + 'a');
        ascii_normalized[static_cast<std::size_t>(byte)] = out;
    }
}

void WordPieceTokenizer::State::emit_character(char32_t code_point, std::string& out) const {
    if (normalizer.lowercase) {
        const auto lower = unicode::mapping(unicode::properties(code_point), 1);
        if (!lower.empty()) {
            for (const char32_t mapped : lower) utf8::append(out, mapped);
            return;
        }
    }
    utf8::append(out, code_point);
}

// Writes the pending combining marks in canonical order (stable by combining class).
void WordPieceTokenizer::State::flush_marks(std::string& out) const {
    auto& marks = scratch.marks;
    if (marks.empty()) return;
    std::ranges::stable_sort(marks, {}, [](const auto& mark) { return mark.first; });
    for (const auto& [combining_class, code_point] : marks) emit_character(code_point, out);
    marks.clear();
}

bool WordPieceTokenizer::State::normalize(std::string_view text, std::string& out) const {
    auto& marks = scratch.marks;  // one look-up of the thread's storage per text
    marks.clear();                // a text given up on midway leaves its marks
    const auto flush = [&] {
        if (!marks.empty()) flush_marks(out);
    };
    std::size_t position = 0;
    std::size_t next_check = cancellation_interval;
    while (position < text.size()) {
        if (position >= next_check) {
            if (stop_requested()) return false;
            next_check = position + cancellation_interval;
        }
        const auto byte = static_cast<unsigned char>(text[position]);
        if (byte < 0x80) {
            ++position;
            const std::int16_t mapped = ascii_normalized[byte];
            if (mapped < 0) continue;
            flush();
            out.push_back(static_cast<char>(mapped));
            continue;
        }
        const char32_t code_point = *decode_multibyte(text, position);
        const std::uint32_t flags = unicode::properties(code_point);
        if (flags & unicode::unknown) return false;
        if (!has_normalizer) {
            utf8::append(out, code_point);
            continue;
        }
        if (normalizer.clean_text) {
            if (flags & unicode::control) continue;
            if (flags & unicode::whitespace) {
                flush();
                out.push_back(' ');
                continue;
            }
        }
        const bool chinese = normalizer.handle_chinese_chars && is_chinese(code_point);
        if (chinese) {
            flush();
            out.push_back(' ');
        }
        if (normalizer.strip_accents) {
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

void WordPieceTokenizer::State::tokenize_word(std::string_view word,
                                              std::vector<std::uint32_t>& ids) const {
    std::size_t characters = 0;
    for (const char byte : word) characters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    if (characters > max_word_characters) {
        ids.push_back(unknown_id);
        return;
    }
    const std::size_t first_new = ids.size();
    std::size_t start = 0;
    while (start < word.size()) {
        const std::string_view rest = word.substr(start);
        // The rest of the word as one token is the longest match there can be. Tried only when
        // it could be a key, so that a long word costs time in proportion to its length.
        if (rest.size() <= longest_key) {
            if (const auto id = (start == 0 ? words : continuations).find(rest)) {
                ids.push_back(*id);
                return;
            }
        }
        const std::optional<std::uint32_t> from =
            start == 0 ? TokenTrie::root : continuation_root;  // none: no continuation tokens
        const auto [length, id] =
            from ? trie.longest_prefix(rest, *from) : std::pair<std::size_t, std::uint32_t>{};
        if (length == 0) {
            ids.resize(first_new);
            ids.push_back(unknown_id);
            return;
        }
        ids.push_back(id);
        start += length;
    }
}

// Splits on whitespace and around each punctuation character, as BertPreTokenizer does.
void WordPieceTokenizer::State::tokenize_normalized(std::string_view text,
                                                    std::vector<std::uint32_t>& ids) const {
    std::size_t word_start = 0;
    std::size_t position = 0;
    const auto finish_word = [&](std::size_t end) {
        if (end > word_start) tokenize_word(text.substr(word_start, end - word_start), ids);
    };
    std::size_t next_check = cancellation_interval;
    while (position < text.size()) {
        if (position >= next_check) {
            if (stop_requested()) return;
            next_check = position + cancellation_interval;
        }
        const auto byte = static_cast<unsigned char>(text[position]);
        std::size_t next = position + 1;
        std::uint32_t flags = 0;
        if (byte < 0x80) {
            flags = unicode::properties(byte);
        } else {
            flags = unicode::properties(decode_at(text, position));
            next = position + character_length(byte);
        }
        if (flags & unicode::whitespace) {
            finish_word(position);
            word_start = next;
        } else if (flags & unicode::punctuation) {
            finish_word(position);
            word_start = position;
            finish_word(next);
            word_start = next;
        }
        position = next;
    }
    finish_word(text.size());
}

bool WordPieceTokenizer::State::tokenize_segment(std::string_view text,
                                                 std::vector<std::uint32_t>& ids) const {
    std::string& normalized = scratch.normalized;
    normalized.clear();
    if (!normalize(text, normalized)) return false;
    const std::string_view rest = normalized;
    std::size_t done = 0;
    if (!normalized_tokens.empty()) {
        if (!normalized_tokens.find_all(rest, scratch.normalized_matches)) return false;
        for (const auto& match : scratch.normalized_matches) {
            tokenize_normalized(rest.substr(done, match.start - done), ids);
            ids.push_back(match.id);
            done = match.end;
        }
    }
    tokenize_normalized(rest.substr(done), ids);
    return true;
}

WordPieceTokenizer::Outcome WordPieceTokenizer::tokenize(std::string_view text,
                                                         std::vector<std::uint32_t>& ids,
                                                         const Cancellation* cancellation) const {
    // Validate first, so that a failure leaves `ids` untouched and later code may trust the text.
    for (std::size_t position = 0; position < text.size();) {
        if (static_cast<unsigned char>(text[position]) < 0x80) {
            ++position;
        } else if (!decode_multibyte(text, position)) {
            return Outcome::invalid_utf8;
        }
    }
    const State& state = *state_;
    Scratch& local = scratch;
    auto& out = local.ids;
    out.clear();
    local.cancellation = cancellation;
    local.cancelled = false;
    const auto given_up = [&] { return local.cancelled ? Outcome::cancelled : Outcome::deferred; };
    std::size_t done = 0;
    if (!state.raw_tokens.empty()) {
        if (!state.raw_tokens.find_all(text, local.raw_matches)) return Outcome::deferred;
        for (const auto& match : local.raw_matches) {
            if (!state.tokenize_segment(text.substr(done, match.start - done), out))
                return given_up();
            out.push_back(match.id);
            done = match.end;
        }
    }
    if (!state.tokenize_segment(text.substr(done), out)) return given_up();
    if (local.cancelled || (cancellation != nullptr && cancellation->requested()))
        return Outcome::cancelled;
    ids.insert(ids.end(), out.begin(), out.end());
    return Outcome::tokenized;
}

// ---------------------------------------------------------------------------------------------
// Reading tokenizer.json

namespace {

const json::Value* member(const json::Object& object, std::string_view key) {
    for (const auto& entry : object)
        if (entry.key == key) return &entry.value;
    return nullptr;
}

std::expected<bool, std::string> boolean_member(const json::Object& object, std::string_view key,
                                                bool fallback, std::string_view where) {
    const json::Value* value = member(object, key);
    if (value == nullptr) return fallback;
    if (const auto* flag = std::get_if<bool>(&value->content)) return *flag;
    return std::unexpected(std::string(where) + "." + std::string(key) + " is not a boolean");
}

std::string part_type(const json::Value& part) {
    if (const auto* object = part.if_object())
        if (const json::Value* type = member(*object, "type"); type && type->if_string())
            return *type->if_string();
    return "?";
}

}  // namespace

std::expected<WordPieceTokenizer, std::string> WordPieceTokenizer::from_json(
    std::string_view json_text) {
    auto parsed = json::parse_object(json_text);
    if (!parsed) return std::unexpected("tokenizer.json is not valid JSON: " + parsed.error());
    const json::Object& root = *parsed;
    auto state = std::make_unique<State>();

    // The model.
    const json::Value* model_value = member(root, "model");
    if (model_value == nullptr || part_type(*model_value) != "WordPiece")
        return std::unexpected("the model is not WordPiece");
    const json::Object& model = *model_value->if_object();
    const json::Value* vocab_value = member(model, "vocab");
    if (vocab_value == nullptr || vocab_value->if_object() == nullptr)
        return std::unexpected("the WordPiece vocabulary is not an object");
    const json::Object& vocab = *vocab_value->if_object();
    state->vocabulary.assign(vocab.size(), {});
    std::vector<bool> seen(vocab.size(), false);
    for (const auto& [token, id_value] : vocab) {
        const std::uint64_t* id = id_value.if_unsigned();
        // IDs 0..n-1, each once: the numbering the added tokens continue.
        if (id == nullptr || *id >= vocab.size() || seen[*id])
            return std::unexpected("the vocabulary's IDs are not 0 to its size - 1, each once");
        seen[*id] = true;
        state->vocabulary[*id] = token;
    }
    std::string prefix = "##";
    if (const json::Value* value = member(model, "continuing_subword_prefix")) {
        if (!value->if_string()) return std::unexpected("continuing_subword_prefix is not text");
        prefix = *value->if_string();
    }
    if (const json::Value* value = member(model, "max_input_chars_per_word")) {
        if (!value->if_unsigned())
            return std::unexpected("max_input_chars_per_word is not a count");
        state->max_word_characters = *value->if_unsigned();
    }
    const json::Value* unknown_value = member(model, "unk_token");
    if (unknown_value == nullptr || unknown_value->if_string() == nullptr)
        return std::unexpected("the WordPiece model has no unk_token");
    const std::string& unknown = *unknown_value->if_string();

    std::vector<std::pair<std::string_view, std::uint32_t>> words;
    std::vector<std::pair<std::string_view, std::uint32_t>> continuations;
    words.reserve(vocab.size());
    continuations.reserve(vocab.size());
    std::optional<std::uint32_t> unknown_id;
    for (std::uint32_t id = 0; id < state->vocabulary.size(); ++id) {
        const std::string_view token = state->vocabulary[id];
        words.emplace_back(token, id);
        if (token.starts_with(prefix)) continuations.emplace_back(token.substr(prefix.size()), id);
        if (token == unknown) unknown_id = id;
    }
    state->words.reserve(words.size());
    state->continuations.reserve(continuations.size());
    for (const auto& [key, id] : words) {
        state->words.insert(key, id);
        state->longest_key = std::max(state->longest_key, key.size());
    }
    for (const auto& [key, id] : continuations) state->continuations.insert(key, id);
    // The continuations are the trie's keys below the prefix.
    state->trie.build(words);
    state->continuation_root = state->trie.node_of(prefix);
    if (!unknown_id) return std::unexpected("the unk_token is not in the vocabulary");
    state->unknown_id = *unknown_id;

    // The normalizer.
    if (const json::Value* normalizer = member(root, "normalizer");
        normalizer && !normalizer->is_null()) {
        if (part_type(*normalizer) != "BertNormalizer")
            return std::unexpected("the normalizer is " + part_type(*normalizer) +
                                   ", not BertNormalizer");
        const json::Object& options = *normalizer->if_object();
        state->has_normalizer = true;
        auto& settings = state->normalizer;
        for (auto [key, target] :
             {std::pair{"clean_text", &settings.clean_text},
              std::pair{"handle_chinese_chars", &settings.handle_chinese_chars},
              std::pair{"lowercase", &settings.lowercase}}) {
            auto flag = boolean_member(options, key, true, "normalizer");
            if (!flag) return std::unexpected(flag.error());
            *target = *flag;
        }
        // Accents are stripped as the text is lowercased unless the file says otherwise.
        const json::Value* strip = member(options, "strip_accents");
        if (strip == nullptr || strip->is_null()) {
            settings.strip_accents = settings.lowercase;
        } else if (const auto* flag = std::get_if<bool>(&strip->content)) {
            settings.strip_accents = *flag;
        } else {
            return std::unexpected("normalizer.strip_accents is not a boolean");
        }
    }
    state->prepare_ascii();

    // The pre-tokenizer.
    const json::Value* pre_tokenizer = member(root, "pre_tokenizer");
    if (pre_tokenizer == nullptr || part_type(*pre_tokenizer) != "BertPreTokenizer")
        return std::unexpected("the pre-tokenizer is not BertPreTokenizer");

    // Added tokens: the vocabulary's ID for a token it holds, else the next free ID in order.
    std::uint32_t next_id = static_cast<std::uint32_t>(state->vocabulary.size());
    if (const json::Value* added = member(root, "added_tokens"); added && !added->is_null()) {
        if (added->if_array() == nullptr) return std::unexpected("added_tokens is not a list");
        // A token listed again keeps its ID and takes the flags of its last listing.
        std::vector<std::pair<AddedToken, bool>> tokens;  // with its `normalized` flag
        std::map<std::string, std::size_t, std::less<>> positions;
        for (const json::Value& entry : *added->if_array()) {
            const json::Object* object = entry.if_object();
            const json::Value* content = object ? member(*object, "content") : nullptr;
            if (content == nullptr || content->if_string() == nullptr)
                return std::unexpected("an added token has no content");
            AddedToken token;
            token.content = *content->if_string();
            bool normalized = false;
            for (auto [key, target] :
                 {std::pair{"single_word", &token.single_word}, std::pair{"lstrip", &token.lstrip},
                  std::pair{"rstrip", &token.rstrip}, std::pair{"normalized", &normalized}}) {
                auto flag = boolean_member(*object, key, false, "an added token");
                if (!flag) return std::unexpected(flag.error());
                *target = *flag;
            }
            if (auto special = boolean_member(*object, "special", false, "an added token");
                !special)
                return std::unexpected(special.error());
            if (token.content.empty()) return std::unexpected("an added token is empty");
            if (const auto known = positions.find(token.content); known != positions.end()) {
                token.id = tokens[known->second].first.id;
                tokens[known->second] = {std::move(token), normalized};
                continue;
            }
            if (const auto id = state->words.find(token.content)) {
                token.id = *id;
            } else {
                token.id = next_id++;
            }
            positions.emplace(token.content, tokens.size());
            tokens.emplace_back(std::move(token), normalized);
        }
        scratch.cancellation = nullptr;  // whatever the thread tokenized last
        scratch.cancelled = false;
        for (auto& [token, normalized] : tokens) {
            if (normalized) {
                std::string normalized_content;
                if (!state->normalize(token.content, normalized_content))
                    return std::unexpected(
                        "an added token holds a character unknown to the "
                        "character table");
                // tokenizers would match the empty text between any two characters, splitting
                // every word and failing inside a multibyte character.
                if (normalized_content.empty())
                    return std::unexpected("the added token of ID " + std::to_string(token.id) +
                                           " is normalized to an empty text");
                token.content = std::move(normalized_content);
                // tokenizers then takes either of them, differently from run to run.
                if (!state->normalized_tokens.add(std::move(token)))
                    return std::unexpected(
                        "two normalized added tokens have the same "
                        "normalized form");
            } else {
                (void)state->raw_tokens.add(std::move(token));  // contents are distinct
            }
        }
    }
    state->id_count = next_id;
    return WordPieceTokenizer(std::move(state));
}

std::expected<WordPieceTokenizer, std::string> WordPieceTokenizer::from_file(
    const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::unexpected("cannot read " + path.string());
    std::ostringstream text;
    text << file.rdbuf();
    if (!file && !file.eof()) return std::unexpected("cannot read " + path.string());
    return from_json(text.view());
}

WordPieceTokenizer::WordPieceTokenizer(std::unique_ptr<State> state) noexcept
    : state_(std::move(state)) {}
WordPieceTokenizer::WordPieceTokenizer(WordPieceTokenizer&&) noexcept = default;
WordPieceTokenizer& WordPieceTokenizer::operator=(WordPieceTokenizer&&) noexcept = default;
WordPieceTokenizer::~WordPieceTokenizer() = default;

std::size_t WordPieceTokenizer::id_count() const noexcept {
    return state_->id_count;
}

std::string_view unicode_version() noexcept {
    return unicode::library_version;
}

}  // namespace korvane
