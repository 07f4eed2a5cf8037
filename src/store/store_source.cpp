#include "store/store_source.h"

#include "message/folder_path.h"
#include "message/folders.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/media_and_calls.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

namespace {

constexpr int kCursorBatchSize = 10;

// Calls `each` for every message of the folder's tree in walk order: a folder's own messages,
// then its subfolders' depth first. Folders the store cannot open, list or read are left out
// (the store counts them in the session's unreadableFolders, once each). False at the first
// failure.
bool ForEachMessage(SmsFolder& folder, const std::function<bool(SmsMessage&)>& each,
                    const std::function<bool(SmsFolder&)>& afterEach) {
  return WalkFolderTree(folder, [&](SmsFolder& visited, size_t depth) {
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
    return afterEach(visited);
  });
}

}  // namespace

bool WalkStore(SmsSession& session, const Selection& selection,
               const std::function<void()>& leftOut,
               const std::function<bool(MessageRecord&)>& each, const TargetHolds& holds,
               NotHeld* notHeld) {
  NotHeld ignored;
  NotHeld& counted = notHeld != nullptr ? *notHeld : ignored;
  const bool looksAtMessages = selection.LooksAtMessages();
  // A multimedia message or call the selection takes goes out, or is counted as not held.
  const auto handOut = [&](FolderKind kind, MessageRecord& value, bool held, uint64_t& notKept) {
    if (looksAtMessages && !selection.Selects(kind, value)) {
      leftOut();
      return true;
    }
    if (!held) {
      ++notKept;
      return true;
    }
    return each(value);
  };
  for (const FolderNames& names : kFolderNames) {
    if (!selection.Folder(names.kind)) continue;
    SmsFolder* folder = session.StandardFolder(names.kind);
    if (folder == nullptr) continue;
    MessageRecord value;
    const bool walked = ForEachMessage(*folder, [&](SmsMessage& message) {
      if (!holds.messages) {
        // Only what a selection takes counts as left out for the target's sake.
        if (!RecordFromMessage(message, value)) return false;
        return handOut(names.kind, value, false, counted.messages);
      }
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
    }, [&](SmsFolder& visited) {
      return ForEachMultimedia(visited, [&](MessageRecord& media, int64_t) {
        return handOut(names.kind, media, holds.multimedia, counted.multimedia);
      });
    });
    if (!walked) return false;
  }
  return ForEachCall(session, [&](MessageRecord& call, int64_t) {
    FolderKind kind = FolderKind::Inbox;
    FolderKindFromName(call.folderPath, kind);
    if (!selection.Folder(kind)) return true;
    return handOut(kind, call, holds.calls, counted.calls);
  });
}

}  // namespace larkpost
