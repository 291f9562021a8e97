// Each thread's cache of short words' IDs, shared by the models that split words (BPE,
// WordPiece, Unigram): the words of a text collection repeat, and a cached word costs one
// comparison instead of the model's search. Entries are found by the word's hash and marked with
// their model's number, so that models never see each other's entries. A thread's cache is its
// own while it runs (no lock, nothing shared) and passes to a later thread when it ends.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "tokenizer/models/token_table.hpp"
#include "util/huge_pages.hpp"

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

// A word of fewer than 16 bytes as two numbers, its bytes zero-padded, to hash and to compare
// with an entry's text without a branch on its length (words of every length follow each other,
// and such branches are mispredicted often).
struct ShortWord {
    std::uint64_t low;   // bytes 0 to 7
    std::uint64_t high;  // bytes 8 to 15
    std::uint64_t low_mask;
    std::uint64_t high_mask;

    [[nodiscard]] std::uint64_t hash(std::size_t size) const noexcept {
        std::uint64_t hash = (low ^ 0x9E3779B97F4A7C15ull ^ size) * 0xBF58476D1CE4E5B9ull;
        hash = (hash ^ (hash >> 31) ^ high) * 0x94D049BB133111EBull;
        return hash ^ (hash >> 29);
    }

    // Whether the 16 bytes at `text` start with the word.
    [[nodiscard]] bool matches(const char* text) const noexcept {
        std::uint64_t first;
        std::uint64_t second;
        std::memcpy(&first, text, 8);
        std::memcpy(&second, text + 8, 8);
        return (((first & low_mask) ^ low) | ((second & high_mask) ^ high)) == 0;
    }
};

// The mask of the first `count` bytes (at most 8) of a number read from memory.
[[nodiscard]] inline std::uint64_t first_bytes_mask(std::size_t count) noexcept {
    return count >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * count)) - 1;
}

// `word` (fewer than 16 bytes) as a ShortWord: in two loads where the 16 bytes from its start lie
// in one 4 KiB page (memory pages are that size or larger, so the loads cannot fault), the bytes
// read past the word masked off, which the address sanitizer is told not to check; else from
// its bytes alone.
[[nodiscard, gnu::no_sanitize_address]] inline ShortWord short_word(
    std::string_view word) noexcept {
    const std::size_t low_bytes = std::min<std::size_t>(word.size(), 8);
    ShortWord key{0, 0, first_bytes_mask(low_bytes), first_bytes_mask(word.size() - low_bytes)};
    // A word's first byte is readable, and with it the rest of its page; an empty word may point
    // past its buffer's end.
    if (std::endian::native == std::endian::little && !word.empty() &&
        (reinterpret_cast<std::uintptr_t>(word.data()) & 4095) <= 4096 - 16) {
        std::memcpy(&key.low, word.data(), 8);
        std::memcpy(&key.high, word.data() + 8, 8);
        key.low &= key.low_mask;
        key.high &= key.high_mask;
    } else {
        key.low = key_head(word.substr(0, low_bytes));
        key.high = key_head(word.substr(low_bytes));
    }
    return key;
}

// A number for a new model's entries, never given twice in the process.
[[nodiscard]] inline std::uint32_t new_cache_owner() noexcept {
    static std::atomic<std::uint32_t> next{1};
    return next++;
}

// A cache of `Entries` words (a power of two) per thread, each of up to `Longest` bytes and
// `MostIds` IDs. The defaults make an entry 64 bytes, a cache line: long enough for most words
// with a 2- or 3-byte mark (byte-level BPE's, Metaspace's), and for words of a few pieces. Four
// entries share each hash, the word used last first: a frequent word survives rarer ones that
// collide with it, as a word that misses costs some 50 times a word found (cache misses in a
// vocabulary's tables).
template <std::size_t Entries, std::size_t Longest = 42, std::size_t MostIds = 4>
class WordCache {
    static constexpr std::size_t ways = 4;
    static_assert(std::has_single_bit(Entries) && Entries >= ways);
    using Entry = CachedWord<Longest, MostIds>;
    static_assert(sizeof(Entry) <= 64);

public:
    // The calling thread's cache, found once for a run of words: in a shared library, each
    // lookup of a thread's own data is a call.
    class Thread {
    public:
        Thread() : entries_(entries()) {}

    private:
        friend WordCache;
        Entry* entries_;
    };

