#include "store/restore.h"

#include <algorithm>
#include <functional>
#include <string_view>

#include "message/restore_errors.h"
#include "platform/mapi/provider.h"
#include "platform/time/filetime.h"
#include "store/find_folder.h"
#include "store/folder.h"
#include "store/media_and_calls.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr size_t kMaxCachedFolders = 256;

uint64_t HashOf(std::u16string_view text) { return std::hash<std::u16string_view>{}(text); }

// One hash of two: equal pairs give equal hashes, and swapping or shifting bytes between the
// parts changes it (each part is hashed whole before they are mixed).
uint64_t Combine(uint64_t first, uint64_t second) {
  return second ^ (first + 0x9E3779B97F4A7C15ull + (second << 6) + (second >> 2));
}

bool Fail(std::u16string& error, std::u16string text) {
  error = std::move(text);
  return false;
}

// Only what the presence keys read is taken from the messages: the text, the delivery time and the
// sender (whose name may come from PR_SENDER_NAME), as SmsMessage::TakeProps reads them.
constexpr ULONG kKeyTags[] = {PR_SUBJECT, PR_MESSAGE_DELIVERY_TIME, PR_SENDER_EMAIL_ADDRESS,
                              PR_SENDER_NAME};
constexpr SPropTagArray kKeyColumns{4, kKeyTags};

// Whether a message of a standard folder holds no more than a phone's file gives one: a time to
// the millisecond and no own number (the recipients of a received message, the sender of any
// other). A restore of a phone's file writes its messages so, in the bare standard folder, and
// never into the deleted ones.
bool HoldsNoMoreThanAPhoneFile(FolderKind kind, const MessageRecord& message) {
  if (FileTimeToUInt64(message.deliveryTime) % kFileTimeTicksPerMs != 0) return false;
  return kind == FolderKind::Inbox ? message.recipients.empty() : message.senderAddress.empty();
}

// A message as the store hands it with its recipients: what a presence key needs of it.
MessageRecord StoredMessage(SmsFolder& folder, const SRow& row, const SRowSet& recipientRows) {
  SmsMessage candidate(&folder, nullptr);
  candidate.TakeProps(row.lpProps, row.cValues);
  MessageRecord stored;
  stored.deliveryTime = candidate.deliveryTime;
  stored.text = std::move(candidate.text);
  stored.senderName = std::move(candidate.senderName);
  stored.senderAddress = std::move(candidate.senderAddress);
  stored.recipients.reserve(recipientRows.cRows);
  for (ULONG i = 0; i < recipientRows.cRows; ++i) {
    std::unique_ptr<SmsRecipient> recipient = RecipientFromRow(recipientRows.aRow[i]);
    stored.recipients.push_back({std::move(recipient->displayName),
                                 std::move(recipient->address), recipient->type});
  }
  return stored;
}

// Adds one message, as the store hands it with its recipients, to the folder's index (with
// `phoneCopies`, only a message that holds no more than a phone's file); returns its delivery
// time.
uint64_t AddMessage(SmsFolder& folder, FolderKind kind, bool phoneCopies, int64_t position,
                    const SRow& row, const SRowSet& recipientRows, PresenceIndex& index) {
  MessageRecord stored = StoredMessage(folder, row, recipientRows);
  if (phoneCopies) {
    if (!HoldsNoMoreThanAPhoneFile(kind, stored)) return FileTimeToUInt64(stored.deliveryTime);
    stored.folderPath = FolderKindName(kind);  // the key tells the other party by it
  }
  index.Add(position, stored);
  return FileTimeToUInt64(stored.deliveryTime);
}

}  // namespace

uint64_t RecordRestorer::DefaultKeyHash(std::string_view key) {
  return std::hash<std::string_view>{}(key);
}

RecordRestorer::RecordRestorer(SmsSession& session, bool dryRun)
    : session_(session), dryRun_(dryRun) {}

RecordRestorer::~RecordRestorer() {
  std::u16string ignored;
  Commit(ignored);
}

