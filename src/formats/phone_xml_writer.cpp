// The writer of the app's XML (phone_xml.h): one <sms> element for each message, one <mms> with
// its parts and addresses for each multimedia message, one <call> for each call, the root's count
// (of messages' entries) filled in at the end.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "formats/base64.h"
#include "formats/markup.h"
#include "formats/phone_calls.h"
#include "formats/phone_xml.h"
#include "platform/file/byte_sink.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {


void AppendAttribute(std::string& out, const char* name, std::u16string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  if (value.empty()) {
    out += "null";
  } else {
    AppendEscaped(out, value, Markup::kXmlAttribute);
  }
  out += '"';
}

// The app writes "(Unknown)" for a party without a name.
void AppendContactName(std::string& out, std::u16string_view name) {
  AppendAttribute(out, "contact_name", name.empty() ? std::u16string_view(u"(Unknown)") : name);
}

// Columns of the other app's database that mean nothing in this one: its row ids and the
// names it looks up for the ZIP. A file of its ZIP brings them; they stay out of the XML.
bool IsForeignColumn(std::string_view name) {
  return name == "_id" || name == "mid" || name == "msg_id" || name.starts_with("__");
}

// The <mms> attributes that fields hold: never written from Multimedia::extras.
bool IsMappedMmsAttribute(std::string_view name) {
  return name == "date" || name == "msg_box" || name == "read" || name == "address" ||
         name == "contact_name" || name == "readable_date";
}

// A column as the app writes it: "null" for none. The name comes from a file too: a name XML does
// not allow could not be read back, and is left out.
void AppendColumn(std::string& out, std::string_view name, const Column& value) {
  const bool nameOk = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
  }) && !std::isdigit(static_cast<unsigned char>(name[0])) && name[0] != '-' && name[0] != '.';
  if (!nameOk) return;
  out += ' ';
  out += name;
  out += "=\"";
  if (!value) {
    out += "null";
  } else {
    AppendEscaped(out, *value, Markup::kXmlAttribute);
  }
  out += '"';
}

void AppendNumber(std::string& out, const char* name, int64_t value) {
  out += ' ';
  out += name;
  out += "=\"";
  out += std::to_string(value);
  out += '"';
}

// "Jan 1, 2024 11:07:06 AM" in local time, as the app shows it.
std::string ReadableDate(int64_t date) {
  const time_t seconds = static_cast<time_t>(date / 1000);
  struct tm local {};
  char text[64];
  if (localtime_r(&seconds, &local) == nullptr ||
      std::strftime(text, sizeof text, "%b %-d, %Y %-I:%M:%S %p", &local) == 0) {
    return "null";
  }
  return text;
}

// The root's count is not known until the end: the start tag is written as the app writes it,
// with the count 0, and the comment after it, saying who wrote the file, holds blanks enough for
// every count there can be; at the end the tag is written again with the count, and the
// comment's blanks take up the difference.
constexpr char kRootStart[] = "<smses count=\"";
constexpr char kWrittenBy[] = ">\n<!--Written by Larkpost";
constexpr size_t kCountRoom = 24;

class Writer : public MessageWriter {
 public:
  Writer(ByteSink& sink, DeletedAs deletedAs) : sink_(sink), deletedAs_(deletedAs) {
    std::string head = "<?xml version='1.0' encoding='UTF-8' standalone='yes' ?>\n";
    countAt_ = head.size();
    head += RootStart(0);
    Put(head.data(), head.size());
  }

  bool Write(const MessageRecord& record, std::string& error) override {
    // A call of the call log keeps its place among the messages, outside the root's count.
    if (record.kind == EntryKind::kCall) {
      line_.clear();
      AppendXmlCall(line_, record);
      Put(line_.data(), line_.size());
      return true;
    }
    own_.Learn(record);
    if (!EntriesOf(record, deletedAs_, entries_list_, error, own_)) return false;
    if (record.multimedia) {
      WriteMms(entries_list_.front(), *record.multimedia);
      return true;
    }
    line_.clear();
    for (const PhoneEntry& entry : entries_list_) {
      line_ += "  <sms protocol=\"0\"";
      AppendAttribute(line_, "address", entry.address);
      AppendNumber(line_, "date", entry.date);
      AppendNumber(line_, "type", entry.type);
      line_ += " subject=\"null\"";
      line_ += " body=\"";
      AppendEscaped(line_, entry.body, Markup::kXmlAttribute);
      line_ += "\" toa=\"null\" sc_toa=\"null\" service_center=\"null\"";
      AppendNumber(line_, "read", entry.read ? 1 : 0);
      AppendNumber(line_, "status", entry.status);
      line_ += " locked=\"0\"";
      AppendNumber(line_, "date_sent", entry.dateSent);
      line_ += " sub_id=\"-1\" readable_date=\"" + ReadableDate(entry.date) + "\"";
      AppendContactName(line_, entry.contactName);
      line_ += " />\n";
      ++entries_;
    }
    Put(line_.data(), line_.size());
    return true;
  }

