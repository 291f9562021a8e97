// A vocabulary as a byte trie, so that the longest token at a position is found in one walk as
// long as that token, whatever the length of the word.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::tokenizer {

class TokenTrie {
public:
    static constexpr std::uint32_t no_id = UINT32_MAX;

    // Builds the trie of `entries` (key, ID); for a key given twice, the first ID is kept.
    void build(const std::vector<std::pair<std::string_view, std::uint32_t>>& entries);

    static constexpr std::uint32_t root = 0;

    // The node of the keys that start with `prefix`, if any.
    [[nodiscard]] std::optional<std::uint32_t> node_of(std::string_view prefix) const noexcept {
        std::uint32_t node = root;
        for (const char byte : prefix) {
            node = child(node, static_cast<unsigned char>(byte));
            if (node == no_node) return std::nullopt;
        }
        return node;
    }

    // The longest non-empty key that, after the path to `start` (a node_of), starts `text` and
    // ends at a character boundary: its length in bytes (the path not counted) and its ID, or
    // length 0.
    [[nodiscard]] std::pair<std::size_t, std::uint32_t> longest_prefix(
        std::string_view text, std::uint32_t start = root) const noexcept {
        std::pair<std::size_t, std::uint32_t> found{0, no_id};
        std::uint32_t node = start;
        for (std::size_t index = 0; index < text.size(); ++index) {
            node = child(node, static_cast<unsigned char>(text[index]));
            if (node == no_node) break;
            if (nodes_[node].id != no_id &&
                (index + 1 == text.size() ||
                 (static_cast<unsigned char>(text[index + 1]) & 0xC0) != 0x80))
                found = {index + 1, nodes_[node].id};
        }
        return found;
    }

    // Calls `on_key(length, id)` for each non-empty key that starts `text` and ends at a
    // character boundary, shortest first.
    template <typename OnKey>
    void for_each_prefix(std::string_view text, OnKey&& on_key) const {
        std::uint32_t node = root;
        for (std::size_t index = 0; index < text.size(); ++index) {
            node = child(node, static_cast<unsigned char>(text[index]));
            if (node == no_node) return;
            if (nodes_[node].id != no_id &&
                (index + 1 == text.size() ||
                 (static_cast<unsigned char>(text[index + 1]) & 0xC0) != 0x80))
                on_key(index + 1, nodes_[node].id);
        }
    }

private:
    static constexpr std::uint32_t no_node = root;  // the root is nobody's child

    struct Node {
        std::uint32_t first_edge = 0;
        std::uint32_t edge_count = 0;
        std::uint32_t id = no_id;
    };

    [[nodiscard]] std::uint32_t child(std::uint32_t node, unsigned char label) const noexcept {
        const Node& parent = nodes_[node];
        const unsigned char* first = labels_.data() + parent.first_edge;
        const unsigned char* last = first + parent.edge_count;
        const unsigned char* found = parent.edge_count <= 8 ? std::find(first, last, label)
                                                            : std::lower_bound(first, last, label);
        if (found == last || *found != label) return no_node;
        return targets_[static_cast<std::size_t>(found - labels_.data())];
    }

    std::vector<Node> nodes_;
    std::vector<unsigned char> labels_;  // of each node's edges, sorted
    std::vector<std::uint32_t> targets_;
};

}  // namespace korvane::tokenizer
