// The tables of a restore's presence test. PresenceIndex holds the messages read from a folder,
// in KeyedPositions by their keys; PositionSet marks the messages records have been matched to.
// All are flat: a restore touches them for every record and every message it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "identity/identity.h"
#include "identity/phone_number.h"
#include "message/message_record.h"

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
// each other. Equal keys share one entry: the key is kept once, with its positions in the order
// they were added and a cursor past the ones found taken. As a restore's taken positions only
// ever grow, each position is passed over once however many equal messages a folder holds, and
// a lookup costs no more than a few probes.
class KeyedPositions {
 public:
  void Add(uint64_t hash, std::string_view key, int64_t position) {
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    size_t i = Home(slots_, hash);
    for (; slots_[i].entry != kEmpty; i = (i + 1) & (slots_.size() - 1)) {
      Entry& entry = entries_[slots_[i].entry];
      if (slots_[i].hash == hash && entry.key == key) {
        entry.positions.push_back(position);
        return;
      }
    }
    slots_[i] = Slot{hash, static_cast<uint32_t>(entries_.size())};
    entries_.push_back(Entry{std::string(key), {position}, 0});
    ++used_;
  }
  // The first position under `key` that is not in `taken`, or 0 when there is none. `taken`
  // must only have grown since the last call.
  int64_t FindNotIn(uint64_t hash, std::string_view key, const PositionSet& taken) {
    if (slots_.empty()) return 0;
    for (size_t i = Home(slots_, hash); slots_[i].entry != kEmpty; i = (i + 1) & (slots_.size() - 1)) {
      Entry& entry = entries_[slots_[i].entry];
      if (slots_[i].hash != hash || entry.key != key) continue;
      while (entry.next < entry.positions.size() && taken.Contains(entry.positions[entry.next])) {
        ++entry.next;
      }
      return entry.next < entry.positions.size() ? entry.positions[entry.next] : 0;
    }
    return 0;
  }
  // The positions under `key` not passed over yet; they leave the table.
  std::vector<int64_t> TakeAll(uint64_t hash, std::string_view key) {
    std::vector<int64_t> positions;
    if (slots_.empty()) return positions;
    for (size_t i = Home(slots_, hash); slots_[i].entry != kEmpty;
         i = (i + 1) & (slots_.size() - 1)) {
      Entry& entry = entries_[slots_[i].entry];
      if (slots_[i].hash != hash || entry.key != key) continue;
      positions.assign(entry.positions.begin() + static_cast<ptrdiff_t>(entry.next),
                       entry.positions.end());
      entry.positions.clear();
      entry.next = 0;
      break;
    }
    return positions;
  }
  void Clear() {
    slots_.clear();
    entries_.clear();
    used_ = 0;
  }

 private:
  static constexpr uint32_t kEmpty = ~uint32_t{0};
  struct Slot {
    uint64_t hash = 0;
    uint32_t entry = kEmpty;  // index into entries_
  };
  struct Entry {
    std::string key;
    std::vector<int64_t> positions;
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

// A backup file's record against the messages of its standard folder that hold no more than a
// phone's file gives a message (restore.h): direction, millisecond, the text through the code
// page and the other parties.
inline constexpr IdentityFields kBackupAgainstPhoneCopy{false, false, false, false,
                                                        false, true,  false};

// The messages read from a folder, as a restore of a backup file looks its records up among
// them: by the identity rule with `fields` (by default every field a backup file keeps, the text
// through the code page). Fields without the own number need each message's folder path, which
// tells which side is the other party.
// Most records are found by their key with the numbers as written, which costs no normalising:
// a record equal to a message written alike is that message. Only a record found so finds none
// is compared with the numbers normalised, and only against the messages that share its folder,
// time and text; theirs are normalised then, once each. So a restore into a folder that lacks the
// record's message, or of a file written as the store writes, normalises no number at all, and
// however many messages share a time, each is normalised at most once.
class PresenceIndex {
 public:
  using KeyHash = uint64_t (*)(std::string_view key);
  explicit PresenceIndex(KeyHash hash, const IdentityFields& fields = kBackupInFolder)
      : hash_(hash), fields_(fields) {}

