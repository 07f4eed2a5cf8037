#include "store/store_presence.h"

#include <algorithm>

#include "identity/phone_number.h"
#include "store/stored_messages.h"

namespace larkpost {

bool StorePresence::Keys::Take(const IdentityHash& hash) {
  auto at = std::lower_bound(hashes.begin(), hashes.end(), hash);
  for (; at != hashes.end() && *at == hash; ++at) {
    const size_t index = static_cast<size_t>(at - hashes.begin());
    if (!taken[index]) {
      taken[index] = true;
      return true;
    }
  }
  return false;
}

bool StorePresence::Read(SmsSession& session, const IdentityFields& fields) {
  fields_ = fields;
  recordsOwner_ = OwnNumbers{};
  normalised_ = Keys{};
  asWritten_ = Keys{};
  regionFree_ = Keys{};
  countRegionFree_ = NumberRegion().empty();
  // The walk reaches Deleted Items last, when the owner is known from the other folders.
  OwnNumbers own;
  read_ = WalkStoredEntries(session, [&](const MessageRecord& message, SmsFolder&, int64_t) {
    own.Learn(message);
    normalised_.hashes.push_back(
        HashIdentityKey(IdentityKey(message, fields_, NumberForm::kNormalised, &own)));
    asWritten_.hashes.push_back(
        HashIdentityKey(IdentityKey(message, fields_, NumberForm::kAsWritten, &own)));
    if (countRegionFree_) {
      regionFree_.hashes.push_back(
          HashIdentityKey(IdentityKey(message, fields_, NumberForm::kRegionFree, &own)));
    }
    return true;
  });
  for (Keys* keys : {&normalised_, &asWritten_, &regionFree_}) {
    std::sort(keys->hashes.begin(), keys->hashes.end());
    keys->taken.assign(keys->hashes.size(), false);
  }
  return read_;
}

bool StorePresence::Take(const MessageRecord& record, bool& byNumberFormat) {
  byNumberFormat = false;
  // A file that keeps Deleted Items (this program's ZIP) holds them last, as the store does.
  recordsOwner_.Learn(record);
  const OwnNumbers* own = &recordsOwner_;
  if (!normalised_.Take(HashIdentityKey(IdentityKey(record, fields_, NumberForm::kNormalised, own)))) {
    return false;
  }
  // The same message written alike takes its own count; one that was not, counts as found
  // through the normalisation.
  byNumberFormat = !asWritten_.Take(
      HashIdentityKey(IdentityKey(record, fields_, NumberForm::kAsWritten, own)));
  // Equal messages are equal without a region too: the message leaves that count as well.
  if (countRegionFree_) {
    regionFree_.Take(HashIdentityKey(IdentityKey(record, fields_, NumberForm::kRegionFree, own)));
  }
  return true;
}

bool StorePresence::SameWithRegion(const MessageRecord& record) {
  return countRegionFree_ &&
         regionFree_.Take(HashIdentityKey(
             IdentityKey(record, fields_, NumberForm::kRegionFree, &recordsOwner_)));
}

}  // namespace larkpost
