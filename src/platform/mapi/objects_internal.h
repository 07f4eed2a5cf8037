// What the provider's object classes share: the GetProps answer, property encoding, one-row
// lookups, and the constructors OpenObject calls. Each class lives in its own file.
#pragma once

#include <mutex>
#include <vector>

#include "platform/mapi/objects.h"
#include "platform/mapi/operations.h"

namespace larkpost::mapi {

using Lock = std::lock_guard<std::recursive_mutex>;

// Answers GetProps from a property list: the requested tags, or every property without tags.
HRESULT Answer(const PropList& props, const SPropTagArray* tags, ULONG* count,
               SPropValue** values);

// The shape every object's GetProps shares: the out-parameters cleared, the fault plan asked,
// the arguments checked, the object's properties gathered by `gather` under the database lock,
// the requested ones answered.
template <class Gather>
HRESULT AnswerGetProps(Database& db, Operation operation, const SPropTagArray* tags,
                       ULONG* count, SPropValue** values, Gather gather) {
  if (auto fault = Enter(operation, count, values)) return *fault;
  if (count == nullptr || values == nullptr) return MAPI_E_INVALID_PARAMETER;
  if (tags != nullptr && tags->cValues > 0 && tags->aulPropTag == nullptr) {
    return MAPI_E_INVALID_PARAMETER;
  }
  Lock lock(db.mutex());
  PropList props;
  HRESULT hr = gather(&props);
  if (hr != S_OK) return hr;
  return Answer(props, tags, count, values);
}

// Reads one integer column of the first row of `sql` bound with `id`: S_OK, MAPI_E_NOT_FOUND
// when there is no row, or a failure.
HRESULT LookupInt(Database& db, const char* sql, int64_t id, int64_t* value);

// Converts every value of a caller's list; MAPI_E_INVALID_PARAMETER for a type the provider
// does not keep. PR_ENTRYID is the provider's own: it is left out and listed in `computed`.
HRESULT Encode(ULONG count, const SPropValue* values, PropList* props,
               std::vector<ULONG>* computed);

// The database and row id behind one of this provider's folders; false for another object.
bool FolderRow(IMAPIFolder* folder, std::shared_ptr<Database>* db, int64_t* id);

IMessage* NewMessageObject(std::shared_ptr<Database> db, int64_t id);
IAttach* NewAttachObject(std::shared_ptr<Database> db, int64_t messageId, int64_t number);
IMAPITable* NewAttachmentTable(std::shared_ptr<Database> db, int64_t messageId);
// Removes a message's attachments, and the contents no other attachment holds, inside the
// caller's transaction.
HRESULT DeleteAttachments(Database& db, int64_t messageId);
// Removes the content when no attachment holds it any more.
HRESULT DropContentIfUnused(Database& db, int64_t contentId);
IMAPIFolder* NewFolderObject(std::shared_ptr<Database> db, int64_t storeId, int64_t id);
IMsgStore* NewStoreObject(std::shared_ptr<Database> db, int64_t id);

}  // namespace larkpost::mapi
