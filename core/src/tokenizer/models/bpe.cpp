#include "tokenizer/models/bpe.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <queue>
#include <tuple>
#include <utility>

#include "tokenizer/json_fields.hpp"
#include "tokenizer/models/vocabulary.hpp"
#include "tokenizer/models/word_cache.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

namespace {

constexpr std::uint64_t pair_key(std::uint32_t left, std::uint32_t right) noexcept {
    return (std::uint64_t{left} << 32) | right;
}

constexpr std::size_t pair_slot(std::uint64_t key, std::size_t mask) noexcept {
    key *= 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(key ^ (key >> 32)) & mask;
}

// A merge of the list: its two tokens, from "a b" or ["a", "b"].
std::optional<std::pair<std::string_view, std::string_view>> merge_parts(const json::Value& entry) {
    if (const std::string* text = entry.if_string()) {
        const std::size_t space = text->find(' ');
        if (space == std::string::npos || text->find(' ', space + 1) != std::string::npos)
            return std::nullopt;
        const std::string_view view = *text;
        return std::pair{view.substr(0, space), view.substr(space + 1)};
    }
    if (const json::Array* pair = entry.if_array(); pair && pair->size() == 2) {
        const std::string* left = (*pair)[0].if_string();
        const std::string* right = (*pair)[1].if_string();
        if (left && right) return std::pair<std::string_view, std::string_view>{*left, *right};
    }
    return std::nullopt;
}

// Words of more symbols than this are merged through a heap; shorter ones by scanning.
constexpr std::size_t scan_limit = 48;

struct HeapScratch {
    struct Symbol {
        std::uint32_t id;
        std::uint32_t previous;  // index, or none
        std::uint32_t next;
    };
    std::vector<Symbol> symbols;
    // (rank, left symbol's index, left ID, right ID)
    using Entry = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;
    std::vector<Entry> heap;
};

constexpr std::uint32_t no_symbol = UINT32_MAX;

// 2 MiB a thread, holding most of a text collection's distinct words, with their byte-level mark.
using BpeCache = WordCache<32768>;

}  // namespace

void Bpe::add_merge(std::uint32_t left, std::uint32_t right, Merge merge) {
    const std::uint64_t key = pair_key(left, right);
    const std::size_t mask = merges_.size() - 1;
    std::size_t index = pair_slot(key, mask);
    // A pair listed again takes its later rank.
    while (merges_[index].pair != empty_pair && merges_[index].pair != key)
        index = (index + 1) & mask;
    merges_[index] = MergeSlot{key, merge};
}

const Bpe::Merge* Bpe::find_merge(std::uint32_t left, std::uint32_t right) const noexcept {
    const std::uint64_t key = pair_key(left, right);
    const std::size_t mask = merges_.size() - 1;
    for (std::size_t index = pair_slot(key, mask);; index = (index + 1) & mask) {
        const MergeSlot& slot = merges_[index];
        if (slot.pair == key) return &slot.merge;
        if (slot.pair == empty_pair) return nullptr;
    }
}

