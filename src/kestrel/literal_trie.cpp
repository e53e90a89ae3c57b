// literal_trie: see literal_trie.h.
#include "kestrel/literal_trie.h"

#include <algorithm>
#include <map>

namespace kestrel {

literal_trie::literal_trie(const std::vector<std::string>& literals) {
    // Built as a map-based trie first, then laid out flat with each node's edges sorted.
    struct building {
        std::map<std::uint8_t, std::uint32_t> children;
        std::uint32_t ends = none;
    };
    std::vector<building> b(1);
    for (std::uint32_t id = 0; id < literals.size(); ++id) {
        std::uint32_t at = 0;
        for (const char c : literals[id]) {
            const auto byte = static_cast<std::uint8_t>(c);
            const auto it = b[at].children.find(byte);
            if (it != b[at].children.end()) {
                at = it->second;
                continue;
            }
            const auto next = static_cast<std::uint32_t>(b.size());
            b[at].children.emplace(byte, next);
            b.emplace_back();
            at = next;
        }
        if (at != 0 && b[at].ends == none) b[at].ends = id;
    }
    nodes_.resize(b.size());
    std::size_t edges = 0;
    for (const building& n : b) edges += n.children.size();
    edges_.reserve(edges);
    for (std::uint32_t i = 0; i < b.size(); ++i) {
        nodes_[i].ends = b[i].ends;
        nodes_[i].first_edge = static_cast<std::uint32_t>(edges_.size());
        nodes_[i].edge_count = static_cast<std::uint32_t>(b[i].children.size());
        for (const auto& [byte, to] : b[i].children) edges_.push_back(edge{byte, to});
    }
    root_.fill(none);
    for (const auto& [byte, to] : b[0].children) root_[byte] = to;
}

std::uint32_t literal_trie::child(std::uint32_t n, std::uint8_t byte) const noexcept {
    const node& nd = nodes_[n];
    const edge* first = edges_.data() + nd.first_edge;
    const edge* last = first + nd.edge_count;
    if (nd.edge_count <= 8) {
        for (const edge* e = first; e != last; ++e) {
            if (e->byte == byte) return e->child;
        }
        return none;
    }
    const edge* e = std::lower_bound(first, last, byte, [](const edge& x, std::uint8_t v) { return x.byte < v; });
    return e != last && e->byte == byte ? e->child : none;
}

literal_match literal_trie::match(const std::uint8_t* s, std::uint32_t length, std::uint32_t offset) const noexcept {
    literal_match m;
    m.reach = offset;
    if (offset >= length) {
        m.reach = length;
        m.open_end = !edges_.empty();
        return m;
    }
    std::uint32_t at = root_[s[offset]];
    std::uint32_t i = offset + 1;
    while (at != none) {
        if (nodes_[at].ends != none) {
            m.found = true;
            m.id = nodes_[at].ends;
            m.length = i - offset;
        }
        if (nodes_[at].edge_count == 0) break;
        if (i == length) {
            m.open_end = true;
            break;
        }
        at = child(at, s[i]);
        ++i;
    }
    m.reach = i - 1 >= length ? length : i - 1;
    if (m.open_end) m.reach = length;
    return m;
}

}  // namespace kestrel
