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
#include "formats/phone_entry.h"
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

// Whether a multimedia message came through the other app's ZIP, whose parts and addresses name
// the row of their message (mid, msg_id): its _id is that app's row id. The app of the XML writes
// an <mms> _id of its own, which stays.
bool HoldsForeignRows(const Multimedia& multimedia) {
  return std::any_of(multimedia.parts.begin(), multimedia.parts.end(),
                     [](const MessagePart& part) { return FindColumn(part.extras, "mid") != nullptr; }) ||
         std::any_of(multimedia.addresses.begin(), multimedia.addresses.end(), [](const MmsAddress& address) {
           return FindColumn(address.extras, "msg_id") != nullptr;
         });
}

// The attributes of an <sms> as the app writes them, in its order, with the value a message
// from no phone file gets (address, date, type, body, read, readable_date and contact_name come
// from the fields).
constexpr std::pair<const char*, const char*> kSmsColumns[] = {
    {"protocol", "0"},       {"address", ""},  {"date", ""},           {"type", ""},
    {"subject", "null"},     {"body", ""},     {"toa", "null"},        {"sc_toa", "null"},
    {"service_center", "null"}, {"read", ""},  {"status", "-1"},       {"locked", "0"},
    {"date_sent", "0"},      {"sub_id", "-1"}, {"readable_date", ""},  {"contact_name", ""}};

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
      WriteSms(entry);
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

  // <sms> with the fields' attributes and the columns the message kept from its phone's file in
  // their order (a message from no phone file gets the app's attributes in the app's order,
  // with the app's values), then this program's mark of the entries of one message sent to
  // several recipients (phone_entry.h).
  void WriteSms(const PhoneEntry& entry) {
    const bool fromPhone = !entry.columns.empty();
    line_ += "  <sms";
    for (const auto& [name, fallback] : kSmsColumns) {
      const std::string_view column = name;
      if (column == "address") {
        AppendAttribute(line_, "address", entry.address);
      } else if (column == "date") {
        AppendNumber(line_, "date", entry.date);
      } else if (column == "type") {
        AppendNumber(line_, "type", entry.type);
      } else if (column == "body") {
        line_ += " body=\"";
        AppendEscaped(line_, entry.body, Markup::kXmlAttribute);
        line_ += '"';
      } else if (column == "read") {
        AppendNumber(line_, "read", entry.read ? 1 : 0);
        if (fromPhone) break;  // the kept columns follow, in their order
      } else if (column == "readable_date" || column == "contact_name") {
        break;
      } else if (!fromPhone) {
        // The app's own value, which needs no escaping.
        line_ += ' ';
        line_ += column;
        line_ += "=\"";
        line_ += fallback;
        line_ += '"';
      }
    }
    for (const NamedColumn& column : entry.columns) {
      if (!IsForeignColumn(column.name) && column.name != kPartAttribute) {
        AppendColumn(line_, column.name, column.value);
      }
    }
    line_ += " readable_date=\"" + ReadableDate(entry.date) + "\"";
    AppendContactName(line_, entry.contactName);
    // A first entry the app's grouping would join to the one before is marked as a message of
    // its own; further entries of a message carry their number.
    const Column* thread = FindColumn(entry.columns, kThreadColumn);
    const bool wouldJoin = entry.part == 0 && thread != nullptr && *thread && last_.written &&
                           last_.thread == *thread && last_.date == entry.date &&
                           last_.type == entry.type && last_.body == entry.body;
    if (entry.part > 0 || wouldJoin) AppendNumber(line_, kPartAttribute, entry.part);
    line_ += " />\n";
    last_.written = true;
    last_.thread = thread != nullptr ? *thread : std::nullopt;
    last_.date = entry.date;
    last_.type = entry.type;
    last_.body = entry.body;
  }

  // <mms> with the mapped attributes first, then the entry's others in their order, then the
  // parties' lists and the readable date made from the fields.
  void WriteMms(const PhoneEntry& entry, const Multimedia& multimedia) {
    line_ = "  <mms";
    AppendNumber(line_, "date", entry.date);
    AppendNumber(line_, "msg_box", entry.type);
    AppendNumber(line_, "read", entry.read ? 1 : 0);
    const bool foreignRows = HoldsForeignRows(multimedia);
    for (const NamedColumn& column : multimedia.extras) {
      if (!IsMappedMmsAttribute(column.name) &&
          (column.name == "_id" ? !foreignRows : !IsForeignColumn(column.name))) {
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
      const bool text = IsTextPart(part);
      const bool bytes = part.data != nullptr && !text;
      for (const NamedColumn& column : part.extras) {
        // A kept data="null" stands where no bytes are written.
        if (!IsForeignColumn(column.name) && !(bytes && column.name == "data")) {
          AppendColumn(line_, column.name, column.value);
        }
      }
      AppendColumn(line_, "text", text ? TextOfTextPart(part) : part.text);
      if (bytes) {
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
  // The <sms> written last, which a reader's grouping might join the next one to.
  struct {
    bool written = false;
    Column thread;
    int64_t date = 0;
    int type = 0;
    std::u16string body;
  } last_;
};

}  // namespace

std::unique_ptr<MessageWriter> XmlWriter(ByteSink& sink, DeletedAs deletedAs) {
  return std::make_unique<Writer>(sink, deletedAs);
}

}  // namespace larkpost
