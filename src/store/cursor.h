// MessageCursor: a paged walk over one folder's contents table that opens each message as an
// SmsMessage, and CountMessages, the recursive count a backup takes before it starts.
//
// The cursor owns the messages of its current batch: a message handed out by Next() stays valid
// until the next batch is fetched, the cursor is rewound or destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "platform/mapi/mapi.h"
#include "platform/mapi/mapi_ptr.h"

namespace larkpost {

struct SmsFolder;
struct SmsMessage;

struct MessageCursor {
  MapiPtr<IMAPITable> table;  // contents table with the single column PR_ENTRYID
  SmsFolder* folder = nullptr;  // not owned
  int32_t batchSize = 10;
  std::list<std::unique_ptr<SmsMessage>> batch;
  uint32_t rowCount = 0;  // 0 until first asked for
  std::list<std::unique_ptr<SmsMessage>>::iterator position;  // == batch.end() when used up
  bool hasPosition = false;
  SmsMessage* current = nullptr;  // belongs to batch
  uint32_t handedOut = 0;    // messages Next() returned since the last Rewind
  bool lossNoted = false;    // the rows this pass could not hand out are already counted
  uint32_t lastFetchRows = 0;  // rows the last fetch returned

  MessageCursor(IMAPITable* table, SmsFolder* folder, int32_t batchSize);
  ~MessageCursor();

  // The table's row count, asked once and cached.
  uint32_t RowCount();
  // Back to the first row; false (and nothing changed) when the table refuses.
  bool Rewind();
  // Moves `current` to the next message; false at the end, or when a fetch or an open fails.
  // Messages whose properties cannot be read are skipped and counted in the session's
  // unreadableMessages.
  bool Next();
};

// The number of rows of the contents tables of the folder and all its subfolders. Folders that
// cannot be read count 0 (and are remembered in the session's unreadableFolders).
uint32_t CountMessages(SmsFolder& folder);

// Visits the folder and then, depth first, each subfolder in list order (a folder before its
// subfolders), without recursion; `visit` gets the folder and its depth below `root` (0 for
// root). Folders whose subfolders cannot be listed are visited without them. Stops and returns
// false as soon as `visit` does.
bool WalkFolderTree(SmsFolder& root, const std::function<bool(SmsFolder&, size_t)>& visit);

}  // namespace larkpost