bool RecordRestorer::Refuse(HRESULT answer, std::u16string& error, std::u16string text) {
  storeAnswer_ = answer;
  return Fail(error, std::move(text));
}

bool RecordRestorer::OpenGroup(std::u16string& error) {
  if (dryRun_ || groupOpen_) return true;
  if (const HRESULT hr = mapi::BeginStoreTransaction(session_.store.get()); hr != S_OK) {
    return Refuse(hr, error, kSaveError);
  }
  groupOpen_ = true;
  ++group_;
  groupMessages_ = 0;
  groupStart_ = std::chrono::steady_clock::now();
  return true;
}

bool RecordRestorer::Commit(std::u16string& error) {
  if (!groupOpen_) return true;
  groupOpen_ = false;
  if (const HRESULT hr = mapi::CommitStoreTransaction(session_.store.get()); hr != S_OK) {
    // The messages and folders made in the lost group are gone with it.
    counts_.restored -= groupMessages_;
    lost_ += groupMessages_;
    groupMessages_ = 0;
    folders_.clear();
    return Refuse(hr, error, kSaveError);
  }
  return true;
}

bool RecordRestorer::ResolveTarget(const MessageRecord& record, Target& target, bool create,
                                   std::u16string& error) {
  FolderPath path;
  if (ParseFolderPath(record.folderPath, path) != FolderPathResult::kOk) {
    return Fail(error, CreateFolderError(record.folderPath));
  }
  SmsFolder* current = session_.StandardFolder(path.kind);
  if (current == nullptr) return Fail(error, CreateFolderError(record.folderPath));
  target.key = FolderKindName(path.kind);
  target.kind = path.kind;
  bool missing = false;
  for (const std::u16string& name : path.subfolders) {
    target.key += u'\\';
    target.key += name;
    auto cached = folders_.find(target.key);
    if (cached != folders_.end() &&
        (cached->second != nullptr || !create || foldersToCreate_.count(target.key) != 0)) {
      current = cached->second.get();
      missing = current == nullptr;
      continue;
    }
    std::unique_ptr<SmsFolder> child;
    FolderLookup lookup = FolderLookup::kMissing;
    if (!missing) lookup = OpenExistingSubfolder(*current, name, child);
    if (lookup == FolderLookup::kFailed) return Fail(error, CreateFolderError(record.folderPath));
    if (lookup == FolderLookup::kMissing && create) {
      if (!dryRun_) {
        HRESULT hr = S_OK;
        child = current->CreateSubfolder(name, &hr);
        if (!child) return Refuse(hr, error, CreateFolderError(record.folderPath));
        ++counts_.foldersCreated;
      } else if (foldersToCreate_.insert(target.key).second) {
        ++counts_.foldersCreated;
      }
    }
    if (folders_.size() == kMaxCachedFolders) folders_.clear();
    current = child.get();
    missing = current == nullptr;
    folders_.insert_or_assign(target.key, std::move(child));
  }
  target.folder = current;
  target.missing = missing;
  return true;
}