  void Finish() override {
    Put("</smses>\n", 9);
    const std::string root = RootStart(entries_);
    sink_.Patch(countAt_, root.data(), root.size());
    sink_.Close();
  }

 private:
  void Put(const char* data, size_t length) { sink_.Write(data, length); }

  // <mms> with the mapped attributes first, then the entry's others in their order, then the
  // parties' lists and the readable date made from the fields.
  void WriteMms(const PhoneEntry& entry, const Multimedia& multimedia) {
    line_ = "  <mms";
    AppendNumber(line_, "date", entry.date);
    AppendNumber(line_, "msg_box", entry.type);
    AppendNumber(line_, "read", entry.read ? 1 : 0);
    for (const NamedColumn& column : multimedia.extras) {
      if (!IsMappedMmsAttribute(column.name) && !IsForeignColumn(column.name)) {
        AppendColumn(line_, column.name, column.value);
      }
    }
    AppendAttribute(line_, "address", entry.address);
    AppendContactName(line_, entry.contactName);
    line_ += " readable_date=\"" + ReadableDate(entry.date) + "\"";
    line_ += ">\n    <parts>\n";
    for (const MessagePart& part : multimedia.parts) {
      line_ += "      <part";
      AppendColumn(line_, "seq", part.seq);
      AppendColumn(line_, "ct", part.contentType);
      AppendColumn(line_, "name", part.name);
      AppendColumn(line_, "chset", part.charset);
      AppendColumn(line_, "cd", part.contentDisposition);
      AppendColumn(line_, "fn", part.fileName);
      AppendColumn(line_, "cid", part.contentId);
      AppendColumn(line_, "cl", part.contentLocation);
      for (const NamedColumn& column : part.extras) {
        if (!IsForeignColumn(column.name)) AppendColumn(line_, column.name, column.value);
      }
      const bool text = IsTextPart(part);
      AppendColumn(line_, "text", text ? TextOfTextPart(part) : part.text);
      if (part.data != nullptr && !text) {
        // The attachment streams from where it is kept straight into the file.
        line_ += " data=\"";
        Put(line_.data(), line_.size());
        line_.clear();
        EncodeBase64(part.data->Open(), [this](std::string_view text) { Put(text.data(), text.size()); });
        line_ += '"';
      }
      line_ += " />\n";
    }
    line_ += "    </parts>\n    <addrs>\n";
    for (const MmsAddress& address : multimedia.addresses) {
      line_ += "      <addr";
      AppendAttribute(line_, "address", address.address);
      AppendNumber(line_, "type", address.role);
      AppendColumn(line_, "charset", address.charset);
      for (const NamedColumn& column : address.extras) {
        if (column.name != "address" && column.name != "type" && column.name != "charset" &&
            !IsForeignColumn(column.name)) {
          AppendColumn(line_, column.name, column.value);
        }
      }
      line_ += " />\n";
    }
    line_ += "    </addrs>\n  </mms>\n";
    Put(line_.data(), line_.size());
    ++entries_;
  }

  // `<smses count="N">`, the comment with blanks to a fixed width.
  static std::string RootStart(uint64_t count) {
    std::string root = kRootStart + std::to_string(count) + "\"" + kWrittenBy;
    root.append(std::strlen(kRootStart) + std::strlen(kWrittenBy) + kCountRoom - root.size(), ' ');
    return root + "-->\n";
  }

  ByteSink& sink_;
  DeletedAs deletedAs_;
  OwnNumbers own_;  // learned from the messages written so far
  size_t countAt_ = 0;
  std::vector<PhoneEntry> entries_list_;
  std::string line_;
};

}  // namespace

std::unique_ptr<MessageWriter> XmlWriter(ByteSink& sink, DeletedAs deletedAs) {
  return std::make_unique<Writer>(sink, deletedAs);
}

}  // namespace larkpost
