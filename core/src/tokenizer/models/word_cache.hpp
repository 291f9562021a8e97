// Each thread's cache of short words' IDs, shared by the models that split words (BPE,
// WordPiece): the words of a text collection repeat, and a cached word costs one comparison
// instead of the model's search. Entries are direct-mapped by the word's hash (the last word seen
// wins) and marked with their model's number, so that models never see each other's entries. A
// thread's cache is its own: no lock, nothing shared.
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

// 32 bytes an entry: half a cache line.
struct CachedWord {
    static constexpr std::size_t longest = 14;  // bytes
    static constexpr std::size_t most_ids = 3;
    std::uint32_t model = 0;  // the owner's number, 0: empty
    std::uint8_t length = 0;
    std::uint8_t count = 0;
    char text[longest];
    std::uint32_t ids[most_ids];
};
static_assert(sizeof(CachedWord) == 32);

// A number for a new model's entries, never given twice in the process.
[[nodiscard]] inline std::uint32_t new_cache_owner() noexcept {
    static std::atomic<std::uint32_t> next{1};
    return next++;
}

// A cache of `Entries` words (a power of two) per thread.
template <std::size_t Entries>
class WordCache {
    static_assert(std::has_single_bit(Entries));

public:
    // Appends the IDs of `word` under the model numbered `owner` to `ids`: from the cache, or
    // from `tokenize(word, ids)`, which appends them, and then remembered when short enough.
    template <typename Tokenize>
    static void tokenize(std::uint32_t owner, std::string_view word, std::vector<std::uint32_t>& ids,
                         Tokenize&& tokenize) {
        if (word.size() > CachedWord::longest) {
            tokenize(word, ids);
            return;
        }
        CachedWord& entry = entries()[hash_bytes(word) & (Entries - 1)];
        if (entry.model == owner && entry.length == word.size() &&
            equal_bytes(entry.text, word.data(), word.size())) {
            ids.insert(ids.end(), entry.ids, entry.ids + entry.count);
            return;
        }
        const std::size_t first = ids.size();
        tokenize(word, ids);
        const std::size_t count = ids.size() - first;
        if (count <= CachedWord::most_ids) {
            entry.model = owner;
            entry.length = static_cast<std::uint8_t>(word.size());
            entry.count = static_cast<std::uint8_t>(count);
            std::copy(word.begin(), word.end(), entry.text);
            std::copy(ids.begin() + static_cast<std::ptrdiff_t>(first), ids.end(), entry.ids);
        }
    }

private:
    static CachedWord* entries() {
        thread_local const std::unique_ptr<CachedWord[]> cache(new CachedWord[Entries]);
        return cache.get();
    }
};

}  // namespace korvane::tokenizer
