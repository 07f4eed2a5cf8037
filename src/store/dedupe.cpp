#include "store/dedupe.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "identity/identity.h"
#include "platform/mapi/provider.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"
#include "store/stored_messages.h"

namespace larkpost {

namespace {

// Two copies in one store hold the same fields; they are compared within a standard folder and
// its subfolders, so the subfolder is not part of the identity.
constexpr IdentityFields kStoreFields{true, false, true, true, true, false};

struct Copy {
  IdentityHash id;
  int64_t position = 0;
  SmsFolder* folder = nullptr;
  uint32_t richness = 0;
};

}  // namespace

bool DedupeStore(SmsSession& session, bool dryRun,
                 const std::function<void(const MessageRecord&)>& removed, DedupeCounts& counts,
                 std::u16string& error) {
  counts = DedupeCounts{};
  std::vector<Copy> copies;
  const bool walked =
      WalkStoredMessages(session, [&](const MessageRecord& message, SmsFolder& folder,
                                      int64_t position) {
        copies.push_back(Copy{HashIdentityKey(IdentityKey(message, kStoreFields)), position,
                              &folder, Richness(message)});
        return true;
      });
  if (!walked) {
    error = u"the store could not be read whole; nothing was removed";
    return false;
  }
  counts.examined = copies.size();
  // Equal copies side by side, the one to keep first: the richest, then the oldest.
  std::sort(copies.begin(), copies.end(), [](const Copy& a, const Copy& b) {
    if (a.id != b.id) return a.id < b.id;
    if (a.richness != b.richness) return a.richness > b.richness;
    return a.position < b.position;
  });
  std::vector<const Copy*> doomed;
  for (size_t i = 1; i < copies.size(); ++i) {
    if (copies[i].id == copies[i - 1].id) doomed.push_back(&copies[i]);
  }
  if (doomed.empty()) return true;
  // In store order: the counts and removals follow the folders as the store lists them.
  std::sort(doomed.begin(), doomed.end(),
            [](const Copy* a, const Copy* b) { return a->position < b->position; });

  if (removed) {
    // The messages to name are read once more: the first walk kept 40 bytes of each, not its
    // text.
    std::unordered_set<int64_t> positions;
    for (const Copy* copy : doomed) positions.insert(copy->position);
    const bool named = WalkStoredMessages(
        session, [&](const MessageRecord& message, SmsFolder&, int64_t position) {
          if (positions.count(position) != 0) removed(message);
          return true;
        });
    if (!named) {
      error = u"the store could not be read whole; nothing was removed";
      return false;
    }
  }
  IMsgStore* store = session.store.get();
  if (!dryRun && mapi::BeginStoreTransaction(store) != S_OK) {
    error = u"the store refused to begin the removal; nothing was removed";
    return false;
  }
  for (const Copy* copy : doomed) {
    const std::u16string path = FolderPathOf(*copy->folder);
    if (!dryRun && mapi::DeleteMessageAt(copy->folder->folder.get(), copy->position) != S_OK) {
      mapi::AbortStoreTransaction(store);
      error = u"the store refused to remove a message of " + path + u"; nothing was removed";
      counts.removed = 0;
      counts.folders.clear();
      return false;
    }
    ++counts.removed;
    ++counts.folders[path];
  }
  if (!dryRun && mapi::CommitStoreTransaction(store) != S_OK) {
    error = u"the store refused to commit the removal; nothing was removed";
    counts.removed = 0;
    counts.folders.clear();
    return false;
  }
  return true;
}

}  // namespace larkpost
