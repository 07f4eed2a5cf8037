// LoadStore: NDJSON lines as DumpStore writes them, checked as a whole, then added to the store
// in groups, each message whole or not at all, skipping the messages the store holds already.
#include "storejson/store_json.h"

#include <chrono>
#include <cstring>
#include <istream>
#include <map>
#include <optional>
#include <vector>

#include "identity/identity.h"
#include "message/folder_path.h"
#include "platform/mapi/mapi_ptr.h"
#include "platform/mapi/provider.h"
#include "platform/time/filetime.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/store_presence.h"
#include "storejson/json_fields.h"

namespace larkpost {

using namespace storejson;

// Read lines go into a tree map: an ordered one (as written) finds a key by searching all before
// it, which made a line of many keys take time in the square of their number.
using ParsedJson = nlohmann::json;

// Bounds of one input line: more than a message line ever holds (a message to a thousand
// recipients is some 100 KiB and 3,000 keys).
constexpr size_t kMaxLineBytes = size_t{8} << 20;
constexpr size_t kMaxKeys = 10000;
struct TooManyKeys {};

namespace {


// One checked line, ready to be written.
struct PendingMessage {
  size_t line = 0;
  FolderKind kind = FolderKind::Inbox;
  bool callLog = false;  // a call of the store's call log
  std::vector<std::u16string> subfolders;
  std::vector<std::u16string> texts;  // storage behind the text values
  std::vector<std::string> blobs;     // storage behind the binary values
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

std::optional<uint64_t> AsUnsigned(const ParsedJson& value) {
  if (value.is_number_unsigned()) return value.get<uint64_t>();
  if (value.is_number_integer() && value.get<int64_t>() >= 0) {
    return static_cast<uint64_t>(value.get<int64_t>());
  }
  return std::nullopt;
}

// The store keeps texts as the messaging interface hands them out, terminated: a NUL inside one
// would silently cut it short, so such a line is refused instead.
constexpr char kNulRefused[] = "holds a NUL character (\\u0000), which the store cannot keep";

bool HasNul(const ParsedJson& text) {
  return text.get_ref<const std::string&>().find('\0') != std::string::npos;
}

bool CheckField(const Field& field, const ParsedJson& value, PendingMessage& pending,
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
    case Kind::kColumns: {
      Columns columns;
      if (!value.is_array()) return Fail(error, pending.line, "\"" + key + "\" is not an array");
      for (const ParsedJson& pair : value) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_string() ||
            !(pair[1].is_string() || pair[1].is_null()) || HasNul(pair[0]) ||
            (pair[1].is_string() && HasNul(pair[1]))) {
          return Fail(error, pending.line,
                      "\"" + key + "\" holds something else than [name, text or null] pairs");
        }
        columns.push_back({pair[0].get<std::string>(),
                           pair[1].is_null() ? Column()
                                             : Column(Utf8ToWide(pair[1].get<std::string>()))});
      }
      pending.blobs.push_back(EncodeColumns(columns));
      break;
    }
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

bool CheckRecipient(const ParsedJson& item, PendingMessage& pending, std::string& error) {
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
      const ParsedJson& v = it.value();
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

// The same for the binary values.
void BindBlobs(std::vector<SPropValue>& values, std::vector<std::string>& blobs) {
  size_t next = 0;
  for (SPropValue& value : values) {
    if (PROP_TYPE(value.ulPropTag) == PT_BINARY) {
      std::string& bytes = blobs[next++];
      value.Value.bin = SBinary{static_cast<ULONG>(bytes.size()), reinterpret_cast<BYTE*>(bytes.data())};
    }
  }
}

bool CheckLine(const std::string& text, PendingMessage& pending, std::string& error) {
  ParsedJson line;
  size_t keys = 0;
  try {
    line = ParsedJson::parse(text, [&keys](int, ParsedJson::parse_event_t event, ParsedJson&) {
      if (event == ParsedJson::parse_event_t::key && ++keys > kMaxKeys) throw TooManyKeys{};
      return true;
    });
  } catch (const ParsedJson::exception& e) {  // parse_error, and out_of_range for a number like 1E400
    return Fail(error, pending.line, std::string("not valid JSON: ") + e.what());
  } catch (const TooManyKeys&) {
    return Fail(error, pending.line,
                "more than " + std::to_string(kMaxKeys) + " keys; no message has that many");
  }
  if (!line.is_object()) return Fail(error, pending.line, "not a JSON object");
  if (!line.contains("folder")) return Fail(error, pending.line, "no \"folder\"");

  for (auto it = line.begin(); it != line.end(); ++it) {
    const std::string& key = it.key();
    if (key == "folder") {
      const ParsedJson& path = it.value();
      if (!path.is_array() || path.empty()) {
        return Fail(error, pending.line, "\"folder\" is not a non-empty array of names");
      }
      for (const ParsedJson& name : path) {
        if (!name.is_string()) return Fail(error, pending.line, "a folder name is not a text");
        if (HasNul(name)) {
          return Fail(error, pending.line, std::string("a folder name ") + kNulRefused);
        }
      }
      const std::u16string first = Utf8ToWide(path[0].get<std::string>());
      FolderKind kind;
      if (first == kCallLogFolderName && path.size() == 1) {
        pending.callLog = true;
        continue;
      }
      if (!FolderKindFromName(first, kind)) {
        return Fail(error, pending.line,
                    "\"" + path[0].get<std::string>() + "\" is not a standard folder (Draft, "
                    "Inbox, Outbox, Sentedbox, Wastebox) or the Call Log");
      }
      pending.kind = kind;
      for (size_t i = 1; i < path.size(); ++i) {
        pending.subfolders.push_back(Utf8ToWide(path[i].get<std::string>()));
      }
    } else if (key == "recipients") {
      if (!it.value().is_array()) return Fail(error, pending.line, "\"recipients\" is not an array");
      for (const ParsedJson& item : it.value()) {
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
    if (pending.callLog) {
      SmsFolder* log = session_.CallLog();
      if (log == nullptr || !log->folder) Fail(error, pending.line, "the store has no call log");
      return log != nullptr ? log->folder.get() : nullptr;
    }
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

// The line's message as the store would hand it back once written: what presence compares.
// The texts must be bound.
MessageRecord RecordOf(const PendingMessage& pending) {
  SmsMessage message(nullptr, nullptr);
  message.TakeProps(pending.values.data(), static_cast<ULONG>(pending.values.size()));
  MessageRecord record;
  record.messageClass = std::move(message.messageClass);
  record.folderPath = FolderKindName(pending.kind);
  for (const std::u16string& name : pending.subfolders) {
    record.folderPath += u'\\';
    record.folderPath += name;
  }
  record.lastModified = message.lastModified;
  record.deliveryTime = message.deliveryTime;
  record.flags = message.flags;
  record.size = message.size;
  for (const PendingMessage::Recipient& recipient : pending.recipients) {
    const SRow row{0, static_cast<ULONG>(recipient.values.size()),
                   const_cast<SPropValue*>(recipient.values.data())};
    std::unique_ptr<SmsRecipient> read = RecipientFromRow(row);
    record.recipients.push_back({std::move(read->displayName), std::move(read->address),
                                 read->type});
  }
  record.senderName = std::move(message.senderName);
  record.senderAddress = std::move(message.senderAddress);
  record.text = std::move(message.text);
  if (pending.callLog) {
    // As the store hands a call out (store/media_and_calls.h).
    record.kind = EntryKind::kCall;
    for (const SPropValue& value : pending.values) {
      if (value.ulPropTag == PR_LARKPOST_FOLDER) record.folderPath = TextOf(value.Value.lpszW);
      if (value.ulPropTag == PR_LARKPOST_COLUMNS) {
        DecodeColumns(std::string_view(reinterpret_cast<const char*>(value.Value.bin.lpb),
                                       value.Value.bin.cb),
                      record.phoneColumns);
      }
    }
  }
  return record;
}

// Writes the message and saves it: it comes into sight whole (IMAPIProp::SaveChanges).
bool AddMessage(IMAPIFolder& folder, PendingMessage& pending, std::string& error) {
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
  hr = message->SaveChanges(0);
  if (hr != S_OK) return Fail(error, pending.line, "cannot save the message (" + Hex(hr) + ")");
  return true;
}

// Store transactions around groups of messages, as a restore holds them: one per
// kGroupMessages messages or kGroupMilliseconds of work, so a crash loses at most the open
// group, and each message in a transaction of its own inside, so one the store refuses halfway
// is undone alone.
class Groups {
 public:
  static constexpr uint32_t kGroupMessages = 2000;
  static constexpr int kGroupMilliseconds = 200;

  Groups(IMsgStore* store, LoadCounts& counts) : store_(store), counts_(counts) {}
  ~Groups() {
    std::string ignored;
    Commit(ignored);
  }

  bool Open(size_t line, std::string& error) {
    if (open_) return true;
    if (const HRESULT hr = mapi::BeginStoreTransaction(store_); hr != S_OK) {
      return Fail(error, line, "cannot write to the store (" + Hex(hr) + ")");
    }
    open_ = true;
    messages_ = 0;
    start_ = std::chrono::steady_clock::now();
    return true;
  }

  // Adds one message in the open group; a refused one leaves no trace.
  bool Add(IMAPIFolder& folder, PendingMessage& pending, std::string& error) {
    if (const HRESULT hr = mapi::BeginStoreTransaction(store_); hr != S_OK) {
      return Fail(error, pending.line, "cannot write to the store (" + Hex(hr) + ")");
    }
    if (!AddMessage(folder, pending, error)) {
      mapi::AbortStoreTransaction(store_);
      return false;
    }
    if (const HRESULT hr = mapi::CommitStoreTransaction(store_); hr != S_OK) {
      mapi::AbortStoreTransaction(store_);
      return Fail(error, pending.line, "cannot save the message (" + Hex(hr) + ")");
    }
    ++messages_;
    ++counts_.added;
    if (messages_ >= kGroupMessages ||
        std::chrono::steady_clock::now() - start_ >=
            std::chrono::milliseconds(kGroupMilliseconds)) {
      return Commit(error);
    }
    return true;
  }

  // Makes the open group durable; when the store refuses, its messages are lost and leave the
  // count.
  bool Commit(std::string& error) {
    if (!open_) return true;
    open_ = false;
    if (const HRESULT hr = mapi::CommitStoreTransaction(store_); hr != S_OK) {
      counts_.added -= messages_;
      error = "cannot save the last " + std::to_string(messages_) + " messages (" + Hex(hr) +
              ")";
      return false;
    }
    return true;
  }

 private:
  IMsgStore* store_;
  LoadCounts& counts_;
  bool open_ = false;
  uint32_t messages_ = 0;
  std::chrono::steady_clock::time_point start_;
};

// std::getline, but a line longer than kMaxLineBytes is cut one byte past it (so the caller
// sees it is too long) instead of being held whole.
bool ReadBoundedLine(std::istream& in, std::string& text) {
  text.clear();
  std::streambuf* buffer = in.rdbuf();
  for (;;) {
    const int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      return !text.empty();
    }
    if (c == '\n') return true;
    text.push_back(static_cast<char>(c));
    if (text.size() > kMaxLineBytes) return true;
  }
}

}  // namespace

bool LoadStore(SmsSession& session, std::istream& in, std::string& error, uint32_t* loaded) {
  LoadCounts counts;
  const bool ok = LoadStore(session, in, LoadOptions{}, counts, error);
  if (loaded != nullptr) *loaded = counts.added;
  return ok;
}

bool LoadStore(SmsSession& session, std::istream& in, const LoadOptions& options,
               LoadCounts& counts, std::string& error) {
  error.clear();
  counts = LoadCounts{};
  if (!session.store) {
    error = "the store is not open";
    return false;
  }

  // Check every line before the store is touched, so a bad input adds nothing.
  std::vector<PendingMessage> pending;
  std::string text;
  for (size_t number = 1; ReadBoundedLine(in, text); ++number) {
    if (text.size() > kMaxLineBytes) {
      error = "line " + std::to_string(number) + ": longer than " +
              std::to_string(kMaxLineBytes >> 20) + " MiB; no message is that long";
      return false;
    }
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

  // What the store holds already, by the identity rule with every field a store keeps: a rerun
  // after an interruption adds only what is missing. Equal lines count as a multiset, as in a
  // restore: the k-th is skipped only when the store held k such messages.
  StorePresence presence;
  if (!options.addPresent && !presence.Read(session, kAllFields)) {
    error = "cannot read the messages the store holds, to tell which are there already";
    return false;
  }
  // The read listed the subfolders into the session's folders; the load may add some.
  for (int kind = 0; kind < kFolderKindCount; ++kind) {
    if (SmsFolder* standard = session.StandardFolder(static_cast<FolderKind>(kind))) {
      standard->subfolders.reset();
    }
  }

  FolderResolver resolver(session);
  Groups groups(session.store.get(), counts);
  for (PendingMessage& message : pending) {
    BindTexts(message.values, message.texts);
    BindBlobs(message.values, message.blobs);
    for (auto& recipient : message.recipients) BindTexts(recipient.values, recipient.texts);
    bool byNumberFormat = false;
    if (!options.addPresent && presence.Take(RecordOf(message), byNumberFormat)) {
      ++counts.present;
      continue;
    }
    if (!groups.Open(message.line, error)) return false;
    IMAPIFolder* folder = resolver.Resolve(message, error);
    if (folder == nullptr || !groups.Add(*folder, message, error)) {
      std::string ignored;
      groups.Commit(ignored);  // what earlier lines added stays
      return false;
    }
  }
  return groups.Commit(error);
}

}  // namespace larkpost
