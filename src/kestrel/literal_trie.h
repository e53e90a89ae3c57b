// literal_trie: the longest of many literal strings that starts at an offset, in one walk.
//
// Why.  A mode's automaton answers its rules' longest match with one table lookup per byte,
// but it has a state budget (65,536), and a large keyword set passes it: 100,000 keywords of
// seven letters make a trie of some 111,000 states before minimisation.  Such a mode would
// otherwise run every keyword as a rule of its own at every token that begins with a
// keyword's first byte, so a token would cost time proportional to the number of keywords.
// A trie of the literals answers which of them is the longest match at an offset in one walk
// of at most the longest literal's length, whatever their number.
//
// How.  The literals are inserted into a trie of nodes, each with its children as a run of
// (byte, child) edges sorted by byte in one flat array, and the number of the literal that
// ends there (the lowest number when a literal is given twice).  The root, where every walk
// starts, has a direct table of 256 children.  A walk follows the subject's bytes from the
// offset, remembering the last node that ends a literal, and stops where no edge continues.
//
// What it reports, like the automata: the longest literal (its number and length), whether
// text after the subject's end could still change that (the walk reached the end at a node
// with children: `open_end`), and the furthest offset the walk read.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

struct literal_match {
    bool found = false;
    std::uint32_t id = 0;      // the literal's number in the list given to the trie
    std::uint32_t length = 0;  // its length in bytes
    bool open_end = false;
    std::uint32_t reach = 0;   // the furthest offset read (the subject's length: its end)
};

class literal_trie {
public:
    // Literals numbered by their place in the list; empty literals are ignored.
    explicit literal_trie(const std::vector<std::string>& literals);

    literal_match match(const std::uint8_t* subject, std::uint32_t length, std::uint32_t offset) const noexcept;

    std::size_t node_count() const noexcept { return nodes_.size(); }
    std::size_t memory_bytes() const noexcept {
        return nodes_.capacity() * sizeof(node) + edges_.capacity() * sizeof(edge) + sizeof(root_);
    }

private:
    static constexpr std::uint32_t none = 0xFFFFFFFFu;
    struct node {
        std::uint32_t first_edge = 0;
        std::uint32_t edge_count = 0;
        std::uint32_t ends = none;  // the literal ending here
    };
    struct edge {
        std::uint8_t byte = 0;
        std::uint32_t child = 0;
    };
    std::uint32_t child(std::uint32_t n, std::uint8_t b) const noexcept;

    std::array<std::uint32_t, 256> root_{};  // child of the root for each byte, or none
    std::vector<node> nodes_;                // node 0 is the root
    std::vector<edge> edges_;
};

}  // namespace kestrel
