#include "store/media_and_calls.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <vector>

#include "message/folder_path.h"
#include "platform/file/file.h"
#include "platform/mapi/mapi_ptr.h"
#include "platform/mapi/provider.h"
#include "platform/text/text.h"
#include "store/cursor.h"
#include "store/folder.h"
#include "store/message.h"
#include "store/session.h"
#include "store/store_internal.h"

namespace larkpost {

namespace {


constexpr size_t kCopyBuffer = size_t{256} << 10;
constexpr LONG kBatch = 10;

// Column values in a binary property: each column a mark (0 null, 1 a text), then the text's
// length in UTF-16 units (LE32) and its units (LE16); a list of named columns its count, then
// each name's length (LE16), the name and the value.
class ColumnWriter {
 public:
  void Put(const Column& column) {
    bytes_.push_back(column ? '\1' : '\0');
    if (column) PutText(*column);
  }
  void Put(const Columns& columns) {
    PutNumber(columns.size());
    for (const NamedColumn& column : columns) {
      PutNumber(column.name.size(), 2);
      bytes_ += column.name;
      Put(column.value);
    }
  }
  void PutNumber(uint64_t value, int size = 4) {
    for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }
  std::string& bytes() { return bytes_; }

 private:
  void PutText(std::u16string_view text) {
    PutNumber(text.size());
    for (char16_t unit : text) PutNumber(unit, 2);
  }
  std::string bytes_;
};

class ColumnReader {
 public:
  explicit ColumnReader(std::string_view bytes) : bytes_(bytes) {}
  bool Get(Column& column) {
    uint64_t mark = 0;
    if (!GetNumber(mark, 1) || mark > 1) return false;
    column.reset();
    if (mark == 0) return true;
    uint64_t length = 0;
    if (!GetNumber(length) || length > (bytes_.size() - at_) / 2) return false;
    std::u16string text(length, u'\0');
    for (char16_t& unit : text) {
      uint64_t value = 0;
      GetNumber(value, 2);
      unit = static_cast<char16_t>(value);
    }
    column = std::move(text);
    return true;
  }
  bool Get(Columns& columns) {
    uint64_t count = 0;
    if (!GetNumber(count) || count > bytes_.size() - at_) return false;
    columns.clear();
    columns.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t length = 0;
      if (!GetNumber(length, 2) || length > bytes_.size() - at_) return false;
      NamedColumn& column = columns.emplace_back();
      column.name.assign(bytes_.substr(at_, length));
      at_ += length;
      if (!Get(column.value)) return false;
    }
    return true;
  }
  bool GetNumber(uint64_t& value, int size = 4) {
    if (bytes_.size() - at_ < static_cast<size_t>(size)) return false;
    value = 0;
    for (int i = 0; i < size; ++i) {
      value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes_[at_ + i])) << (8 * i);
    }
    at_ += size;
    return true;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  size_t at_ = 0;
};

SPropValue Binary(ULONG tag, std::string& bytes) {
  SPropValue value{};
  value.ulPropTag = tag;
  value.Value.bin.cb = static_cast<ULONG>(bytes.size());
  value.Value.bin.lpb = reinterpret_cast<BYTE*>(bytes.data());
  return value;
}

SPropValue Text(ULONG tag, const std::u16string& text) {
  SPropValue value{};
  value.ulPropTag = tag;
  value.Value.lpszW = const_cast<char16_t*>(text.c_str());
  return value;
}

std::string_view BytesOf(const SPropValue& value) {
  return std::string_view(reinterpret_cast<const char*>(value.Value.bin.lpb), value.Value.bin.cb);
}

std::string EncodeMultimedia(const Multimedia& multimedia) {
  ColumnWriter writer;
  writer.PutNumber(multimedia.addresses.size());
  for (const MmsAddress& address : multimedia.addresses) {
    writer.Put(Column(address.address));
    writer.PutNumber(static_cast<uint32_t>(address.role));
    writer.Put(address.charset);
    writer.Put(address.extras);
  }
  writer.Put(multimedia.extras);
  return std::move(writer.bytes());
}

