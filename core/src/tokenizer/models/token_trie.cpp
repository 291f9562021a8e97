#include "tokenizer/models/token_trie.hpp"

#include <array>

namespace korvane::tokenizer {

void TokenTrie::build(const std::vector<std::pair<std::string_view, std::uint32_t>>& entries) {
    // First linked, without sorting the keys: a node's children in a list, or by byte once
    // it has many (the root, "##", ...).
    constexpr std::uint32_t list_limit = 12;
    struct Linked {
        std::uint32_t first_child = 0;  // 0: none (the root is nobody's child)
        std::uint32_t next_sibling = 0;
        std::uint32_t id = no_id;
        std::uint32_t child_count = 0;
        std::uint32_t by_byte = 0;  // 1 + index into `tables`, or 0
        unsigned char label = 0;
    };
    std::size_t key_bytes = 0;
    for (const auto& entry : entries) key_bytes += entry.first.size();
    std::vector<Linked> linked(1);
    linked.reserve(std::min(key_bytes, entries.size() * 4) + 1);
    std::vector<std::array<std::uint32_t, 256>> tables(1);
    tables.front().fill(0);
    linked[0].by_byte = 1;
    for (const auto& [key, id] : entries) {
        std::uint32_t node = 0;
        for (const char byte : key) {
            const auto label = static_cast<unsigned char>(byte);
            std::uint32_t child = 0;
            if (linked[node].by_byte != 0) {
                child = tables[linked[node].by_byte - 1][label];
            } else {
                for (child = linked[node].first_child; child != 0 && linked[child].label != label;
                     child = linked[child].next_sibling) {
                }
            }
            if (child == 0) {
                child = static_cast<std::uint32_t>(linked.size());
                linked.push_back(Linked{0, linked[node].first_child, no_id, 0, 0, label});
                Linked& parent = linked[node];
                parent.first_child = child;
                ++parent.child_count;
                if (parent.by_byte != 0) {
                    tables[parent.by_byte - 1][label] = child;
                } else if (parent.child_count > list_limit) {
                    tables.emplace_back().fill(0);
                    parent.by_byte = static_cast<std::uint32_t>(tables.size());
                    for (std::uint32_t sibling = parent.first_child; sibling != 0;
                         sibling = linked[sibling].next_sibling)
                        tables.back()[linked[sibling].label] = sibling;
                }
            }
            node = child;
        }
        if (linked[node].id == no_id) linked[node].id = id;
    }
    // Then laid out breadth first, each node's children side by side and sorted.
    nodes_.assign(1, Node{0, 0, linked[0].id});
    labels_.clear();
    targets_.clear();
    nodes_.reserve(linked.size());
    labels_.reserve(linked.size());
    targets_.reserve(linked.size());
    std::vector<std::uint32_t> order{0};  // linked index of each laid-out node
    order.reserve(linked.size());
    std::vector<std::uint32_t> children;
    for (std::uint32_t next = 0; next < order.size(); ++next) {
        const Linked& parent = linked[order[next]];
        children.clear();
        if (parent.by_byte != 0) {
            for (const std::uint32_t child : tables[parent.by_byte - 1])
                if (child != 0) children.push_back(child);
        } else {
            for (std::uint32_t child = parent.first_child; child != 0;
                 child = linked[child].next_sibling)
                children.push_back(child);
            std::ranges::sort(children, {},
                              [&](std::uint32_t child) { return linked[child].label; });
        }
        nodes_[next].first_edge = static_cast<std::uint32_t>(labels_.size());
        nodes_[next].edge_count = static_cast<std::uint32_t>(children.size());
        for (const std::uint32_t child : children) {
            labels_.push_back(linked[child].label);
            targets_.push_back(static_cast<std::uint32_t>(nodes_.size()));
            nodes_.push_back(Node{0, 0, linked[child].id});
            order.push_back(child);
        }
    }
}

}  // namespace korvane::tokenizer
