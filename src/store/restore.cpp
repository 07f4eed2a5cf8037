#include "store/restore.h"

#include <functional>
#include <string_view>

#include "backupfile/record_codec.h"
#include "platform/mapi/provider.h"
#include "platform/time/filetime.h"
#include "store/find_folder.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr size_t kMaxCachedFolders = 256;
constexpr size_t kMaxCachedTimes = 256;

uint64_t HashOf(std::string_view bytes) { return std::hash<std::string_view>{}(bytes); }

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

}  // namespace

RecordRestorer::RecordRestorer(SmsSession& session, bool dryRun)
    : session_(session), dryRun_(dryRun) {}

RecordRestorer::~RecordRestorer() {
  std::u16string ignored;
  Commit(ignored);
}

bool RecordRestorer::OpenGroup(std::u16string& error) {
  if (dryRun_ || groupOpen_) return true;
  if (mapi::BeginStoreTransaction(session_.store.get()) != S_OK) return Fail(error, kSaveError);
  groupOpen_ = true;
  groupMessages_ = 0;
  groupStart_ = std::chrono::steady_clock::now();
  return true;
}

bool RecordRestorer::Commit(std::u16string& error) {
  if (!groupOpen_) return true;
  groupOpen_ = false;
  if (mapi::CommitStoreTransaction(session_.store.get()) != S_OK) {
    // The folders made in the lost group are gone with it.
    folders_.clear();
    return Fail(error, kSaveError);
  }
  return true;
}

bool RecordRestorer::ResolveTarget(const MessageRecord& record, Target& target,
                                   std::u16string& error) {
  FolderPath path;
  if (ParseFolderPath(record.folderPath, path) != FolderPathResult::kOk) {
    return Fail(error, CreateFolderError(record.folderPath));
  }
  SmsFolder* current = session_.StandardFolder(path.kind);
  if (current == nullptr) return Fail(error, CreateFolderError(record.folderPath));
  target.key = FolderKindName(path.kind);
  bool missing = false;
  for (const std::u16string& name : path.subfolders) {
    target.key += u'\\';
    target.key += name;
    auto cached = folders_.find(target.key);
    if (cached != folders_.end()) {
      current = cached->second.get();
      missing = current == nullptr;
      continue;
    }
    std::unique_ptr<SmsFolder> child;
    if (!missing) {
      switch (OpenExistingSubfolder(*current, name, child)) {
        case FolderLookup::kFound:
          break;
        case FolderLookup::kMissing:
          if (!dryRun_) {
            child = current->CreateSubfolder(name);
            if (!child) return Fail(error, CreateFolderError(record.folderPath));
          }
          ++counts_.foldersCreated;
          break;
        case FolderLookup::kFailed:
          return Fail(error, CreateFolderError(record.folderPath));
      }
    } else {
      ++counts_.foldersCreated;  // below a folder a dry run would create
    }
    if (folders_.size() == kMaxCachedFolders) folders_.clear();
    current = child.get();
    missing = current == nullptr;
    folders_.emplace(target.key, std::move(child));
  }
  target.folder = current;
  return true;
}

bool RecordRestorer::CountEqual(SmsFolder& folder, const std::u16string& folderKey,
                                const MessageRecord& record, uint64_t keyHash,
                                uint32_t& equal) {
  // The messages of one folder and delivery time are read once per run, through the store's
  // index on delivery time, and from then on only the ones added since (by this run, or by
  // another between this run's transactions): however many messages share a time, each is
  // looked at once. Time zero covers drafts and messages without any delivery time (which a
  // backup writes with time zero).
  const uint64_t time = FileTimeToUInt64(record.deliveryTime);
  const uint64_t slot = Combine(HashOf(folderKey), time);
  auto known = present_.find(slot);
  if (known == present_.end()) {
    if (present_.size() == kMaxCachedTimes) present_.clear();
    known = present_.emplace(slot, Present{}).first;
  }
  Present& present = known->second;
  if (present.folderKey != folderKey || present.time != time) {
    // A new slot, or another folder and time whose hash is the same: start over with this one.
    present = Present{folderKey, time, 0, {}};
  }
  // Only what PresenceKey reads is taken from the messages: the text, the delivery time and the
  // sender (whose name may come from PR_SENDER_NAME), as SmsMessage::TakeProps reads them.
  static constexpr ULONG kKeyTags[] = {PR_SUBJECT, PR_MESSAGE_DELIVERY_TIME,
                                       PR_SENDER_EMAIL_ADDRESS, PR_SENDER_NAME};
  static constexpr SPropTagArray keyColumns{4, kKeyTags};
  const HRESULT hr = mapi::ReadMessagesAt(
      folder.folder.get(), record.deliveryTime, &keyColumns, &present.position,
      [&](const SRow& row, const SRowSet& recipientRows) {
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
        ++present.keys[HashOf(PresenceKey(stored))];
        return true;
      });
  if (hr != S_OK) {
    // What was read stays counted; the next record at this time goes on from there.
    return false;
  }
  const auto found = present.keys.find(keyHash);
  equal = found != present.keys.end() ? found->second : 0;
  return true;
}

bool RecordRestorer::Insert(SmsFolder& folder, const MessageRecord& record,
                            std::u16string& error) {
  // The message, its properties and its recipients go in together or not at all.
  IMsgStore* store = session_.store.get();
  if (mapi::BeginStoreTransaction(store) != S_OK) return Fail(error, kCreateMessageError);
  std::unique_ptr<SmsMessage> message = folder.CreateMessage();
  if (message == nullptr) {
    mapi::AbortStoreTransaction(store);
    return Fail(error, kCreateMessageError);
  }
  message->messageClass = record.messageClass;
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
  if (!message->Save() || mapi::CommitStoreTransaction(store) != S_OK) {
    mapi::AbortStoreTransaction(store);
    return Fail(error, kSaveError);
  }
  return true;
}

bool RecordRestorer::Restore(const MessageRecord& record, std::u16string& error) {
  if (!OpenGroup(error)) return false;
  Target target;
  if (!ResolveTarget(record, target, error)) return false;

  const std::string key = PresenceKey(record);
  const uint64_t keyHash = HashOf(key);
  uint32_t& earlier = seen_[Combine(HashOf(target.key), keyHash)];
  const uint32_t k = ++earlier;
  // The folder's equal messages include the ones this run put there for earlier equal records;
  // a dry run puts none there, so it compares with what the folder held before, as it should.
  uint32_t equal = 0;
  if (target.folder != nullptr && !CountEqual(*target.folder, target.key, record, keyHash, equal)) {
    // Not knowing what the folder holds, a restore could only guess, and a wrong guess
    // duplicates the message or loses it.
    --earlier;
    return Fail(error, kSaveError);
  }
  if (equal >= k) {
    ++counts_.present;
    return true;
  }
  if (!dryRun_) {
    if (target.folder == nullptr) return Fail(error, CreateFolderError(record.folderPath));
    if (!Insert(*target.folder, record, error)) return false;
  }
  ++counts_.restored;
  if (!dryRun_ && (++groupMessages_ >= kGroupMessages ||
                   std::chrono::steady_clock::now() - groupStart_ >=
                       std::chrono::milliseconds(kGroupMilliseconds))) {
    return Commit(error);
  }
  return true;
}

}  // namespace larkpost