bool DecodeMultimedia(std::string_view bytes, Multimedia& multimedia) {
  ColumnReader reader(bytes);
  uint64_t count = 0;
  if (!reader.GetNumber(count) || count > bytes.size()) return false;
  multimedia.addresses.resize(count);
  for (MmsAddress& address : multimedia.addresses) {
    Column text;
    uint64_t role = 0;
    if (!reader.Get(text) || !reader.GetNumber(role) || !reader.Get(address.charset) ||
        !reader.Get(address.extras)) {
      return false;
    }
    address.address = text.value_or(std::u16string());
    address.role = static_cast<int>(static_cast<uint32_t>(role));
  }
  return reader.Get(multimedia.extras) && reader.AtEnd();
}

// The columns of a part that have no attachment property of their own.
std::string EncodePart(const MessagePart& part) {
  ColumnWriter writer;
  writer.Put(part.seq);
  writer.Put(part.charset);
  writer.Put(part.contentDisposition);
  writer.Put(part.text);
  writer.Put(part.extras);
  // Whether it has bytes, and how many (PR_ATTACH_SIZE stops at 4 GiB).
  writer.PutNumber(part.data ? 1 : 0, 1);
  writer.PutNumber(part.data ? part.data->size() : 0, 8);
  return std::move(writer.bytes());
}

bool DecodePart(std::string_view bytes, MessagePart& part, bool& hasData, uint64_t& size) {
  ColumnReader reader(bytes);
  uint64_t data = 0;
  if (!reader.Get(part.seq) || !reader.Get(part.charset) || !reader.Get(part.contentDisposition) ||
      !reader.Get(part.text) || !reader.Get(part.extras) || !reader.GetNumber(data, 1) ||
      !reader.GetNumber(size, 8) || !reader.AtEnd()) {
    return false;
  }
  hasData = data != 0;
  return true;
}

// The part's bytes into a new attachment's data, a buffer at a time.
HRESULT CopyPartBytes(IAttach& attach, const PartBytes& bytes) {
  MapiPtr<IUnknown> opened;
  HRESULT hr = attach.OpenProperty(PR_ATTACH_DATA_BIN, nullptr, 0, MAPI_CREATE | MAPI_MODIFY,
                                   opened.put());
  if (hr != S_OK) return hr;
  auto* stream = static_cast<IStream*>(opened.get());
  const ByteSource source = bytes.Open();
  std::unique_ptr<char[]> buffer(new char[kCopyBuffer]);
  for (;;) {
    const size_t got = source(buffer.get(), kCopyBuffer);
    if (got == 0) break;
    ULONG written = 0;
    hr = stream->Write(buffer.get(), static_cast<ULONG>(got), &written);
    if (hr != S_OK) return hr;
  }
  return stream->Commit(0);
}

HRESULT SavePart(IMessage& message, const MessagePart& part) {
  MapiPtr<IAttach> attach;
  ULONG number = 0;
  HRESULT hr = message.CreateAttach(nullptr, 0, &number, attach.put());
  if (hr != S_OK) return hr;
  std::string columns = EncodePart(part);
  std::vector<SPropValue> values;
  const std::pair<ULONG, const Column*> named[] = {
      {PR_ATTACH_MIME_TAG, &part.contentType},        {PR_DISPLAY_NAME, &part.name},
      {PR_ATTACH_LONG_FILENAME, &part.fileName},      {PR_ATTACH_CONTENT_ID, &part.contentId},
      {PR_ATTACH_CONTENT_LOCATION, &part.contentLocation}};
  for (const auto& [tag, column] : named) {
    if (*column) values.push_back(Text(tag, **column));
  }
  values.push_back(Binary(PR_LARKPOST_PART, columns));
  hr = attach->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr);
  if (hr != S_OK) return hr;
  if (part.data) hr = CopyPartBytes(*attach, *part.data);
  return hr;
}

// A part's bytes as the store keeps them: read from the attachment's data each time.
class StoredPartBytes final : public PartBytes {
 public:
  StoredPartBytes(std::shared_ptr<MapiPtr<IMessage>> message, ULONG number, uint64_t size)
      : message_(std::move(message)), number_(number), size_(size) {}
  uint64_t size() const override { return size_; }
  ByteSource Open() const override {
    MapiPtr<IAttach> attach;
    auto stream = std::make_shared<MapiPtr<IUnknown>>();
    if ((*message_)->OpenAttach(number_, nullptr, 0, attach.put()) != S_OK ||
        attach->OpenProperty(PR_ATTACH_DATA_BIN, nullptr, 0, 0, stream->put()) != S_OK) {
      throw CFileException(CFileException::hardIO, 0, Utf8ToWide(mapi::DatabasePath()));
    }
    return [stream](char* buffer, size_t capacity) -> size_t {
      ULONG read = 0;
      const ULONG size = static_cast<ULONG>(std::min<size_t>(capacity, UINT32_MAX));
      if (static_cast<IStream*>(stream->get())->Read(buffer, size, &read) != S_OK) {
        throw CFileException(CFileException::hardIO, 0, Utf8ToWide(mapi::DatabasePath()));
      }
      return read;
    };
  }

