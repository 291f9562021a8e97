// A vocabulary for whole keys: open addressing over string views into the tokens' own storage.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace korvane::tokenizer {

// The first eight bytes of `key`, zero-padded: how a slot holds a key's start.
[[nodiscard]] inline std::uint64_t key_head(std::string_view key) noexcept {
    const char* data = key.data();
    const std::size_t size = key.size();
    std::uint64_t head = 0;
    if (size >= 8) {
        std::memcpy(&head, data, 8);
    } else if (size >= 4) {
        std::uint32_t low;
        std::uint32_t high;
        std::memcpy(&low, data, 4);
        std::memcpy(&high, data + size - 4, 4);
        head = low | (std::uint64_t{high} << ((size - 4) * 8));  // overlapping bytes agree
    } else {
        for (std::size_t index = 0; index < size; ++index)
            head |= std::uint64_t{static_cast<unsigned char>(data[index])} << (index * 8);
    }
    return head;
}

[[nodiscard]] inline std::uint64_t hash_bytes(std::string_view key) noexcept {
    std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ key.size();
    std::size_t index = 0;
    for (; index + 8 <= key.size(); index += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, key.data() + index, 8);
        hash = (hash ^ chunk) * 0xBF58476D1CE4E5B9ull;
        hash ^= hash >> 31;
    }
    // The last bytes without a call to memcpy of a variable size.
    const std::uint64_t tail = key_head(key.substr(index));
    hash = (hash ^ tail) * 0x94D049BB133111EBull;
    return hash ^ (hash >> 29);
}

// Whether the `size` bytes at `a` and `b` are equal: inline, in at most two loads each up to 16
// bytes (most tokens), as libc's memcmp behind a call costs more than the whole comparison.
[[nodiscard]] inline bool equal_bytes(const char* a, const char* b, std::size_t size) noexcept {
    const auto load8 = [](const char* p) {
        std::uint64_t value;
        std::memcpy(&value, p, 8);
        return value;
    };
    const auto load4 = [](const char* p) {
        std::uint32_t value;
        std::memcpy(&value, p, 4);
        return value;
    };
    if (size >= 8) {
        if (size > 16) return std::memcmp(a, b, size) == 0;
        return ((load8(a) ^ load8(b)) | (load8(a + size - 8) ^ load8(b + size - 8))) == 0;
    }
    if (size >= 4)
        return ((load4(a) ^ load4(b)) | (load4(a + size - 4) ^ load4(b + size - 4))) == 0;
    for (std::size_t index = 0; index < size; ++index)
        if (a[index] != b[index]) return false;
    return true;
}

class TokenTable {
public:
    void reserve(std::size_t count) {
        const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, count * 2));
        slots_.assign(capacity, Slot{});
        tails_.assign(capacity, nullptr);
    }

    // Keeps the first ID given for a key.
    void insert(std::string_view key, std::uint32_t id) {
        std::size_t index = hash_bytes(key) & (slots_.size() - 1);
        while (slots_[index].length != empty) {
            if (matches(index, key_head(key), key)) return;
            index = (index + 1) & (slots_.size() - 1);
        }
        slots_[index] = Slot{key_head(key), static_cast<std::uint32_t>(key.size()), id};
        tails_[index] = key.data();
    }

    [[nodiscard]] std::optional<std::uint32_t> find(std::string_view key) const noexcept {
        std::size_t index = hash_bytes(key) & (slots_.size() - 1);
        const std::uint64_t head = key_head(key);
        while (slots_[index].length != empty) {
            if (matches(index, head, key)) return slots_[index].id;
            index = (index + 1) & (slots_.size() - 1);
        }
        return std::nullopt;
    }

private:
    static constexpr std::uint32_t empty = UINT32_MAX;

    // A key's length and first eight bytes in the slot, so that most keys (up to eight bytes)
    // are told apart without reaching into the tokens' storage.
    struct Slot {
        std::uint64_t head = 0;
        std::uint32_t length = empty;
        std::uint32_t id = 0;
    };

    [[nodiscard]] bool matches(std::size_t index, std::uint64_t head,
                               std::string_view key) const noexcept {
        const Slot& slot = slots_[index];
        if (slot.length != key.size() || slot.head != head) return false;
        return key.size() <= 8 || equal_bytes(tails_[index] + 8, key.data() + 8, key.size() - 8);
    }

    std::vector<Slot> slots_;
    std::vector<const char*> tails_;  // each slot's key, read only past its first eight bytes
};

}  // namespace korvane::tokenizer
