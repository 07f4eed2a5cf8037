#include "store/store_json.h"

#include <cstring>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/text/text.h"
#include "platform/time/filetime.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/store_internal.h"

namespace larkpost {

namespace {

using Json = nlohmann::ordered_json;

// The message properties of a line, in the order they are written.
enum class Kind { kLong, kText, kTime };
struct Field {
  const char* key;
  ULONG tag;
  Kind kind;
};
constexpr Field kFields[] = {
    {"flags", PR_MESSAGE_FLAGS, Kind::kLong},
    {"subject", PR_SUBJECT, Kind::kText},
    {"lastModified", PR_LAST_MODIFICATION_TIME, Kind::kTime},
    {"deliveryTime", PR_MESSAGE_DELIVERY_TIME, Kind::kTime},
    {"messageClass", PR_MESSAGE_CLASS, Kind::kText},
    {"senderEmailAddress", PR_SENDER_EMAIL_ADDRESS, Kind::kText},
    {"senderName", PR_SENDER_NAME, Kind::kText},
    {"size", PR_MESSAGE_SIZE, Kind::kLong},
};
constexpr size_t kFieldCount = sizeof(kFields) / sizeof(kFields[0]);

// Recipient properties: key, tag.
struct RecipientField {
  const char* key;
  ULONG tag;
};
constexpr RecipientField kRecipientFields[] = {
    {"name", PR_DISPLAY_NAME},
    {"address", PR_EMAIL_ADDRESS},
    {"type", PR_RECIPIENT_TYPE},
};

std::string Hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

std::string Utf8(std::u16string_view text) { return WideToUtf8(text); }

// ---------------------------------------------------------------------------------------------
// Dump

Json ValueToJson(const SPropValue& value, Kind kind) {
  switch (kind) {
    case Kind::kLong:
      return value.Value.ul;
    case Kind::kText:
      return Utf8(TextOf(value.Value.lpszW));
    case Kind::kTime:
      return FileTimeToUInt64(value.Value.ft);
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
  for (;;) {
    SRowSet* rows = nullptr;
    const HRESULT fetched = table->QueryRows(50, 0, &rows);
    if (fetched < 0 || rows == nullptr) {
      FreeProws(rows);
      error = "cannot read a recipient table (" + Hex(fetched) + ")";
      return false;
    }
    if (rows->cRows == 0) {
      FreeProws(rows);
      break;
    }
    for (ULONG r = 0; r < rows->cRows; ++r) {
      const SRow& row = rows->aRow[r];
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
    }
    FreeProws(rows);
  }
  if (!list.empty()) line["recipients"] = std::move(list);
  return true;
}

bool DumpMessage(IMessage& message, const Json& path, std::ostream& out, std::string& error) {
  ULONG tagList[kFieldCount];
  for (size_t i = 0; i < kFieldCount; ++i) tagList[i] = kFields[i].tag;
  const SPropTagArray tags{static_cast<ULONG>(kFieldCount), tagList};
  ULONG count = 0;
  SPropValue* values = nullptr;
  const HRESULT hr = message.GetProps(&tags, MAPI_UNICODE, &count, &values);
  if ((hr != S_OK && hr != MAPI_W_ERRORS_RETURNED) || values == nullptr) {
    MAPIFreeBuffer(values);
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
  MAPIFreeBuffer(values);
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
  for (;;) {
    SRowSet* rows = nullptr;
    hr = table->QueryRows(100, 0, &rows);
    if (hr != S_OK || rows == nullptr) {
      FreeProws(rows);
      error = "cannot read the messages of the folder " + path.dump() + " (" + Hex(hr) + ")";
      return false;
    }
    if (rows->cRows == 0) {
      FreeProws(rows);
      break;
    }
    for (ULONG r = 0; r < rows->cRows; ++r) {
      const SRow& row = rows->aRow[r];
      const SBinary* id = nullptr;
      for (ULONG i = 0; i < row.cValues && id == nullptr; ++i) {
        if (row.lpProps[i].ulPropTag == PR_ENTRYID) id = &row.lpProps[i].Value.bin;
      }
      ULONG type = 0;
      IUnknown* opened = nullptr;
      hr = id != nullptr
               ? folder.folder->OpenEntry(id->cb, id->lpb, nullptr, 0, &type, &opened)
               : MAPI_E_NOT_FOUND;
      MapiPtr<IMessage> message(static_cast<IMessage*>(opened));
      if (hr != S_OK || !message) {
        FreeProws(rows);
        error = "cannot open a message of the folder " + path.dump() + " (" + Hex(hr) + ")";
        return false;
      }
      if (!DumpMessage(*message.get(), path, out, error)) {
        FreeProws(rows);
        return false;
      }
    }
    FreeProws(rows);
  }
  return true;
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

// ---------------------------------------------------------------------------------------------
// Load

// One checked line, ready to be written.
struct PendingMessage {
  size_t line = 0;
  FolderKind kind = FolderKind::Inbox;
  std::vector<std::u16string> subfolders;
  std::vector<std::u16string> texts;  // storage behind the text values
  std::vector<SPropValue> values;
  struct Recipient {
    std::vector<std::u16string> texts;
    std::vector<SPropValue> values;
  };
  std::vector<Recipient> recipients;
};

bool Fail(std::string& error, size_t line, const std::string& what) {
  error = "line " + std::to_string(line) + ": " + what;
  return false;
}

// "YYYY-MM-DDTHH:MM:SS[.fffffff](Z|+00:00)" in UTC.
std::optional<uint64_t> ParseIsoTime(const std::string& text) {
  auto digits = [&](size_t at, size_t count, unsigned& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return true;
  };
  unsigned year, month, day, hour, minute, second;
  if (text.size() < 20 || !digits(0, 4, year) || text[4] != '-' || !digits(5, 2, month) ||
      text[7] != '-' || !digits(8, 2, day) || (text[10] != 'T' && text[10] != 't') ||
      !digits(11, 2, hour) || text[13] != ':' || !digits(14, 2, minute) || text[16] != ':' ||
      !digits(17, 2, second)) {
    return std::nullopt;
  }
  size_t at = 19;
  uint64_t fraction = 0;
  if (at < text.size() && text[at] == '.') {
    ++at;
    size_t count = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
      if (++count > 7) return std::nullopt;
      fraction = fraction * 10 + static_cast<uint64_t>(text[at++] - '0');
    }
    if (count == 0) return std::nullopt;
    for (; count < 7; ++count) fraction *= 10;
  }
  const std::string zone = text.substr(at);
  if (zone != "Z" && zone != "z" && zone != "+00:00") return std::nullopt;
  static constexpr unsigned kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (year < 1601 || month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] ||
      (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  const int64_t days = DaysFromCivil(year, month, day) - DaysFromCivil(1601, 1, 1);
  const uint64_t seconds = static_cast<uint64_t>(days) * 86400 + hour * 3600 + minute * 60 + second;
  return seconds * 10000000 + fraction;
}

std::optional<uint64_t> AsUnsigned(const Json& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer() && value.get<int64_t>() >= 0) {
    return static_cast<uint64_t>(value.get<int64_t>());
  }
  return std::nullopt;
}

// The store keeps texts as the messaging interface hands them out, terminated: a NUL inside one
// would silently cut it short, so such a line is refused instead.
constexpr char kNulRefused[] = "holds a NUL character (\\u0000), which the store cannot keep";

bool HasNul(const Json& text) {
  return text.get_ref<const std::string&>().find('\0') != std::string::npos;
}

bool CheckField(const Field& field, const Json& value, PendingMessage& pending,
                std::string& error) {
  SPropValue prop{};
  prop.ulPropTag = field.tag;
  const std::string key = field.key;
  switch (field.kind) {
    case Kind::kLong: {
      const std::optional<uint64_t> number = AsUnsigned(value);
      if (!number || *number > UINT32_MAX) {
        return Fail(error, pending.line, "\"" + key + "\" is not a 32-bit unsigned number");
      }
      prop.Value.ul = static_cast<ULONG>(*number);
      break;
    }
    case Kind::kText:
      if (!value.is_string()) return Fail(error, pending.line, "\"" + key + "\" is not a text");
      if (HasNul(value)) return Fail(error, pending.line, "\"" + key + "\" " + kNulRefused);
      pending.texts.push_back(Utf8ToWide(value.get<std::string>()));
      break;
    case Kind::kTime: {
      std::optional<uint64_t> time = AsUnsigned(value);
      if (value.is_string()) {
        time = ParseIsoTime(value.get<std::string>());
      }
      if (!time) {
        return Fail(error, pending.line,
                    "\"" + key + "\" is neither a time in 100 ns since 1601 nor an ISO-8601 UTC "
                    "time");
      }
      prop.Value.ft = UInt64ToFileTime(*time);
      break;
    }
  }
  pending.values.push_back(prop);
  return true;
}

bool CheckRecipient(const Json& item, PendingMessage& pending, std::string& error) {
  if (!item.is_object()) return Fail(error, pending.line, "a recipient is not an object");
  PendingMessage::Recipient recipient;
  for (auto it = item.begin(); it != item.end(); ++it) {
    const RecipientField* field = nullptr;
    for (const RecipientField& f : kRecipientFields) {
      if (it.key() == f.key) field = &f;
    }
    if (field == nullptr) {
      return Fail(error, pending.line, "unknown recipient key \"" + it.key() + "\"");
    }
    SPropValue prop{};
    prop.ulPropTag = field->tag;
    if (field->tag == PR_RECIPIENT_TYPE) {
      const Json& v = it.value();
      if (!v.is_number_integer() ||
          (v.is_number_unsigned() ? v.get<uint64_t>() > INT32_MAX
                                  : v.get<int64_t>() < INT32_MIN || v.get<int64_t>() > INT32_MAX)) {
        return Fail(error, pending.line, "recipient \"type\" is not a 32-bit number");
      }
      prop.Value.l = static_cast<LONG>(v.get<int64_t>());
    } else {
      if (!it.value().is_string()) {
        return Fail(error, pending.line, "recipient \"" + it.key() + "\" is not a text");
      }
      if (HasNul(it.value())) {
        return Fail(error, pending.line, "recipient \"" + it.key() + "\" " + kNulRefused);
      }
      recipient.texts.push_back(Utf8ToWide(it.value().get<std::string>()));
    }
    recipient.values.push_back(prop);
  }
  pending.recipients.push_back(std::move(recipient));
  return true;
}

// Points the text values at their storage; done just before the values are handed to the store.
void BindTexts(std::vector<SPropValue>& values, std::vector<std::u16string>& texts) {
  size_t next = 0;
  for (SPropValue& value : values) {
    if (PROP_TYPE(value.ulPropTag) == PT_UNICODE) {
      value.Value.lpszW = const_cast<char16_t*>(texts[next++].c_str());
    }
  }
}

bool CheckLine(const std::string& text, PendingMessage& pending, std::string& error) {
  Json line;
  try {
    line = Json::parse(text);
  } catch (const Json::exception& e) {  // parse_error, and out_of_range for a number like 1E400
    return Fail(error, pending.line, std::string("not valid JSON: ") + e.what());
  }
  if (!line.is_object()) return Fail(error, pending.line, "not a JSON object");
  if (!line.contains("folder")) return Fail(error, pending.line, "no \"folder\"");

  for (auto it = line.begin(); it != line.end(); ++it) {
    const std::string& key = it.key();
    if (key == "folder") {
      const Json& path = it.value();
      if (!path.is_array() || path.empty()) {
        return Fail(error, pending.line, "\"folder\" is not a non-empty array of names");
      }
      for (const Json& name : path) {
        if (!name.is_string()) return Fail(error, pending.line, "a folder name is not a text");
        if (HasNul(name)) {
          return Fail(error, pending.line, std::string("a folder name ") + kNulRefused);
        }
      }
      const std::u16string first = Utf8ToWide(path[0].get<std::string>());
      FolderKind kind;
      if (!FolderKindFromName(first, kind)) {
        return Fail(error, pending.line,
                    "\"" + path[0].get<std::string>() + "\" is not a standard folder (Draft, "
                    "Inbox, Outbox, Sentedbox, Wastebox)");
      }
      pending.kind = kind;
      for (size_t i = 1; i < path.size(); ++i) {
        pending.subfolders.push_back(Utf8ToWide(path[i].get<std::string>()));
      }
    } else if (key == "recipients") {
      if (!it.value().is_array()) return Fail(error, pending.line, "\"recipients\" is not an array");
      for (const Json& item : it.value()) {
        if (!CheckRecipient(item, pending, error)) return false;
      }
    } else {
      const Field* field = nullptr;
      for (const Field& f : kFields) {
        if (key == f.key) field = &f;
      }
      if (field == nullptr) return Fail(error, pending.line, "unknown key \"" + key + "\"");
      if (!CheckField(*field, it.value(), pending, error)) return false;
    }
  }
  return true;
}

// Opens the folders of the lines, creating missing subfolders; each path is opened once.
class FolderResolver {
 public:
  explicit FolderResolver(SmsSession& session) : session_(session) {}

  IMAPIFolder* Resolve(const PendingMessage& pending, std::string& error) {
    SmsFolder* standard = session_.StandardFolder(pending.kind);
    if (standard == nullptr || !standard->folder) {
      Fail(error, pending.line,
           "the store has no " + Utf8(FolderKindName(pending.kind)) + " folder");
      return nullptr;
    }
    IMAPIFolder* current = standard->folder.get();
    std::vector<std::u16string> key{FolderKindName(pending.kind)};
    for (const std::u16string& name : pending.subfolders) {
      key.push_back(name);
      auto found = opened_.find(key);
      if (found == opened_.end()) {
        // The name is taken as written: a loaded store holds the folders the dump showed.
        IMAPIFolder* child = nullptr;
        const HRESULT hr = current->CreateFolder(0, name.c_str(), nullptr, nullptr,
                                                 MAPI_UNICODE | OPEN_IF_EXISTS, &child);
        MapiPtr<IMAPIFolder> held(child);
        if (hr != S_OK || !held) {
          Fail(error, pending.line,
               "cannot create the folder \"" + Utf8(name) + "\" (" + Hex(hr) + ")");
          return nullptr;
        }
        found = opened_.emplace(key, std::move(held)).first;
      }
      current = found->second.get();
    }
    return current;
  }

 private:
  SmsSession& session_;
  std::map<std::vector<std::u16string>, MapiPtr<IMAPIFolder>> opened_;
};

bool AddRecipients(IMessage& message, PendingMessage& pending, std::string& error) {
  const ULONG n = static_cast<ULONG>(pending.recipients.size());
  void* block = nullptr;
  if (MAPIAllocateBuffer(static_cast<ULONG>(CbNewADRLIST(n)), &block) != S_OK ||
      block == nullptr) {
    return Fail(error, pending.line, "out of memory");
  }
  std::memset(block, 0, CbNewADRLIST(n));
  auto* list = static_cast<ADRLIST*>(block);
  list->cEntries = n;
  for (ULONG i = 0; i < n; ++i) {
    list->aEntries[i].cValues = static_cast<ULONG>(pending.recipients[i].values.size());
    list->aEntries[i].rgPropVals = pending.recipients[i].values.data();
  }
  const HRESULT hr = message.ModifyRecipients(MODRECIP_ADD, list);
  MAPIFreeBuffer(block);
  if (hr != S_OK) return Fail(error, pending.line, "cannot add the recipients (" + Hex(hr) + ")");
  return true;
}

bool AddMessage(IMAPIFolder& folder, PendingMessage& pending, std::string& error) {
  BindTexts(pending.values, pending.texts);
  for (auto& recipient : pending.recipients) BindTexts(recipient.values, recipient.texts);
  IMessage* created = nullptr;
  HRESULT hr = folder.CreateMessage(nullptr, 0, &created);
  MapiPtr<IMessage> message(created);
  if (hr != S_OK || !message) {
    return Fail(error, pending.line, "cannot create the message (" + Hex(hr) + ")");
  }
  if (!pending.values.empty()) {
    hr = message->SetProps(static_cast<ULONG>(pending.values.size()), pending.values.data(),
                           nullptr);
    if (hr != S_OK) {
      return Fail(error, pending.line, "cannot write the message (" + Hex(hr) + ")");
    }
  }
  if (!pending.recipients.empty() && !AddRecipients(*message.get(), pending, error)) return false;
  return true;
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

bool DumpStore(SmsSession& session, std::ostream& out, std::string& error) {
  error.clear();
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
  }
  out.flush();
  if (!out) {
    error = "cannot write the output";
    return false;
  }
  return true;
}

bool LoadStore(SmsSession& session, std::istream& in, std::string& error, uint32_t* loaded) {
  error.clear();
  if (loaded != nullptr) *loaded = 0;
  if (!session.store) {
    error = "the store is not open";
    return false;
  }

  // Check every line before the store is touched, so a bad input adds nothing.
  std::vector<PendingMessage> pending;
  std::string text;
  for (size_t number = 1; std::getline(in, text); ++number) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find_first_not_of(" \t") == std::string::npos) continue;
    pending.emplace_back();
    pending.back().line = number;
    if (!CheckLine(text, pending.back(), error)) return false;
  }
  if (in.bad()) {
    error = "cannot read the input";
    return false;
  }

  FolderResolver resolver(session);
  for (PendingMessage& message : pending) {
    IMAPIFolder* folder = resolver.Resolve(message, error);
    if (folder == nullptr || !AddMessage(*folder, message, error)) return false;
    if (loaded != nullptr) ++*loaded;
  }
  return true;
}

}  // namespace larkpost
