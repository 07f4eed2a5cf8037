// SmsSession: the messaging session of one backup or restore run, the store named "SMS" and the
// wrappers of its five standard folders.
//
// The session is constructed, tested (`initialized`) and closed on the user-interface thread;
// while a run's worker is alive the worker is its only user. Standard-folder wrappers are made
// on first request and owned by the session until Close().
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "message/folder_path.h"
#include "platform/mapi/mapi.h"
#include "platform/mapi/mapi_ptr.h"
#include "store/entry_id.h"

namespace larkpost {

struct SmsFolder;

// The store property whose PT_BINARY value is the folder's entry identifier.
ULONG FolderKindTag(FolderKind kind);

struct SmsSession {
  MapiPtr<IMAPISession> session;
  MapiPtr<IMsgStore> store;
  std::array<std::unique_ptr<SmsFolder>, kFolderKindCount> folders;  // FolderKind order
  std::unique_ptr<SmsFolder> callLog;
  int32_t initialized = 0;  // 1 when the logon and the opening of the store succeeded

  // What a walk or count could not read: folders that could not be opened or listed, and
  // messages a folder's table announced but the cursor could not hand out.
  uint32_t unreadableFolders = 0;
  uint32_t unreadableMessages = 0;
  // Standard folders already counted in unreadableFolders, so a retried lookup counts once.
  std::array<bool, kFolderKindCount> missingNoted{};

  // Logs on and opens the store whose display name equals storeName, ignoring case.
  explicit SmsSession(const std::u16string& storeName);
  ~SmsSession();  // runs Close()
  SmsSession(const SmsSession&) = delete;
  SmsSession& operator=(const SmsSession&) = delete;

  bool Logon(const std::u16string& storeName);
  // The wrapper of a standard folder (owned by the session), or null when the store lacks it or
  // it cannot be opened; a failed lookup is tried again on the next request.
  SmsFolder* StandardFolder(FolderKind kind);
  // The wrapper of the store's call log (owned by the session), or null when the store has none
  // (a store of an older layout opened for reading only) or it cannot be opened.
  SmsFolder* CallLog();
  // Opens an entry of the store; the caller owns the result. Null on failure or without a store.
  IUnknown* OpenByEntryId(const EntryId& id);
  IUnknown* OpenByEntryId(const SBinary& id);
  // Releases the standard folders, then the store, then logs off and releases the session.
  void Close();
  // Counts a standard folder that the store lacks or refuses to open, once per kind.
  void NoteMissingStandardFolder(FolderKind kind);
};

}  // namespace larkpost
