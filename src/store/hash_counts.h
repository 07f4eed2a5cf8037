// HashCounts: a count per 64-bit hash, in one flat array with linear probing. A restore keeps
// one count per record it has read; a node-based map would allocate for each and scatter them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace larkpost {

class HashCounts {
 public:
  // The count of `hash` (0 when it was never counted), to read or change.
  uint32_t& operator[](uint64_t hash) {
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    Slot& slot = slots_[Find(slots_, Stored(hash))];
    if (slot.hash == 0) {
      slot.hash = Stored(hash);
      ++used_;
    }
    return slot.count;
  }
  uint32_t Count(uint64_t hash) const {
    if (slots_.empty()) return 0;
    const Slot& slot = slots_[Find(slots_, Stored(hash))];
    return slot.hash == 0 ? 0 : slot.count;
  }
  void Clear() {
    slots_.clear();
    used_ = 0;
  }

 private:
  struct Slot {
    uint64_t hash = 0;  // 0: empty
    uint32_t count = 0;
  };

  // Hash 0 marks an empty slot, so it is kept as 1; the two share a count (a 2^-64 chance).
  static uint64_t Stored(uint64_t hash) { return hash == 0 ? 1 : hash; }

  // The slot that holds `hash`, or the empty one where it belongs.
  static size_t Find(const std::vector<Slot>& table, uint64_t hash) {
    const size_t mask = table.size() - 1;
    // The multiply spreads every bit of the hash over the bits the index takes.
    for (size_t i = (hash * 0x9E3779B97F4A7C15ull) >> 20 & mask;; i = (i + 1) & mask) {
      if (table[i].hash == hash || table[i].hash == 0) return i;
    }
  }

  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.resize(old.empty() ? 64 : old.size() * 2);
    for (const Slot& slot : old) {
      if (slot.hash != 0) slots_[Find(slots_, slot.hash)] = slot;
    }
  }

  std::vector<Slot> slots_;  // a power of two long, at most half full
  size_t used_ = 0;
};

}  // namespace larkpost