  // A message of the folder at `position` (never 0); only its parties are kept of it.
  void Add(int64_t position, const MessageRecord& message) {
    const std::string common = IdentityKey(message, fields_, NumberForm::kLeftOut);
    const std::string written = common + PartiesKey(message, fields_, NumberForm::kAsWritten);
    written_.Add(hash_(written), written, position);
    pending_.push_back(Parties{fields_.ownNumber ? std::u16string() : message.folderPath,
                               message.senderAddress, message.recipients, position});
    common_.Add(hash_(common), common, static_cast<int64_t>(pending_.size()));
  }

  // A position equal to `record` that is not in `taken`, or 0 when there is none;
  // `byNumberFormat` when it is equal only with the numbers normalised. `taken` must only have
  // grown since the last call.
  // A deleted record takes its direction as `own` tells it (message/own_numbers.h).
  // With no region known, `sameWithRegion` (may be null) is set when none is equal but one would
  // be with a region (NumberForm::kRegionFree); it is never cleared here.
  int64_t Find(const MessageRecord& record, const PositionSet& taken, bool& byNumberFormat,
               const OwnNumbers* own = nullptr, bool* sameWithRegion = nullptr) {
    byNumberFormat = false;
    if (pending_.empty()) return 0;  // nothing read, nothing to find (and no key to make)
    const std::string common = IdentityKey(record, fields_, NumberForm::kLeftOut, own);
    const std::string written = common + PartiesKey(record, fields_, NumberForm::kAsWritten, own);
    if (const int64_t found = written_.FindNotIn(hash_(written), written, taken)) return found;
    // The messages of the record's folder, time and text are normalised now, once each.
    const uint64_t commonHash = hash_(common);
    const bool regionFree = sameWithRegion != nullptr && NumberRegion().empty();
    for (const int64_t index : common_.TakeAll(commonHash, common)) {
      Parties& parties = pending_[static_cast<size_t>(index - 1)];
      if (taken.Contains(parties.position)) continue;
      MessageRecord message;
      message.folderPath = std::move(parties.folderPath);
      message.senderAddress = std::move(parties.senderAddress);
      message.recipients = std::move(parties.recipients);
      const std::string key = common + PartiesKey(message, fields_, NumberForm::kNormalised);
      normalised_.Add(hash_(key), key, parties.position);
      if (regionFree) {
        const std::string free = common + PartiesKey(message, fields_, NumberForm::kRegionFree);
        regionFree_.Add(hash_(free), free, parties.position);
      }
      normalisedCommon_.insert(commonHash);
    }
    // No message shares the record's folder, time and text (a hash shared by chance only costs
    // the normalising): nothing to compare it with.
    if (normalisedCommon_.count(commonHash) == 0) return 0;
    const std::string key = common + PartiesKey(record, fields_, NumberForm::kNormalised, own);
    // One written alike would have been found above: what is found here needed the normalising.
    const int64_t position = normalised_.FindNotIn(hash_(key), key, taken);
    byNumberFormat = position != 0;
    if (position == 0 && regionFree) {
      const std::string free = common + PartiesKey(record, fields_, NumberForm::kRegionFree, own);
      if (regionFree_.FindNotIn(hash_(free), free, taken) != 0) *sameWithRegion = true;
    }
    return position;
  }

  void Clear() {
    written_.Clear();
    common_.Clear();
    normalised_.Clear();
    regionFree_.Clear();
    normalisedCommon_.clear();
    pending_.clear();
  }

 private:
  KeyHash hash_;
  IdentityFields fields_;
  KeyedPositions written_;     // by the key with the numbers as written
  KeyedPositions common_;      // by the key without parties: indices into pending_, from 1
  KeyedPositions normalised_;  // by the key with the numbers normalised, once made
  KeyedPositions regionFree_;  // the same with the numbers region-free, when no region is known
  std::unordered_set<uint64_t> normalisedCommon_;  // hashes of the keys without parties there
  // The parties of each message added, as the key with the numbers normalised needs them.
  struct Parties {
    std::u16string folderPath;  // kept only for fields without the own number
    std::u16string senderAddress;
    std::vector<RecordRecipient> recipients;
    int64_t position = 0;
  };
  std::vector<Parties> pending_;
};

}  // namespace larkpost
