#include "tokenizer/models/unigram.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <variant>

#include "tokenizer/json_fields.hpp"
#include "tokenizer/models/word_cache.hpp"
#include "util/utf8.hpp"

namespace korvane::tokenizer {

namespace {

// The best segmentation of each prefix of a word, by its end in bytes.
struct Lattice {
    std::vector<double> score;
    std::vector<std::uint32_t> start;
    std::vector<std::uint32_t> id;
    std::vector<unsigned char> reached;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> path;  // (start, ID), last first
};

// 2 MiB a thread, of which a text collection's distinct words touch only their own lines.
using UnigramCache = WordCache<32768>;

Lattice& thread_lattice() {
    thread_local Lattice lattice;
    return lattice;
}

std::optional<double> number_of(const json::Value& value) {
    if (const auto* real = std::get_if<double>(&value.content)) return *real;
    if (const auto* whole = std::get_if<std::int64_t>(&value.content))
        return static_cast<double>(*whole);
    if (const auto* count = std::get_if<std::uint64_t>(&value.content))
        return static_cast<double>(*count);
    return std::nullopt;
}

}  // namespace

std::expected<Unigram, std::string> Unigram::from_json(const json::Object& model) {
    Unigram unigram;
    unigram.number_ = new_cache_owner();
    const json::Value* vocab_value = member(model, "vocab");
    if (vocab_value == nullptr || vocab_value->if_array() == nullptr)
        return std::unexpected("the Unigram vocabulary is not a list");
    const json::Array& vocab = *vocab_value->if_array();
    unigram.pieces_.reserve(vocab.size());
    unigram.scores_.reserve(vocab.size());
    for (const json::Value& entry : vocab) {
        const json::Array* pair = entry.if_array();
        std::optional<double> score;
        if (pair == nullptr || pair->size() != 2 || (*pair)[0].if_string() == nullptr ||
            !(score = number_of((*pair)[1])))
            return std::unexpected("a Unigram vocabulary entry is not [piece, score]");
        unigram.pieces_.push_back(*(*pair)[0].if_string());
        unigram.scores_.push_back(*score);
    }
    if (unigram.pieces_.empty()) return std::unexpected("the Unigram vocabulary is empty");
    const json::Value* unknown_value = member(model, "unk_id");
    if (unknown_value == nullptr || unknown_value->if_unsigned() == nullptr ||
        *unknown_value->if_unsigned() >= unigram.pieces_.size())
        return std::unexpected("the Unigram model has no unk_id in its vocabulary");
    unigram.unknown_id_ = static_cast<std::uint32_t>(*unknown_value->if_unsigned());
    auto byte_fallback = boolean_member(model, "byte_fallback", false, "model");
    if (!byte_fallback) return std::unexpected(std::move(byte_fallback.error()));
    unigram.byte_fallback_ = *byte_fallback;

    std::vector<std::pair<std::string_view, std::uint32_t>> keys;
    keys.reserve(unigram.pieces_.size());
    unigram.table_.reserve(unigram.pieces_.size());
    for (std::uint32_t id = 0; id < unigram.pieces_.size(); ++id) {
        const std::string_view piece = unigram.pieces_[id];
        if (unigram.table_.find(piece))
            // tokenizers numbers such a piece by its last entry but scores it otherwise.
            return std::unexpected("the Unigram vocabulary lists a piece twice");
        unigram.table_.insert(piece, id);
        if (!piece.empty()) keys.emplace_back(piece, id);
    }
    unigram.trie_.build(keys);
    unigram.unknown_score_ =
        *std::ranges::min_element(unigram.scores_) - 10.0;  // the lowest score, less 10
    for (unsigned byte = 0; byte < 256; ++byte) {
        char name[8];
        std::snprintf(name, sizeof name, "<0x%02X>", byte);
        unigram.byte_ids_[byte] = unigram.table_.find(name).value_or(TokenTrie::no_id);
    }
    return unigram;
}

void Unigram::push_unknown(std::string_view piece, std::vector<std::uint32_t>& ids) const {
    if (const auto id = table_.find(piece)) {
        ids.push_back(*id);
        return;
    }
    if (byte_fallback_ && std::ranges::all_of(piece, [&](char byte) {
            return byte_ids_[static_cast<unsigned char>(byte)] != TokenTrie::no_id;
        })) {
        for (const char byte : piece) ids.push_back(byte_ids_[static_cast<unsigned char>(byte)]);
        return;
    }
    ids.push_back(unknown_id_);
}

void Unigram::tokenize_word(std::string_view word, std::vector<std::uint32_t>& ids) const {
    if (word.empty()) return;
    UnigramCache::tokenize(number_, word, ids, [this](std::string_view uncached, auto& out) {
        segment(uncached, out);
    });
}

void Unigram::segment(std::string_view word, std::vector<std::uint32_t>& ids) const {
    if (word.empty()) return;
    const std::size_t size = word.size();
    Lattice& lattice = thread_lattice();
    lattice.score.resize(size + 1);
    lattice.start.resize(size + 1);
    lattice.id.resize(size + 1);
    lattice.reached.assign(size + 1, 0);
    lattice.score[0] = 0;
    // Ends are offered in order of their starts, each start's pieces shortest first; a later
    // segmentation replaces an earlier one only when it scores strictly more.
    const auto offer = [&](std::size_t end, double score, std::size_t start, std::uint32_t id) {
        if (!lattice.reached[end] || score > lattice.score[end]) {
            lattice.reached[end] = 1;
            lattice.score[end] = score;
            lattice.start[end] = static_cast<std::uint32_t>(start);
            lattice.id[end] = id;
        }
    };
    for (std::size_t position = 0; position < size;) {
        const std::size_t character =
            utf8::character_length(static_cast<unsigned char>(word[position]));
        const double base = lattice.score[position];
        bool single = false;
        trie_.for_each_prefix(word.substr(position), [&](std::size_t length, std::uint32_t id) {
            single = single || length == character;
            offer(position + length, base + scores_[id], position, id);
        });
        if (!single) offer(position + character, base + unknown_score_, position, unknown_id_);
        position += character;
    }
    auto& path = lattice.path;
    path.clear();
    for (std::size_t end = size; end > 0; end = lattice.start[end])
        path.emplace_back(lattice.start[end], lattice.id[end]);
    // From the first piece; runs of unknown pieces are one.
    for (std::size_t index = path.size(); index > 0;) {
        const auto [start, id] = path[--index];
        if (id != unknown_id_) {
            ids.push_back(id);
            continue;
        }
        while (index > 0 && path[index - 1].second == unknown_id_) --index;
        const std::size_t end = index > 0 ? path[index - 1].first : size;
        push_unknown(word.substr(start, end - start), ids);
    }
}

}  // namespace korvane::tokenizer
