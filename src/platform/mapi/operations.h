// The operations of the messaging interface that the fault plan counts and can make fail, and
// the start every public call of the provider shares.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/mapi/mapi.h"

namespace larkpost::mapi {

enum class Operation {
  kLogonEx,
  kAllocateBuffer,
  kAllocateMore,
  kSessionGetMsgStoresTable,
  kSessionOpenEntry,
  kSessionLogoff,
  kStoreGetProps,
  kStoreSetProps,
  kStoreSaveChanges,
  kStoreOpenEntry,
  kFolderGetProps,
  kFolderSetProps,
  kFolderSaveChanges,
  kFolderGetContentsTable,
  kFolderGetHierarchyTable,
  kFolderOpenEntry,
  kFolderCreateMessage,
  kFolderCreateFolder,
  kMessageGetProps,
  kMessageSetProps,
  kMessageSaveChanges,
  kMessageGetRecipientTable,
  kMessageModifyRecipients,
  kMessageGetAttachmentTable,
  kMessageOpenAttach,
  kMessageCreateAttach,
  kAttachGetProps,
  kAttachSetProps,
  kAttachSaveChanges,
  kAttachOpenProperty,
  kStreamRead,
  kStreamWrite,
  kStreamCommit,
  kTableSetColumns,
  kTableQueryRows,
  kTableGetRowCount,
  kTableSeekRow,
  kTableFindRow,
  kTableRestrict,
  kReadMessagesAt,
  kReadMessagesFrom,
  kDeleteMessageAt,
};
constexpr size_t kOperationCount = static_cast<size_t>(Operation::kDeleteMessageAt) + 1;

// The operation named "Interface::Method" as in mapi.h, or by the function's name
// ("MAPILogonEx"); none for a name the interface does not have.
std::optional<Operation> OperationNamed(std::string_view name);

// Counts a call of `operation` and answers the fault the plan holds for it, if any.
std::optional<HRESULT> FaultFor(Operation operation);

// The start of a public call: clears the out-parameters the caller passed (null ones are
// skipped), then counts the call and answers a planned fault. Arguments are checked after it, so
// a faulted call fails the same way whatever it was given.
template <class... Out>
std::optional<HRESULT> Enter(Operation operation, Out*... outs) {
  ((outs != nullptr ? void(*outs = Out{}) : void()), ...);
  return FaultFor(operation);
}

}  // namespace larkpost::mapi
