#include "model/token_cache.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace korvane {
namespace {

// Every row of a table cached in a scattered order: rows keep their values while the index and
// the chunks grow, and the cache holds about one pointer per row beyond the rows.
TEST(TokenCacheTest, FullTableCostsOneSlotPerRow) {
    constexpr std::uint32_t rows = 5000;
    constexpr std::size_t dimension = 24;
    TokenCache cache;
    for (std::uint32_t step = 0; step < rows; ++step) {
        const std::uint32_t token = step * 2903u % rows;
        float* row = cache.prepare_row(token, dimension, rows);
        for (std::size_t i = 0; i < dimension; ++i) row[i] = static_cast<float>(token + i);
        cache.insert(token, row);
    }
    ASSERT_EQ(cache.size(), rows);
    for (std::uint32_t token = 0; token < rows; ++token) {
        for (std::size_t i = 0; i < dimension; ++i) {
            ASSERT_EQ(cache.find(token)[i], static_cast<float>(token + i)) << token;
        }
    }
    EXPECT_EQ(cache.find(rows), nullptr);
    EXPECT_LE(cache.allocated_bytes(), rows * (dimension * sizeof(float) + 9));
}

// A moved-from cache starts afresh instead of handing out rows its successor also hands out.
TEST(TokenCacheTest, MovedFromCacheSharesNoStorage) {
    TokenCache first;
    float* row = first.prepare_row(0, 4, 100);
    first.insert(0, row);
    TokenCache second(std::move(first));
    EXPECT_EQ(second.find(0), row);
    EXPECT_EQ(first.find(0), nullptr);
    EXPECT_NE(first.prepare_row(1, 4, 100), second.prepare_row(1, 4, 100));
}

}  // namespace
}  // namespace korvane
