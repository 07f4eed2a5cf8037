// The byte forms the store keeps: texts as UTF-16 little-endian, and entry identifiers ("LKPM",
// the object type, the store file's uid, the row), all numbers little-endian.
#include <cstring>

#include "platform/mapi/database.h"

namespace larkpost::mapi {

namespace {

void PutLe(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}
uint64_t GetLe(const BYTE* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

}  // namespace

std::string EncodeText(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) PutLe(&bytes, c, 2);
  return bytes;
}

std::string MakeEntryId(uint64_t uid, ULONG objectType, int64_t rowId) {
  std::string id = "LKPM";
  PutLe(&id, objectType, 4);
  PutLe(&id, uid, 8);
  PutLe(&id, static_cast<uint64_t>(rowId), 8);
  return id;
}

HRESULT ParseEntryId(ULONG size, const BYTE* bytes, uint64_t uid, ULONG* objectType,
                     int64_t* rowId) {
  if (bytes == nullptr || size != kEntryIdSize || std::memcmp(bytes, "LKPM", 4) != 0) {
    return MAPI_E_INVALID_PARAMETER;
  }
  ULONG type = static_cast<ULONG>(GetLe(bytes + 4, 4));
  if (type != MAPI_STORE && type != MAPI_FOLDER && type != MAPI_MESSAGE) {
    return MAPI_E_INVALID_PARAMETER;
  }
  if (GetLe(bytes + 8, 8) != uid) return MAPI_E_NOT_FOUND;
  int64_t id = static_cast<int64_t>(GetLe(bytes + 16, 8));
  if (id <= 0) return MAPI_E_NOT_FOUND;
  *objectType = type;
  *rowId = id;
  return S_OK;
}

}  // namespace larkpost::mapi
