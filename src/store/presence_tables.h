// The two tables of a restore's presence test. KeyedPositions holds the messages read from a
// folder as (key hash, position) pairs; PositionSet marks the messages records have been matched
// to. Both are flat: a restore touches them for every record and every message it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace larkpost {

// A set of message positions, one bit each in pages of 32,768: its size follows the store's
// positions, not the number of records a restore reads.
class PositionSet {
 public:
  bool Contains(int64_t position) const {
    const auto page = pages_.find(position / kPageBits);
    if (page == pages_.end()) return false;
    const uint64_t bit = static_cast<uint64_t>(position % kPageBits);
    return (page->second[bit / 64] >> (bit % 64) & 1) != 0;
  }
  void Insert(int64_t position) {
    std::vector<uint64_t>& page = pages_[position / kPageBits];
    if (page.empty()) page.resize(kPageBits / 64);
    const uint64_t bit = static_cast<uint64_t>(position % kPageBits);
    page[bit / 64] |= uint64_t{1} << (bit % 64);
  }

 private:
  static constexpr int64_t kPageBits = 1 << 15;
  std::unordered_map<int64_t, std::vector<uint64_t>> pages_;
};

// A multimap from 64-bit key hashes to message positions, with linear probing: every pair of a
// key lies between the key's home slot and the next empty one.
class KeyedPositions {
 public:
  void Add(uint64_t key, int64_t position) {
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    size_t i = Home(slots_, key);
    while (slots_[i].position != 0) i = (i + 1) & (slots_.size() - 1);
    slots_[i] = Slot{key, position};
    ++used_;
  }
  // The first position under `key` that is not in `taken`, or 0 when there is none.
  int64_t FindNotIn(uint64_t key, const PositionSet& taken) const {
    if (slots_.empty()) return 0;
    for (size_t i = Home(slots_, key); slots_[i].position != 0; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i].key == key && !taken.Contains(slots_[i].position)) return slots_[i].position;
    }
    return 0;
  }
  void Clear() {
    slots_.clear();
    used_ = 0;
  }

 private:
  struct Slot {
    uint64_t key = 0;
    int64_t position = 0;  // 0: empty (positions are positive)
  };

  static size_t Home(const std::vector<Slot>& table, uint64_t key) {
    // The multiply spreads every bit of the hash over the bits the index takes.
    return (key * 0x9E3779B97F4A7C15ull) >> 20 & (table.size() - 1);
  }

  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.resize(old.empty() ? 64 : old.size() * 2);
    used_ = 0;
    for (const Slot& slot : old) {
      if (slot.position != 0) Add(slot.key, slot.position);
    }
  }

  std::vector<Slot> slots_;  // a power of two long, at most half full
  size_t used_ = 0;
};

}  // namespace larkpost
