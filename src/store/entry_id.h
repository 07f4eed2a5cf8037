// EntryId: an owned copy of an entry identifier of the message store. It never shares memory
// with a buffer of the messaging interface.
#pragma once

#include <vector>

#include "platform/mapi/mapi.h"

namespace larkpost {

struct EntryId {
  std::vector<BYTE> bytes;

  static EntryId FromBinary(const SBinary& value) {
    EntryId id;
    if (value.lpb != nullptr) id.bytes.assign(value.lpb, value.lpb + value.cb);
    return id;
  }
  bool empty() const { return bytes.empty(); }
  ULONG size() const { return static_cast<ULONG>(bytes.size()); }
  const BYTE* data() const { return bytes.data(); }
};

}  // namespace larkpost