 private:
  std::shared_ptr<MapiPtr<IMessage>> message_;
  ULONG number_;
  uint64_t size_;
};

const SPropValue* FindValue(const SRow& row, ULONG tag) {
  for (ULONG i = 0; i < row.cValues; ++i) {
    if (row.lpProps[i].ulPropTag == tag) return &row.lpProps[i];
  }
  return nullptr;
}

bool LoadParts(const std::shared_ptr<MapiPtr<IMessage>>& message, Multimedia& multimedia) {
  MapiPtr<IMAPITable> table;
  if ((*message)->GetAttachmentTable(0, table.put()) != S_OK) return false;
  bool ok = true;
  const HRESULT hr = ForEachRow(*table, 64, [&](const SRow& row) {
    MessagePart& part = multimedia.parts.emplace_back();
    const std::pair<ULONG, Column*> named[] = {
        {PR_ATTACH_MIME_TAG, &part.contentType},        {PR_DISPLAY_NAME, &part.name},
        {PR_ATTACH_LONG_FILENAME, &part.fileName},      {PR_ATTACH_CONTENT_ID, &part.contentId},
        {PR_ATTACH_CONTENT_LOCATION, &part.contentLocation}};
    for (const auto& [tag, column] : named) {
      if (const SPropValue* value = FindValue(row, tag)) column->emplace(TextOf(value->Value.lpszW));
    }
    const SPropValue* columns = FindValue(row, PR_LARKPOST_PART);
    const SPropValue* number = FindValue(row, PR_ATTACH_NUM);
    bool hasData = false;
    uint64_t size = 0;
    if (columns == nullptr || number == nullptr ||
        !DecodePart(BytesOf(*columns), part, hasData, size)) {
      return ok = false;
    }
    if (hasData) part.data = std::make_shared<StoredPartBytes>(message, number->Value.ul, size);
    return true;
  });
  return ok && hr == S_OK;
}

// What a stored multimedia message or call holds beyond an SMS's fields, into `record`.
bool LoadMediaAndColumns(SmsMessage& message, bool call, MessageRecord& record) {
  // The columns came with the SMS's fields (SmsMessage::Load).
  static constexpr ULONG kTags[] = {PR_LARKPOST_PARTIES, PR_LARKPOST_FOLDER};
  static constexpr SPropTagArray kColumns{2, kTags};
  ULONG count = 0;
  MapiBuffer<SPropValue> values;
  const HRESULT hr = message.message->GetProps(&kColumns, 0, &count, values.put());
  if ((hr != S_OK && hr != MAPI_W_ERRORS_RETURNED) || count != 2) return false;
  if (call) {
    record.kind = EntryKind::kCall;
    if (values[1].ulPropTag == PR_LARKPOST_FOLDER) {
      record.folderPath = std::u16string(TextOf(values[1].Value.lpszW));
    }
    return true;
  }
  auto multimedia = std::make_shared<Multimedia>();
  if (values[0].ulPropTag != PR_LARKPOST_PARTIES ||
      !DecodeMultimedia(BytesOf(values[0]), *multimedia)) {
    return false;
  }
  message.message->AddRef();
  auto shared = std::make_shared<MapiPtr<IMessage>>(message.message.get());
  if (!LoadParts(shared, *multimedia)) return false;
  record.multimedia.value = std::move(multimedia);
  return true;
}

