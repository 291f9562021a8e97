// Each thread's cache of short words' IDs, shared by the models that split words (BPE,
// WordPiece, Unigram): the words of a text collection repeat, and a cached word costs one
// comparison instead of the model's search. Entries are direct-mapped by the word's hash (the last
// word seen wins) and marked with their model's number, so that models never see each other's
// entries. A thread's cache is its own: no lock, nothing shared.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/models/token_table.hpp"

namespace korvane::tokenizer {

// A word of up to `Longest` bytes and its IDs, if they are `MostIds` or fewer; aligned to its
// size, so that an entry of up to 64 bytes sits within one cache line.
template <std::size_t Longest, std::size_t MostIds>
struct alignas(std::bit_ceil(6 + Longest + 4 * MostIds)) CachedWord {
    static_assert(Longest <= UINT8_MAX && MostIds <= UINT8_MAX);
    static constexpr std::size_t longest = Longest;  // bytes
    static constexpr std::size_t most_ids = MostIds;
    std::uint32_t model = 0;  // the owner's number, 0: empty
    std::uint8_t length = 0;
    std::uint8_t count = 0;
    char text[longest];
    std::uint32_t ids[most_ids];
};

// A number for a new model's entries, never given twice in the process.
[[nodiscard]] inline std::uint32_t new_cache_owner() noexcept {
    static std::atomic<std::uint32_t> next{1};
    return next++;
}

// A cache of `Entries` words (a power of two) per thread, each of up to `Longest` bytes and
// `MostIds` IDs. The defaults make an entry 64 bytes, a cache line: long enough for most words
// with a 2- or 3-byte mark (byte-level BPE's, Metaspace's), and for words of a few pieces. Two
// entries share each hash, the word used last first: a frequent word survives a rare one that
// collides with it.
template <std::size_t Entries, std::size_t Longest = 42, std::size_t MostIds = 4>
class WordCache {
    static_assert(std::has_single_bit(Entries) && Entries >= 2);
    using Entry = CachedWord<Longest, MostIds>;
    static_assert(sizeof(Entry) <= 64);

public:
    // Appends the IDs of `word` under the model numbered `owner` to `ids`: from the cache, or
    // from `tokenize(word, ids)`, which appends them, and then remembered when short enough.
    template <typename Tokenize>
    static void tokenize(std::uint32_t owner, std::string_view word, std::vector<std::uint32_t>& ids,
                         Tokenize&& tokenize) {
        if (word.size() > Entry::longest) {
            tokenize(word, ids);
            return;
        }
        Entry* pair = entries() + (hash_bytes(word) & (Entries / 2 - 1)) * 2;
        const auto holds = [&](const Entry& entry) {
            return entry.model == owner && entry.length == word.size() &&
                   equal_bytes(entry.text, word.data(), word.size());
        };
        if (holds(pair[0])) {
            append(pair[0], ids);
            return;
        }
        if (holds(pair[1])) {
            std::swap(pair[0], pair[1]);
            append(pair[0], ids);
            return;
        }
        const std::size_t first = ids.size();
        tokenize(word, ids);
        const std::size_t count = ids.size() - first;
        if (count <= Entry::most_ids) {
            pair[1] = pair[0];
            Entry& entry = pair[0];
            entry.model = owner;
            entry.length = static_cast<std::uint8_t>(word.size());
            entry.count = static_cast<std::uint8_t>(count);
            std::copy(word.begin(), word.end(), entry.text);
            std::copy(ids.begin() + static_cast<std::ptrdiff_t>(first), ids.end(), entry.ids);
        }
    }

private:
    static void append(const Entry& entry, std::vector<std::uint32_t>& ids) {
        // Element by element: a handful, where a range insert calls memmove.
        for (std::size_t index = 0; index < entry.count; ++index) ids.push_back(entry.ids[index]);
    }

    static Entry* entries() {
        thread_local const std::unique_ptr<Entry[]> cache(new Entry[Entries]);
        return cache.get();
    }
};

}  // namespace korvane::tokenizer