bool RecordRestorer::FindUnmatched(Lookup& lookup, SmsFolder& folder,
                                   const std::u16string& folderKey, FolderKind kind,
                                   const MessageRecord& record, FILETIME at, Match& match) {
  const uint64_t time = FileTimeToUInt64(at);
  if (time == 0 || time >> 63 != 0) {
    return FindUnmatchedAt(lookup, folder, folderKey, kind, record, at, match);
  }
  // A folder's messages are read ahead along the store's time index, in a window of times read
  // whole. While the file follows the folder's time order (as a backup of it does), each window
  // is twice as long as the last, up to kMaxReadAhead messages, so one statement answers for
  // many records; a record out of that order reads only its own time. A window holds within one
  // transaction, as no other process writes during it; what this run adds there is matched
  // already.
  //
  // A window is read again in each transaction, and it always holds its last time whole: a time
  // that many messages share would be read whole for every transaction, and a restore of many
  // messages of one time would slow down with each one it adds. Such a crowded time is read as
  // time zero is, once and then only what was added since.
  auto& windows = lookup.windows;
  if (windows.size() == kMaxCachedFolders && windows.count(folderKey) == 0) windows.clear();
  Window& window = windows[folderKey];
  if (window.crowded.count(time) != 0) {
    return FindUnmatchedAt(lookup, folder, folderKey, kind, record, at, match);
  }
  const bool covered = window.group == group_ && time >= window.from &&
                       (window.next == 0 || time < window.next);
  if (!covered) {
    const bool follows = window.next != 0 && time == window.next;
    window.readAhead = follows ? std::min(window.readAhead * 2, kMaxReadAhead) : 1;
    if (window.keys) {
      window.keys->Clear();
    } else {
      window.keys = std::make_unique<PresenceIndex>(keyHash_, lookup.fields);
    }
    window.group = kNoGroup;  // until the read succeeds
    FILETIME next{0, 0};
    uint64_t runTime = 0;
    size_t runLength = 0;
    bool ownTimeCrowded = false;
    uint64_t crowdedEnd = 0;  // a later crowded time that ends the window
    const HRESULT hr = mapi::ReadMessagesFrom(
        folder.folder.get(), at, window.readAhead, &kKeyColumns, &next,
        [&](int64_t position, const SRow& row, const SRowSet& recipientRows) {
          const uint64_t read = AddMessage(folder, kind, lookup.phoneCopies, position, row,
                                           recipientRows, *window.keys);
          runLength = read == runTime ? runLength + 1 : 1;
          runTime = read;
          if (runLength == kCrowdedTime) {
            if (window.crowded.size() == kMaxCachedTimes) window.crowded.clear();
            window.crowded.insert(read);
            ownTimeCrowded = read == time;
            if (!ownTimeCrowded && lookup.phoneCopies) crowdedEnd = read;
          }
          // The rest of the record's own time is read on its own.
          return !ownTimeCrowded && crowdedEnd == 0;
        });
    if (hr != S_OK) return false;
    if (ownTimeCrowded) {
      window.keys->Clear();
      return FindUnmatchedAt(lookup, folder, folderKey, kind, record, at, match);
    }
    window.group = group_;
    window.from = time;
    // Every time before a crowded one it stopped at was read whole.
    window.next = crowdedEnd != 0 ? crowdedEnd : FileTimeToUInt64(next);
  }
  match.position = window.keys->Find(record, matched_, match.byNumberFormat, &own_,
                                     &match.sameWithRegion);
  return true;
}

bool RecordRestorer::FindUnmatchedAt(Lookup& lookup, SmsFolder& folder,
                                     const std::u16string& folderKey, FolderKind kind,
                                     const MessageRecord& record, FILETIME at, Match& match) {
  // The messages of one folder and delivery time are read once per run, through the store's
  // index on delivery time, and from then on only the ones added since (by this run, or by
  // another between this run's transactions): however many messages share a time, each is
  // looked at once. Time zero covers drafts and messages without any delivery time (which a
  // backup writes with time zero).
  const uint64_t time = FileTimeToUInt64(at);
  const uint64_t slot = Combine(HashOf(folderKey), time);
  auto& cache = lookup.present;
  auto known = cache.find(slot);
  if (known == cache.end()) {
    if (cache.size() == kMaxCachedTimes) cache.clear();
    known = cache.emplace(slot, Present{}).first;
  }
  Present& present = known->second;
  if (present.folderKey != folderKey || present.time != time || !present.keys) {
    // A new slot, or another folder and time whose hash is the same: start over with this one.
    present = Present{folderKey, time, 0, kNoGroup,
                      std::make_unique<PresenceIndex>(keyHash_, lookup.fields)};
  }
  // Within one transaction no other process adds messages, and what this run added is matched
  // already: what was read holds until the transaction ends.
  if (present.group == group_) {
    match.position = present.keys->Find(record, matched_, match.byNumberFormat, &own_,
                                        &match.sameWithRegion);
    return true;
  }
  const HRESULT hr = mapi::ReadMessagesAt(
      folder.folder.get(), at, &kKeyColumns, &present.position,
      [&](int64_t position, const SRow& row, const SRowSet& recipientRows) {
        // A message a record was matched to or restored as is never matched again: this run's
        // own messages, read back in a later transaction, need not be looked at.
        if (!matched_.Contains(position)) {
          AddMessage(folder, kind, lookup.phoneCopies, position, row, recipientRows,
                     *present.keys);
        }
        return true;
      });
  if (hr != S_OK) {
    // What was read stays; the next record at this time goes on from there.
    return false;
  }
  present.group = group_;
  match.position = present.keys->Find(record, matched_, match.byNumberFormat, &own_,
                                      &match.sameWithRegion);
  return true;
}