std::expected<Bpe, std::string> Bpe::from_json(const json::Object& model) {
    Bpe bpe;
    bpe.number_ = new_cache_owner();
    if (const json::Value* dropout = member(model, "dropout"); dropout && !dropout->is_null())
        return std::unexpected("the BPE model has a dropout");
    auto vocabulary = read_vocabulary(model, "BPE");
    if (!vocabulary) return std::unexpected(std::move(vocabulary.error()));
    bpe.vocabulary_ = std::move(*vocabulary);
    fill_table(bpe.tokens_, bpe.vocabulary_);
    for (auto [key, target] : {std::pair{"continuing_subword_prefix", &bpe.prefix_},
                               std::pair{"end_of_word_suffix", &bpe.suffix_}}) {
        auto text = optional_text(model, key);
        if (!text) return std::unexpected(std::move(text.error()));
        *target = std::move(*text);
    }
    auto unknown = optional_text(model, "unk_token");
    if (!unknown) return std::unexpected(std::move(unknown.error()));
    if (const json::Value* value = member(model, "unk_token"); value && !value->is_null()) {
        // tokenizers refuses such a file, or fails on the first unknown character.
        bpe.unknown_id_ = bpe.tokens_.find(*unknown);
        if (!bpe.unknown_id_) return std::unexpected("the unk_token is not in the vocabulary");
    }
    for (auto [key, target] : {std::pair{"fuse_unk", &bpe.fuse_unknown_},
                               std::pair{"byte_fallback", &bpe.byte_fallback_},
                               std::pair{"ignore_merges", &bpe.ignore_merges_}}) {
        auto flag = boolean_member(model, key, false, "model");
        if (!flag) return std::unexpected(flag.error());
        *target = *flag;
    }

    const json::Value* merges_value = member(model, "merges");
    const json::Array* merges = merges_value ? merges_value->if_array() : nullptr;
    if (merges == nullptr) return std::unexpected("the BPE merges are not a list");
    bpe.merges_.assign(std::bit_ceil(std::max<std::size_t>(16, merges->size() * 2)), MergeSlot{});
    std::string merged;
    for (std::size_t rank = 0; rank < merges->size(); ++rank) {
        const auto parts = merge_parts((*merges)[rank]);
        if (!parts) return std::unexpected("a BPE merge is not two tokens");
        const auto [left, right] = *parts;
        const auto left_id = bpe.tokens_.find(left);
        const auto right_id = bpe.tokens_.find(right);
        if (!left_id || !right_id) return std::unexpected("a BPE merge is not of two tokens");
        // The right token loses its continuing-subword prefix.
        if (!right.starts_with(bpe.prefix_))
            return std::unexpected("a BPE merge's right token lacks the prefix");
        merged.assign(left);
        merged.append(right.substr(bpe.prefix_.size()));
        const auto merged_id = bpe.tokens_.find(merged);
        if (!merged_id) return std::unexpected("a BPE merge makes a token outside the vocabulary");
        bpe.add_merge(*left_id, *right_id, Merge{static_cast<std::uint32_t>(rank), *merged_id});
    }
    for (std::size_t byte = 0; byte < 128; ++byte) {
        const char character = static_cast<char>(byte);
        const auto id = bpe.tokens_.find(std::string_view(&character, 1));
        bpe.ascii_ids_[byte] = id ? static_cast<std::int32_t>(*id) : -1;
    }
    return bpe;
}

void Bpe::tokenize_word(std::string_view word, std::vector<std::uint32_t>& ids) const {
    if (word.empty()) return;
    BpeCache::tokenize(number_, word, ids, [this](std::string_view uncached, auto& out) {
        tokenize_uncached(uncached, out);
    });
}

void Bpe::tokenize_uncached(std::string_view word, std::vector<std::uint32_t>& ids) const {
    if (ignore_merges_) {
        if (const auto id = tokens_.find(word)) {
            ids.push_back(*id);
            return;
        }
    }
    const std::size_t first = ids.size();
    const bool plain = prefix_.empty() && suffix_.empty();
    thread_local std::string piece;
    // An unknown character's token waits until a character of the vocabulary, or the word's end:
    // byte tokens of characters in between come before it, and with fuse_unk, unknown characters
    // on either side of them give one token.
    bool unknown_waits = false;
    const auto write_unknown = [&] {
        if (unknown_waits) ids.push_back(*unknown_id_);
        unknown_waits = false;
    };
    for (std::size_t start = 0; start < word.size();) {
        const auto lead = static_cast<unsigned char>(word[start]);
        const std::size_t length = lead < 0x80 ? 1 : utf8::character_length(lead);
        const std::string_view character = word.substr(start, length);
        std::string_view symbol = character;
        std::optional<std::uint32_t> id;
        if (plain) {
            if (lead < 0x80) {
                if (ascii_ids_[lead] >= 0) id = static_cast<std::uint32_t>(ascii_ids_[lead]);
            } else {
                id = tokens_.find(character);
            }
        } else {
            piece.clear();
            if (start != 0) piece += prefix_;
            piece += character;
            if (start + length == word.size()) piece += suffix_;
            symbol = piece;
            id = tokens_.find(symbol);
        }
        start += length;
        if (id) {
            write_unknown();
            ids.push_back(*id);
            continue;
        }
        if (byte_fallback_) {
            // Each byte's token <0xXX>, if all are in the vocabulary.
            const std::size_t before = ids.size();
            bool all = true;
            char name[7] = {'<', '0', 'x', 0, 0, '>', 0};
            constexpr char digits[] = "0123456789ABCDEF";
            for (const char byte : symbol) {
                const auto value = static_cast<unsigned char>(byte);
                name[3] = digits[value >> 4];
                name[4] = digits[value & 15];
                const auto byte_id = tokens_.find(std::string_view(name, 6));
                if (!byte_id) {
                    all = false;
                    break;
                }
                ids.push_back(*byte_id);
            }
            if (all) continue;
            ids.resize(before);
        }
        if (!unknown_id_) continue;  // dropped
        if (!fuse_unknown_) write_unknown();
        unknown_waits = true;
    }
    write_unknown();
    merge_symbols(ids, first);
}

