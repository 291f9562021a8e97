#include "tokenizer/models/word_cache.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "korvane/tokenizer/tokenizer.hpp"
#include "korvane/util/joining_thread.hpp"

namespace korvane::tokenizer {
namespace {

using Ids = std::vector<std::uint32_t>;

// A stand-in model: one ID per `bytes_per_id` bytes of the word (the first one's value plus
// `base`), counting its calls.
struct CountingModel {
    std::uint32_t base = 0;
    int calls = 0;
    std::size_t bytes_per_id = 1;

    Ids of(std::string_view word) const {
        Ids ids;
        for (std::size_t index = 0; index < word.size(); index += bytes_per_id)
            ids.push_back(base + static_cast<unsigned char>(word[index]));
        return ids;
    }
};

// Through a cache of 16 entries of 32 bytes (14 bytes, 3 IDs): many words share each entry.
template <typename Cache = WordCache<16, 14, 3>>
Ids cached(std::uint32_t owner, std::string_view word, CountingModel& model) {
    Ids ids{7};  // appended to, never cleared
    Cache::tokenize(owner, word, ids, [&](std::string_view uncached, Ids& out) {
        ++model.calls;
        const Ids found = model.of(uncached);
        out.insert(out.end(), found.begin(), found.end());
    });
    return {ids.begin() + 1, ids.end()};
}

TEST(WordCache, KeepsShortWordsOfFewIds) {
    CountingModel model;
    const std::uint32_t owner = new_cache_owner();
    for (const std::string_view word : {"", "a", "abc", "x"}) {
        EXPECT_EQ(cached(owner, word, model), model.of(word));
        const int calls = model.calls;
        EXPECT_EQ(cached(owner, word, model), model.of(word));
        EXPECT_EQ(model.calls, calls) << word;  // the second time from the cache
    }
    // Four IDs, or fifteen bytes: never kept.
    for (const std::string_view word : {"abcd", "abcdefghijklmno"}) {
        const int calls = model.calls;
        EXPECT_EQ(cached(owner, word, model), model.of(word));
        EXPECT_EQ(cached(owner, word, model), model.of(word));
        EXPECT_EQ(model.calls, calls + 2) << word;
    }
}

// A word of fewer than 16 bytes is compared as two numbers: the bytes that follow it in its text
// never count, and neither does what a longer word left in its entry.
TEST(WordCache, ShortWordsAreTheirBytesAlone) {
    CountingModel model;
    model.bytes_per_id = 8;  // at most two IDs, which the cache keeps
    const std::uint32_t owner = new_cache_owner();
    const std::string first = "abcdefghijklm_XXXXXXXXXXXXXXXX";
    const std::string second = "abcdefghijklm_YYYYYYYYYYYYYYYY";
    for (std::size_t size = 1; size < 14; ++size) {
        const std::string_view word(first.data(), size);
        EXPECT_EQ(cached(owner, word, model), model.of(word));
        const int calls = model.calls;
        EXPECT_EQ(cached(owner, std::string_view(second.data(), size), model), model.of(word));
        EXPECT_EQ(model.calls, calls) << size;  // the same word, from the cache
    }
    // "ab" where "abcdefghijklm" was: another word.
    EXPECT_EQ(cached(owner, "ab", model), model.of("ab"));
    EXPECT_EQ(cached(owner, "abc", model), model.of("abc"));
}

// A short word's bytes are read in two loads only where these stay in the word's page: at a
// page's end, next to a page that cannot be read, they are read one by one, and give the same.
TEST(WordCache, ShortWordsAtThePageEnd) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* mapped =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    char* bytes = static_cast<char*>(mapped);
    ASSERT_EQ(mprotect(bytes + page, page, PROT_NONE), 0);
    for (std::size_t size = 0; size < 16; ++size) {
        for (std::size_t gap = 0; gap < 20; ++gap) {
            char* start = bytes + page - size - gap;
            for (std::size_t index = 0; index < size + gap; ++index)
                start[index] = static_cast<char>('a' + index);
            const std::string_view word(start, size);
            const std::size_t low = std::min<std::size_t>(size, 8);
            const ShortWord key = short_word(word);
            EXPECT_EQ(key.low, key_head(word.substr(0, low))) << size << " " << gap;
            EXPECT_EQ(key.high, key_head(word.substr(low))) << size << " " << gap;
            std::string entry(word);
            entry.resize(16, 'z');  // an entry's text: the word, then what was there before
            EXPECT_TRUE(key.matches(entry.data())) << size << " " << gap;
            entry[0] = size == 0 ? 'z' : 'Z';
            EXPECT_EQ(key.matches(entry.data()), size == 0) << size << " " << gap;
        }
    }
    munmap(mapped, 2 * page);
}

// The models' entries: 64 bytes, for longer words of more IDs.
TEST(WordCache, LargerEntriesKeepLongerWords) {
    using ModelsCache = WordCache<16>;
    const std::string longest(42, 'w');
    for (const auto& [word, bytes_per_id, kept] :
         {std::tuple{std::string("abcd"), 1, true}, std::tuple{std::string("abcde"), 1, false},
          std::tuple{longest, 14, true}, std::tuple{longest + "w", 14, false}}) {
        CountingModel model{0, 0, static_cast<std::size_t>(bytes_per_id)};
        const std::uint32_t owner = new_cache_owner();
        EXPECT_EQ(cached<ModelsCache>(owner, word, model), model.of(word));
        EXPECT_EQ(cached<ModelsCache>(owner, word, model), model.of(word));
        EXPECT_EQ(model.calls, kept ? 1 : 2) << word;
    }
}

// One set of four entries for all words: the word used last survives three others.
TEST(WordCache, AFrequentWordOutlivesTheOthers) {
    using OneSet = WordCache<4>;
    CountingModel model;
    const std::uint32_t owner = new_cache_owner();
    for (const std::string_view word :
         {"the", "cat", "sat", "on", "the", "a", "mat", "by", "the", "cat"}) {
        const int calls = model.calls;
        EXPECT_EQ(cached<OneSet>(owner, word, model), model.of(word));
        EXPECT_EQ(model.calls, calls + (word == "the" && calls > 0 ? 0 : 1)) << word;
    }
    EXPECT_EQ(model.calls, 8);  // "cat" was evicted by the words after the second "the"
}

TEST(WordCache, EvictedAndCollidingWordsKeepTheirIds) {
    CountingModel model;
    const std::uint32_t owner = new_cache_owner();
    // 3,000 words of one to three bytes, of equal lengths and shared starts, twice over.
    std::vector<std::string> words;
    for (int index = 0; index < 3000; ++index) {
        std::string word;
        for (int rest = index; word.size() < 1 + static_cast<std::size_t>(index % 3); rest /= 26)
            word.push_back(static_cast<char>('a' + rest % 26));
        words.push_back(word);
    }
    for (int pass = 0; pass < 2; ++pass)
        for (const std::string& word : words) ASSERT_EQ(cached(owner, word, model), model.of(word));
}

TEST(WordCache, ModelsNeverSeeEachOthersEntries) {
    CountingModel first{0};
    CountingModel second{1000};
    const std::uint32_t first_owner = new_cache_owner();
    const std::uint32_t second_owner = new_cache_owner();
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(cached(first_owner, "ab", first), first.of("ab"));
        EXPECT_EQ(cached(second_owner, "ab", second), second.of("ab"));
    }
}