bool RecordRestorer::FindPhoneCopy(const Target& target, const MessageRecord& record,
                                   Match& match) {
  // A phone's file keeps the millisecond (its writers cut the finer part off): the copy of a
  // record at t lies at the millisecond t falls in.
  const uint64_t time = FileTimeToUInt64(record.deliveryTime);
  const FILETIME millisecond = UInt64ToFileTime(time - time % kFileTimeTicksPerMs);
  // A deleted message went into the phone's file by its direction, as the owner the records
  // before it show tells it, and came back from there among the received or the sent ones.
  FolderKind kind = target.kind;
  if (kind == FolderKind::Deleted) kind = own_.Received(record) ? FolderKind::Inbox : FolderKind::Sent;
  SmsFolder* standard = session_.StandardFolder(kind);
  if (standard == nullptr) return false;
  bool any = false;
  if (!HasPhoneCopies(kind, *standard, any)) return false;
  return !any || FindUnmatched(phoneCopies_, *standard, FolderKindName(kind), kind, record,
                               millisecond, match);
}

bool RecordRestorer::HasPhoneCopies(FolderKind kind, SmsFolder& folder, bool& any) {
  PhoneCopies& known = phoneCopiesIn_[static_cast<size_t>(kind)];
  if (known == PhoneCopies::kUnknown) {
    // The folder is read once, up to its first phone copy: a store without any (an empty one,
    // or one filled from backup files) is then never read for them again. What this run adds
    // or matched answers for no record that looks here.
    bool found = false;
    const auto visit = [&](int64_t position, const SRow& row, const SRowSet& recipientRows) {
      found = !matched_.Contains(position) &&
              HoldsNoMoreThanAPhoneFile(kind, StoredMessage(folder, row, recipientRows));
      return !found;
    };
    int64_t from = 0;
    FILETIME next{0, 0};
    HRESULT hr = mapi::ReadMessagesAt(folder.folder.get(), FILETIME{0, 0}, &kKeyColumns, &from,
                                      visit);
    if (hr == S_OK && !found) {
      hr = mapi::ReadMessagesFrom(folder.folder.get(), UInt64ToFileTime(1), SIZE_MAX,
                                  &kKeyColumns, &next, visit);
    }
    if (hr != S_OK) return false;
    known = found ? PhoneCopies::kSome : PhoneCopies::kNone;
  }
  any = known == PhoneCopies::kSome;
  return true;
}

bool RecordRestorer::Insert(SmsFolder& folder, const MessageRecord& record, int64_t& position,
                            std::u16string& error) {
  // The message, its properties and its recipients go in together or not at all.
  IMsgStore* store = session_.store.get();
  HRESULT hr = mapi::BeginStoreTransaction(store);
  if (hr != S_OK) return Refuse(hr, error, kCreateMessageError);
  std::unique_ptr<SmsMessage> message = folder.CreateMessage(&hr);
  if (message != nullptr) hr = mapi::MessagePosition(message->message.get(), &position);
  if (message == nullptr || hr != S_OK) {
    mapi::AbortStoreTransaction(store);
    return Refuse(hr, error, kCreateMessageError);
  }
  message->messageClass = StoredClassOf(record);
  message->lastModified = record.lastModified;
  message->deliveryTime = record.deliveryTime;
  message->flags = record.flags;
  message->size = record.size;
  message->senderName = record.senderName;
  message->senderAddress = record.senderAddress;
  message->text = record.text;
  if (!record.recipients.empty()) {
    message->recipients = std::make_unique<RecipientList>();
    for (const RecordRecipient& recipient : record.recipients) {
      auto copy = std::make_unique<SmsRecipient>();
      copy->displayName = recipient.displayName;
      copy->address = recipient.address;
      copy->type = recipient.type;
      message->recipients->push_back(std::move(copy));
    }
  }
  if (!message->Save(&hr) ||
      ((IsMediaOrCall(record) || !record.phoneColumns.empty()) &&
       !SaveMediaAndColumns(*message->message, record, &hr)) ||
      (hr = mapi::CommitStoreTransaction(store)) != S_OK) {
    mapi::AbortStoreTransaction(store);
    return Refuse(hr, error, kSaveError);
  }
  return true;
}

