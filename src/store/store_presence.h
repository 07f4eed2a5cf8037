// "Already present" for a restore from a file that keeps less than the store: a phone's XML or
// ZIP has no subfolders, no Deleted folder (its messages come back as received or sent), no own
// number and only milliseconds. A message of such a file is present when the store holds one the
// same under the fields both keep (identity/identity.h), in whatever folder of the store: the
// copy in "Inbox\Work" or in Deleted Items is the one the file was made from.
//
// The store's messages are read once, before the first record: 17 bytes per message of the store
// for the rule and as many to tell which matches needed the numbers' normalisation. Equal
// messages count as a multiset: each store message answers for one record.
#pragma once

#include <cstdint>
#include <vector>

#include "identity/identity.h"
#include "message/own_numbers.h"
#include "message/message_record.h"

namespace larkpost {

struct SmsSession;

class StorePresence {
 public:
  // Reads every message of the store. False when the store could not be read whole.
  bool Read(SmsSession& session, const IdentityFields& fields);
  bool read() const { return read_; }

  // True when the store holds a message equal to `record` that no earlier record took; it is
  // taken then. `byNumberFormat` tells that it is equal only with the numbers normalised.
  bool Take(const MessageRecord& record, bool& byNumberFormat);
  // With no region known, for a record Take found no message for: true when the store holds one
  // a region would have found equal to it (numbers written with and without the country code),
  // which no record took that way yet. Always false when a region is set.
  bool SameWithRegion(const MessageRecord& record);

 private:
  struct Keys {
    std::vector<IdentityHash> hashes;  // sorted
    std::vector<bool> taken;
    bool Take(const IdentityHash& hash);
  };
  IdentityFields fields_;
  OwnNumbers recordsOwner_;  // the owner as the records taken so far show it
  Keys normalised_;
  Keys asWritten_;
  Keys regionFree_;  // only without a region: NumberForm::kRegionFree
  bool countRegionFree_ = false;
  bool read_ = false;
};

}  // namespace larkpost
