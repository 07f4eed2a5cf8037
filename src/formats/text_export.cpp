#include "formats/text_export.h"

#include <cstdio>
#include <limits>

#include "platform/file/byte_sink.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

class Writer : public MessageWriter {
 public:
  explicit Writer(ByteSink& sink) : sink_(sink) {}

  bool Write(const MessageRecord& record, std::string& error) override {
    return PrepareAndWrite(record, error);
  }

  bool Prepare(const MessageRecord& record, PreparedMessage& prepared,
               std::string& error) const override {
    if (record.multimedia) {
      error = "a multimedia message cannot be written into a text export, which holds SMS only";
      return false;
    }
    if (record.kind == EntryKind::kCall) {
      error = "a call cannot be written into a text export, which holds SMS only";
      return false;
    }
    std::u16string block;
    if (!record.senderAddress.empty() && !record.senderName.empty()) {
      block += u"Sender: \"" + record.senderName + u"\" <" + record.senderAddress + u">\r\n";
    } else {
      block += u"Sender:\r\n";
    }
    block += u"Recipients: ";
    for (const RecordRecipient& recipient : record.recipients) {
      block += u"\"" + recipient.displayName + u"\" <" + recipient.address + u">;";
    }
    block += u"\r\nTime: " + FormatMessageTime(record.deliveryTime) + u"\r\n";
    block += u"Content:\r\n" + record.text + u"\r\n\r\n";
    prepared.replaced = false;
    prepared.bytes = WideToAnsi(block, &prepared.replaced);
    if (prepared.bytes.size() > std::numeric_limits<unsigned>::max()) {
      error = "the message is too large for a text export";
      return false;
    }
    return true;
  }

  bool PreparesAhead() const override { return true; }

  bool WritePrepared(const PreparedMessage& prepared, std::string&) override {
    sink_.Write(prepared.bytes.data(), prepared.bytes.size());
    if (prepared.replaced) ++replaced_;
    ++entries_;
    return true;
  }

  void Finish() override { sink_.Close(); }

 private:
  ByteSink& sink_;
};

}  // namespace

std::unique_ptr<MessageWriter> TextExportWriter(ByteSink& sink) {
  return std::make_unique<Writer>(sink);
}

std::u16string FormatMessageTime(const FILETIME& time) {
  FILETIME local;
  SYSTEMTIME parts;
  if (!FileTimeToLocalFileTime(&time, &local) || !FileTimeToSystemTime(&local, &parts)) {
    return std::u16string();
  }
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d", parts.wYear,
                                   parts.wMonth, parts.wDay, parts.wHour, parts.wMinute,
                                   parts.wSecond);
  return std::u16string(text, text + length);
}

}  // namespace larkpost