bool RecordRestorer::Restore(const MessageRecord& record, std::u16string& error) {
  return RestoreRecord(record, true, error);
}

bool RecordRestorer::RestoreAbsent(const MessageRecord& record, std::u16string& error) {
  return RestoreRecord(record, false, error);
}

void RecordRestorer::CountPresent(bool byNumberFormat, const MessageRecord* record) {
  ++counts_.present;
  if (byNumberFormat) ++counts_.byNumberFormat;
  if (record != nullptr && record->multimedia) ++counts_.presentMultimedia;
  if (record != nullptr && record->kind == EntryKind::kCall) ++counts_.presentCalls;
}

bool RecordRestorer::RestoreRecord(const MessageRecord& record, bool lookUp,
                                   std::u16string& error) {
  own_.Learn(record);
  if (!OpenGroup(error)) return false;
  Target target;
  if (record.kind == EntryKind::kCall) {
    // Calls go into the call log, whatever their direction; their presence was decided by the
    // caller (StoreSink).
    target.folder = session_.CallLog();
    // A store of an older layout read for a dry run has none yet: the restore would add it.
    if (target.folder == nullptr && !dryRun_) return Fail(error, CreateFolderError(u"Call Log"));
    lookUp = false;
  } else if (!ResolveTarget(record, target, !lookUp, error)) {
    return false;
  }

  // Each record is matched to an equal message of its folder that no earlier record of this run
  // was matched to or restored as. The k-th equal record then finds one exactly when the folder
  // holds at least k equal messages, this run's own included (the multiset rule); a dry run,
  // which restores nothing, matches against what the folder held before, as it should.
  Match match;
  if (lookUp && target.folder != nullptr &&
      !FindUnmatched(inFolder_, *target.folder, target.key, target.kind, record,
                     record.deliveryTime, match)) {
    // Not knowing what the folder holds, a restore could only guess, and a wrong guess
    // duplicates the message or loses it.
    return Fail(error, kSaveError);
  }
  // A record its folder lacks may have come in through a phone's file, poorer (restore.h). A
  // dry run looks there too when the record's subfolder does not exist yet.
  if (lookUp && match.position == 0 && !FindPhoneCopy(target, record, match)) {
    return Fail(error, kSaveError);
  }
  if (match.position != 0) {
    matched_.Insert(match.position);
    CountPresent(match.byNumberFormat, &record);
    return true;
  }
  if (target.missing && !ResolveTarget(record, target, true, error)) return false;
  if (!dryRun_) {
    if (target.folder == nullptr) return Fail(error, CreateFolderError(record.folderPath));
    int64_t position = 0;
    if (!Insert(*target.folder, record, position, error)) return false;
    matched_.Insert(position);
  }
  ++counts_.restored;
  if (record.multimedia) ++counts_.restoredMultimedia;
  if (record.kind == EntryKind::kCall) ++counts_.restoredCalls;
  if (match.sameWithRegion) ++counts_.sameWithRegion;
  if (!dryRun_ && (++groupMessages_ >= kGroupMessages ||
                   std::chrono::steady_clock::now() - groupStart_ >=
                       std::chrono::milliseconds(kGroupMilliseconds))) {
    return Commit(error);
  }
  return true;
}

}  // namespace larkpost
