// Putting message records back into the store: the one "restore this record" step, for any
// source of records (a backup file, a phone export). It runs on the thread that uses the session.
//
// Presence. A record is already present when its folder holds a message equal to it in delivery
// time (zero included), text, sender and recipients, compared as a backup file keeps them, by
// the identity rule (PresenceIndex). Equal records count as a multiset: the k-th record of a run
// with the same folder and key is skipped only when the folder holds at least k equal messages
// at that point, its own earlier ones included (each record is matched to an equal message no
// earlier record was matched to or restored as). For a run alone that is the same as "the
// folder held k before": nothing distinct is merged, a file restored twice adds nothing the
// second time, and a rerun after an interruption completes the store exactly. Two runs at once
// end with each message once.
//
// Phone copies. A store filled from a phone's file holds its messages poorer than a backup file
// does: in the bare standard folder, without the own number (the recipients of a received
// message, the sender of any other), at a whole millisecond. A record its own folder lacks is
// looked for among such messages of its standard folder (a deleted one among the received or
// the sent, by its direction as the owner the records before it show tells it, where the
// phone's file put it), by what a phone's file keeps
// (kBackupAgainstPhoneCopy). Only they are candidates: a message with a subfolder, an own number
// or a finer time holds those, and it is the same only as a record that agrees on them, which
// its own folder's lookup finds. So two records that differ only there never both find one
// message. Both lookups take from one set of matched messages, so no message answers for two
// records. A record found in its own folder (a file restored into the store it came from) costs
// nothing more, and a store without phone copies one read of each standard folder looked in.
//
// Transactions. Records are restored in groups: one store transaction holds the presence checks
// and the inserts of up to kGroupMessages messages or kGroupMilliseconds of work. A message thus
// becomes visible whole (properties and recipients) or not at all; no other process writes between
// a check and the insert it decides on; a crash loses at most the open group, which a rerun puts
// back. A message the store refuses halfway is undone on its own, so the group keeps the rest.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "identity/identity.h"
#include "message/folder_path.h"
#include "message/folders.h"
#include "message/message_record.h"
#include "message/own_numbers.h"
#include "platform/mapi/mapi.h"
#include "platform/mapi/mapi_ptr.h"
#include "store/presence_tables.h"

namespace larkpost {

struct SmsSession;
struct SmsFolder;

struct RestoreCounts {
  uint32_t restored = 0;        // messages created (or, in a dry run, that would be)
  uint32_t present = 0;         // records skipped as already present
  // Of `restored` and `present`, the multimedia messages and the calls (the rest are SMS).
  uint32_t restoredMultimedia = 0;
  uint32_t restoredCalls = 0;
  uint32_t presentMultimedia = 0;
  uint32_t presentCalls = 0;
  uint32_t foldersCreated = 0;  // subfolders created (or that would be)
  uint32_t byNumberFormat = 0;  // of `present`, found only with the numbers normalised
  // With no region known: of `restored`, those a region would have found present (a number
  // written with the country code on one side, without it on the other).
  uint32_t sameWithRegion = 0;
};

class RecordRestorer {
 public:
  static constexpr uint32_t kGroupMessages = 2000;
  static constexpr int kGroupMilliseconds = 200;

  // With `dryRun` nothing is written: the counts say what a restore would do.
  explicit RecordRestorer(SmsSession& session, bool dryRun = false);
  ~RecordRestorer();  // commits the open group
  RecordRestorer(const RecordRestorer&) = delete;
  RecordRestorer& operator=(const RecordRestorer&) = delete;

  // Puts one checked record (CheckRecordFields) into its folder, creating missing subfolders,
  // unless it is present. A multimedia message goes into its folder's multimedia list, a call
  // into the call log (media_and_calls.h); their presence is always the caller's to decide. False with the record error text: "Create folder '%s' error!",
  // "Create message error!" or "Save sms error!"; what earlier records did stays.
  bool Restore(const MessageRecord& record, std::u16string& error);
  // For a caller that decided presence itself (a phone's file against the whole store,
  // store_presence.h): counts the record as present, or restores it without looking.
  void CountPresent(bool byNumberFormat, const MessageRecord* record = nullptr);
  void CountSameWithRegion() { ++counts_.sameWithRegion; }
  bool RestoreAbsent(const MessageRecord& record, std::u16string& error);
  // Makes everything restored so far visible and durable. False ("Save sms error!") when the
  // store refuses; the open group is then lost: its messages leave counts().restored and are
  // counted in lost().
  bool Commit(std::u16string& error);

  const RestoreCounts& counts() const { return counts_; }
  // Whether the store refused the last failed step for a full disk (its answer was
  // MAPI_E_NOT_ENOUGH_DISK), which a report names as the cause.
  bool FailedForFullDisk() const { return storeAnswer_ == MAPI_E_NOT_ENOUGH_DISK; }
  // Messages restored in groups the store then failed to commit (a full disk takes the whole
  // open group with it), which a rerun puts back.
  uint32_t lost() const { return lost_; }

  // The hash under which presence keys are looked up. A lookup compares the keys themselves as
  // well, so any hash gives the same result; tests set one that makes keys collide.
  using KeyHash = uint64_t (*)(std::string_view key);
  static uint64_t DefaultKeyHash(std::string_view key);
  void SetKeyHash(KeyHash hash) { keyHash_ = hash; }

