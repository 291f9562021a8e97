// Sizes and offsets computed without wrapping. A row is E x D bytes with D taken unchecked from the
// file, and a token's row starts at t x E x D, so 64 bits are not enough: 128 bits hold any such
// product exactly (t < 2^32, E <= 8, D < 2^64).
#pragma once

#include <cstddef>
#include <new>
#include <string>

#include "errors/exact_texts.hpp"
#include "korvane/errors.hpp"

namespace korvane {

__extension__ typedef unsigned __int128 ExactSize;

// The number in decimal digits; the standard library prints no 128-bit integers.
[[nodiscard]] inline std::string decimal(ExactSize value) {
    char digits[40];
    char* first = digits + sizeof digits;
    do {
        *--first = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return std::string(first, digits + sizeof digits);
}

// Abandons the operation because `bytes` bytes could not be allocated.
[[noreturn]] inline void fail_allocation(ExactSize bytes) {
    throw InternalFailure(std::string(exact_texts::allocation_failed) + decimal(bytes) +
                          std::string(exact_texts::allocation_failed_end));
}

// Abandons the operation unless elements `start` and `end` both lie within a slice of `length`
// elements (either may equal `length`).
inline void check_slice(ExactSize start, ExactSize end, std::size_t length) {
    if (start > length) {
        throw InternalFailure(std::string(exact_texts::range_start) + decimal(start) +
                              std::string(exact_texts::out_of_range_for_slice) + decimal(length));
    }
    if (end > length) {
        throw InternalFailure(std::string(exact_texts::range_end) + decimal(end) +
                              std::string(exact_texts::out_of_range_for_slice) + decimal(length));
    }
}

}  // namespace korvane
