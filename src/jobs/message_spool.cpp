#include "jobs/message_spool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/message_stream.h"
#include "identity/identity.h"
#include "platform/file/file.h"
#include "platform/text/text.h"
#include "platform/time/filetime.h"
#include "platform/file/memory_files.h"

namespace larkpost {

namespace {

//   u32 length of what follows, then the fields in MessageRecord order: strings as a u32 count
//   of UTF-16 units and the units, times as u64, numbers as u32, the recipients as a u32 count.
//   A string whose units all fit a byte (ASCII and Latin-1: most texts) is parked one byte a
//   unit, with kByteUnits set in its count: half the bytes to write and to read back.
constexpr uint32_t kByteUnits = uint32_t{1} << 31;

// Puts fields from `at` on, into room made beforehand: RoomFor(text) bytes at most for a text.
struct FieldWriter {
  char* at;
  void U32(uint32_t value) {
    std::memcpy(at, &value, 4);
    at += 4;
  }
  void U64(uint64_t value) {
    std::memcpy(at, &value, 8);
    at += 8;
  }
  void Text(std::u16string_view text) {
    const size_t size = text.size();
    if (size < kByteUnits && LargestUnit(text) <= 0xFF) {
      U32(static_cast<uint32_t>(size) | kByteUnits);
      NarrowLatin1(text, at);
      at += size;
      return;
    }
    // Too long for a count of 31 bits, the record is too long for its length and refused.
    U32(static_cast<uint32_t>(size));
    std::memcpy(at, text.data(), size * sizeof(char16_t));
    at += size * sizeof(char16_t);
  }
};
constexpr size_t RoomFor(std::u16string_view text) { return 4 + text.size() * sizeof(char16_t); }

void PutU32(std::string& out, uint32_t value) { out.append(reinterpret_cast<char*>(&value), 4); }
void PutU64(std::string& out, uint64_t value) { out.append(reinterpret_cast<char*>(&value), 8); }
void PutText(std::string& out, std::u16string_view text) {
  const size_t start = out.size();
  out.resize(start + RoomFor(text));
  FieldWriter writer{out.data() + start};
  writer.Text(text);
  out.resize(static_cast<size_t>(writer.at - out.data()));
}

void PutColumn(std::string& out, const Column& column) {
  out += column ? '\1' : '\0';
  if (column) PutText(out, *column);
}
void PutColumns(std::string& out, const Columns& columns) {
  PutU32(out, static_cast<uint32_t>(columns.size()));
  for (const NamedColumn& column : columns) {
    PutU32(out, static_cast<uint32_t>(column.name.size()));
    out += column.name;
    PutColumn(out, column.value);
  }
}

// A part's bytes where the spool parked them: read from the spool's file, which the bytes keep
// open.
class SpooledPartBytes : public PartBytes {
 public:
  SpooledPartBytes(std::shared_ptr<FILE> file, uint64_t offset, uint64_t size, std::u16string path)
      : file_(std::move(file)), offset_(offset), size_(size), path_(std::move(path)) {}
  uint64_t size() const override { return size_; }
  ByteSource Open() const override {
    return ScratchRangeSource(file_, file_.get(), offset_, size_, path_);
  }

