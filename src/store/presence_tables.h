// The two tables of a restore's presence test. KeyedPositions holds the messages read from a
// folder by presence key; PositionSet marks the messages records have been matched
// to. Both are flat: a restore touches them for every record and every message it reads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

// A multimap from presence keys to message positions, looked up by the key's 64-bit hash and
// then by the key itself, so two distinct messages whose keys share a hash are never taken for
// each other. Each position carries a tag of how its message wrote the parties' numbers
// (WrittenNumbersHash), so a lookup can tell a match that needed the numbers' normalisation. Equal keys share one entry: the key is kept once, with its positions in the order
// they were added and a cursor past the ones found taken. As a restore's taken positions only
// ever grow, each position is passed over once however many equal messages a folder holds, and
// a lookup costs no more than a few probes.
class KeyedPositions {
 public:
  void Add(uint64_t hash, std::string_view key, int64_t position, uint64_t writing = 0) {
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    size_t i = Home(slots_, hash);
    for (; slots_[i].entry != kEmpty; i = (i + 1) & (slots_.size() - 1)) {
      Entry& entry = entries_[slots_[i].entry];
      if (slots_[i].hash == hash && entry.key == key) {
        entry.positions.push_back(position);
        entry.writings.push_back(writing);
        return;
      }
    }
    slots_[i] = Slot{hash, static_cast<uint32_t>(entries_.size())};
    entries_.push_back(Entry{std::string(key), {position}, {writing}, 0});
    ++used_;
  }
  // A position under `key` that is not in `taken`, or 0 when there is none: of the next few
  // one whose numbers were written as `writing` says, else the first. `sameWriting` tells which.
  // `taken` must only have grown since the last call.
  int64_t FindNotIn(uint64_t hash, std::string_view key, const PositionSet& taken,
                    uint64_t writing = 0, bool* sameWriting = nullptr) {
    if (slots_.empty()) return 0;
    for (size_t i = Home(slots_, hash); slots_[i].entry != kEmpty; i = (i + 1) & (slots_.size() - 1)) {
      Entry& entry = entries_[slots_[i].entry];
      if (slots_[i].hash != hash || entry.key != key) continue;
      while (entry.next < entry.positions.size() && taken.Contains(entry.positions[entry.next])) {
        ++entry.next;
      }
      if (entry.next == entry.positions.size()) return 0;
      const size_t end = std::min(entry.positions.size(), entry.next + kWritingLookAhead);
      for (size_t at = entry.next; at < end; ++at) {
        if (entry.writings[at] == writing && !taken.Contains(entry.positions[at])) {
          if (sameWriting != nullptr) *sameWriting = true;
          return entry.positions[at];
        }
      }
      if (sameWriting != nullptr) *sameWriting = false;
      return entry.positions[entry.next];
    }
    return 0;
  }
  void Clear() {
    slots_.clear();
    entries_.clear();
    used_ = 0;
  }

 private:
  static constexpr uint32_t kEmpty = ~uint32_t{0};
  // How many untaken positions past the cursor a lookup looks at for one written alike: a few,
  // so that equal messages still cost a lookup no more than a few probes.
  static constexpr size_t kWritingLookAhead = 8;
  struct Slot {
    uint64_t hash = 0;
    uint32_t entry = kEmpty;  // index into entries_
  };
  struct Entry {
    std::string key;
    std::vector<int64_t> positions;
    std::vector<uint64_t> writings;  // one per position
    size_t next = 0;  // positions before it are taken
  };

  static size_t Home(const std::vector<Slot>& table, uint64_t hash) {
    // The multiply spreads every bit of the hash over the bits the index takes.
    return (hash * 0x9E3779B97F4A7C15ull) >> 20 & (table.size() - 1);
  }

  void Grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.resize(old.empty() ? 64 : old.size() * 2);
    for (const Slot& slot : old) {
      if (slot.entry == kEmpty) continue;
      size_t i = Home(slots_, slot.hash);
      while (slots_[i].entry != kEmpty) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;  // a power of two long, at most half full
  std::vector<Entry> entries_;
  size_t used_ = 0;  // distinct keys
};

}  // namespace larkpost
