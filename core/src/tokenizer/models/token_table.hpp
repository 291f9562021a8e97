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

[[nodiscard]] inline std::uint64_t hash_bytes(std::string_view key) noexcept {
    std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ key.size();
    std::size_t index = 0;
    for (; index + 8 <= key.size(); index += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, key.data() + index, 8);
        hash = (hash ^ chunk) * 0xBF58476D1CE4E5B9ull;
        hash ^= hash >> 31;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, key.data() + index, key.size() - index);
    hash = (hash ^ tail) * 0x94D049BB133111EBull;
    return hash ^ (hash >> 29);
}

class TokenTable {
public:
    void reserve(std::size_t count) {
        const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, count * 2));
        slots_.assign(capacity, Slot{});
    }

    // Keeps the first ID given for a key.
    void insert(std::string_view key, std::uint32_t id) {
        std::size_t index = hash_bytes(key) & (slots_.size() - 1);
        while (slots_[index].data != nullptr) {
            if (view(slots_[index]) == key) return;
            index = (index + 1) & (slots_.size() - 1);
        }
        slots_[index] = Slot{key.data(), static_cast<std::uint32_t>(key.size()), id};
    }

    [[nodiscard]] std::optional<std::uint32_t> find(std::string_view key) const noexcept {
        std::size_t index = hash_bytes(key) & (slots_.size() - 1);
        while (slots_[index].data != nullptr) {
            const Slot& slot = slots_[index];
            if (slot.length == key.size() && std::memcmp(slot.data, key.data(), key.size()) == 0)
                return slot.id;
            index = (index + 1) & (slots_.size() - 1);
        }
        return std::nullopt;
    }

private:
    struct Slot {
        const char* data = nullptr;
        std::uint32_t length = 0;
        std::uint32_t id = 0;
    };
    static std::string_view view(const Slot& slot) { return {slot.data, slot.length}; }
    std::vector<Slot> slots_;
};

}  // namespace korvane::tokenizer
