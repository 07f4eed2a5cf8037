#include "store/stored_messages.h"

#include "message/folders.h"
#include "platform/mapi/provider.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/media_and_calls.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

bool WalkStoredMessages(SmsSession& session, const StoredMessageVisit& visit) {
  const uint32_t unreadableFolders = session.unreadableFolders;
  const uint32_t unreadableMessages = session.unreadableMessages;
  MessageRecord record;
  for (int k = 0; k < kFolderKindCount; ++k) {
    SmsFolder* root = session.StandardFolder(static_cast<FolderKind>(k));
    if (root == nullptr) return false;
    bool ok = true;
    const bool walked = WalkFolderTree(*root, [&](SmsFolder& folder, size_t) {
      MessageCursor* cursor = folder.Cursor(0);
      if (cursor == nullptr || !cursor->Rewind()) return ok = false;
      while (cursor->Next()) {
        SmsMessage& message = *cursor->current;
        int64_t position = 0;
        if (!RecordFromMessage(message, record) ||
            mapi::MessagePosition(message.message.get(), &position) != S_OK) {
          return ok = false;
        }
        if (!visit(record, folder, position)) return ok = false;
      }
      return true;
    });
    if (!walked || !ok) return false;
  }
  return session.unreadableFolders == unreadableFolders &&
         session.unreadableMessages == unreadableMessages;
}

bool WalkStoredEntries(SmsSession& session, const StoredMessageVisit& visit) {
  if (!WalkStoredMessages(session, visit)) return false;
  const uint32_t unreadableFolders = session.unreadableFolders;
  const uint32_t unreadableMessages = session.unreadableMessages;
  for (int k = 0; k < kFolderKindCount; ++k) {
    SmsFolder* root = session.StandardFolder(static_cast<FolderKind>(k));
    if (root == nullptr) return false;
    bool ok = true;
    const bool walked = WalkFolderTree(*root, [&](SmsFolder& folder, size_t) {
      return ok = ForEachMultimedia(folder, [&](MessageRecord& record, int64_t position) {
        return visit(record, folder, position);
      });
    });
    if (!walked || !ok) return false;
  }
  SmsFolder* log = session.CallLog();
  const bool walked =
      log == nullptr || ForEachCall(session, [&](MessageRecord& record, int64_t position) {
        return visit(record, *log, position);
      });
  return walked && session.unreadableFolders == unreadableFolders &&
         session.unreadableMessages == unreadableMessages;
}

}  // namespace larkpost
