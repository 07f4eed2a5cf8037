// DumpStore: the store's messages as NDJSON lines, folder by folder in backup order.
#include "storejson/store_json.h"

#include <ostream>

#include "platform/mapi/mapi_ptr.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/media_and_calls.h"
#include "storejson/json_fields.h"

namespace larkpost {

using namespace storejson;

namespace {


Json ValueToJson(const SPropValue& value, Kind kind) {
  switch (kind) {
    case Kind::kLong:
      return value.Value.ul;
    case Kind::kText:
      return Utf8(TextOf(value.Value.lpszW));
    case Kind::kTime:
      return FileTimeToUInt64(value.Value.ft);
    case Kind::kColumns: {
      Columns columns;
      Json list = Json::array();
      const std::string_view bytes(reinterpret_cast<const char*>(value.Value.bin.lpb),
                                   value.Value.bin.cb);
      if (!DecodeColumns(bytes, columns)) return nullptr;
      for (const NamedColumn& column : columns) {
        list.push_back(Json::array({column.name, column.value ? Json(Utf8(*column.value)) : Json()}));
      }
      return list;
    }
  }
  return nullptr;
}

// Adds the message's recipients to the line; false with `error` set when they cannot be read.
bool DumpRecipients(IMessage& message, Json& line, std::string& error) {
  MapiPtr<IMAPITable> table;
  const HRESULT hr = message.GetRecipientTable(0, table.put());
  if (hr == MAPI_E_NO_RECIPIENTS) return true;
  if (hr != S_OK || !table) {
    error = "cannot open a recipient table (" + Hex(hr) + ")";
    return false;
  }
  Json list = Json::array();
  const HRESULT fetched = ForEachRow(*table, 50, [&list](const SRow& row) {
    Json recipient = Json::object();
    for (const RecipientField& field : kRecipientFields) {
      for (ULONG i = 0; i < row.cValues; ++i) {
        const SPropValue& value = row.lpProps[i];
        if (value.ulPropTag != field.tag) continue;
        if (field.tag == PR_RECIPIENT_TYPE) {
          recipient[field.key] = value.Value.l;
        } else {
          recipient[field.key] = Utf8(TextOf(value.Value.lpszW));
        }
        break;
      }
    }
    list.push_back(std::move(recipient));
    return true;
  });
  if (fetched < 0) {
    error = "cannot read a recipient table (" + Hex(fetched) + ")";
    return false;
  }
  if (!list.empty()) line["recipients"] = std::move(list);
  return true;
}

bool DumpMessage(IMessage& message, const Json& path, std::ostream& out, std::string& error) {
  ULONG tagList[kFieldCount];
  for (size_t i = 0; i < kFieldCount; ++i) tagList[i] = kFields[i].tag;
  const SPropTagArray tags{static_cast<ULONG>(kFieldCount), tagList};
  ULONG count = 0;
  MapiBuffer<SPropValue> values;
  const HRESULT hr = message.GetProps(&tags, MAPI_UNICODE, &count, values.put());
  if ((hr != S_OK && hr != MAPI_W_ERRORS_RETURNED) || !values) {
    error = "cannot read the properties of a message (" + Hex(hr) + ")";
    return false;
  }
  Json line = Json::object();
  line["folder"] = path;
  for (size_t i = 0; i < kFieldCount && i < count; ++i) {
    if (values[i].ulPropTag == kFields[i].tag) {
      line[kFields[i].key] = ValueToJson(values[i], kFields[i].kind);
    }
  }
  if (!DumpRecipients(message, line, error)) return false;
  out << line.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
  if (!out) {
    error = "cannot write the output";
    return false;
  }
  return true;
}

bool DumpFolderMessages(SmsFolder& folder, const Json& path, std::ostream& out,
                        std::string& error) {
  if (!folder.folder) {
    error = "cannot open the folder " + path.dump();
    return false;
  }
  MapiPtr<IMAPITable> table;
  static constexpr ULONG kColumn = PR_ENTRYID;
  const SPropTagArray columns{1, &kColumn};
  HRESULT hr = folder.folder->GetContentsTable(0, table.put());
  if (hr == S_OK && table) hr = table->SetColumns(&columns, 0);
  if (hr != S_OK || !table) {
    error = "cannot read the messages of the folder " + path.dump() + " (" + Hex(hr) + ")";
    return false;
  }
  bool opened = true;
  hr = ForEachRow(*table, 100, [&](const SRow& row) {
    const SBinary* id = nullptr;
    for (ULONG i = 0; i < row.cValues && id == nullptr; ++i) {
      if (row.lpProps[i].ulPropTag == PR_ENTRYID) id = &row.lpProps[i].Value.bin;
    }
    ULONG type = 0;
    IUnknown* object = nullptr;
    const HRESULT result =
        id != nullptr ? folder.folder->OpenEntry(id->cb, id->lpb, nullptr, 0, &type, &object)
                      : MAPI_E_NOT_FOUND;
    MapiPtr<IMessage> message(static_cast<IMessage*>(object));
    if (result != S_OK || !message) {
      error = "cannot open a message of the folder " + path.dump() + " (" + Hex(result) + ")";
      return opened = false;
    }
    return opened = DumpMessage(*message, path, out, error);
  });
  if (hr < 0) {
    error = "cannot read the messages of the folder " + path.dump() + " (" + Hex(hr) + ")";
    return false;
  }
  return opened;
}

// The folder's messages, then its subfolders' depth first, without recursion.
bool DumpFolder(SmsFolder& root, std::ostream& out, std::string& error) {
  Json path = Json::array();
  return WalkFolderTree(root, [&](SmsFolder& folder, size_t depth) {
    while (path.size() > depth) path.erase(path.size() - 1);
    path.push_back(Utf8(folder.displayName));
    if (!DumpFolderMessages(folder, path, out, error)) return false;
    if (folder.Subfolders() == nullptr) {
      error = "cannot list the subfolders of the folder " + path.dump();
      return false;
    }
    return true;
  });
}

// True when the store answers that it has no such property (rather than failing to answer).
bool StoreLacksProperty(IMsgStore& store, ULONG tag) {
  const SPropTagArray tags{1, &tag};
  ULONG count = 0;
  SPropValue* values = nullptr;
  const HRESULT hr = store.GetProps(&tags, 0, &count, &values);
  const bool lacks = hr == MAPI_W_ERRORS_RETURNED && values != nullptr && count >= 1 &&
                     PROP_TYPE(values[0].ulPropTag) == PT_ERROR &&
                     values[0].Value.err == MAPI_E_NOT_FOUND;
  MAPIFreeBuffer(values);
  return lacks;
}

}  // namespace

bool DumpStore(SmsSession& session, std::ostream& out, std::string& error,
               uint32_t* multimediaLeftOut) {
  error.clear();
  if (multimediaLeftOut != nullptr) *multimediaLeftOut = 0;
  if (!session.store) {
    error = "the store is not open";
    return false;
  }
  for (int k = 0; k < kFolderKindCount; ++k) {
    const FolderKind kind = static_cast<FolderKind>(k);
    SmsFolder* folder = session.StandardFolder(kind);
    if (folder == nullptr) {
      if (StoreLacksProperty(*session.store.get(), FolderKindTag(kind))) continue;
      error = "cannot open the " + Utf8(FolderKindName(kind)) + " folder";
      return false;
    }
    if (!DumpFolder(*folder, out, error)) return false;
    if (multimediaLeftOut != nullptr) *multimediaLeftOut += CountMultimedia(*folder);
  }
  // The call log last, beside the standard folders.
  if (SmsFolder* log = session.CallLog()) {
    if (!DumpFolderMessages(*log, Json::array({Utf8(kCallLogFolderName)}), out, error)) return false;
  }
  out.flush();
  if (!out) {
    error = "cannot write the output";
    return false;
  }
  return true;
}

}  // namespace larkpost
