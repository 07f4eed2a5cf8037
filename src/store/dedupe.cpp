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
#include "platform/time/filetime.h"

namespace larkpost {

namespace {

// Copies are grouped by what every copy holds: the standard folder, the direction, the
// millisecond, the text as a backup file's code page keeps it and the other parties. Within a
// group, two copies are the same message when they also agree on what both of them hold
// (Compatible).
constexpr IdentityFields kGroupFields{true, false, false, false, false, true};

struct Copy {
  IdentityHash id;
  int64_t position = 0;
  SmsFolder* folder = nullptr;
  uint32_t richness = 0;
  uint64_t subfolders = 0;  // a hash of the subfolders' names; 0 in the bare standard folder
  uint64_t time = 0;        // the delivery time to 100 ns
  uint64_t parties = 0;     // a hash of both sides with the recipients' types; 0 without the own
  uint64_t text = 0;        // a hash of the text as it is
  bool questionMarks = false;
};

uint64_t HashOf(std::u16string_view units, uint64_t seed = 0) {
  return HashBytes(std::string_view(reinterpret_cast<const char*>(units.data()),
                                    units.size() * sizeof(char16_t)),
                   seed);
}

Copy CopyOf(const MessageRecord& message) {
  Copy copy;
  copy.id = HashIdentityKey(IdentityKey(message, kGroupFields));
  copy.richness = Richness(message);
  const size_t slash = message.folderPath.find(u'\\');
  if (slash != std::u16string::npos) {
    copy.subfolders = HashOf(std::u16string_view(message.folderPath).substr(slash)) | 1;
  }
  copy.time = FileTimeToUInt64(message.deliveryTime);
  if (!message.senderAddress.empty() && !message.recipients.empty()) {
    copy.parties = HashBytes(PartiesKey(message, kAllFields, NumberForm::kNormalised)) | 1;
  }
  copy.text = HashOf(message.text);
  copy.questionMarks = message.text.find(u'?') != std::u16string::npos;
  return copy;
}

// Two copies of one group are one message unless both hold a field and differ in it: a
// subfolder (the bare standard folder is where a file without subfolders put it), a time finer
// than the millisecond, the own number and the recipients' types, the text's characters (a "?"
// is where a backup file's code page lacked one).
bool Compatible(const Copy& a, const Copy& b) {
  auto differ = [](uint64_t x, uint64_t y) { return x != 0 && y != 0 && x != y; };
  auto fine = [](uint64_t time) { return time % kFileTimeTicksPerMs != 0; };
  if (differ(a.subfolders, b.subfolders)) return false;
  if (fine(a.time) && fine(b.time) && a.time != b.time) return false;
  if (differ(a.parties, b.parties)) return false;
  return a.text == b.text || a.questionMarks || b.questionMarks;
}

}  // namespace

bool DedupeStore(SmsSession& session, bool dryRun,
                 const std::function<void(const MessageRecord&)>& removed, DedupeCounts& counts,
                 std::u16string& error) {
  counts = DedupeCounts{};
  std::vector<Copy> copies;
  const bool walked =
      WalkStoredEntries(session, [&](const MessageRecord& message, SmsFolder& folder,
                                      int64_t position) {
        Copy copy = CopyOf(message);
        copy.position = position;
        copy.folder = &folder;
        copies.push_back(copy);
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
  // Of each group, a copy goes when one kept before it, a richer one, is the same message.
  std::vector<const Copy*> doomed;
  std::vector<const Copy*> kept;
  for (size_t i = 0; i < copies.size(); ++i) {
    if (i == 0 || copies[i].id != copies[i - 1].id) kept.clear();
    const Copy& copy = copies[i];
    const bool same = std::any_of(kept.begin(), kept.end(),
                                  [&](const Copy* other) { return Compatible(*other, copy); });
    (same ? doomed : kept).push_back(&copy);
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
    const bool named = WalkStoredEntries(
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
