#include "formats/phone_xml.h"

#include <expat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <deque>
#include <vector>

#include "formats/base64.h"
#include "formats/markup.h"
#include "formats/phone_calls.h"
#include "formats/xml_prefilter.h"
#include "platform/file/file.h"
#include "platform/text/text.h"

namespace larkpost {

namespace {

constexpr size_t kChunkBytes = 64 * 1024;

bool IsNull(std::string_view value) { return value == "null"; }

std::u16string Text(std::string_view utf8) {
  std::u16string text = Utf8ToWide(utf8);
  RestoreControls(text);
  return text;
}

// An attribute's value as the file means it (the filter's private characters mapped back), cut
// to a length an error message can show.
std::string Quoted(std::string_view value) {
  constexpr size_t kShown = 40;
  std::u16string text = Text(value.substr(0, kShown * 4));
  const bool cut = text.size() > kShown || value.size() > kShown * 4;
  if (text.size() > kShown) {
    text.resize(kShown);
    if (text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
  }
  return "\"" + WideToUtf8(text) + (cut ? "..." : "") + "\"";
}

Column ColumnOf(std::string_view value) {
  if (IsNull(value)) return std::nullopt;
  return Text(value);
}

// An <mms> element being read: its attributes, then its parts and addresses as they come.
struct PendingMms {
  std::vector<std::pair<std::string, std::string>> attributes;
  uint64_t line = 0;
  size_t bytes = 0;  // attribute names and values taken in, for the entry limit
  Multimedia multimedia;
  std::string problem;  // the first fault found in a part or address
};

// A data value the filter took out of the stream: its bytes, or why they are not base64.
struct DivertedPart {
  std::shared_ptr<const PartBytes> bytes;  // null for data="null": the part has none
  std::string problem;
};

class XmlSource : public EntrySource, private DivertedValues {
 public:
  XmlSource(ByteSource source, std::shared_ptr<PartSpool> spool)
      : source_(std::move(source)),
        spool_(spool != nullptr ? std::move(spool) : PartSpool::CountOnly()),
        parser_(XML_ParserCreate("UTF-8")),
        filter_(this),
        chunk_(kChunkBytes) {
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, &XmlSource::Start, &XmlSource::End);
    XML_SetCharacterDataHandler(parser_, &XmlSource::Characters);
    XML_SetStartDoctypeDeclHandler(parser_, &XmlSource::Doctype);
  }
  ~XmlSource() override { XML_ParserFree(parser_); }
  XmlSource(const XmlSource&) = delete;
  XmlSource& operator=(const XmlSource&) = delete;

  bool NextEntry(PhoneEntry& entry, std::string& error) override {
    while (ready_.empty()) {
      if (!error_.empty()) {
        error = error_;
        return false;
      }
      if (ended_) return false;
      Parse();
    }
    entry = std::move(ready_.front());
    ready_.pop_front();
    return true;
  }

 private:
  void Parse() {
    const size_t got = source_(chunk_.data(), chunk_.size());
    const bool last = got == 0;
    if (last && read_ == 0) {
      error_ = "not an XML file of messages: it is empty";
      ended_ = true;
      return;
    }
    if (read_ == 0 && !TakeEncoding(std::string_view(chunk_.data(), got))) return;
    read_ += got;
    filtered_.clear();
    std::string_view bytes(chunk_.data(), got);
    if (latin1_) {
      // Each byte is the character of its value: two UTF-8 bytes for those from 0x80 on.
      latin1Utf8_.clear();
      for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
          latin1Utf8_.push_back(c);
        } else {
          latin1Utf8_.push_back(static_cast<char>(0xC0 | (byte >> 6)));
          latin1Utf8_.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
      }
      bytes = latin1Utf8_;
    }
    lines_ += static_cast<uint64_t>(std::count(bytes.begin(), bytes.end(), '\n'));
    filter_.Feed(bytes, last, filtered_);
    fed_ += filtered_.size();
    if (XML_Parse(parser_, filtered_.data(), static_cast<int>(filtered_.size()), last) ==
            XML_STATUS_ERROR &&
        error_.empty()) {
      error_ = last && CutOff(XML_GetErrorCode(parser_))
                   ? CutText()
                   : "malformed XML at line " + std::to_string(XML_GetCurrentLineNumber(parser_)) +
                         ", column " + std::to_string(XML_GetCurrentColumnNumber(parser_)) +
                         Within() + ": " + XML_ErrorString(XML_GetErrorCode(parser_));
    }
    if (last) ended_ = true;
    if (error_.empty() && fed_ - lastEvent_ > kMaxEntryBytes) {
      error_ = "entry " + std::to_string(elements_ + 1) + " (from line " +
               std::to_string(lastEventLine_) + ") is larger than " +
               std::to_string(kMaxEntryBytes >> 20) + " MiB; no message is that long";
    }
  }

