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
// `MostIds` IDs. The defaults make an entry 32 bytes, half a cache line.
template <std::size_t Entries, std::size_t Longest = 14, std::size_t MostIds = 3>
class WordCache {
    static_assert(std::has_single_bit(Entries));
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
        Entry& entry = entries()[hash_bytes(word) & (Entries - 1)];
        if (entry.model == owner && entry.length == word.size() &&
            equal_bytes(entry.text, word.data(), word.size())) {
            ids.insert(ids.end(), entry.ids, entry.ids + entry.count);
            return;
        }
        const std::size_t first = ids.size();
        tokenize(word, ids);
        const std::size_t count = ids.size() - first;
        if (count <= Entry::most_ids) {
            entry.model = owner;
            entry.length = static_cast<std::uint8_t>(word.size());
            entry.count = static_cast<std::uint8_t>(count);
            std::copy(word.begin(), word.end(), entry.text);
            std::copy(ids.begin() + static_cast<std::ptrdiff_t>(first), ids.end(), entry.ids);
        }
    }

private:
    static Entry* entries() {
        thread_local const std::unique_ptr<Entry[]> cache(new Entry[Entries]);
        return cache.get();
    }
};

}  // namespace korvane::tokenizer
