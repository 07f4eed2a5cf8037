#include "store/store_sink.h"

#include "message/restore_errors.h"
#include "store/media_and_calls.h"
#include "store/session.h"

namespace larkpost {

StoreSink::StoreSink(SmsSession& session, bool dryRun, const IdentityFields& comparedOn,
                     bool foundInOwnFolder)
    : session_(session),
      comparedOn_(comparedOn),
      foundInOwnFolder_(foundInOwnFolder),
      restorer_(session, dryRun) {}

bool StoreSink::Put(const MessageRecord& record, std::u16string& error) {
  // A multimedia message or call is looked for across the store, whatever the file.
  if (foundInOwnFolder_ && !IsMediaOrCall(record)) return restorer_.Restore(record, error);
  if (!presence_.read() && !presence_.Read(session_, comparedOn_)) {
    error = kSaveError;
    return false;
  }
  bool byNumberFormat = false;
  if (presence_.Take(record, byNumberFormat)) {
    restorer_.CountPresent(byNumberFormat, &record);
    return true;
  }
  if (presence_.SameWithRegion(record)) restorer_.CountSameWithRegion();
  return restorer_.RestoreAbsent(record, error);
}

}  // namespace larkpost
