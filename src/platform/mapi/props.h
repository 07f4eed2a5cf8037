// Property values as the provider keeps them, their conversion to and from the interface's
// SPropValue, and restrictions evaluated against them.
//
// A stored value is the tag plus bytes: PT_LONG 4 bytes and PT_SYSTIME 8 bytes (low half first),
// little-endian; PT_UNICODE UTF-16LE code units without the terminator; PT_BINARY as written.
// A property list serialises as repeated [tag LE32][byte count LE32][bytes], in the order the
// properties were first written. A property is identified by its id: writing the same id again
// replaces the value (and its type) in place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/mapi.h"

namespace larkpost::mapi {

struct Prop {
  ULONG tag;
  std::string bytes;
};
using PropList = std::vector<Prop>;

// False when the blob is damaged (the list then holds what came before the damage). With
// `only`, the properties whose ids are not among its tags' are left out.
bool ParseProps(std::string_view blob, PropList* props, const SPropTagArray* only = nullptr);
std::string SerializeProps(const PropList& props);
// The value's bytes; false for a type the provider does not keep or a malformed value.
bool EncodeValue(const SPropValue& value, std::string* bytes);
// Sets (replaces by id, or appends) one property.
void PutProp(PropList* props, ULONG tag, std::string bytes);
const Prop* FindProp(const PropList& props, ULONG tag);  // exact tag (id and type)

// Answers one value per tag of `tags` in one block allocated for the caller (freed with
// MAPIFreeBuffer). Missing tags become PT_ERROR values with MAPI_E_NOT_FOUND and the result is
// MAPI_W_ERRORS_RETURNED; otherwise S_OK. The out-parameters are null on MAPI_E_NOT_ENOUGH_MEMORY.
HRESULT BuildValues(const PropList& props, const ULONG* tags, ULONG tagCount, ULONG* count,
                    SPropValue** values);
// The same for a list of tags taken from the properties themselves (GetProps without tags).
std::vector<ULONG> TagsOf(const PropList& props);

// Internal allocation: the same block format as MAPIAllocateBuffer, but outside the fault plan
// and the call counts (only the caller's own calls are counted).
void* AllocateBlock(size_t size);

// A restriction copied out of the caller's SRestriction.
struct Condition {
  bool isAnd = false;
  // Property condition: the column and the value it must equal. `never` when the value's type
  // differs from the column's, which matches no row.
  ULONG tag = 0;
  std::string bytes;
  bool never = false;
  std::vector<Condition> children;  // RES_AND
};

// MAPI_E_NO_SUPPORT for restriction kinds and operators other than RES_AND / RES_PROPERTY with
// RELOP_EQ; MAPI_E_INVALID_PARAMETER for malformed ones.
HRESULT CompileRestriction(const SRestriction* restriction, Condition* condition);
bool Matches(const Condition& condition, const PropList& props);
// True when no row at all can meet the condition.
bool Impossible(const Condition& condition);
// The stored bytes of `tag` that every row meeting the condition must have, if it fixes one.
std::optional<std::string> RequiredValue(const Condition& condition, ULONG tag);
// The index key of a stored PT_SYSTIME value.
int64_t TimeKey(std::string_view bytes);

}  // namespace larkpost::mapi