  // The encoding the XML declaration names, from the file's first bytes. The parser reads UTF-8
  // (the app's encoding); an ISO-8859-1 file is turned into UTF-8 on the way in. Any other is
  // refused by name rather than misread.
  bool TakeEncoding(std::string_view head) {
    if (!head.starts_with("<?xml")) return true;
    const std::string_view declaration = head.substr(0, head.find("?>"));
    const size_t key = declaration.find("encoding");
    if (key == std::string_view::npos) return true;
    const size_t open = declaration.find_first_of("\"'", key);
    if (open == std::string_view::npos) return true;
    const size_t close = declaration.find(declaration[open], open + 1);
    if (close == std::string_view::npos) return true;
    std::string name(declaration.substr(open + 1, close - open - 1));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "UTF-8" || name == "UTF8" || name == "US-ASCII" || name == "ASCII") return true;
    if (name == "ISO-8859-1" || name == "ISO8859-1" || name == "LATIN1" || name == "LATIN-1") {
      latin1_ = true;
      return true;
    }
    error_ = "the file is in the encoding \"" + name.substr(0, 40) +
             "\"; only UTF-8 and ISO-8859-1 files are read";
    ended_ = true;
    return false;
  }

  // Errors of a file that ends before its elements do: a copy cut off on the way.
  static bool CutOff(XML_Error code) {
    return code == XML_ERROR_UNCLOSED_TOKEN || code == XML_ERROR_NO_ELEMENTS ||
           code == XML_ERROR_PARTIAL_CHAR || code == XML_ERROR_UNCLOSED_CDATA_SECTION;
  }

  // "the file is cut off at line 120, inside mms entry 51 (from line 100), in the data of its
  // part number 2": the file's own last line, and the entry that was being read there.
  std::string CutText() const {
    std::string text = "the file is cut off at line " + std::to_string(lines_);
    if (depth_ >= 2) {
      text += ", inside " + entryName_ + " entry " + std::to_string(elements_) + " (from line " +
              std::to_string(entryLine_) + ")";
      if (filter_.inDivertedValue()) {
        text += ", in the data of its part number " + std::to_string(mms_.multimedia.parts.size() + 1);
      }
    } else if (depth_ == 1) {
      text += ", inside entry " + std::to_string(elements_ + 1) + " (from line " +
              std::to_string(XML_GetCurrentLineNumber(parser_)) + ")";
    }
    return text + "; it holds no complete copy of its last entry";
  }

  // The filter's diverted data values (xml_prefilter.h): decoded into the message's spool file
  // as they stream past; the parser sees "#N" instead, N counting the values.
  void NewEntry() override { spoolFile_.reset(); }
  std::string Begin() override {
    if (spoolFile_ == nullptr) spoolFile_ = spool_->NewFile();
    decoder_ = Base64Decoder();
    rawHead_.clear();
    return "#" + std::to_string(divertedFirst_ + diverted_.size());
  }
  void Append(std::string_view raw) override {
    if (rawHead_.size() <= 4) rawHead_.append(raw.substr(0, 5 - rawHead_.size()));
    decoder_.Feed(raw, [this](std::string_view bytes) { spoolFile_->Append(bytes); });
  }
  void End() override {
    DivertedPart& part = diverted_.emplace_back();
    // The app's word for no value: base64 letters too, but never bytes of an attachment.
    if (rawHead_ == "null") {
      spoolFile_->End();
      return;
    }
    if (!decoder_.Finish([this](std::string_view bytes) { spoolFile_->Append(bytes); },
                         part.problem)) {
      part.problem = "its data is not base64: " + part.problem;
    }
    part.bytes = spoolFile_->End();
  }

