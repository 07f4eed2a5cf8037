#include "store/cursor.h"

#include <vector>

#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"

namespace larkpost {

MessageCursor::MessageCursor(IMAPITable* table, SmsFolder* folder, int32_t batchSize)
    : table(table), folder(folder), batchSize(batchSize > 0 ? batchSize : 10) {
  position = batch.end();
}

MessageCursor::~MessageCursor() {
  table.reset();
  current = nullptr;
  batch.clear();
}

uint32_t MessageCursor::RowCount() {
  if (rowCount == 0) {
    ULONG count = 0;
    table->GetRowCount(0, &count);
    rowCount = count;
  }
  return rowCount;
}

bool MessageCursor::Rewind() {
  if (table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr) != S_OK) return false;
  current = nullptr;
  batch.clear();
  position = batch.end();
  hasPosition = false;
  handedOut = 0;
  lossNoted = false;
  return true;
}

namespace {

// Counts the rows of this pass that will not be handed out, once per pass.
void NoteLostRows(MessageCursor& cursor) {
  if (cursor.lossNoted) return;
  cursor.lossNoted = true;
  const uint32_t total = cursor.RowCount();
  if (total > cursor.handedOut && cursor.folder != nullptr && cursor.folder->session != nullptr) {
    cursor.folder->session->unreadableMessages += total - cursor.handedOut;
  }
}

// Replaces the batch with the messages of the next rows. False when the fetch or any open
// fails; the rows from there on are then lost to this pass.
bool FetchBatch(MessageCursor& cursor) {
  cursor.current = nullptr;
  cursor.batch.clear();
  RowSet rows;
  if (cursor.table->QueryRows(cursor.batchSize, 0, rows.put()) != S_OK) {
    NoteLostRows(cursor);
    return false;
  }
  cursor.lastFetchRows = rows.size();
  IMAPIFolder* container = cursor.folder->folder.get();
  for (ULONG r = 0; r < rows.size(); ++r) {
    const SRow& row = rows[r];
    const SPropValue* id = nullptr;
    for (ULONG i = 0; i < row.cValues && id == nullptr; ++i) {
      if (row.lpProps[i].ulPropTag == PR_ENTRYID) id = &row.lpProps[i];
    }
    ULONG type = 0;
    IUnknown* opened = nullptr;
    if (id == nullptr || container == nullptr ||
        container->OpenEntry(id->Value.bin.cb, id->Value.bin.lpb, nullptr, 0, &type, &opened) !=
            S_OK ||
        opened == nullptr) {
      if (opened != nullptr) opened->Release();
      NoteLostRows(cursor);
      return false;
    }
    auto message = std::make_unique<SmsMessage>(cursor.folder, static_cast<IMessage*>(opened));
    if (!message->loaded) {
      // A message whose properties cannot be read would go out empty: it is left out, and
      // counted, instead.
      ++cursor.handedOut;
      if (cursor.folder->session != nullptr) ++cursor.folder->session->unreadableMessages;
      continue;
    }
    cursor.batch.push_back(std::move(message));
  }
  return true;
}

}  // namespace

bool MessageCursor::Next() {
  while (!hasPosition) {
    if (!FetchBatch(*this)) return false;
    if (batch.empty()) {
      // The end of the table, or a batch whose every message was left out: fetch on until a
      // fetch brings no row at all.
      if (lastFetchRows == 0) return false;
      continue;
    }
    position = batch.begin();
    hasPosition = true;
  }
  current = position->get();
  if (++position == batch.end()) hasPosition = false;
  ++handedOut;
  return true;
}

uint32_t CountMessages(SmsFolder& folder) {
  // A folder whose tables cannot be read counts 0 and is remembered by Cursor()/Subfolders().
  uint32_t count = 0;
  WalkFolderTree(folder, [&count](SmsFolder& each, size_t) {
    if (MessageCursor* cursor = each.Cursor(10)) count += cursor->RowCount();
    return true;
  });
  return count;
}

bool WalkFolderTree(SmsFolder& root, const std::function<bool(SmsFolder&, size_t)>& visit) {
  // An explicit stack, not recursion: the store's tree may be deeper than any thread's stack.
  std::vector<std::pair<SmsFolder*, size_t>> pending{{&root, 0}};
  while (!pending.empty()) {
    const auto [folder, depth] = pending.back();
    pending.pop_back();
    if (!visit(*folder, depth)) return false;
    if (auto* subfolders = folder->Subfolders()) {
      for (auto child = subfolders->rbegin(); child != subfolders->rend(); ++child) {
        pending.emplace_back(child->get(), depth + 1);
      }
    }
  }
  return true;
}

}  // namespace larkpost
