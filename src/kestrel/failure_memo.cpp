// failure_memo: see failure_memo.h for what a failed run proves and why keeping it makes
// repeated attempts on one subject linear in all.
#include "kestrel/failure_memo.h"


namespace kestrel {

bool failure_memo::near(std::uint32_t from) const noexcept {
    const std::size_t b = from / block_bits;
    return (b < near_blocks_.size() && near_blocks_[b] != 0) ||
           (b + 1 < near_blocks_.size() && near_blocks_[b + 1] != 0);
}

void failure_memo::add(std::uint32_t pc, std::uint32_t pos) {
    if (pc >= has_.size()) has_.resize(std::size_t{pc} + 1, 0);
    has_[pc] = 1;
    const std::size_t b = pos / block_bits;
    if (b >= near_blocks_.size()) near_blocks_.resize(b + 1, 0);
    near_blocks_[b] = 1;
    const auto [it, fresh] = index_.try_emplace(key(pc, pos), static_cast<std::uint32_t>(blocks_.size()));
    if (fresh) blocks_.emplace_back();
    blocks_[it->second].bits[(pos & block_mask) >> 6] |= std::uint64_t{1} << (pos & 63);
}

void failure_memo::merge(const failure_memo& other) {
    if (has_.size() < other.has_.size()) has_.resize(other.has_.size(), 0);
    for (std::size_t i = 0; i < other.has_.size(); ++i) has_[i] |= other.has_[i];
    if (near_blocks_.size() < other.near_blocks_.size()) near_blocks_.resize(other.near_blocks_.size(), 0);
    for (std::size_t i = 0; i < other.near_blocks_.size(); ++i) near_blocks_[i] |= other.near_blocks_[i];
    for (const auto& [k, from] : other.index_) {
        const auto [it, fresh] = index_.try_emplace(k, static_cast<std::uint32_t>(blocks_.size()));
        if (fresh) blocks_.emplace_back();
        block& into = blocks_[it->second];
        for (std::size_t w = 0; w < block_bits / 64; ++w) into.bits[w] |= other.blocks_[from].bits[w];
    }
}

void failure_memo::clear() noexcept {
    // Only what was recorded is reset, so that clearing an empty log (every attempt clears
    // one) costs nothing, and clearing a full one costs what filling it did.
    if (index_.empty()) return;
    for (const auto& [k, b] : index_) {
        has_[k >> 32] = 0;
        near_blocks_[static_cast<std::uint32_t>(k)] = 0;
    }
    index_.clear();
    blocks_.clear();
}

std::size_t failure_memos::memory_bytes() const noexcept {
    std::size_t n = 0;
    for (const auto& [program, memo] : memos_) {
        n += memo.failures.memory_bytes();
        for (const lookahead_memo& a : memo.ahead) n += a.bits.capacity() * sizeof(std::uint64_t);
    }
    return n;
}

}  // namespace kestrel
