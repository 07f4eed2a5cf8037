#include "jobs/message_spool.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "formats/message_stream.h"
#include "identity/identity.h"
#include "platform/file/file.h"
#include "platform/time/filetime.h"

namespace larkpost {

namespace {

//   u32 length of what follows, then the fields in MessageRecord order: strings as a u32 count
//   of UTF-16 units and the units, times as u64, numbers as u32, the recipients as a u32 count.
void PutU32(std::string& out, uint32_t value) { out.append(reinterpret_cast<char*>(&value), 4); }
void PutU64(std::string& out, uint64_t value) { out.append(reinterpret_cast<char*>(&value), 8); }
void PutText(std::string& out, const std::u16string& text) {
  PutU32(out, static_cast<uint32_t>(text.size()));
  out.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
}

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
    const uint32_t size = U32();
    if (!ok || static_cast<size_t>(end - at) / sizeof(char16_t) < size) {
      ok = false;
      return;
    }
    text.resize(size);
    Take(text.data(), size * sizeof(char16_t));
  }
};

}  // namespace

MessageSpool::MessageSpool(const std::u16string& path)
    : path_(path), file_(OpenUnnamedFileBeside(path)) {
  setvbuf(file_, nullptr, _IOFBF, size_t{1} << 20);
}

MessageSpool::~MessageSpool() {
  if (file_ != nullptr) fclose(file_);
}

void MessageSpool::Fail(int osError) {
  throw CFileException(CFileException::CauseFromErrno(osError), osError, path_);
}

uint64_t MessageSpool::Append(const MessageRecord& message, uint64_t& contentHash) {
  if (!writing_) {
    if (fseeko(file_, static_cast<off_t>(end_), SEEK_SET) != 0) Fail(errno);
    writing_ = true;
  }
  buffer_.clear();
  PutU32(buffer_, 0);
  PutText(buffer_, message.messageClass);
  PutText(buffer_, message.folderPath);
  PutU64(buffer_, FileTimeToUInt64(message.lastModified));
  PutU64(buffer_, FileTimeToUInt64(message.deliveryTime));
  PutU32(buffer_, message.flags);
  PutU32(buffer_, message.size);
  PutU32(buffer_, static_cast<uint32_t>(message.recipients.size()));
  for (const RecordRecipient& recipient : message.recipients) {
    PutText(buffer_, recipient.displayName);
    PutText(buffer_, recipient.address);
    PutU32(buffer_, static_cast<uint32_t>(recipient.type));
  }
  PutText(buffer_, message.senderName);
  PutText(buffer_, message.senderAddress);
  PutText(buffer_, message.text);
  const uint32_t length = static_cast<uint32_t>(buffer_.size() - 4);
  std::memcpy(buffer_.data(), &length, 4);
  contentHash = HashBytes(buffer_);
  if (fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) Fail(errno);
  const uint64_t position = end_;
  end_ += buffer_.size();
  return position;
}

void MessageSpool::ReadAt(uint64_t position, size_t count, size_t into) {
  size_t done = 0;
  while (done < count) {
    const ssize_t got = pread(fileno(file_), buffer_.data() + into + done, count - done,
                              static_cast<off_t>(position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) Fail(got < 0 ? errno : EIO);
    done += static_cast<size_t>(got);
  }
}

void MessageSpool::Read(uint64_t position, MessageRecord& message) {
  if (writing_) {
    if (fflush(file_) != 0) Fail(errno);
    writing_ = false;
  }
  // One read for most messages: the length and what a short message takes.
  constexpr size_t kFirstRead = 1024;
  if (position + 4 > end_) Fail(EIO);
  buffer_.resize(static_cast<size_t>(std::min<uint64_t>(kFirstRead, end_ - position)));
  ReadAt(position, buffer_.size());
  uint32_t length = 0;
  std::memcpy(&length, buffer_.data(), 4);
  if (position + 4 + length > end_) Fail(EIO);
  if (4 + length > buffer_.size()) {
    const size_t have = buffer_.size();
    buffer_.resize(4 + length);
    ReadAt(position + have, buffer_.size() - have, have);
  }
  Cursor in{buffer_.data() + 4, buffer_.data() + 4 + length};
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
  if (!in.ok) Fail(EIO);
}

}  // namespace larkpost