 private:
  std::shared_ptr<FILE> file_;
  uint64_t offset_;
  uint64_t size_;
  std::u16string path_;
};

struct Cursor {
  const char* at;
  const char* end;
  bool ok = true;
  void Take(void* into, size_t bytes) {
    if (static_cast<size_t>(end - at) < bytes) {
      ok = false;
      return;
    }
    std::memcpy(into, at, bytes);
    at += bytes;
  }
  uint32_t U32() {
    uint32_t value = 0;
    Take(&value, 4);
    return value;
  }
  uint64_t U64() {
    uint64_t value = 0;
    Take(&value, 8);
    return value;
  }
  void Text(std::u16string& text) {
    const uint32_t count = U32();
    const size_t size = count & ~kByteUnits;
    const size_t unit = (count & kByteUnits) != 0 ? 1 : sizeof(char16_t);
    if (!ok || static_cast<size_t>(end - at) / unit < size) {
      ok = false;
      return;
    }
    text.resize(size);
    if (unit == sizeof(char16_t)) return Take(text.data(), size * sizeof(char16_t));
    WidenLatin1(std::string_view(at, size), text.data());
    at += size;
  }
  void Bytes(std::string& bytes) {
    const uint32_t size = U32();
    if (!ok || static_cast<size_t>(end - at) < size) {
      ok = false;
      return;
    }
    bytes.resize(size);
    Take(bytes.data(), size);
  }
  void ColumnValue(Column& column) {
    char present = 0;
    Take(&present, 1);
    if (present == 0) return column.reset();
    column.emplace();
    Text(*column);
  }
  void ColumnList(Columns& columns) {
    const uint32_t count = U32();
    columns.clear();
    for (uint32_t i = 0; ok && i < count; ++i) {
      NamedColumn& column = columns.emplace_back();
      Bytes(column.name);
      ColumnValue(column.value);
    }
  }
};

}  // namespace

namespace {

// The spool's file with a write buffer of its own (given a null buffer, the C library keeps its
// small default whatever size is asked): both go when the spool and the last part read from it
// do.
std::shared_ptr<FILE> OpenSpoolFile(const std::u16string& path) {
  constexpr size_t kWriteBuffer = size_t{256} << 10;
  FILE* file = OpenScratchBeside(path);
  char* buffer = static_cast<char*>(std::malloc(kWriteBuffer));
  if (buffer != nullptr) setvbuf(file, buffer, _IOFBF, kWriteBuffer);
  return std::shared_ptr<FILE>(file, [buffer](FILE* open) {
    fclose(open);
    std::free(buffer);
  });
}

}  // namespace

MessageSpool::MessageSpool(const std::u16string& path)
    : path_(path),
      shared_(OpenSpoolFile(path)),
      file_(shared_.get()),
      window_(file_, path) {}

MessageSpool::~MessageSpool() = default;

void MessageSpool::PutPartBytes(const PartBytes& bytes) {
  ByteSource source = bytes.Open();
  char chunk[64 * 1024];
  uint64_t written = 0;
  while (const size_t got = source(chunk, sizeof chunk)) {
    if (fwrite(chunk, 1, got, file_) != got) Fail(errno);
    written += got;
  }
  // A part's size is part of what the message holds: bytes that ended early are not that part.
  if (written != bytes.size()) Fail(EIO);
  end_ += written;
}

void MessageSpool::Fail(int osError) {
  throw CFileException(CFileException::CauseFromErrno(osError), osError, path_);
}

uint64_t MessageSpool::Append(const MessageRecord& message, uint64_t& contentHash) {
  window_.Forget();  // what was read ahead ends where the file did
  if (!writing_) {
    if (fseeko(file_, static_cast<off_t>(end_), SEEK_SET) != 0) Fail(errno);
    writing_ = true;
  }
  size_t room = 4 + RoomFor(message.messageClass) + RoomFor(message.folderPath) + 8 + 8 + 4 +
                4 + 4 + RoomFor(message.senderName) + RoomFor(message.senderAddress) +
                RoomFor(message.text);
  for (const RecordRecipient& recipient : message.recipients) {
    room += RoomFor(recipient.displayName) + RoomFor(recipient.address) + 4;
  }
  buffer_.resize(room);
  FieldWriter out{buffer_.data()};
  out.U32(0);
  out.Text(message.messageClass);
  out.Text(message.folderPath);
  out.U64(FileTimeToUInt64(message.lastModified));
  out.U64(FileTimeToUInt64(message.deliveryTime));
  out.U32(message.flags);
  out.U32(message.size);
  out.U32(static_cast<uint32_t>(message.recipients.size()));
  for (const RecordRecipient& recipient : message.recipients) {
    out.Text(recipient.displayName);
    out.Text(recipient.address);
    out.U32(static_cast<uint32_t>(recipient.type));
  }
  out.Text(message.senderName);
  out.Text(message.senderAddress);
  out.Text(message.text);
  buffer_.resize(static_cast<size_t>(out.at - buffer_.data()));
  // What the entry is, and the columns of a phone's entry that no field holds.
  buffer_ += static_cast<char>(message.kind);
  PutColumns(buffer_, message.phoneColumns);
  // The multimedia's columns, then where its parts' bytes lie in the file: before the record,
  // streamed there, so no part is ever whole in memory. The places are left out of the content
  // hash, which equal copies from different files share.
  std::vector<uint64_t> partBytesAt;
  const Multimedia* multimedia = message.multimedia.value.get();
  buffer_ += multimedia != nullptr ? '\1' : '\0';
  if (multimedia != nullptr) {
    PutU32(buffer_, static_cast<uint32_t>(multimedia->addresses.size()));
    for (const MmsAddress& address : multimedia->addresses) {
      PutText(buffer_, address.address);
      PutU32(buffer_, static_cast<uint32_t>(address.role));
      PutColumn(buffer_, address.charset);
      PutColumns(buffer_, address.extras);
    }
    PutU32(buffer_, static_cast<uint32_t>(multimedia->parts.size()));
    for (const MessagePart& part : multimedia->parts) {
      for (const Column* column : {&part.seq, &part.contentType, &part.name, &part.charset,
                                   &part.contentDisposition, &part.fileName, &part.contentId,
                                   &part.contentLocation, &part.text}) {
        PutColumn(buffer_, *column);
      }
      PutColumns(buffer_, part.extras);
      buffer_ += part.data != nullptr ? '\1' : '\0';
      if (part.data != nullptr) {
        PutU64(buffer_, part.data->size());
        partBytesAt.push_back(end_);
        PutPartBytes(*part.data);
      }
    }
    PutColumns(buffer_, multimedia->extras);
  }
  const size_t hashed = buffer_.size();
  for (uint64_t at : partBytesAt) PutU64(buffer_, at);
  // A phone entry's other columns come last, out of the hash, as a copy that is not parked
  // is hashed without them: copies the same but for them keep one order however they are held.
  PutColumns(buffer_, message.phoneColumns);
  if (buffer_.size() - 4 > UINT32_MAX) Fail(EFBIG);
  const uint32_t length = static_cast<uint32_t>(buffer_.size() - 4);
  std::memcpy(buffer_.data(), &length, 4);
  contentHash = HashBytes(std::string_view(buffer_.data() + 4, hashed - 4));
  if (fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) Fail(errno);
  const uint64_t position = end_;
  end_ += buffer_.size();
  return position;
}

void MessageSpool::Read(uint64_t position, MessageRecord& message) {
  if (writing_) {
    if (fflush(file_) != 0) Fail(errno);
    writing_ = false;
  }
  if (position + 4 > end_) Fail(EIO);
  std::string_view view = window_.At(position, 4);
  if (view.size() < 4) Fail(EIO);
  uint32_t length = 0;
  std::memcpy(&length, view.data(), 4);
  if (position + 4 + length > end_) Fail(EIO);
  view = window_.At(position, 4 + size_t{length});
  if (view.size() < 4 + size_t{length}) Fail(EIO);
  const char* bytes = view.data();
  Cursor in{bytes + 4, bytes + 4 + length};
  in.Text(message.messageClass);
  in.Text(message.folderPath);
  message.lastModified = UInt64ToFileTime(in.U64());
  message.deliveryTime = UInt64ToFileTime(in.U64());
  message.flags = in.U32();
  message.size = in.U32();
  const uint32_t recipients = in.U32();
  message.recipients.clear();
  for (uint32_t i = 0; in.ok && i < recipients; ++i) {
    RecordRecipient& recipient = message.recipients.emplace_back();
    in.Text(recipient.displayName);
    in.Text(recipient.address);
    recipient.type = static_cast<int32_t>(in.U32());
  }
  in.Text(message.senderName);
  in.Text(message.senderAddress);
  in.Text(message.text);
  char kind = 0;
  in.Take(&kind, 1);
  message.kind = static_cast<EntryKind>(kind);
  in.ColumnList(message.phoneColumns);
  char hasMultimedia = 0;
  in.Take(&hasMultimedia, 1);
  message.multimedia = MultimediaRef{};
  if (in.ok && hasMultimedia != 0) {
    auto multimedia = std::make_shared<Multimedia>();
    const uint32_t addresses = in.U32();
    for (uint32_t i = 0; in.ok && i < addresses; ++i) {
      MmsAddress& address = multimedia->addresses.emplace_back();
      in.Text(address.address);
      address.role = static_cast<int>(in.U32());
      in.ColumnValue(address.charset);
      in.ColumnList(address.extras);
    }
    // Which parts have bytes, and how many; their places follow the columns.
    std::vector<std::pair<MessagePart*, uint64_t>> withBytes;
    const uint32_t parts = in.U32();
    multimedia->parts.reserve(in.ok ? std::min<uint32_t>(parts, length) : 0);
    for (uint32_t i = 0; in.ok && i < parts; ++i) {
      MessagePart& part = multimedia->parts.emplace_back();
      for (Column* column : {&part.seq, &part.contentType, &part.name, &part.charset,
                             &part.contentDisposition, &part.fileName, &part.contentId,
                             &part.contentLocation, &part.text}) {
        in.ColumnValue(*column);
      }
      in.ColumnList(part.extras);
      char hasBytes = 0;
      in.Take(&hasBytes, 1);
      if (hasBytes != 0) withBytes.emplace_back(&part, in.U64());
    }
    in.ColumnList(multimedia->extras);
    for (auto& [part, size] : withBytes) {
      const uint64_t at = in.U64();
      if (!in.ok || at + size > end_) Fail(EIO);
      part->data = std::make_shared<SpooledPartBytes>(shared_, at, size, path_);
    }
    message.multimedia.value = std::move(multimedia);
  }
  message.phoneColumns.clear();
  in.ColumnList(message.phoneColumns);
  if (!in.ok) Fail(EIO);
}

}  // namespace larkpost