 private:
  struct Target {
    SmsFolder* folder = nullptr;  // null when the folder does not exist (yet)
    std::u16string key;           // the folder's canonical path
    FolderKind kind = FolderKind::Inbox;  // the standard folder it lies in
    bool missing = false;         // a subfolder on the path does not exist
  };
  // The record's folder. Subfolders that do not exist are created only with `create` (a dry run
  // counts them instead): a record found present elsewhere creates none.
  bool ResolveTarget(const MessageRecord& record, Target& target, bool create,
                     std::u16string& error);
  bool RestoreRecord(const MessageRecord& record, bool lookUp, std::u16string& error);
  bool OpenGroup(std::u16string& error);
  // Fails with `text`, keeping the store's answer that made the step fail.
  bool Refuse(HRESULT answer, std::u16string& error, std::u16string text);
  // Where a message of the folder equal to the record lies that no record of this run was
  // matched to yet (0: there is none), and whether it is equal only with the numbers normalised.
  struct Match {
    int64_t position = 0;
    bool byNumberFormat = false;
    bool sameWithRegion = false;  // none, but one with a region (RestoreCounts)
  };
  struct Lookup;
  // Sets `match` for the record among the messages `lookup` reads of `folder` (of standard
  // folder `kind`) at delivery time `at`. False when the store cannot be read.
  bool FindUnmatched(Lookup& lookup, SmsFolder& folder, const std::u16string& folderKey,
                     FolderKind kind, const MessageRecord& record, FILETIME at, Match& match);
  // The same for a time zero or after 2^63, which the time index does not order, and a time
  // many messages of the folder share.
  bool FindUnmatchedAt(Lookup& lookup, SmsFolder& folder, const std::u16string& folderKey,
                       FolderKind kind, const MessageRecord& record, FILETIME at,
                       Match& match);
  // Sets `match` for a record its own folder lacks among the phone copies of its standard folder.
  bool FindPhoneCopy(const Target& target, const MessageRecord& record, Match& match);
  // Whether the standard folder holds phone copies not matched yet, as found at the first look
  // of this run. False when the store cannot be read.
  bool HasPhoneCopies(FolderKind kind, SmsFolder& folder, bool& any);
  // Creates the message; `position` is its position (mapi::MessagePosition).
  bool Insert(SmsFolder& folder, const MessageRecord& record, int64_t& position,
              std::u16string& error);

  SmsSession& session_;
  bool dryRun_;
  KeyHash keyHash_ = &DefaultKeyHash;
  RestoreCounts counts_;
  bool groupOpen_ = false;
  uint32_t groupMessages_ = 0;
  uint32_t lost_ = 0;
  HRESULT storeAnswer_ = S_OK;  // of the last step the store refused
  std::chrono::steady_clock::time_point groupStart_;
  // Subfolders opened or created so far, by canonical path; missing ones as null.
  // Bounded: a file naming ever new folders does not hold them all.
  std::map<std::u16string, std::unique_ptr<SmsFolder>> folders_;
  std::unordered_set<std::u16string> foldersToCreate_;  // a dry run's, counted once each
  // The messages records of this run were matched to or restored as: one bit per position,
  // so its size follows the store's, whatever the number of records.
  PositionSet matched_;
  OwnNumbers own_;  // the owner as the records so far show it: where a deleted one's phone copy is
  // Transactions opened so far: what was read in an earlier one may have changed since.
  uint64_t group_ = 0;
  static constexpr uint64_t kNoGroup = ~uint64_t{0};
  // Per folder, the messages of a range of delivery times [from, next) (next 0: to the end) by
  // their presence keys, as read in transaction `group`.
  static constexpr size_t kMaxReadAhead = 256;
  // A time this many messages of a folder share is read on its own (FindUnmatchedAt).
  static constexpr size_t kCrowdedTime = 256;
  static constexpr size_t kMaxCachedTimes = 256;
  struct Window {
    uint64_t group = kNoGroup;
    uint64_t from = 0;
    uint64_t next = 0;
    size_t readAhead = 1;
    std::unique_ptr<PresenceIndex> keys;
    std::unordered_set<uint64_t> crowded;  // such times of the folder seen so far (bounded)
  };
  // Per folder and delivery time (zero, or after 2^63), the messages read so far, and where
  // reading them goes on (mapi::ReadMessagesAt). Bounded like folders_.
  struct Present {
    std::u16string folderKey;
    uint64_t time = 0;
    int64_t position = 0;
    uint64_t group = kNoGroup;  // the transaction in which it was last brought up to date
    std::unique_ptr<PresenceIndex> keys;
  };
  // One way of looking records up, with what it has read.
  struct Lookup {
    IdentityFields fields;
    // Only the phone copies of a standard folder are kept of what is read. A window of them
    // starts at the millisecond a record's time falls in, so the time many records share lies
    // inside it: a crowded time ends such a window, rather than being read whole for every
    // transaction.
    bool phoneCopies = false;
    std::unordered_map<std::u16string, Window> windows;  // bounded like folders_
    // By a hash of the folder's key and the time; the entry says which it holds.
    std::unordered_map<uint64_t, Present> present;
  };
  Lookup inFolder_{kBackupInFolder, false, {}, {}};   // the record's own folder, every field
  Lookup phoneCopies_{kBackupAgainstPhoneCopy, true, {}, {}};
  enum class PhoneCopies { kUnknown, kNone, kSome };
  PhoneCopies phoneCopiesIn_[kFolderKindCount] = {};  // by standard folder
};

}  // namespace larkpost
