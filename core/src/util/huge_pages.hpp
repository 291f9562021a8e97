// Transparent huge pages, where the system offers them: memory read at scattered places (a large
// table's rows, a word cache) misses the TLB far less on 2 MiB pages than on 4 KiB ones.
#pragma once

#include <cstddef>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace korvane {

inline constexpr std::size_t huge_page_size = std::size_t{2} << 20;

// Offers `size` bytes at `start` (on a huge page boundary) to the kernel for huge pages. Only
// advice: without them (or where the advice does not exist, as on macOS) the memory keeps
// ordinary pages.
inline void offer_huge_pages([[maybe_unused]] void* start,
                             [[maybe_unused]] std::size_t size) noexcept {
#if defined(MADV_HUGEPAGE)
    ::madvise(start, size, MADV_HUGEPAGE);
#endif
}

}  // namespace korvane