  // The diverted value a part's data attribute names, taken out of the waiting list.
  bool TakeDiverted(std::string_view placeholder, DivertedPart& part) {
    if (!placeholder.starts_with('#')) return false;
    std::string_view digits = placeholder.substr(1);
    digits = digits.substr(0, digits.find_first_of(" \t\r\n"));  // the value's line feeds
    uint64_t index = 0;
    if (!ParseInteger(digits, index) || index < divertedFirst_ ||
        index - divertedFirst_ >= diverted_.size()) {
      return false;
    }
    // Values come in file order; the ones before it belonged to tags the parser did not take.
    while (divertedFirst_ < index) diverted_.pop_front(), ++divertedFirst_;
    part = std::move(diverted_.front());
    diverted_.pop_front();
    ++divertedFirst_;
    return true;
  }

  // " (at entry 7)": inside an entry, or between the root's children, where the next entry is
  // the one being read.
  std::string Within() const {
    if (depth_ >= 2) return " (at entry " + std::to_string(elements_) + ")";
    if (depth_ == 1) return " (at entry " + std::to_string(elements_ + 1) + ")";
    return std::string();
  }

  void Mark() {
    lastEvent_ = static_cast<uint64_t>(XML_GetCurrentByteIndex(parser_));
    lastEventLine_ = XML_GetCurrentLineNumber(parser_);
  }

  void Fail(std::string text) {
    if (error_.empty()) error_ = std::move(text);
    XML_StopParser(parser_, XML_FALSE);
  }

  static void XMLCALL Start(void* data, const XML_Char* name, const XML_Char** attributes) {
    auto* self = static_cast<XmlSource*>(data);
    self->Mark();
    ++self->depth_;
    if (self->depth_ == 1) {
      // The app's call log (calls-<date>.xml) has the root <calls>.
      if (std::strcmp(name, "smses") != 0 && std::strcmp(name, "calls") != 0) {
        self->Fail(std::string("not an SMS Backup & Restore file: its root element is <") + name +
                   ">, not <smses>");
      }
      return;
    }
    if (self->depth_ == 2) {
      self->inMms_ = false;
      if (std::strcmp(name, "mms") == 0) {
        ++self->elements_;
        self->BeginMms(attributes);
      } else if (std::strcmp(name, "sms") == 0) {
        ++self->elements_;
        self->TakeSms(attributes);
      } else if (std::strcmp(name, "call") == 0) {
        self->TakeCall(attributes);
      }
      return;
    }
    if (self->depth_ == 4 && self->inMms_) {
      if (std::strcmp(name, "part") == 0) {
        self->TakePart(attributes);
      } else if (std::strcmp(name, "addr") == 0) {
        self->TakeAddress(attributes);
      }
    }
  }

