#include "store/restore.h"

#include <string_view>

#include "backupfile/record_codec.h"
#include "platform/mapi/provider.h"
#include "store/find_folder.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr size_t kMaxCachedFolders = 256;

// FNV-1a over the bytes of both texts, with a separator that no text byte pattern can imitate
// because the folder part is length-prefixed.
uint64_t Hash(std::u16string_view folder, std::string_view key) {
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 1099511628211ull;
  };
  const uint64_t length = folder.size();
  for (int i = 0; i < 8; ++i) mix(static_cast<unsigned char>(length >> (8 * i)));
  for (char16_t c : folder) {
    mix(static_cast<unsigned char>(c));
    mix(static_cast<unsigned char>(c >> 8));
  }
  for (char c : key) mix(static_cast<unsigned char>(c));
  return hash;
}

bool Fail(std::u16string& error, std::u16string text) {
  error = std::move(text);
  return false;
}

// Frees a row set on every way out.
struct RowSetHolder {
  SRowSet* rows = nullptr;
  ~RowSetHolder() { FreeProws(rows); }
};

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

uint32_t RecordRestorer::CountEqual(SmsFolder& folder, const MessageRecord& record,
                                    const std::string& key, uint32_t enough) {
  if (!folder.folder) return 0;
  MapiPtr<IMAPITable> table;
  if (folder.folder->GetContentsTable(0, table.put()) != S_OK || !table) return 0;
  const ULONG tags[] = {PR_ENTRYID};
  const SPropTagArray columns{1, tags};
  if (table->SetColumns(&columns, 0) != S_OK) return 0;
  const bool zeroTime =
      record.deliveryTime.dwLowDateTime == 0 && record.deliveryTime.dwHighDateTime == 0;
  // The store's index on delivery time answers which messages can be equal. A message without
  // any delivery time reads as time zero, and the index does not hold it: for time zero (drafts,
  // which are few) every message of the folder is looked at.
  if (!zeroTime) {
    SPropValue when{};
    when.ulPropTag = PR_MESSAGE_DELIVERY_TIME;
    when.Value.ft = record.deliveryTime;
    SRestriction restriction{};
    restriction.rt = RES_PROPERTY;
    restriction.res.resProperty = {RELOP_EQ, PR_MESSAGE_DELIVERY_TIME, &when};
    if (table->Restrict(&restriction, 0) != S_OK) return 0;
  }
  uint32_t equal = 0;
  for (;;) {
    RowSetHolder rows;
    if (table->QueryRows(16, 0, &rows.rows) != S_OK || rows.rows == nullptr ||
        rows.rows->cRows == 0) {
      return equal;
    }
    for (ULONG r = 0; r < rows.rows->cRows; ++r) {
      const SRow& row = rows.rows->aRow[r];
      if (row.cValues < 1 || row.lpProps[0].ulPropTag != PR_ENTRYID) continue;
      const SBinary& id = row.lpProps[0].Value.bin;
      ULONG type = 0;
      IUnknown* opened = nullptr;
      if (folder.folder->OpenEntry(id.cb, id.lpb, nullptr, 0, &type, &opened) != S_OK ||
          opened == nullptr) {
        if (opened != nullptr) opened->Release();
        continue;
      }
      SmsMessage candidate(&folder, static_cast<IMessage*>(opened));
      MessageRecord stored;
      if (!candidate.loaded || !RecordFromMessage(candidate, stored)) continue;
      if (PresenceKey(stored) == key && ++equal >= enough) return equal;
    }
  }
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
  uint32_t& earlier = seen_[Hash(target.key, key)];
  const uint32_t k = ++earlier;
  // The folder's equal messages include the ones this run put there for earlier equal records;
  // a dry run puts none there, so it compares with what the folder held before, as it should.
  const uint32_t equal = target.folder != nullptr ? CountEqual(*target.folder, record, key, k) : 0;
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
