#include "store/store_source.h"

#include "message/folder_path.h"
#include "message/folders.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr int kCursorBatchSize = 10;

// Calls `each` for every message of the folder's tree in walk order: a folder's own messages,
// then its subfolders' depth first. Folders the store cannot open, list or read are left out
// (the store counts them in the session's unreadableFolders, once each). False at the first
// failure.
bool ForEachMessage(SmsFolder& folder, const std::function<bool(SmsMessage&)>& each) {
  return WalkFolderTree(folder, [&each](SmsFolder& visited, size_t depth) {
    if (depth > kMaxFolderDepth) {
      if (visited.session != nullptr) ++visited.session->unreadableFolders;
      return true;
    }
    if (!visited.folder) return true;
    if (MessageCursor* cursor = visited.Cursor(kCursorBatchSize)) {
      if (!cursor->Rewind()) return false;
      while (cursor->Next()) {
        if (!each(*cursor->current)) return false;
      }
    }
    return true;
  });
}

}  // namespace

bool WalkStore(SmsSession& session, const Selection& selection,
               const std::function<void()>& leftOut,
               const std::function<bool(MessageRecord&)>& each) {
  const bool looksAtMessages = selection.LooksAtMessages();
  for (const FolderNames& names : kFolderNames) {
    if (!selection.Folder(names.kind)) continue;
    SmsFolder* folder = session.StandardFolder(names.kind);
    if (folder == nullptr) continue;
    MessageRecord value;
    const bool walked = ForEachMessage(*folder, [&](SmsMessage& message) {
      // No reader takes a longer text back: a file holding it could not be restored, so the
      // message is left out and counted like a message that cannot be read.
      if (message.text.size() > kMaxTextChars) {
        ++session.unreadableMessages;
        return true;
      }
      if (!RecordFromMessage(message, value)) return false;
      if (looksAtMessages && !selection.Selects(names.kind, value)) {
        leftOut();
        return true;
      }
      return each(value);
    });
    if (!walked) return false;
  }
  return true;
}

}  // namespace larkpost