  // The app's files declare no document type. One could declare entities, which expand a small
  // file into gigabytes of text; the file is refused before any is read.
  static void XMLCALL Doctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<XmlSource*>(data)->Fail(
        "the file declares a document type (<!DOCTYPE>), which SMS Backup & Restore files never "
        "do; it is not read, as its entities could expand without bound");
  }

  static void XMLCALL End(void* data, const XML_Char*) {
    auto* self = static_cast<XmlSource*>(data);
    self->Mark();
    if (self->depth_ == 2 && self->inMms_) {
      self->inMms_ = false;
      self->TakeMms();
    }
    --self->depth_;
  }

  std::string Where(const char* kind, uint64_t line) const {
    return std::string(kind) + " entry " + std::to_string(elements_) + " (line " +
           std::to_string(line) + "): ";
  }

  // Adds a start tag's attributes to the entry's size; false (failed) past the limit.
  bool CountBytes(const XML_Char** attributes) {
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      mms_.bytes += std::strlen(a[0]) + std::strlen(a[1]);
    }
    if (mms_.bytes <= kMaxEntryBytes) return true;
    Fail(Where("mms", mms_.line) + "it is larger than " + std::to_string(kMaxEntryBytes >> 20) +
         " MiB without its attachments; no message is that long");
    inMms_ = false;
    return false;
  }

  void BeginMms(const XML_Char** attributes) {
    mms_ = PendingMms{};
    mms_.line = XML_GetCurrentLineNumber(parser_);
    entryName_ = "mms";
    entryLine_ = mms_.line;
    inMms_ = true;
    if (!CountBytes(attributes)) return;
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      mms_.attributes.emplace_back(a[0], a[1]);
    }
  }

  void TakePart(const XML_Char** attributes) {
    if (!CountBytes(attributes)) return;
    if (mms_.multimedia.parts.size() >= kMaxMessageParts) {
      Fail(Where("mms", mms_.line) + "it has more than " + std::to_string(kMaxMessageParts) +
           " parts; no message has that many");
      inMms_ = false;
      return;
    }
    MessagePart& part = mms_.multimedia.parts.emplace_back();
    const std::string number = std::to_string(mms_.multimedia.parts.size());
    const std::pair<const char*, Column MessagePart::*> fields[] = {
        {"seq", &MessagePart::seq},          {"ct", &MessagePart::contentType},
        {"name", &MessagePart::name},        {"chset", &MessagePart::charset},
        {"cd", &MessagePart::contentDisposition}, {"fn", &MessagePart::fileName},
        {"cid", &MessagePart::contentId},    {"cl", &MessagePart::contentLocation},
        {"text", &MessagePart::text}};
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      const std::string_view key = a[0];
      if (key == "data") {
        DivertedPart diverted;
        if (!TakeDiverted(a[1], diverted)) {
          if (mms_.problem.empty()) mms_.problem = "part number " + number + ": its data was not read";
        } else if (!diverted.problem.empty()) {
          if (mms_.problem.empty()) mms_.problem = "part number " + number + ": " + diverted.problem;
        } else if (diverted.bytes == nullptr) {
          // data="null": no bytes, kept as the column the app wrote.
          part.extras.push_back(NamedColumn{"data", std::nullopt});
        } else {
          part.data = std::move(diverted.bytes);
        }
        continue;
      }
      bool mapped = false;
      for (const auto& [field, member] : fields) {
        if (key == field) {
          part.*member = ColumnOf(a[1]);
          mapped = true;
          break;
        }
      }
      if (!mapped) part.extras.push_back(NamedColumn{std::string(key), ColumnOf(a[1])});
    }
  }

  void TakeAddress(const XML_Char** attributes) {
    if (!CountBytes(attributes)) return;
    MmsAddress& address = mms_.multimedia.addresses.emplace_back();
    bool haveRole = false;
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      const std::string_view key = a[0];
      const std::string_view value = a[1];
      if (key == "address") {
        if (!IsNull(value)) address.address = Text(value);
      } else if (key == "type") {
        haveRole = ParseInteger(value, address.role);
        if (!haveRole && mms_.problem.empty()) {
          mms_.problem = "address " + std::to_string(mms_.multimedia.addresses.size()) +
                         ": type " + Quoted(value) + " is not a number";
        }
      } else if (key == "charset") {
        address.charset = ColumnOf(value);
      } else {
        address.extras.push_back(NamedColumn{std::string(key), ColumnOf(value)});
      }
    }
    if (!haveRole && mms_.problem.empty()) {
      mms_.problem = "address " + std::to_string(mms_.multimedia.addresses.size()) + " has no type";
    }
  }

  void TakeMms() {
    const std::string where = Where("mms", mms_.line);
    if (!mms_.problem.empty()) return Fail(where + mms_.problem);
    auto multimedia = std::make_shared<Multimedia>(std::move(mms_.multimedia));
    int64_t date = 0;
    int box = 0;
    bool haveDate = false, haveBox = false, read = true;
    std::u16string members, names;
    for (const auto& [key, value] : mms_.attributes) {
      int64_t number = 0;
      if (key == "date") {
        if (!ParseInteger(value, number) || number < kMinPhoneDate || number > kMaxPhoneDate) {
          return Fail(where + "date " + Quoted(value) + " " + kPhoneDateRange);
        }
        date = number;
        haveDate = true;
        continue;
      }
      if (key == "msg_box") {
        if (!ParseInteger(value, box) || FolderForPhoneType(box).empty()) {
          return Fail(where + "msg_box " + Quoted(value) + " is not a message box (1 to 6)");
        }
        haveBox = true;
        continue;
      }
      if (key == "read") {
        read = value != "0";
        continue;
      }
      // The parties' lists and the readable date follow from the fields, and are made anew
      // when the message is written.
      if (key == "address") {
        if (!IsNull(value)) members = Text(value);
        continue;
      }
      if (key == "contact_name") {
        if (!IsNull(value) && value != "(Unknown)") names = Text(value);
        continue;
      }
      if (key == "readable_date") continue;
      multimedia->extras.push_back(NamedColumn{key, ColumnOf(value)});
    }
    if (!haveDate) return Fail(where + "it has no date");
    if (!haveBox) return Fail(where + "it has no msg_box");
    PhoneEntry entry;
    MessageRecord& record = entry.whole.emplace();
    std::string problem;
    Multimedia& kept = *multimedia;  // still this reader's alone
    if (!FillMultimediaRecord(box, date, read, MultimediaRef{std::move(multimedia)}, record, problem)) {
      return Fail(where + problem);
    }
    if (record.senderAddress.empty() && record.recipients.empty() && !members.empty()) {
      // No address names a party (a file cut off before them): the parties are the members the
      // entry lists.
      for (std::u16string_view member : SplitMembers(members)) {
        if (box == kPhoneReceived && record.senderAddress.empty()) {
          record.senderAddress = member;
        } else {
          record.recipients.push_back(RecordRecipient{u"", std::u16string(member), 1});
        }
      }
    }
    NamePartiesFrom(members, names, record);
    // The file's lists are kept where the fields would list others: names no party could be
    // given, or members that leave out the owner, whom the fields of a received message list
    // among its recipients.
    std::u16string made, madeNames;
    PartyLists(record, made, madeNames);
    if ((!members.empty() && made != members) || madeNames != names) {
      KeepNames(made == members ? u"" : members, names, kept);
    }
    entry.date = date;
    entry.type = box;
    entry.read = read;
    entry.body = record.text;
    entry.address = std::move(members);
    entry.contactName = std::move(names);
    if (!EntryWithinLimits(entry, problem)) return Fail(where + problem);
    ready_.push_back(std::move(entry));
  }

  // A <call> of the call log: its attributes are the call's columns (phone_calls.h).
  void TakeCall(const XML_Char** attributes) {
    ++calls_;
    const uint64_t line = XML_GetCurrentLineNumber(parser_);
    const std::string where =
        "call entry " + std::to_string(calls_) + " (line " + std::to_string(line) + "): ";
    Columns columns;
    size_t expanded = 0;
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      expanded += std::strlen(a[0]) + std::strlen(a[1]);
      if (expanded > kMaxEntryBytes) {
        return Fail(where + "it is larger than " + std::to_string(kMaxEntryBytes >> 20) +
                    " MiB; no call is that long");
      }
      columns.push_back(NamedColumn{a[0], ColumnOf(a[1])});
    }
    PhoneEntry entry;
    std::string problem;
    if (!CallFromColumns(columns, kXmlCallNameColumn, entry.whole.emplace(), problem)) {
      return Fail(where + problem);
    }
    entry.date = FileTimeToPhoneDate(entry.whole->deliveryTime);
    ready_.push_back(std::move(entry));
  }

  static void XMLCALL Characters(void* data, const XML_Char*, int) {
    static_cast<XmlSource*>(data)->Mark();
  }

  void TakeSms(const XML_Char** attributes) {
    entryName_ = "sms";
    entryLine_ = XML_GetCurrentLineNumber(parser_);
    const std::string where = Where("sms", entryLine_);
    // What the parser hands over is expanded already (entities, references): its size is what
    // holds the limit, whatever the file's bytes.
    size_t expanded = 0;
    size_t count = 0;
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      expanded += std::strlen(a[0]) + std::strlen(a[1]);
      ++count;
    }
    if (expanded > kMaxEntryBytes) {
      return Fail(where + "it is larger than " + std::to_string(kMaxEntryBytes >> 20) +
                  " MiB; no message is that long");
    }
    PhoneEntry entry;
    entry.columns.reserve(count);  // most attributes are kept as columns
    bool haveDate = false, haveType = false;
    for (const XML_Char** a = attributes; a[0] != nullptr; a += 2) {
      const std::string_view key = a[0];
      const std::string_view value = a[1];
      int64_t number = 0;
      if (key == "address") {
        if (!IsNull(value)) entry.address = Text(value);
      } else if (key == "contact_name") {
        if (!IsNull(value) && value != "(Unknown)") entry.contactName = Text(value);
      } else if (key == "body") {
        entry.body = Text(value);
      } else if (key == "date") {
        if (!ParseInteger(value, number) || number < kMinPhoneDate || number > kMaxPhoneDate) {
          return Fail(where + "date " + Quoted(value) + " " + kPhoneDateRange);
        }
        entry.date = number;
        haveDate = true;
      } else if (key == "type") {
        if (!ParseInteger(value, number) || number < kPhoneReceived || number > kPhoneQueued) {
          return Fail(where + "type " + Quoted(value) + " is not a message type (1 to 6)");
        }
        entry.type = static_cast<int>(number);
        haveType = true;
      } else if (key == "read") {
        entry.read = value != "0";
      } else if (key == kPartAttribute) {
        // This program's mark (phone_entry.h); a value it does not know marks nothing.
        int part = 0;
        if (ParseInteger(value, part) && part >= 0) {
          entry.part = part;
          entry.startsMessage = part == 0;
        }
      } else if (key != "readable_date") {
        // Every other column is the message's, kept as the file wrote it; the readable date is
        // made anew from the date.
        entry.columns.push_back(NamedColumn{std::string(key), ColumnOf(value)});
      }
    }
    if (!haveDate) return Fail(where + "it has no date");
    if (!haveType) return Fail(where + "it has no type");
    std::string problem;
    if (!EntryWithinLimits(entry, problem)) return Fail(where + problem);
    ready_.push_back(std::move(entry));
  }

  ByteSource source_;
  std::shared_ptr<PartSpool> spool_;
  std::shared_ptr<SpoolFile> spoolFile_;  // the current <mms>'s, made on its first data value
  Base64Decoder decoder_;
  std::string rawHead_;  // the first bytes of the value being diverted
  std::deque<DivertedPart> diverted_;   // values the parser has not reached yet
  uint64_t divertedFirst_ = 0;          // the number of the first of them
  PendingMms mms_;
  bool inMms_ = false;
  std::string entryName_ = "sms";
  uint64_t entryLine_ = 0;
  uint64_t lines_ = 1;  // lines of the file read so far
  XML_Parser parser_;
  XmlPrefilter filter_;
  std::vector<char> chunk_;
  std::string filtered_;
  bool latin1_ = false;     // the file is ISO-8859-1, turned into UTF-8 chunk by chunk
  std::string latin1Utf8_;
  std::deque<PhoneEntry> ready_;
  std::string error_;
  bool ended_ = false;
  int depth_ = 0;
  uint64_t elements_ = 0;  // <sms> and <mms> elements so far
  uint64_t calls_ = 0;     // <call> elements so far
  uint64_t read_ = 0;      // bytes of the file
  uint64_t fed_ = 0;       // filtered bytes handed to the parser
  uint64_t lastEvent_ = 0;
  uint64_t lastEventLine_ = 1;
};

}  // namespace

std::unique_ptr<EntrySource> XmlEntries(ByteSource source, std::shared_ptr<PartSpool> spool) {
  return std::make_unique<XmlSource>(std::move(source), std::move(spool));
}

}  // namespace larkpost