    // Appends the IDs of `word` under the model numbered `owner` to `ids`: from the cache of
    // `thread` (the calling thread's), or from `tokenize(word, ids)`, which appends them, and
    // then remembered when short enough.
    template <typename Tokenize>
    static void tokenize(Thread thread, std::uint32_t owner, std::string_view word,
                         std::vector<std::uint32_t>& ids, Tokenize&& tokenize) {
        if (word.size() > Entry::longest) {
            tokenize(word, ids);
            return;
        }
        if (word.size() < 16) {
            // Most words: their bytes and their entries' compared as two numbers each.
            const ShortWord key = short_word(word);
            Entry* set = set_of(thread, key.hash(word.size()));
            for (std::size_t way = 0; way < ways; ++way) {
                const Entry& entry = set[way];
                if (entry.model == owner && entry.length == word.size() && key.matches(entry.text))
                    [[likely]] {
                    if (way != 0) [[unlikely]]
                        to_front(set, way);
                    append(set[0], ids);
                    return;
                }
            }
            remember(owner, word, set, ids, tokenize);
            return;
        }
        Entry* set = set_of(thread, hash_bytes(word));
        for (std::size_t way = 0; way < ways; ++way) {
            const Entry& entry = set[way];
            if (entry.model == owner && entry.length == word.size() &&
                equal_bytes(entry.text, word.data(), word.size())) [[likely]] {
                if (way != 0) [[unlikely]]
                    to_front(set, way);
                append(set[0], ids);
                return;
            }
        }
        remember(owner, word, set, ids, tokenize);
    }

    // As above, on the calling thread.
    template <typename Tokenize>
    static void tokenize(std::uint32_t owner, std::string_view word,
                         std::vector<std::uint32_t>& ids, Tokenize&& tokenize) {
        WordCache::tokenize(Thread(), owner, word, ids, tokenize);
    }

private:
    // A short word's entry is read 16 bytes from its text's start.
    static_assert(offsetof(Entry, text) + 16 <= sizeof(Entry));

    // The first of the `ways` entries where a word of hash `hash` may be.
    static Entry* set_of(Thread thread, std::uint64_t hash) noexcept {
        return thread.entries_ + (hash & (Entries / ways - 1)) * ways;
    }

    // Out of line, so that a word found, the common case, runs with a small frame.
    [[gnu::noinline]] static void to_front(Entry* set, std::size_t way) noexcept {
        std::rotate(set, set + way, set + way + 1);
    }

    // Tokenizes `word`, not in its `set`, and puts it there first when it has few enough IDs.
    template <typename Tokenize>
    [[gnu::noinline]] static void remember(std::uint32_t owner, std::string_view word, Entry* set,
                                           std::vector<std::uint32_t>& ids, Tokenize& tokenize) {
        const std::size_t first = ids.size();
        tokenize(word, ids);
        const std::size_t count = ids.size() - first;
        if (count <= Entry::most_ids) {
            std::rotate(set, set + ways - 1, set + ways);  // the last used longest ago goes
            Entry& entry = set[0];
            entry.model = owner;
            entry.length = static_cast<std::uint8_t>(word.size());
            entry.count = static_cast<std::uint8_t>(count);
            std::copy(word.begin(), word.end(), entry.text);
            std::copy(ids.begin() + static_cast<std::ptrdiff_t>(first), ids.end(), entry.ids);
        }
    }

    static void append(const Entry& entry, std::vector<std::uint32_t>& ids) {
        // Element by element: a handful, where a range insert calls memmove.
        for (std::size_t index = 0; index < entry.count; ++index) ids.push_back(entry.ids[index]);
    }

    // A thread's entries, handed on when it ends to a thread that starts: the threads of a call
    // live for that call (or one batch of it), and the words of one batch are mostly those of the
    // next. Spare entries wait in a few slots, taken and given without a lock (a fork at any
    // moment leaves nothing locked); beyond them they are freed.
    static constexpr std::size_t spare_slots = 64;

    static std::array<std::atomic<Entry*>, spare_slots>& spares() noexcept {
        static std::array<std::atomic<Entry*>, spare_slots> slots{};
        return slots;
    }

    // A cache's entries start on a boundary of their own size (up to that of a 2 MiB huge page)
    // and are offered for a huge page: a word's lookup lands anywhere in them, and with 4 KiB
    // pages nearly every lookup of a cache of 2 MiB would also miss the TLB.
    static constexpr std::size_t bytes = sizeof(Entry) * Entries;
    static constexpr std::align_val_t alignment{std::min(bytes, huge_page_size)};

    static Entry* allocate() {
        auto* entries = static_cast<Entry*>(::operator new(bytes, alignment));
        if (bytes >= huge_page_size) offer_huge_pages(entries, bytes);
        std::uninitialized_value_construct_n(entries, Entries);
        return entries;
    }

    static void release(Entry* entries) noexcept { ::operator delete(entries, alignment); }

    static Entry* take() {
        for (auto& slot : spares())
            if (Entry* spare = slot.exchange(nullptr, std::memory_order_acquire)) return spare;
        return allocate();
    }

    static void give_back(Entry* entries) noexcept {
        for (auto& slot : spares()) {
            Entry* empty = nullptr;
            if (slot.compare_exchange_strong(empty, entries, std::memory_order_release,
                                             std::memory_order_relaxed))
                return;
        }
        release(entries);
    }

    struct ThreadEntries {
        Entry* entries = take();
        ThreadEntries() = default;
        ThreadEntries(const ThreadEntries&) = delete;
        ThreadEntries& operator=(const ThreadEntries&) = delete;
        ~ThreadEntries() { give_back(entries); }
    };

    static Entry* entries() {
        thread_local const ThreadEntries held;
        return held.entries;
    }
};

}  // namespace korvane::tokenizer