// Visits the messages of the folder's contents table (`flags`) as records. A table that cannot
// be read counts the folder, a message that cannot be read counts itself, in the session's
// unreadable ones (as a walk of SMS does); false only when `visit` stops.
bool ForEachEntry(SmsFolder& folder, ULONG flags, bool calls, const StoredEntryVisit& visit) {
  static constexpr ULONG kEntryId[] = {PR_ENTRYID};
  static constexpr SPropTagArray kColumns{1, kEntryId};
  MapiPtr<IMAPITable> table;
  if (!folder.folder || folder.folder->GetContentsTable(flags, table.put()) != S_OK ||
      table->SetColumns(&kColumns, 0) != S_OK) {
    NoteUnreadableFolder(folder);
    return true;
  }
  auto unreadable = [&folder] {
    if (folder.session != nullptr) ++folder.session->unreadableMessages;
    return true;
  };
  bool stopped = false;
  MessageRecord record;
  const HRESULT hr = ForEachRow(*table, kBatch, [&](const SRow& row) {
    const SPropValue* id = FindValue(row, PR_ENTRYID);
    ULONG type = 0;
    IUnknown* opened = nullptr;
    if (id == nullptr || folder.folder->OpenEntry(id->Value.bin.cb, id->Value.bin.lpb, nullptr, 0,
                                                  &type, &opened) != S_OK) {
      if (opened != nullptr) opened->Release();
      return unreadable();
    }
    SmsMessage message(&folder, static_cast<IMessage*>(opened));
    int64_t position = 0;
    record = MessageRecord{};
    if (!message.loaded || !RecordFromMessage(message, record) ||
        !LoadMediaAndColumns(message, calls, record) ||
        mapi::MessagePosition(message.message.get(), &position) != S_OK) {
      return unreadable();
    }
    stopped = !visit(record, position);
    return !stopped;
  });
  if (hr != S_OK) NoteUnreadableFolder(folder);
  return !stopped;
}

}  // namespace

std::string EncodeColumns(const Columns& columns) {
  ColumnWriter writer;
  writer.Put(columns);
  return std::move(writer.bytes());
}

bool DecodeColumns(std::string_view bytes, Columns& columns) {
  ColumnReader reader(bytes);
  return reader.Get(columns) && reader.AtEnd();
}

std::u16string StoredClassOf(const MessageRecord& record) {
  if (record.multimedia) return u"IPM.MMS";
  if (record.kind == EntryKind::kCall) return u"IPM.Call";
  return record.messageClass;
}

bool SaveMediaAndColumns(IMessage& message, const MessageRecord& record, HRESULT* failure) {
  auto refused = [failure](HRESULT hr) {
    if (failure != nullptr) *failure = hr;
    return false;
  };
  std::vector<SPropValue> values;
  std::string parties;
  if (record.multimedia) {
    parties = EncodeMultimedia(*record.multimedia);
    values.push_back(Binary(PR_LARKPOST_PARTIES, parties));
  }
  std::string columns = EncodeColumns(record.phoneColumns);
  if (!record.phoneColumns.empty()) values.push_back(Binary(PR_LARKPOST_COLUMNS, columns));
  if (record.kind == EntryKind::kCall) values.push_back(Text(PR_LARKPOST_FOLDER, record.folderPath));
  if (!values.empty()) {
    const HRESULT hr = message.SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr);
    if (hr != S_OK) return refused(hr);
  }
  if (!record.multimedia) return true;
  for (const MessagePart& part : record.multimedia->parts) {
    if (const HRESULT hr = SavePart(message, part); hr != S_OK) return refused(hr);
  }
  return true;
}

bool ForEachMultimedia(SmsFolder& folder, const StoredEntryVisit& visit) {
  return ForEachEntry(folder, CONTENTS_MULTIMEDIA, false, visit);
}

bool ForEachCall(SmsSession& session, const StoredEntryVisit& visit) {
  SmsFolder* log = session.CallLog();
  return log == nullptr || ForEachEntry(*log, 0, true, visit);
}

uint32_t CountMultimedia(SmsFolder& folder, bool withSubfolders) {
  uint32_t count = 0;
  WalkFolderTree(folder, [&](SmsFolder& each, size_t) {
    MapiPtr<IMAPITable> table;
    ULONG rows = 0;
    if (each.folder && each.folder->GetContentsTable(CONTENTS_MULTIMEDIA, table.put()) == S_OK &&
        table->GetRowCount(0, &rows) == S_OK) {
      count += rows;
    }
    return withSubfolders;
  });
  return count;
}

uint32_t CountCalls(SmsSession& session) {
  SmsFolder* log = session.CallLog();
  MapiPtr<IMAPITable> table;
  ULONG rows = 0;
  if (log == nullptr || log->folder->GetContentsTable(0, table.put()) != S_OK ||
      table->GetRowCount(0, &rows) != S_OK) {
    return 0;
  }
  return rows;
}

}  // namespace larkpost
