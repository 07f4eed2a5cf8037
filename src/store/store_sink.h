// The message store as a sink of messages, as every restore writes it: each message goes into
// the folder its path names (created when missing) unless the store holds it already. Whether it
// does is decided by the rule of the file it comes from, handed in: a file that keeps everything
// the store keeps looks for the record as it is, in its own folder (RecordRestorer); a file that
// keeps less (a phone's) looks for it across the whole store under the fields both keep
// (StorePresence), read once before the first message.
#pragma once

#include <memory>
#include <string>

#include "identity/identity.h"
#include "message/message_record.h"
#include "store/restore.h"
#include "store/store_presence.h"

namespace larkpost {

struct SmsSession;

class StoreSink {
 public:
  // With `dryRun` nothing is written: the counts say what a restore would do.
  StoreSink(SmsSession& session, bool dryRun, const IdentityFields& comparedOn,
            bool foundInOwnFolder);

  // Restores the message unless the store holds it. False with the record's error text, as
  // RecordRestorer::Restore.
  bool Put(const MessageRecord& record, std::u16string& error);

  // The restore step: its counts, its open group and what a failed commit lost.
  RecordRestorer& restorer() { return restorer_; }
  const RecordRestorer& restorer() const { return restorer_; }

 private:
  SmsSession& session_;
  IdentityFields comparedOn_;
  bool foundInOwnFolder_;
  RecordRestorer restorer_;
  StorePresence presence_;
};

}  // namespace larkpost
