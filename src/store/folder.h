// SmsFolder: one folder of the SMS store, with its subfolder list, its message cursor and the
// creation operations a restore uses.
//
// A folder is always on the heap and owned by whoever made it: the session for standard
// folders, the parent's `subfolders` list for listed subfolders, the caller for folders made by
// CreateSubfolder or ResolveFolderPath. It is used by one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/mapi/mapi.h"
#include "platform/mapi/mapi_ptr.h"
#include "store/entry_id.h"

namespace larkpost {

struct SmsSession;
struct SmsMessage;
struct MessageCursor;

struct SmsFolder {
  SmsSession* session = nullptr;      // not owned
  MapiPtr<IMAPIFolder> folder;        // empty for a listed subfolder that could not be opened
  std::unique_ptr<MessageCursor> cursor;
  SmsFolder* parent = nullptr;        // the folder that listed this one; null otherwise
  std::unique_ptr<std::vector<std::unique_ptr<SmsFolder>>> subfolders;  // null until listed
  std::u16string displayName;
  EntryId entryId;
  MapiPtr<IMAPITable> deliveryTimeTable;  // made by the first duplicate test
  // Already counted in the session's unreadableFolders (a folder is counted once, however often
  // its tables are asked for again).
  bool unreadableNoted = false;

  // Takes ownership of `openFolder` (may be null). Without `id` the entry identifier is read from
  // the folder itself; on failure it stays empty.
  SmsFolder(SmsSession* session, std::u16string displayName, IMAPIFolder* openFolder,
            const SBinary* id = nullptr);
  ~SmsFolder();
  SmsFolder(const SmsFolder&) = delete;
  SmsFolder& operator=(const SmsFolder&) = delete;

  // The folder's message cursor (made on first use, kept; batchSize 0 means 10), or null when
  // the contents table cannot be read or the folder is not open.
  MessageCursor* Cursor(int batchSize);
  // The immediate subfolders in hierarchy-table order (listed on first use, kept), or null when
  // the hierarchy table cannot be read or the folder is not open; the next call tries again.
  std::vector<std::unique_ptr<SmsFolder>>* Subfolders();

  // Opens the named subfolder, creating it when missing; the name is trimmed of white space and
  // an empty name becomes "NewFolder". Null on failure, with the store's answer in `failure`
  // (may be null). The caller owns the result.
  std::unique_ptr<SmsFolder> CreateSubfolder(const std::u16string& name,
                                             HRESULT* failure = nullptr);
  // True when a message directly in this folder has exactly this delivery time and, when `text`
  // is given, this text. A zero time never matches; any failure answers false.
  bool ContainsDeliveryTime(const FILETIME& time, const std::u16string* text = nullptr);
  // A new, empty message in this folder; null when the store refuses, with its answer in
  // `failure` (may be null). The caller owns it.
  std::unique_ptr<SmsMessage> CreateMessage(HRESULT* failure = nullptr);
};

// The folder a record's folder path names: its first piece selects a standard folder ("Draft",
// "Inbox", "Outbox", "Sentedbox", "Wastebox", any letter case), each further piece a subfolder,
// opened or created. `owned` holds the result when it is not a standard folder (isStandard
// false). Returns null on failure (unknown first piece, missing standard folder, a subfolder
// that cannot be opened or created), leaving no wrapper behind.
SmsFolder* ResolveFolderPath(SmsSession& session, const std::u16string& path, bool& isStandard,
                             std::unique_ptr<SmsFolder>& owned);

}  // namespace larkpost