void Bpe::merge_symbols(std::vector<std::uint32_t>& ids, std::size_t first) const {
    const std::size_t count = ids.size() - first;
    if (count < 2) return;
    if (count <= scan_limit) {
        // The lowest rank, the leftmost on a tie, found by scanning the pairs' merges, of which
        // only the two next to a merge are looked up again.
        std::uint32_t* symbols = ids.data() + first;
        std::array<const Merge*, scan_limit> merges;
        std::size_t pairs = count - 1;
        for (std::size_t index = 0; index < pairs; ++index)
            merges[index] = find_merge(symbols[index], symbols[index + 1]);
        for (;;) {
            const Merge* best = nullptr;
            std::size_t best_index = 0;
            for (std::size_t index = 0; index < pairs; ++index) {
                const Merge* merge = merges[index];
                if (merge && (best == nullptr || merge->rank < best->rank)) {
                    best = merge;
                    best_index = index;
                }
            }
            if (best == nullptr) break;
            symbols[best_index] = best->id;
            for (std::size_t index = best_index + 1; index < pairs; ++index) {
                symbols[index] = symbols[index + 1];
                merges[index] = merges[index + 1];
            }
            --pairs;  // the symbols are pairs + 1
            if (best_index > 0)
                merges[best_index - 1] = find_merge(symbols[best_index - 1], symbols[best_index]);
            if (best_index < pairs)
                merges[best_index] = find_merge(symbols[best_index], symbols[best_index + 1]);
        }
        ids.resize(first + pairs + 1);
        return;
    }
    // Long words: the symbols linked in a list and the pairs in a heap, by (rank, position);
    // an entry whose pair has since changed is skipped.
    thread_local HeapScratch scratch;
    auto& symbols = scratch.symbols;
    auto& heap = scratch.heap;
    symbols.clear();
    heap.clear();
    for (std::size_t index = 0; index < count; ++index)
        symbols.push_back({ids[first + index],
                           index == 0 ? no_symbol : static_cast<std::uint32_t>(index - 1),
                           index + 1 == count ? no_symbol : static_cast<std::uint32_t>(index + 1)});
    const auto later = std::greater<HeapScratch::Entry>();
    const auto push_pair = [&](std::uint32_t left) {
        const std::uint32_t right = symbols[left].next;
        if (left == no_symbol || right == no_symbol) return;
        if (const Merge* merge = find_merge(symbols[left].id, symbols[right].id)) {
            heap.emplace_back(merge->rank, left, symbols[left].id, symbols[right].id);
            std::ranges::push_heap(heap, later);
        }
    };
    for (std::uint32_t index = 0; index + 1 < count; ++index) push_pair(index);
    while (!heap.empty()) {
        std::ranges::pop_heap(heap, later);
        const auto [rank, left, left_id, right_id] = heap.back();
        heap.pop_back();
        HeapScratch::Symbol& symbol = symbols[left];
        const std::uint32_t right = symbol.next;
        if (symbol.id != left_id || right == no_symbol || symbols[right].id != right_id) continue;
        symbol.id = find_merge(left_id, right_id)->id;
        symbol.next = symbols[right].next;
        if (symbol.next != no_symbol) symbols[symbol.next].previous = left;
        symbols[right].id = UINT32_MAX;  // gone
        symbols[right].next = no_symbol;
        if (symbol.previous != no_symbol) push_pair(symbol.previous);
        push_pair(left);
    }
    ids.resize(first);
    for (std::uint32_t index = 0; index != no_symbol; index = symbols[index].next)
        ids.push_back(symbols[index].id);
}

}  // namespace korvane::tokenizer