// A thread that ends hands its entries to the next that starts: threads live for one call.
TEST(WordCache, AThreadsEntriesOutliveIt) {
    using OnlyHere = WordCache<8>;  // no other test's threads hold its entries
    CountingModel model;
    const std::uint32_t owner = new_cache_owner();
    for (int round = 0; round < 3; ++round) {
        Ids ids;
        std::thread([&] { ids = cached<OnlyHere>(owner, "abc", model); }).join();
        EXPECT_EQ(ids, model.of("abc"));
    }
    EXPECT_EQ(model.calls, 1);
    // Threads at once: each has entries of its own, and all are kept or freed at the end.
    std::vector<int> wrong(80, 0);
    {
        std::vector<JoiningThread> threads;
        for (int thread = 0; thread < 80; ++thread)
            threads.emplace_back([owner, thread, &wrong] {
                CountingModel own;
                const std::string word(1 + thread % 5, 'x');
                for (int round = 0; round < 3; ++round)
                    wrong[thread] += cached<OnlyHere>(owner, word, own) != own.of(word);
            });
    }
    EXPECT_EQ(wrong, std::vector<int>(80, 0));
}

// Two WordPiece tokenizers in one thread, the same words with other IDs in each.
TEST(WordCache, TwoWordPieceTokenizersInOneThread) {
    const auto make = [](std::string_view vocab) {
        return Tokenizer::from_json(std::string(R"({"pre_tokenizer": {"type": "BertPreTokenizer"},
            "model": {"type": "WordPiece", "unk_token": "[UNK]", "vocab": )") +
                                    std::string(vocab) + "}}");
    };
    const auto first = make(R"({"[UNK]": 0, "cafe": 1, "un": 2, "##able": 3})");
    const auto second = make(R"({"un": 0, "##able": 1, "[UNK]": 2, "cafe": 3})");
    ASSERT_TRUE(first && second);
    for (int round = 0; round < 3; ++round) {
        std::vector<std::uint32_t> ids;
        ASSERT_EQ(first->tokenize("cafe unable cafes", ids), Tokenizer::Outcome::tokenized);
        ASSERT_EQ(second->tokenize("cafe unable cafes", ids), Tokenizer::Outcome::tokenized);
        EXPECT_EQ(ids, (Ids{1, 2, 3, 0, 3, 0, 1, 2}));
    }
}

}  // namespace
}  // namespace korvane::tokenizer
